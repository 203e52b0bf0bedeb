// Image sets on disk, for the tests of --images: the built-in set written
// out as data files, to be changed file by file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "images/image_catalogue.h"

namespace korva::testing {

inline void write_bytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// The built-in set as data files in dir (created when missing), under the
// catalogue's names.
inline void write_image_set(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    const HeldImages held = embedded_image_set();
    for (std::size_t i = 0; i < held.size(); ++i)
        write_bytes(dir / image_catalogue()[i].file_name, held[i].stored);
}

}  // namespace korva::testing
