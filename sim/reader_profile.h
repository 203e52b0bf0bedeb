// What the virtual reader is (its profile) and what it does wrong on
// purpose (its fault knobs), with their text forms for the command line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korva::sim {

// The software of one block as the reader lists it: "PUBLISHER$NAME$".
struct BlockSoftware {
    std::string descriptor;
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
};

struct ReaderProfile {
    std::string name = "default";
    std::string boot_version = "4.01";
    uint8_t highest_block = 15;                 // 15 with boot 4.01, 31 with 4.02 and later
    std::map<uint8_t, BlockSoftware> software;  // by block number; absent = empty
    std::string serial_number = "KV2-0712-04518";
    uint8_t pad = 2;                 // PSS address, 0 to 14
    uint32_t pss_speed = 9600;       // 9600 or 19200
    uint8_t start_byte = 'A';        // first of the TLA's start bytes
    bool on_hold = false;            // starts switched on and on maintenance hold
    int64_t power_on_ms = 3000;      // switched on this long after the port is configured
    int64_t turnaround_ms = 3;       // from the end of a request to the first byte of its answer
    int64_t tla_start_ms = 3000;     // from the 0xF2 frame to the TLA's start bytes
    int64_t user_answer_ms = 1500;   // the reader's user answering the removal question
    int64_t self_restart_ms = 1500;  // from an accepted removal or payment loading to the restart
    // The timing of real lines and adapters. startup_phase_ms 0..999: the
    // 0xF2 frame waits for this position in a calendar second (-1: off).
    int startup_phase_ms = -1;
    int64_t byte_gap_us = 0;     // each byte reaches the utility alone, this long after the last
    int64_t usb_latency_ms = 0;  // 1..16: bytes handed over in bursts, as a USB adapter does
    int64_t jitter_ms = 0;       // the turnaround varies by up to this much more
    uint32_t seed = 1;           // of the reader's own random draws
};

// The fault knobs; every count is 1-based, 0 means the knob is off.
struct FaultKnobs {
    unsigned corrupt_check = 0;   // the check byte of the n-th frame sent is wrong
    unsigned drop = 0;            // the n-th byte sent is lost
    unsigned duplicate = 0;       // the n-th byte sent arrives twice
    bool noise = false;           // a few stray bytes before every frame
    unsigned silent_after = 0;    // no answer at all after n download packets
    unsigned refuse_packet = 0;   // the k-th download packet is refused once
    bool wrong_checksum = false;  // the final download sum is off by one
    bool refuse_signature = false;
    unsigned unplug_after = 0;   // the cable is pulled after n download packets
    unsigned restart_after = 0;  // the reader restarts by itself after n packets
    bool report_fa = false;      // an unprompted 0xFA report after every answer
    int poll_status = -1;        // the user's answer to the TLA removal; -1: accept
    unsigned poll_other = 0;     // answer with another status n times first
};

// The profile names, in the order --help lists them.
std::vector<std::string> profile_names();

// A profile from its text form: a profile name or the path of a file of
// "key=value" lines, then optional ",key=value" or ",flag" items that adjust
// it (pad=N, pss-speed=9600|19200, start=A|B, on-hold, power-on-ms=N,
// turnaround-ms=N, tla-start-ms=N, user-ms=N, restart-ms=N,
// startup-phase-ms=N, byte-gap-us=N, usb-latency-ms=N, jitter-ms=N, seed=S).
// A file may name its base with "profile=NAME". False with a message.
bool parse_profile(const std::string& text, ReaderProfile& profile, std::string& error);

// Adds one fault knob in its text form ("drop=N", "noise", ...).
bool parse_fault(const std::string& text, FaultKnobs& faults, std::string& error);

// One line per profile, option and fault knob.
std::string profiles_and_faults_help();

}  // namespace korva::sim
