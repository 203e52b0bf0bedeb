// The five reader images carried inside the utility, in their stored form:
// six length digits (one decimal digit value per byte), then the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korva {

struct StoredImage {
    const char* name;  // the data file's name, without folder
    const uint8_t* bytes;
    std::size_t size;  // 6 + L
};

// In the order of the build's list (the catalogue's: typed blocks 0, 2, 3,
// 5, 6); the catalogue (image_catalogue.h) finds them by name.
std::span<const StoredImage> embedded_images();

}  // namespace korva
