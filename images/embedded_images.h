// The five reader images carried inside the utility, in their stored form:
// six length digits (one decimal digit value per byte), then the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva {

struct StoredImage {
    const char* name;     // the data file's name, without folder
    uint8_t typed_block;  // 0, 2, 3, 5 or 6
    const uint8_t* bytes;
    std::size_t size;     // 6 + L
};

// In catalogue order: typed blocks 0, 2, 3, 5, 6.
std::span<const StoredImage> embedded_images();

}  // namespace korva
