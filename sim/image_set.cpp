#include "sim/image_set.h"

#include <algorithm>

#include "images/embedded_images.h"

namespace korva::sim {

namespace {

std::vector<KnownPart> collect_parts() {
    std::vector<KnownPart> parts;
    auto add = [&parts](std::span<const uint8_t> part) {
        if (part.size() < TRAILER_SIZE) return;
        parts.push_back({part.first(part.size() - TRAILER_SIZE), part.last(TRAILER_SIZE)});
    };
    for (const StoredImage& stored : embedded_images()) {
        if (stored.size < 6) continue;
        std::size_t length = 0;
        for (int i = 0; i < 6; ++i) length = length * 10 + stored.bytes[i];
        if (stored.size < 6 + length) continue;
        const std::span<const uint8_t> image(stored.bytes + 6, length);
        std::size_t split = length;
        if (length > 609 && (image[576] >> 4) == 0xF && (image[577] & 0xF) == 0xF) {
            const std::size_t p = 256u * image[600] + image[601] + 129u;
            if (p >= TRAILER_SIZE && p + TRAILER_SIZE <= length) split = p;
        }
        add(image.first(split));
        if (split < length) add(image.subspan(split));
    }
    return parts;
}

}  // namespace

const std::vector<KnownPart>& known_parts() {
    static const std::vector<KnownPart> parts = collect_parts();
    return parts;
}

const KnownPart* find_known_part(const std::vector<uint8_t>& body,
                                 std::span<const uint8_t> trailer) {
    for (const KnownPart& part : known_parts()) {
        if (part.body.size() == body.size() &&
            std::equal(part.body.begin(), part.body.end(), body.begin()) &&
            trailer.size() == TRAILER_SIZE &&
            std::equal(part.trailer.begin(), part.trailer.end(), trailer.begin()))
            return &part;
    }
    return nullptr;
}

BlockSoftware part_software(std::span<const uint8_t> body) {
    BlockSoftware software;
    if (body.size() < VERSION_OFFSET + 2) return software;
    for (std::size_t i = DESCRIPTOR_OFFSET; i < DESCRIPTOR_OFFSET + DESCRIPTOR_SIZE; ++i) {
        if (body[i] == 0) break;
        software.descriptor += static_cast<char>(body[i]);
    }
    software.version_major = body[VERSION_OFFSET];
    software.version_minor = body[VERSION_OFFSET + 1];
    return software;
}

}  // namespace korva::sim
