// The PSS dialogue: the second, raw protocol that the reader speaks while its
// TLA software runs. Three callers use it (sup_tla, cb and the TLA update
// preparation of charge); each prints its own variant of every line.
//
// A dialogue lives inside one command: the start check after a reset, the
// scan for the line speed and PSS address, then the TLA removal or the
// payment-loading switch, and, when the reader accepted, the wait for its
// restart into the framed protocol and the maintenance hold.
#pragma once

#include <array>
#include <cstdint>

#include "session/session.h"

namespace korva {

enum class PssCaller : uint8_t { SUP_TLA = 0, CB = 1, CHARGE = 2 };

// Outcomes of the TLA removal dialogue.
enum class PssOutcome : uint8_t {
    ACCEPTED = 0,     // the reader accepted and restarts
    REFUSED = 1,      // the user refused on the reader
    FSE_PRESENT = 2,  // an FSE is still stored in the reader
    OTHER = 3,        // any other status, or no status at all
    NO_LINK = 4,      // charge only: the removal or the poll frame went unanswered
};

// Status byte (index 4) of the answer to the poll frame.
constexpr uint8_t PSS_STATUS_ACCEPTED = 0x00;
constexpr uint8_t PSS_STATUS_REFUSED = 0x92;
constexpr uint8_t PSS_STATUS_FSE_PRESENT = 0x94;
constexpr uint32_t PSS_STATUS_INDEX = 4;

// The address byte of a reader at PSS address pad (0 to 14): pad x 16 + 15.
constexpr uint8_t pss_address(uint8_t pad) {
    return static_cast<uint8_t>(pad * 16 + 15);
}
constexpr uint8_t PSS_QUICK_TRY_PAD = 2;
constexpr uint8_t PSS_PAD_COUNT = 15;
constexpr uint8_t PSS_PROBE_ANSWER_LENGTH = 9;

// CRC-16 with the reflected CCITT polynomial, initial value 0, no final XOR,
// computed bit by bit. A count below 1 covers nothing.
uint16_t pss_crc16(const uint8_t* bytes, int16_t count);

enum class PssFrameKind : uint8_t { PROBE, REMOVE_TLA, POLL_ANSWER, PAYMENT_LOADING };

// A frame as it goes on the wire: address, control, length, data, CRC low
// byte, CRC high byte.
struct PssFrame {
    std::array<uint8_t, 16> bytes{};
    uint8_t length = 0;
};

PssFrame pss_frame(PssFrameKind kind, uint8_t address);

// The state of one dialogue: the caller, what detection found, and the
// reply buffer that holds one whole read chunk.
struct PssDialogue {
    explicit PssDialogue(PssCaller caller_) : caller(caller_) {}

    PssCaller caller;
    uint8_t address = pss_address(PSS_QUICK_TRY_PAD);
    uint32_t speed = 0;  // 0 until detected
    std::array<uint8_t, READ_CHUNK> reply{};
    uint32_t reply_count = 0;
};

// Reset request, then two raw reads; only the second counts. True when it
// brought the start bytes ('A', or for sup_tla and charge also 'B', then two
// zero bytes).
bool pss_check_start(Session& s, PssDialogue& d);
// Finds the speed and PSS address at which the reader answers a probe with
// exactly nine bytes; with quick_try, PAD 2 is tried first at each speed.
// False leaves the port at the last speed tried.
bool pss_detect(Session& s, PssDialogue& d, bool quick_try);
// The removal frame, the question on the reader and the poll for its answer.
// For charge an unlisted status (or an answer too short to carry one)
// repeats the dialogue; it ends when another outcome comes or when the
// reader stops answering the removal frame or the poll.
PssOutcome pss_remove_tla(Session& s, PssDialogue& d);
// Sends the payment-loading frame; no answer is read.
void pss_payment_loading(Session& s, PssDialogue& d);
// Back to the framed settings, the wait for the reader's start-up frame and
// the maintenance hold. True when the reader accepted the hold.
bool await_restart(Session& s, PssDialogue& d);

}  // namespace korva
