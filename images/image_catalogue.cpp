#include "images/image_catalogue.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "images/embedded_images.h"
#include "images/printable.h"

namespace korva {

namespace {

constexpr uint8_t CLASS_BASE = 4;
constexpr uint8_t CLASS_SOFTWARE = 1;
constexpr uint8_t KIND_SUPERVISOR = 0x51;

// The catalogue: typed block, data file, L, class byte, bytes 576-577, parts,
// and the second part's kind and sub-kind.
constexpr CatalogueEntry CATALOGUE[] = {
    {0, "bloc0_base.img", 63378, CLASS_BASE, KindRule::ANY, 1, 0, 0},
    {2, "bloc2_superviseur.img", 35334, CLASS_SOFTWARE, KindRule::SUPERVISOR, 1, 0, 0},
    {3, "bloc3_pss.img", 102602, CLASS_SOFTWARE, KindRule::TWO_PART, 2, 0x14, 0x00},
    {5, "bloc5_orbex_112.img", 122896, CLASS_SOFTWARE, KindRule::TWO_PART, 2, 0x1C, 0x04},
    {6, "bloc6_extension.img", 61556, CLASS_SOFTWARE, KindRule::TWO_PART, 1, 0, 0},
};

// A part holds its identification bytes and then its trailer: the first
// part (or a one-part image) up to the class byte, a second part up to its
// sub-kind byte.
constexpr uint32_t FIRST_PART_MIN = CLASS_BYTE + 1 + TRAILER_SIZE;
constexpr uint32_t SECOND_PART_MIN = SUB_KIND_BYTE + 1 + TRAILER_SIZE;

// The part's descriptor and version bytes.
constexpr std::size_t DESCRIPTOR_OFFSET = 256;
constexpr std::size_t DESCRIPTOR_SIZE = 64;
constexpr std::size_t VERSION_OFFSET = 320;

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

uint32_t second_part_offset(std::span<const uint8_t> image) {
    return 256u * image[SECOND_PART_BYTES] + image[SECOND_PART_BYTES + 1] + SECOND_PART_BIAS;
}

ImageClass classify_two_part(std::span<const uint8_t> image, uint8_t block_code) {
    const std::size_t length = image.size();
    const uint32_t p = second_part_offset(image);
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

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

// A header of six characters '0' to '9' is the commonest slip: the digits
// must be stored as values.
bool character_digits(std::span<const uint8_t> header) {
    for (uint8_t b : header) {
        if (b < '0' || b > '9') return false;
    }
    return true;
}

std::string check_header(std::span<const uint8_t> stored) {
    if (stored.size() < LENGTH_DIGITS)
        return format("%u bytes, too short for the six length digits",
                      static_cast<unsigned>(stored.size()));
    const std::span<const uint8_t> header = stored.first(LENGTH_DIGITS);
    if (character_digits(header)) {
        return format(
            "the length digits are the characters \"%.6s\", not six decimal digit values (0 to 9)",
            reinterpret_cast<const char*>(header.data()));
    }
    for (std::size_t i = 0; i < LENGTH_DIGITS; ++i) {
        if (header[i] > 9)
            return format("length digit %u is 0x%02X, not a decimal digit value (0 to 9)",
                          static_cast<unsigned>(i + 1), header[i]);
    }
    uint32_t length = 0;
    for (uint8_t d : header) length = length * 10 + d;
    const std::size_t held = stored.size() - LENGTH_DIGITS;
    if (held != length)
        return format("the length digits give L = %u, the file holds %u image bytes", length,
                      static_cast<unsigned>(held));
    return {};
}

std::string check_second_part(const CatalogueEntry& e, std::span<const uint8_t> image) {
    const uint32_t length = static_cast<uint32_t>(image.size());
    const uint32_t p = second_part_offset(image);
    if (p > length)
        return format(
            "second part offset (bytes 600-601 + 129) %u lies beyond the image's %u bytes", p,
            length);
    if (e.parts == 1 && p != length)
        return format("second part offset %u: typed block %u's image is one part (offset = L = %u)",
                      p, e.typed_block, length);
    if (e.parts == 2 && p == length)
        return format("second part offset %u = L: typed block %u's image has a second part", p,
                      e.typed_block);
    if (e.parts == 1) return {};
    if (p < FIRST_PART_MIN)
        return format(
            "first part (0 to %u) too short for its identification bytes and its "
            "128-byte trailer",
            p);
    if (length - p <= SUB_KIND_BYTE)
        return format("second part (%u to %u) too short for its identification bytes", p, length);
    if (length - p < SECOND_PART_MIN)
        return format("second part (%u to %u) has no room for its 128-byte trailer", p, length);
    const uint8_t kind = image[p + KIND_BYTE];
    const uint8_t sub_kind = image[p + SUB_KIND_BYTE];
    if (kind != e.second_kind || sub_kind != e.second_sub_kind)
        return format(
            "second part's kind bytes (P + 576, P + 577) are 0x%02X 0x%02X, typed block "
            "%u's are 0x%02X 0x%02X",
            kind, sub_kind, e.typed_block, e.second_kind, e.second_sub_kind);
    return {};
}

// Publisher and name from the descriptor at part offset 256: the bytes up to
// the first '$', then those up to the second; the descriptor ends at its
// first zero byte or after 64 bytes.
void describe(std::span<const uint8_t> part, ImagePart& described) {
    if (part.size() < VERSION_OFFSET + 2) return;
    const std::span<const uint8_t> text = part.subspan(DESCRIPTOR_OFFSET, DESCRIPTOR_SIZE);
    std::size_t end = 0;
    while (end < text.size() && text[end] != 0) ++end;
    std::size_t i = 0;
    while (i < end && text[i] != '$') described.publisher += static_cast<char>(text[i++]);
    if (i == end) return;
    for (++i; i < end && text[i] != '$'; ++i) {
        if (is_printable(text[i])) described.name += static_cast<char>(text[i]);
    }
    if (i == end) return;
    described.version_major = part[VERSION_OFFSET];
    described.version_minor = part[VERSION_OFFSET + 1];
    described.described = true;
}

ImagePart part_of(std::span<const uint8_t> image, uint32_t offset, uint32_t end, bool second) {
    ImagePart part;
    part.offset = offset;
    part.size = end - offset;
    part.second = second;
    describe(image.subspan(offset, part.size), part);
    return part;
}

}  // namespace

std::span<const CatalogueEntry> image_catalogue() {
    return CATALOGUE;
}

HeldImages embedded_image_set() {
    HeldImages held;
    for (const CatalogueEntry& e : CATALOGUE) {
        for (const StoredImage& image : embedded_images()) {
            if (std::strcmp(image.name, e.file_name) != 0) continue;
            held.push_back({static_cast<uint8_t>(2 * e.typed_block),
                            std::vector<uint8_t>(image.bytes, image.bytes + image.size)});
        }
    }
    return held;
}

std::string check_stored_image(const CatalogueEntry& e, std::span<const uint8_t> stored) {
    if (std::string header = check_header(stored); !header.empty()) return header;
    const std::span<const uint8_t> image = stored.subspan(LENGTH_DIGITS);
    const uint32_t length = static_cast<uint32_t>(image.size());
    if (length != e.length)
        return format("L = %u, typed block %u's image has L = %u", length, e.typed_block, e.length);
    if (length < FIRST_PART_MIN)
        return format("L = %u, too short for the identification bytes and a 128-byte trailer",
                      length);
    if (image[CLASS_BYTE] != e.image_class)
        return format("class byte (609) is 0x%02X, typed block %u's is 0x%02X", image[CLASS_BYTE],
                      e.typed_block, e.image_class);
    const uint8_t kind = image[KIND_BYTE];
    const uint8_t sub_kind = image[SUB_KIND_BYTE];
    if (e.kind == KindRule::SUPERVISOR && kind != KIND_SUPERVISOR)
        return format("kind byte (576) is 0x%02X, typed block %u's is 0x%02X (supervisor)", kind,
                      e.typed_block, KIND_SUPERVISOR);
    if (e.kind == KindRule::TWO_PART) {
        if (!two_part_marking(kind, sub_kind))
            return format(
                "kind bytes (576, 577) are 0x%02X 0x%02X, typed block %u's carry the "
                "two-part marking (0xF_ 0x_F)",
                kind, sub_kind, e.typed_block);
        return check_second_part(e, image);
    }
    return {};
}

std::vector<ImagePart> image_parts(std::span<const uint8_t> image) {
    const uint32_t length = static_cast<uint32_t>(image.size());
    if (length <= CLASS_BYTE) return {};
    const uint32_t p = two_part_marking(image[KIND_BYTE], image[SUB_KIND_BYTE])
                           ? second_part_offset(image)
                           : length;
    if (p >= length) return {part_of(image, 0, length, false)};
    return {part_of(image, p, length, true), part_of(image, 0, p, false)};
}

HeldImage* find_image(HeldImages& held, uint8_t block_code) {
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
