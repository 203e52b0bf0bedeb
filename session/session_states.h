// The states a session keeps about the reader between commands: what cb
// made of the payment loading, what kind of base software charge found, and
// what charge knows of the TLA software. Each is reset when a new reader
// comes up.
#pragma once

#include <cstdint>

namespace korva {

// Set by cb, read by charge.
enum class PaymentLoading : uint8_t {
    NONE = 0,       // no cb yet, or it failed: blocks as typed
    ON_HOLD = 1,    // the reader switched to payment loading and is on hold
    BLOCKS_31 = 2,  // a 31-block reader: charge loads 16 blocks higher
};

// The base software's kind, from the base block's item of the block list.
enum class ReaderKind : uint8_t {
    UNKNOWN = 0,    // not looked at yet
    UPDATABLE = 1,  // "KRV": charge may update it
    OLD = 2,        // "KER": the old base software, no update
};

// What charge knows of the TLA software in the reader.
enum class TlaState : uint8_t {
    NONE = 0,     // no TLA installed: no TLA update
    FULL = 1,     // the full TLA (or not yet known)
    REDUCED = 2,  // the reduced TLA
};

}  // namespace korva
