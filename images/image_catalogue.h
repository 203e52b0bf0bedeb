// The reader images that charge installs: the catalogue of the five images,
// choosing one by block code, its length, its classification against the
// target block, the checks that an image set must pass, and the
// serial-number field that a client file counts up.
//
// The run holds its own copies of its image set (Session::held_images): the
// embedded images, or those read from a folder (image_folder.h), so that a
// counted-up serial number stays for the rest of the run.
#pragma once

#include <cstdint>
#include <span>
#include <string>
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
constexpr uint32_t SECOND_PART_BIAS = 129;  // P = bytes 600-601 + 129

// What bytes 576 and 577 of an image must hold.
enum class KindRule : uint8_t {
    ANY,         // not looked at
    SUPERVISOR,  // byte 576 is 0x51
    TWO_PART,    // the two-part marking: high nibble 0xF in 576, low nibble 0xF in 577
};

// One row of the catalogue: the image of one typed block, as the data file
// that holds it and the identification bytes it must carry.
struct CatalogueEntry {
    uint8_t typed_block;  // the block code is twice it
    const char* file_name;
    uint32_t length;      // L
    uint8_t image_class;  // byte 609
    KindRule kind;
    // With the two-part marking: 2 when a second part follows at P, 1 when
    // the marking carries P = L and the image is its first part alone.
    uint8_t parts;
    uint8_t second_kind;      // byte P + 576, with a second part
    uint8_t second_sub_kind;  // byte P + 577, with a second part
};

// The five rows, in typed-block order: 0, 2, 3, 5, 6.
std::span<const CatalogueEntry> image_catalogue();

// The run's copy of one image: the block code it belongs to, and its stored
// form (the six length digits, then the image bytes).
struct HeldImage {
    uint8_t block_code = 0;
    std::vector<uint8_t> stored;
};
using HeldImages = std::vector<HeldImage>;

// Copies of the five embedded images: the set a run holds by default.
HeldImages embedded_image_set();

// The held image for a block code (0, 4, 6, 10 or 12); nullptr for any
// other code, and for one that the set does not hold.
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

// What is wrong with stored (six length digits, then the image) as the
// image of the catalogue row; empty when it passes every check: the stored
// form's header, L equal to the row's, the row's identification bytes, a
// second-part offset inside the image, and each part long enough for its
// identification bytes and its 128-byte trailer.
std::string check_stored_image(const CatalogueEntry& entry, std::span<const uint8_t> stored);

// One part of an image, in the order charge downloads them, with what its
// descriptor declares.
struct ImagePart {
    uint32_t offset = 0;  // from the first image byte
    uint32_t size = 0;    // its trailer included
    bool second = false;  // the second part of a two-part image
    // The software the part declares: its descriptor "PUBLISHER$NAME$" at
    // part offset 256 (64 bytes), and its version bytes at 320 and 321. The
    // reader reports these once it has installed the part, and charge shows
    // what it reports.
    std::string publisher;
    std::string name;  // its printable characters only (is_printable), as charge shows them
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    bool described = false;  // the part holds a descriptor with both '$'
};

// The parts of an image that passed check_stored_image: the second part
// first when there are two.
std::vector<ImagePart> image_parts(std::span<const uint8_t> image);

// Counts the serial-number field up by one (last five characters, decimal
// with carry; a byte that is not '9' is raised by one modulo 256).
void increment_serial(std::span<uint8_t> image);

}  // namespace korva
