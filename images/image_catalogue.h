// The reader images that charge installs: choosing one by block code, its
// length, its classification against the target block, and the serial-number
// field that a client file counts up.
//
// The run holds its own copies of the embedded images (Session::held_images),
// made on first use, so that a counted-up serial number stays for the rest
// of the run.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korva {

constexpr std::size_t LENGTH_DIGITS = 6;
constexpr uint32_t TRAILER_SIZE = 128;

// Identification bytes, as offsets from the first image byte.
constexpr std::size_t SERIAL_FIELD = 94;       // nine characters
constexpr std::size_t SERIAL_COUNTED = 98;     // first of the five counted digits
constexpr std::size_t SERIAL_FIELD_END = 103;  // one past the field
constexpr std::size_t KIND_BYTE = 576;
constexpr std::size_t SUB_KIND_BYTE = 577;
constexpr std::size_t SECOND_PART_BYTES = 600;  // two bytes, big-endian
constexpr std::size_t CLASS_BYTE = 609;

// The run's copy of one image: the block code it belongs to, and its stored
// form (the six length digits, then the image bytes).
struct HeldImage {
    uint8_t block_code = 0;
    std::vector<uint8_t> stored;
};
using HeldImages = std::vector<HeldImage>;

// The run's copy of the image for a block code (0, 4, 6, 10 or 12), copied
// from the carried images when held is empty; nullptr for any other code.
HeldImage* find_image(HeldImages& held, uint8_t block_code);

// L, by the decimal rule of the six length digits. 0 (no image) when the
// digits are not all below 10 or L claims more bytes than are stored.
uint32_t image_length(std::span<const uint8_t> stored);

// The image bytes of a held image (after the length digits), L of them.
std::span<uint8_t> image_bytes(HeldImage& held);

struct ImageClass {
    bool refused = true;
    bool two_part = false;
    uint32_t second_part = 0;  // P, the offset of the second part, when two_part
    bool tla = false;
};

// Whether image (its L bytes) may go into the block code, and how.
ImageClass classify_image(std::span<const uint8_t> image, uint8_t block_code);

// Counts the serial-number field up by one (last five characters, decimal
// with carry; a byte that is not '9' is raised by one modulo 256).
void increment_serial(std::span<uint8_t> image);

}  // namespace korva
