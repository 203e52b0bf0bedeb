// Fuzz target for the PSS answer handling: the start bytes after the reset,
// the answers to the probes, to the TLA removal frame and to the poll, for
// the three callers (sup_tla, cb, and charge of the TLA image).
//
// Input: a selector byte (the command), then chunks: the first two are what
// the reader sends after the reset (boot noise, then the start bytes); each
// following one answers the next PSS frame the utility writes. A chunk
// whose length byte has its top bit set also makes the reader restart after
// it (its start-up frame, then the maintenance hold is answered). When the
// input has run out the reader stays silent, and a reader that has been
// silent for a minute restarts, so that every wait ends.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace korva;
    using namespace korva::fuzz;
    Input in(data, size);
    const uint8_t selector = in.take() % 3;
    struct Answer {
        std::vector<uint8_t> bytes;
        bool restart;
    };
    std::vector<Answer> answers;
    while (!in.empty() && answers.size() < 48) {
        const uint8_t length = in.take();
        Answer a{{}, (length & 0x80) != 0};
        for (uint8_t i = 0; i < (length & 0x7F) && !in.empty(); ++i) a.bytes.push_back(in.take());
        answers.push_back(std::move(a));
    }
    std::size_t next = 0;
    const std::vector<uint8_t> started = framed(CODE_STARTED, {{0x0E, {0x00}}});

    auto answer = [&](AnswerPeer& p, int64_t at) {
        if (next >= answers.size()) return;
        const Answer& a = answers[next++];
        p.send(at, a.bytes);
        if (a.restart) p.send(at + 1500, started);
    };
    AnswerPeer peer([&](AnswerPeer& p, const Request& r, int64_t now) {
        if (r.pss) {
            answer(p, now + 5);
            return;
        }
        if (answer_routine(p, r, now)) return;
        switch (r.code) {
            case CODE_RESET:
                answer(p, now + 500);
                answer(p, now + 3500);
                break;
            case CODE_DOWNLOAD:
                // The download of the TLA image stops at its first packet.
                p.send(now + 3,
                       framed(CODE_DOWNLOAD,
                              {{0x0E, {r.data.size() == 4 ? uint8_t{0x55} : uint8_t{0xAA}}},
                               {0x0F, {7, 0, 0, 0, 0, 0}}}));
                break;
            default:
                break;
        }
    });
    peer.on_idle(60'000, [&](AnswerPeer& p, int64_t now) { p.send(now + 1, started); });

    static const char* const COMMANDS[3][3] = {
        {"sup_tla", nullptr, nullptr}, {"cb", nullptr, nullptr}, {"charge", "ORBEX_112", "5"}};
    std::vector<std::string> args{"3"};
    for (const char* word : COMMANDS[selector]) {
        if (word) args.push_back(word);
    }
    args.push_back("q");
    std::string output;
    // Keys: the power-off answer, the key charge waits for before the
    // removal, the key of its failure banner.
    const int status = run_session_against(peer, args, "Oxx", output);
    if (status != 0 && status != 1) fail();
    if (output.find("VERIFICATION LECTEUR EN COURS") == std::string::npos) fail();
    return 0;
}
