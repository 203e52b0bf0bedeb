// The block download engine: erases a block, opens a download into it and
// streams bytes in numbered 80-byte packets, showing how many remain, then
// compares its running sum with the reader's checksum.
#pragma once

#include <cstdint>

#include "maintenance/results.h"
#include "session/session.h"

namespace korva {

constexpr uint32_t PACKET_SIZE = 80;
// A refused packet that the reader asks for again is sent again; a reader
// that refuses it this many times in a row has the download fail.
constexpr uint32_t PACKET_RESEND_LIMIT = 16;

// Puts count bytes into the block of block_code through the session's link
// and record. Prints its own progress lines; returns one of the results.
DownloadResult download_block(Session& s, const uint8_t* bytes, uint32_t count, uint8_t block_code);

}  // namespace korva
