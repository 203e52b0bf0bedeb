// Writing frames to the reader: the fixed start and end sequences and the
// builder that every request uses. Internal to the link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/link.h"

namespace korva {

// DLE STX and the direction byte of every frame the utility sends.
constexpr uint8_t DIRECTION_TO_READER = 0x02;
// The reader may also mark its frames with this direction byte.
constexpr uint8_t DIRECTION_FROM_READER = 0x03;
constexpr std::array<uint8_t, 3> frame_start{DLE, STX, DIRECTION_TO_READER};
constexpr std::array<uint8_t, 2> frame_end{DLE, ETX};

// No section in an outgoing frame.
constexpr uint8_t NO_SECTION = 0;

// The most bytes a frame from the reader can take on the wire: the
// descriptor row with the largest sections, each section announced once and
// filled to its capacity with every data byte doubled, plus the header, the
// section marks, DLE ETX and the check byte.
std::size_t longest_frame_length();

// Writes one whole frame: frame_start, code, subcode, then (unless mark is
// NO_SECTION) DLE, the section mark and the section data (lead, then body,
// both stuffed), frame_end and the check byte. The check starts from 0.
void send_frame(SerialPort& port, uint8_t code, uint8_t subcode, uint8_t mark,
                std::span<const uint8_t> lead, std::span<const uint8_t> body);

}  // namespace korva
