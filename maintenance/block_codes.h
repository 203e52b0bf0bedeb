// Block codes as the reader's erase, download and signature requests carry
// them: twice the block number.
#pragma once

#include <cstdint>

namespace korva {

constexpr uint8_t block_code_of(uint8_t block) {
    return static_cast<uint8_t>(2 * block);
}

// Block 1, the identity block: its erasure is guarded by the access check,
// and charge writes its client file instead of asking for a signature.
constexpr uint8_t IDENTITY_BLOCK_CODE = block_code_of(1);
// Block 5, the TLA software's.
constexpr uint8_t TLA_BLOCK_CODE = block_code_of(5);
// On a reader of 31 blocks, charge loads each block 16 higher.
constexpr uint8_t PAYMENT_BLOCK_OFFSET = block_code_of(16);
constexpr uint8_t PAYMENT_IDENTITY_BLOCK_CODE = IDENTITY_BLOCK_CODE + PAYMENT_BLOCK_OFFSET;

}  // namespace korva
