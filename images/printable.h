// The one rule for a byte that the utility shows to the technician or
// writes into the trace as text: 32 to 125.
#pragma once

#include <cstdint>

namespace korva {

constexpr bool is_printable(uint8_t byte) {
    return byte >= 0x20 && byte <= 0x7D;
}

}  // namespace korva
