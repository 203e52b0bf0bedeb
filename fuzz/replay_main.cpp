// Replays a fuzz target over the files of a corpus, for builds without
// libFuzzer: each argument is a file or a directory of files. Fails when
// there is nothing to replay; a finding aborts the process.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

void replay(const std::filesystem::path& file) {
    // Named first, so that the input of a crash is known.
    std::fprintf(stderr, "%s\n", file.string().c_str());
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else if (std::filesystem::is_regular_file(arg)) {
            files.push_back(arg);
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            replay(file);
            ++replayed;
        }
    }
    std::printf("replayed %lu inputs\n", static_cast<unsigned long>(replayed));
    return replayed > 0 ? 0 : 1;
}
