#include "images/sha256.h"

namespace korva {

std::string sha256_hex(std::span<const uint8_t> data) {
    Sha256Digest digest{};
    if (!sha256(data, digest)) return {};
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

}  // namespace korva
