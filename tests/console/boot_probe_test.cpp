#include <gtest/gtest.h>

#include "console/console_commands.h"
#include "tests/support/frame_peer.h"

namespace korva::testing {
namespace {

const std::string PROBE_FAILED = "\n REPONSE > Echec Commande ";
const std::string THE_END =
    "\n                      **********************************"
    "\n                      *****  OPERATIONS TERMINEES  *****"
    "\n                      **********************************\n";

// The highest block that the probe learned, seen through efface: block 31
// (code 62) lies below the bound of a 31-block reader only.
int learned_highest_block(const Bytes& boot_payload_bytes) {
    FakeReader peer;
    peer.answer_always(0xF7, boot_info_answer(boot_payload_bytes));
    peer.answer_always(0xFF, status_answer(0xFF, 62));
    const ScriptRun run = run_script(peer, {"efface", "31"});
    if (run.text == "\n REPONSE > BLOC [31] LIBRE \n") return 31;
    if (run.text == "\n REPONSE > NUMERO DE BLOC INCORRECT\n") return 15;
    ADD_FAILURE() << "unexpected text: " << run.text;
    return 0;
}

int learned_for_version(const std::string& version) {
    return learned_highest_block(boot_payload({"PUB", "MODEL", "BOOT", version, "DATE"}));
}

TEST(BootProbe, VersionDecidesTheBlockCount) {
    const std::pair<std::string, int>
        rows[] =
            {
                {"4.01", 15}, {"4.02", 31},  {"4.03", 31},  {"4.04", 31},
                {"4.05", 31}, {"4.06", 31},  {"4.07", 31},  {"4.08", 31},
                {"4.09", 31}, {"4.015", 15}, {"4.05b", 31},  // only the first four characters count
                {"4.00", 15}, {"4.10", 15},  {"4.1", 15},   {"3.99", 15},
                {"4.0", 15},  {"4", 15},     {"", 15},      {"4.0:", 15},
                {"5.05", 15}, {"x.05", 15},  {"4x05", 15}};
    for (const auto& [version, highest] : rows) {
        const Bytes text = bytes_of(version);
        EXPECT_EQ(highest_block_of_version(text), highest) << version;
    }
}

TEST(BootProbe, LearnsTheBlockCountFromTheVersionField) {
    EXPECT_EQ(learned_for_version("4.01"), 15);
    EXPECT_EQ(learned_for_version("4.05b"), 31);
    EXPECT_EQ(learned_for_version("4.10"), 15);
}

TEST(BootProbe, ZeroRunsBeforeTheVersionCountAsOneSeparator) {
    const char raw[] =
        "\0\0PUB\0MODEL\0\0BOOT\0\0\0"
        "4.05\0DATE";
    EXPECT_EQ(learned_highest_block(Bytes(raw, raw + sizeof raw - 1)), 31);
}

TEST(BootProbe, PayloadThatEndsBeforeTheVersionIsTheSmallKind) {
    EXPECT_EQ(learned_highest_block(bytes_of(std::string("\0PUB\0MODEL\0BOOT", 15))), 15);
    // A first field that fills the whole payload: no version at all.
    EXPECT_EQ(learned_highest_block(Bytes(70, '4')), 15);
    // A version that starts at the seventieth byte is cut to one character.
    Bytes late(66, 'x');
    for (char c : std::string("\0A\0B", 4)) late.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(learned_highest_block(late), 15);
}

TEST(BootProbe, RunsOnceBeforeTheFirstCommandAndPausesASecond) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    const ScriptRun run = run_script(peer, {"bootinfo", "bootinfo"});
    ASSERT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF7, 0xF7, 0xF7}));
    // The command's own request follows the probe's answer after the pause.
    const int64_t gap = peer.requests()[1].at_ms - peer.requests()[0].at_ms;
    EXPECT_GE(gap, 1000 + FakeReader::ANSWER_DELAY_MS);
    EXPECT_LT(gap, 2100);
    EXPECT_EQ(run.status, 0);
}

TEST(BootProbe, NoAnswerDefaultsToFifteenBlocksAndIsNotRetried) {
    FakeReader peer;
    const ScriptRun run = run_script(peer, {"the_end", "efface", "16", "the_end"});
    EXPECT_EQ(run.text,
              PROBE_FAILED + THE_END + "\n REPONSE > NUMERO DE BLOC INCORRECT\n" + THE_END);
    EXPECT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF7}));
    EXPECT_EQ(run.status, 1);
}

TEST(BootProbe, NoProbeBeforeNo) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    peer.answer_always(0xFF, status_answer(0xFF, 0));
    peer.schedule(1173085620000LL + 5000, status_answer(0xF2, 0));
    run_script(peer, {"no", "no", "the_end"});
    // Two holds (the second "no" hears nothing and sends nothing), then the
    // probe before the_end.
    EXPECT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF9, 0xFD, 0xFF, 0xF7}));
}

TEST(BootProbe, UnknownWordIsProbedFirst) {
    FakeReader peer;
    play(peer, reader_with_15_blocks());
    const ScriptRun run = run_script(peer, {"INFO"});
    EXPECT_EQ(run.text, "\n COMMANDE> COMMANDE INCONNUE ! \n");
    EXPECT_EQ(peer.request_codes(), (std::vector<uint8_t>{0xF7}));
}

}  // namespace
}  // namespace korva::testing
