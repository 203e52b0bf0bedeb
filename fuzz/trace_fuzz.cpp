// Fuzz target for the trace row: the serial number, the boot information
// and the software names that trace writes into "../trace.xls", from
// fuzzed reader answers, with the reader falling silent at a fuzzed point.
//
// Input: a byte that says after how many block-list items the reader falls
// silent (0: never), a chunk that is the boot information, then chunks that
// are block-list items, answered in order to both block-list requests.
// Whatever came, the file must hold the header and whole rows only: every
// line ended, no carriage return, no row of another shape.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/fuzz_reader.h"
#include "identity/payloads.h"

namespace {

std::filesystem::path root_dir() {
    return std::filesystem::temp_directory_path() /
           ("korva-trace-fuzz-" + std::to_string(getpid()));
}

void remove_root() {
    std::error_code ec;
    std::filesystem::remove_all(root_dir(), ec);
}

// A working directory of the fuzzer's own, with a parent for "..",
// removed when the process ends. The session runs in it; the fuzzer's own
// relative paths (its corpus) need the directory it was started in.
const std::filesystem::path& work_dir() {
    static const std::filesystem::path dir = [] {
        std::filesystem::create_directories(root_dir() / "work");
        std::atexit(remove_root);
        return root_dir() / "work";
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace korva;
    using namespace korva::fuzz;
    const std::filesystem::path trace = work_dir().parent_path() / "trace.xls";
    std::filesystem::remove(trace);

    Input in(data, size);
    const unsigned silent_after = in.take();
    const std::vector<uint8_t> boot = in.chunk(BOOT_INFO_SIZE);
    std::vector<std::vector<uint8_t>> items;
    while (!in.empty() && items.size() < 64) items.push_back(in.chunk(BLOCK_ITEM_SIZE));
    unsigned sent = 0;

    AnswerPeer peer([&](AnswerPeer& p, const Request& r, int64_t now) {
        if (r.pss) return;
        if (r.code == CODE_BOOT_INFO) p.send(now + 3, framed(CODE_BOOT_INFO, {{0x0F, boot}}));
        if (r.code == CODE_BLOCK_LIST) {
            for (const auto& item : items) {
                if (silent_after != 0 && ++sent > silent_after) break;
                p.send(now + 3, framed(CODE_BLOCK_LIST, {{0x0E, item}}));
            }
        }
    });
    std::string output;
    const std::filesystem::path started_in = std::filesystem::current_path();
    std::filesystem::current_path(work_dir());
    const int status = run_session_against(peer, {"3", "trace", "trace", "q"}, "O", output);
    std::filesystem::current_path(started_in);
    if (status != 0 && status != 1) fail();

    std::ifstream file(trace, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (text.empty()) fail();  // the header at least
    if (text.back() != '\n' || text.find('\r') != std::string::npos) fail();
    // The header and at most one row per trace.
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    if (lines > 3) fail();
    // Each row has the fixed cells (serial number, date, two empty, reader,
    // firmware) and at most one cell per block the reader can have.
    std::size_t start = text.find('\n') + 1;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        std::size_t tabs = 0;
        for (std::size_t i = start; i < end; ++i) tabs += text[i] == '\t';
        if (tabs > 6 + 64) fail();
        start = end + 1;
    }
    return 0;
}
