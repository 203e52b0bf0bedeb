// The reader's own knowledge of the software it may accept: every part of
// the embedded images with its signature trailer. A part is accepted when the
// bytes downloaded into a block and the trailer of the signature request are
// exactly those of one known part.
//
// Layout of a part (offsets from the part's start): the descriptor text
// "PUBLISHER$NAME$" zero-padded at 256..319, the version bytes (major, minor)
// at 320 and 321, the 128-byte trailer at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/reader_profile.h"

namespace korva::sim {

constexpr std::size_t TRAILER_SIZE = 128;
constexpr std::size_t DESCRIPTOR_OFFSET = 256;
constexpr std::size_t DESCRIPTOR_SIZE = 64;
constexpr std::size_t VERSION_OFFSET = 320;

struct KnownPart {
    std::span<const uint8_t> body;     // the bytes that are downloaded
    std::span<const uint8_t> trailer;  // the 128 bytes that follow them
};

// The parts of the embedded images: one per one-part image, two per
// two-part image (first part, then second part).
const std::vector<KnownPart>& known_parts();

// The known part with exactly this body and trailer; nullptr when none.
const KnownPart* find_known_part(const std::vector<uint8_t>& body,
                                 std::span<const uint8_t> trailer);

// The software a part declares (its descriptor text and version).
BlockSoftware part_software(std::span<const uint8_t> body);

}  // namespace korva::sim
