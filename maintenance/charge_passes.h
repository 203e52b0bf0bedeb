// The download passes of one image, worked out before the first is sent. A
// plain image goes in one pass into the block that charge was given. A
// two-part image sends its second part first, into that block, then its
// first part into the block after the one the reader reported for the
// second.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace korva {

// Which block code a pass sends to.
enum class PassBlock : uint8_t {
    GIVEN,           // the block code that charge was given
    AFTER_REPORTED,  // the block after the one the reader reported for the pass before
};

struct ChargePass {
    uint32_t start;    // the first byte sent
    uint32_t count;    // how many bytes are sent
    uint32_t trailer;  // where the part's signature trailer starts
    PassBlock block;
};

struct ChargePasses {
    std::array<ChargePass, 2> pass{};
    uint8_t count = 0;
    std::span<const ChargePass> list() const { return {pass.data(), count}; }
};

// length: the image's, trailer included; second_part: P of a two-part
// image. Each part ends in its own trailer of trailer_size bytes, which is
// not sent with the part but given to the signature check.
constexpr ChargePasses charge_passes(uint32_t length, uint32_t trailer_size, bool two_part,
                                     uint32_t second_part) {
    const uint32_t body_end = length - trailer_size;
    ChargePasses passes;
    if (!two_part) {
        passes.pass[0] = {0, body_end, body_end, PassBlock::GIVEN};
        passes.count = 1;
        return passes;
    }
    const uint32_t first_end = second_part - trailer_size;
    passes.pass[0] = {second_part, body_end - second_part, body_end, PassBlock::GIVEN};
    passes.pass[1] = {0, first_end, first_end, PassBlock::AFTER_REPORTED};
    passes.count = 2;
    return passes;
}

}  // namespace korva
