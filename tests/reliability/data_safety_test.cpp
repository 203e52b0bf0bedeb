// Nothing lost: the trace table and the client files survive a failure at
// any point. A trace row is whole or absent; a client file is whole or
// absent, and an earlier file of the same name stays as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_reader.h"
#include "tests/reliability/reliability_support.h"

namespace korva::reliability {
namespace {

using korva::testing::read_file;
using korva::testing::read_text_file;
using korva::testing::TempWorkDir;

// --- the trace table ------------------------------------------------------

// Lines of a text; true when it ends with a line end and holds no CR.
bool whole_lines(const std::string& text, std::vector<std::string>& lines) {
    lines.clear();
    if (!text.empty() && text.back() != '\n') return false;
    if (text.find('\r') != std::string::npos) return false;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

enum class TraceFault { SILENCE, UNPLUG, CORRUPT };

const char* name_of(TraceFault f) {
    switch (f) {
        case TraceFault::SILENCE:
            return "silent";
        case TraceFault::UNPLUG:
            return "unplugged";
        default:
            return "corrupt check";
    }
}

// A first trace writes a good row; the second meets a failure after its
// k-th answer. The file then holds the header, the first row unchanged, and
// at most one more row, whole.
TEST(DataSafety, TraceRowsStayWholeWhateverAnswerFails) {
    const std::vector<std::string> args{"3", "trace", "trace", "q"};
    std::string good_file;
    std::vector<FrameSpan> frames;
    {
        TempWorkDir dir;
        sim::VirtualReader reader(profile_of("default,on-hold"), {}, true);
        const SessionRun run = run_guarded(reader, args, "O");
        ASSERT_TRUE(run.tripped.empty());
        good_file = read_text_file(dir.parent() / "trace.xls");
        frames = frame_map(run.received);
    }
    std::vector<std::string> good;
    ASSERT_TRUE(whole_lines(good_file, good));
    ASSERT_EQ(good.size(), 3u);  // header and two rows
    // The probe's answer, then the answers of each trace, in halves.
    ASSERT_EQ((frames.size() - 1) % 2, 0u);
    const std::size_t per_trace = (frames.size() - 1) / 2;
    ASSERT_GT(per_trace, 60u);  // two block lists and the boot information

    unsigned cut_rows = 0;
    for (TraceFault fault : {TraceFault::SILENCE, TraceFault::UNPLUG, TraceFault::CORRUPT}) {
        for (std::size_t k = 0; k < per_trace; ++k) {
            const std::size_t frame = 1 + per_trace + k;  // in the second trace
            TempWorkDir dir;
            sim::FaultKnobs knobs;
            if (fault == TraceFault::CORRUPT)
                knobs.corrupt_check = static_cast<unsigned>(frame + 1);
            sim::VirtualReader reader(profile_of("default,on-hold"), knobs, true);
            const SessionRun run =
                fault == TraceFault::CORRUPT
                    ? run_guarded(reader, args, "O")
                    : run_guarded(reader, args, "O", frames[frame - 1].end,
                                  fault == TraceFault::SILENCE ? GuardedLine::Cut::SILENCE
                                                               : GuardedLine::Cut::UNPLUG);
            ASSERT_TRUE(run.tripped.empty()) << run.tripped;
            std::vector<std::string> lines;
            const std::string text = read_text_file(dir.parent() / "trace.xls");
            ASSERT_TRUE(whole_lines(text, lines))
                << name_of(fault) << " after answer " << k << ": \"" << text << "\"";
            ASSERT_GE(lines.size(), 2u);
            ASSERT_LE(lines.size(), 3u);
            EXPECT_EQ(lines[0], good[0]);
            EXPECT_EQ(lines[1], good[1]);
            if (lines.size() == 3 && lines[2] != good[2]) ++cut_rows;
            // A row that was cut short says so on the console.
            if (lines.size() == 3 && lines[2] != good[2] && fault != TraceFault::CORRUPT) {
                EXPECT_TRUE(run.output.find("\n REPONSE > ECHEC COMMANDE ") != std::string::npos ||
                            run.output.find("\n REPONSE > Echec Commande ") != std::string::npos)
                    << run.output;
            }
        }
    }
    EXPECT_GT(cut_rows, 0u);  // the faults did cut rows short
}

// --- client files -----------------------------------------------------------

// A reader that takes every download, and reports block 0 for the second
// part of a two-part image: its first part then goes to block code 2, the
// one pass that writes the client file. From the request that erases block
// code 2 on, it answers only fail_at requests, then falls silent.
class ClientFileReader : public fuzz::AnswerPeer {
  public:
    explicit ClientFileReader(std::size_t fail_at = SIZE_MAX)
        : AnswerPeer(
              [this](AnswerPeer& p, const fuzz::Request& r, int64_t now) { answer(p, r, now); }),
          fail_at_(fail_at) {}

    std::size_t client_pass_requests() const { return client_pass_; }
    // Where it falls silent, the cable is pulled instead.
    bool pulled = false;
    bool connected() override { return !(pulled && client_pass_ > fail_at_); }

  private:
    void answer(AnswerPeer& p, const fuzz::Request& r, int64_t now) {
        if (r.pss) return;
        const int64_t at = now + 3;
        const uint8_t param = r.data.empty() ? 0 : r.data[0];
        if (r.code == CODE_ERASE && param == 2) in_client_pass_ = true;
        if (in_client_pass_ && client_pass_++ >= fail_at_) return;
        if (fuzz::answer_routine(p, r, now)) return;
        switch (r.code) {
            case CODE_DOWNLOAD:
                download(p, r, at);
                break;
            case CODE_SIGNATURE: {
                std::vector<uint8_t> si{0};  // block 0
                const std::string text = "KORVA SYSTEMES$PSS 2.10$";
                si.insert(si.end(), text.begin(), text.end());
                p.send(at, fuzz::framed(CODE_SIGNATURE, {{SO, {0x55}}, {SI, si}}));
                break;
            }
            default:
                break;
        }
    }
    void download(AnswerPeer& p, const fuzz::Request& r, int64_t at) {
        auto ack = [&](std::vector<uint8_t> si) {
            p.send(at, fuzz::framed(CODE_DOWNLOAD, {{SO, {0x55}}, {SI, si}}, 0x02));
        };
        if (r.data.size() == 4) {  // the start
            sum_ = 0;
            ack({1, 0, 0, 0, 0, 0});
            return;
        }
        const uint8_t sequence = r.data[0];
        for (uint8_t b : r.data) sum_ += b;  // the sequence number counts too
        if (sequence != 0) {
            ack({static_cast<uint8_t>(sequence == 255 ? 1 : sequence + 1), 0, 0, 0, 0, 0});
        } else {
            ack({0, 0, 0, static_cast<uint8_t>(sum_ >> 16), static_cast<uint8_t>(sum_ >> 8),
                 static_cast<uint8_t>(sum_)});
        }
    }

    std::size_t fail_at_;
    bool in_client_pass_ = false;
    std::size_t client_pass_ = 0;
    uint32_t sum_ = 0;
};

constexpr std::size_t IMAGE_3_LENGTH = 102602;

SessionRun charge_client(ClientFileReader& reader, const std::string& name) {
    SessionRun run = run_guarded(reader, {"3", "charge", name, "3", "q"}, "Ox");
    EXPECT_TRUE(run.tripped.empty()) << run.tripped;
    return run;
}

bool temporaries_left(const std::filesystem::path& dir) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().extension() == ".tmp") return true;
    }
    return false;
}

TEST(DataSafety, ClientFileIsWrittenWholeWhenTheDownloadSucceeds) {
    TempWorkDir dir;
    ClientFileReader reader;
    const SessionRun run = charge_client(reader, "client.bin");
    EXPECT_NE(run.output.find("\n           MISE A JOUR client.bin OK"), std::string::npos)
        << run.output;
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "client.bin"), IMAGE_3_LENGTH);
    EXPECT_FALSE(temporaries_left(dir.path()));
    EXPECT_EQ(run.status, 0);
}

// A charge that fails at any stage of the pass that writes the client file,
// the reader silent or the cable pulled, leaves no file, and an earlier file
// of that name as it was.
TEST(DataSafety, ClientFileWholeOrAbsentWhateverStageFails) {
    std::size_t stages = 0;
    {
        TempWorkDir dir;
        ClientFileReader reader;
        charge_client(reader, "client.bin");
        stages = reader.client_pass_requests();
    }
    ASSERT_GT(stages, 500u);  // erase, start and some 512 packets
    for (std::size_t fail_at :
         {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, stages / 2, stages - 1}) {
        for (int variant = 0; variant < 4; ++variant) {
            const bool earlier = variant % 2 == 1;
            TempWorkDir dir;
            if (earlier) dir.write_file("client.bin", "the earlier client file");
            ClientFileReader reader(fail_at);
            reader.pulled = variant >= 2;
            const SessionRun run = charge_client(reader, "client.bin");
            EXPECT_NE(run.output.find("\n           ERREUR CHARGEMENT"), std::string::npos)
                << "stage " << fail_at;
            EXPECT_EQ(run.output.find("MISE A JOUR client.bin OK"), std::string::npos);
            EXPECT_EQ(file_or_absent(dir.path() / "client.bin"),
                      earlier ? "the earlier client file" : "<absent>")
                << "stage " << fail_at;
            EXPECT_FALSE(temporaries_left(dir.path()));
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.output.find("ERREUR PORT SERIE") != std::string::npos, reader.pulled);
        }
    }
}

TEST(DataSafety, ClientFileThatCannotBeWritten) {
    for (const std::string name : {"clientdir", "missing/folder/client.bin"}) {
        TempWorkDir dir;
        std::filesystem::create_directory(dir.path() / "clientdir");
        ClientFileReader reader;
        const SessionRun run = charge_client(reader, name);
        EXPECT_NE(run.output.find("\n           ECHEC MISE A JOUR " + name + " "),
                  std::string::npos)
            << run.output;
        EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "clientdir"));
        EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "clientdir"));
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
        EXPECT_FALSE(temporaries_left(dir.path()));
        EXPECT_EQ(run.status, 1);
        // The session goes on to "q".
        EXPECT_NE(run.output.find("TAPEZ UNE TOUCHE POUR FERMER LA FENETRE"), std::string::npos);
    }
}

}  // namespace
}  // namespace korva::reliability
