// What the PSS tests of this folder share.
#pragma once

#include "pss/pss.h"
#include "tests/support/pss_test_peer.h"

namespace korva::testing {

// The bytes of the frame of kind for address, as they go on the wire.
inline Bytes frame_bytes(PssFrameKind kind, uint8_t address) {
    const PssFrame f = pss_frame(kind, address);
    return Bytes(f.bytes.begin(), f.bytes.begin() + f.length);
}

}  // namespace korva::testing
