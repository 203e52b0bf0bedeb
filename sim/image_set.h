// The reader's own knowledge of the software it may accept: every part of a
// set of images with its signature trailer. A part is accepted when the
// bytes downloaded into a block and the trailer of the signature request are
// exactly those of one known part.
//
// The reader reads the images by its own rules (six length digits, then the
// image; the two-part marking and offset split it), not by the utility's
// catalogue: a misreading on one side does not pass on both.
//
// Layout of a part (offsets from the part's start): the descriptor text
// "PUBLISHER$NAME$" zero-padded at 256..319, the version bytes (major, minor)
// at 320 and 321, the 128-byte trailer at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
    std::vector<uint8_t> body;     // the bytes that are downloaded
    std::vector<uint8_t> trailer;  // the 128 bytes that follow them
};

// One part per one-part image, two per two-part image (first part, then
// second part).
struct ImageSet {
    std::vector<KnownPart> parts;
};

// Adds the parts of one stored image (six length digits, then the image);
// false, with the reason, when it is not one.
bool add_stored_image(ImageSet& set, std::span<const uint8_t> stored, std::string& error);

// The parts of the embedded images: what a reader holds unless told
// otherwise.
std::shared_ptr<const ImageSet> default_image_set();

// The parts of every "*.img" file in dir, in name order; false, with
// "<file>: <reason>", when dir cannot be read or a file is not a stored
// image.
bool read_image_dir(const std::string& dir, ImageSet& set, std::string& error);

// The known part with exactly this body and trailer; nullptr when none.
const KnownPart* find_known_part(const ImageSet& set, const std::vector<uint8_t>& body,
                                 std::span<const uint8_t> trailer);

// The software a part declares (its descriptor text and version).
BlockSoftware part_software(std::span<const uint8_t> body);

}  // namespace korva::sim
