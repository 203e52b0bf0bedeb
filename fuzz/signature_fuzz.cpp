// Fuzz target for the signature answer: what charge shows of the software
// the reader reports installed (block, publisher, name, version) and the
// block it then sends a two-part image's first part to.
//
// A whole charge session against a reader double that refuses the first
// packet naming another sequence number, so that each download ends at
// once with the sequence error and goes on to the signature request. Input:
// a selector byte (typed block 2, a one-part image, or 3, a two-part one),
// then one chunk per signature request: its first byte is the answer's
// status (SO), the rest its SI section (128 bytes are kept).
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace korva;
    using namespace korva::fuzz;
    Input in(data, size);
    const char* block = in.take() % 2 == 0 ? "2" : "3";
    std::vector<std::vector<uint8_t>> answers;
    while (!in.empty() && answers.size() < 4) answers.push_back(in.chunk(130));
    std::size_t next_answer = 0;

    AnswerPeer peer([&](AnswerPeer& p, const Request& r, int64_t now) {
        if (r.pss) return;
        if (answer_routine(p, r, now)) return;
        switch (r.code) {
            case CODE_DOWNLOAD:
                // The start is accepted; a packet is refused, naming 7.
                if (r.data.size() == 4) {
                    p.send(now + 3,
                           framed(CODE_DOWNLOAD, {{0x0E, {0x55}}, {0x0F, {1, 0, 0, 0, 0, 0}}}));
                } else {
                    p.send(now + 3,
                           framed(CODE_DOWNLOAD, {{0x0E, {0xAA}}, {0x0F, {7, 0, 0, 0, 0, 0}}}));
                }
                break;
            case CODE_SIGNATURE:
                if (next_answer < answers.size()) {
                    const std::vector<uint8_t>& a = answers[next_answer++];
                    const uint8_t status = a.empty() ? 0x55 : a[0];
                    std::vector<uint8_t> si;
                    if (a.size() > 1) si.assign(a.begin() + 1, a.end());
                    p.send(now + 3, framed(CODE_SIGNATURE, {{0x0E, {status}}, {0x0F, si}}));
                }
                break;
            default:
                break;
        }
    });
    std::string output;
    // The client file, should a pass reach it, cannot be written: its folder
    // does not exist.
    const int status = run_session_against(
        peer, {"3", "charge", "no-such-folder/client", block, "q"}, "O", output);
    if (status != 0 && status != 1) fail();
    if (output.find("VALIDATION EN COURS") == std::string::npos) fail();
    return 0;
}
