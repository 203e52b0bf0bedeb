#include "images/image_catalogue.h"

#include "images/embedded_images.h"

namespace korva {

namespace {

constexpr uint8_t CLASS_BASE = 4;
constexpr uint8_t CLASS_SOFTWARE = 1;
constexpr uint8_t KIND_SUPERVISOR = 0x51;
constexpr uint32_t SECOND_PART_BIAS = 129;

uint8_t high_nibble(uint8_t b) {
    return static_cast<uint8_t>(b >> 4);
}
uint8_t low_nibble(uint8_t b) {
    return static_cast<uint8_t>(b & 0x0F);
}

bool two_part_marking(uint8_t kind, uint8_t sub_kind) {
    return high_nibble(kind) == 0xF && low_nibble(sub_kind) == 0xF;
}

bool tla_part(uint8_t kind, uint8_t sub_kind) {
    return high_nibble(kind) == 0x1 && low_nibble(sub_kind) == 4;
}

// A software part whose block is chosen by the reader: refused below block
// code 10.
ImageClass software_part(uint8_t block_code, bool tla) {
    ImageClass c;
    c.refused = block_code < 10;
    c.tla = !c.refused && tla;
    return c;
}

ImageClass classify_two_part(std::span<const uint8_t> image, uint8_t block_code) {
    const std::size_t length = image.size();
    const uint32_t p =
        256u * image[SECOND_PART_BYTES] + image[SECOND_PART_BYTES + 1] + SECOND_PART_BIAS;
    // A second part that begins at the very end is no part at all: the image
    // is its first part alone, trailer included, and goes in as one part.
    if (p == length) return software_part(block_code, false);
    // A second part must hold its identification bytes and its trailer.
    if (p > length || p + SUB_KIND_BYTE >= length) return ImageClass{};

    const uint8_t d = image[p + KIND_BYTE];
    const uint8_t d_sub = image[p + SUB_KIND_BYTE];
    ImageClass c;
    if (high_nibble(d) == 0x1 && low_nibble(d_sub) == 0) {
        c.refused = block_code != 6;
    } else {
        c = software_part(block_code, tla_part(d, d_sub));
    }
    if (!c.refused) {
        c.two_part = true;
        c.second_part = p;
    }
    return c;
}

}  // namespace

HeldImage* find_image(HeldImages& held, uint8_t block_code) {
    if (held.empty()) {
        for (const StoredImage& image : embedded_images()) {
            held.push_back({static_cast<uint8_t>(2 * image.typed_block),
                            std::vector<uint8_t>(image.bytes, image.bytes + image.size)});
        }
    }
    for (HeldImage& image : held) {
        if (image.block_code == block_code) return &image;
    }
    return nullptr;
}

uint32_t image_length(std::span<const uint8_t> stored) {
    if (stored.size() < LENGTH_DIGITS) return 0;
    uint32_t length = 0;
    for (std::size_t i = 0; i < LENGTH_DIGITS; ++i) {
        if (stored[i] > 9) return 0;
        length = length * 10 + stored[i];
    }
    if (length > stored.size() - LENGTH_DIGITS) return 0;
    return length;
}

std::span<uint8_t> image_bytes(HeldImage& held) {
    const uint32_t length = image_length(held.stored);
    if (length == 0) return {};
    return std::span<uint8_t>(held.stored).subspan(LENGTH_DIGITS, length);
}

ImageClass classify_image(std::span<const uint8_t> image, uint8_t block_code) {
    if (image.size() <= CLASS_BYTE) return ImageClass{};
    const uint8_t image_class = image[CLASS_BYTE];
    const uint8_t kind = image[KIND_BYTE];
    const uint8_t sub_kind = image[SUB_KIND_BYTE];

    if (image_class == CLASS_BASE) {
        ImageClass c;
        c.refused = block_code >= 1 && block_code <= 31;
        return c;
    }
    if (image_class != CLASS_SOFTWARE) return ImageClass{};
    if (kind == KIND_SUPERVISOR) {
        ImageClass c;
        c.refused = block_code != 4;
        return c;
    }
    if (two_part_marking(kind, sub_kind)) return classify_two_part(image, block_code);
    return software_part(block_code, tla_part(kind, sub_kind));
}

void increment_serial(std::span<uint8_t> image) {
    if (image.size() < SERIAL_FIELD_END) return;
    for (std::size_t i = SERIAL_FIELD_END; i-- > SERIAL_COUNTED;) {
        if (image[i] == '9') {
            image[i] = '0';
            continue;
        }
        ++image[i];
        return;
    }
}

}  // namespace korva
