// Every wait on the reader in one place: how long each answer may take and
// each pause lasts, in whole seconds as the reader's protocol gives them
// (an answer is awaited until the calendar second passes start + n), the
// per-byte factors of the PSS dialogue's raw reads (4 x factor ms a byte)
// and the few short settling times in milliseconds.
#pragma once

#include <cstdint>

namespace korva::waits {

// --- Answers of the framed protocol (await_answer), in seconds.
constexpr uint8_t BOOT_INFO_S = 5;         // boot information at the link's start
constexpr uint8_t BLOCK_LIST_ITEM_S = 2;   // each item of the block list
constexpr uint8_t SPEED_S = 5;             // the line-speed switch
constexpr uint8_t STARTED_S = 30;          // the start-up frame after a reset or restart
constexpr uint8_t STARTED_BLINK_S = 1;     // one blink of charge's wait for the start-up frame
constexpr uint8_t ERASE_S = 10;            // an erasure asked by efface
constexpr uint8_t HOLD_ERASE_S = 10;       // the erase of the maintenance hold
constexpr uint8_t DOWNLOAD_ERASE_S = 30;   // the erase that opens a download
constexpr uint8_t DOWNLOAD_ANSWER_S = 10;  // the download's opening and each packet
constexpr uint8_t SIGNATURE_S = 30;        // the reader's check of an image's signature

// --- Pauses (pause_seconds), in seconds.
constexpr uint32_t HOLD_PAUSE_S = 1;      // between the hold pair and the hold's erase
constexpr uint32_t SCRIPT_COMMAND_S = 2;  // between two commands of a script
constexpr uint32_t LINK_STARTED_S = 1;    // after the link's start and the script's load
constexpr uint32_t BOOT_PROBE_S = 1;      // after the boot probe

// --- Per-byte factors of the PSS dialogue's raw reads (read_raw_timed).
constexpr uint8_t PSS_PROBE_FACTOR = 2;          // a probe's answer
constexpr uint8_t PSS_REMOVE_FACTOR = 15;        // the answer to the removal frame
constexpr uint8_t PSS_POLL_FACTOR = 15;          // the poll's answer, sup_tla
constexpr uint8_t PSS_POLL_CHARGE_FACTOR = 65;   // the poll's answer, charge
constexpr uint8_t PSS_BOOT_FACTOR = 35;          // the reset's first read, sup_tla and cb
constexpr uint8_t PSS_START_FACTOR = 35;         // the start bytes, sup_tla and cb
constexpr uint8_t PSS_BOOT_CHARGE_FACTOR = 15;   // the reset's first read, charge
constexpr uint8_t PSS_START_CHARGE_FACTOR = 55;  // the start bytes, charge

// --- Short settling times, in milliseconds.
constexpr int64_t LINK_OPEN_SETTLE_MS = 50;   // after the link opens a port
constexpr int64_t BLINK_PHASE_MS = 300;       // one phase of a blinking prompt
constexpr int64_t EMPTY_READ_BACKOFF_MS = 1;  // after a read that came back at once, empty

}  // namespace korva::waits
