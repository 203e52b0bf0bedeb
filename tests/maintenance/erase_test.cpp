#include <gtest/gtest.h>

#include "tests/support/frame_peer.h"

namespace korva::testing {
namespace {

const std::string WRONG_BLOCK = "\n REPONSE > NUMERO DE BLOC INCORRECT\n";
const std::string ACCESS_REFUSED = "\r           ENTRER VOTRE CODE D'ACCES : ACCES REFUSE\n";

// A reader that erases whatever block it is asked for.
FakeReader obliging_reader(const ReaderIdentity& profile) {
    FakeReader peer;
    play(peer, profile);
    return peer;
}

std::vector<Bytes> erase_params(const FakeReader& peer) {
    std::vector<Bytes> params;
    for (const Request& r : peer.requests()) {
        if (r.code == 0xFF) params.push_back(r.data());
    }
    return params;
}

struct EraseCase {
    const char* word;
    uint8_t code;  // the block code that goes to the reader
};

ScriptRun erase(FakeReader& peer, const std::string& word, uint8_t answer_status) {
    peer.answer_always(0xFF, status_answer(0xFF, answer_status));
    return run_script(peer, {"efface", word});
}

TEST(Efface, ErasesAtOnceBelowTheBound) {
    for (const EraseCase c : {EraseCase{"0", 0}, EraseCase{"15", 30}, EraseCase{"2", 4}}) {
        FakeReader peer = obliging_reader(reader_with_15_blocks());
        const ScriptRun run = erase(peer, c.word, c.code);
        EXPECT_EQ(run.text, "\n REPONSE > BLOC [" + std::to_string(c.code / 2) + "] LIBRE \n");
        EXPECT_EQ(erase_params(peer), std::vector<Bytes>{{c.code}}) << c.word;
        EXPECT_EQ(run.status, 0);
    }
}

TEST(Efface, BlockOneIsGuardedByTheAccessCheck) {
    FakeReader peer = obliging_reader(reader_with_15_blocks());
    const ScriptRun run = erase(peer, "1", 2);
    EXPECT_EQ(run.text, ACCESS_REFUSED);
    EXPECT_TRUE(erase_params(peer).empty());
    EXPECT_EQ(run.status, 1);
}

TEST(Efface, BoundOfAFifteenBlockReader) {
    for (const char* word : {"16", "31", "abc", "100", "", "ab"}) {
        FakeReader peer = obliging_reader(reader_with_15_blocks());
        const ScriptRun run = erase(peer, word, 0);
        EXPECT_EQ(run.text, WRONG_BLOCK) << word;
        EXPECT_TRUE(erase_params(peer).empty()) << word;
        EXPECT_EQ(run.status, 1);
    }
}

TEST(Efface, NoDigitTestAndEightBitArithmetic) {
    // "ab": (49 x 10 + 50) mod 256 = 28, block code 56, below 63.
    FakeReader peer = obliging_reader(reader_with_31_blocks());
    ScriptRun run = erase(peer, "ab", 56);
    EXPECT_EQ(run.text, "\n REPONSE > BLOC [28] LIBRE \n");
    EXPECT_EQ(erase_params(peer), std::vector<Bytes>{{56}});

    // Three characters: 100, block code 200, refused on every reader.
    FakeReader big = obliging_reader(reader_with_31_blocks());
    run = erase(big, "123", 200);
    EXPECT_EQ(run.text, WRONG_BLOCK);
    EXPECT_TRUE(erase_params(big).empty());

    // "31" on a 31-block reader: block code 62.
    FakeReader last = obliging_reader(reader_with_31_blocks());
    EXPECT_EQ(erase(last, "31", 62).text, "\n REPONSE > BLOC [31] LIBRE \n");

    // ":0" is (10 x 10 + 0) = 100, block code 200: refused.
    FakeReader colon = obliging_reader(reader_with_31_blocks());
    EXPECT_EQ(erase(colon, ":0", 200).text, WRONG_BLOCK);

    // "/8": (-1 x 10 + 8) mod 256 = 254, code 252: refused. "08" is 8.
    FakeReader slash = obliging_reader(reader_with_31_blocks());
    EXPECT_EQ(erase(slash, "/8", 252).text, WRONG_BLOCK);
    FakeReader zero = obliging_reader(reader_with_31_blocks());
    EXPECT_EQ(erase(zero, "08", 16).text, "\n REPONSE > BLOC [8] LIBRE \n");
    EXPECT_EQ(erase_params(zero), std::vector<Bytes>{{16}});
}

TEST(Efface, ReaderThatErasesAnotherBlockOrNothing) {
    FakeReader other = obliging_reader(reader_with_15_blocks());
    ScriptRun run = erase(other, "3", 4);
    EXPECT_EQ(run.text, "\n REPONSE > ECHEC EFFACEMENT \n");
    EXPECT_EQ(run.status, 1);

    FakeReader silent = obliging_reader(reader_with_15_blocks());
    run = run_script(silent, {"efface", "3"});
    EXPECT_EQ(run.text, "\n REPONSE > ECHEC COMMANDE \n");
    EXPECT_EQ(erase_params(silent), std::vector<Bytes>{{6}});
    EXPECT_EQ(run.status, 1);
}

TEST(Efface, BlockNumberFromTheKeyboard) {
    FakeReader peer = obliging_reader(reader_with_15_blocks());
    peer.answer_always(0xFF, status_answer(0xFF, 10));
    SessionHarness h(peer, "O  5 and more\n");
    h.run({"3", "efface"});
    EXPECT_EQ(commands_text(h.console.output()),
              "\n           NUMERO DU BLOC : \n REPONSE > BLOC [5] LIBRE \n");
    EXPECT_EQ(erase_params(peer), std::vector<Bytes>{{10}});
}

TEST(Efface, KeyboardEndedBeforeTheBlockNumber) {
    FakeReader peer = obliging_reader(reader_with_15_blocks());
    SessionHarness h(peer, "O");
    h.run({"3", "efface"});
    EXPECT_EQ(commands_text(h.console.output()), "\n           NUMERO DU BLOC : \n");
    EXPECT_TRUE(erase_params(peer).empty());
}

}  // namespace
}  // namespace korva::testing
