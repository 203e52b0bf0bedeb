// The line between the virtual reader and the utility: the bytes on both
// sides of it at their speed, what the wire does wrong on purpose, and what
// stands between the line and the utility.
//
// Each byte crosses the line at the speed its sender's port has: ten bits a
// byte when paced, at once when not. A listener at another speed hears
// broken bytes instead (see hear() in virtual_line.cpp).
//
// Between the line and the utility stands what a real machine has there: a
// plain serial port hands each byte over as it has crossed; with
// byte-gap-us each byte comes alone, a set time after the previous one;
// with usb-latency-ms an adapter holds the bytes back and hands them over in
// bursts. A byte can only be taken at a tick of the utility's clock: a
// millisecond on a simulated line, a nanosecond on a pty.
//
// Times are in nanoseconds, so that bytes paced at 1.0417 ms keep their
// spacing.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "serial/sim_serial_device.h"
#include "sim/reader_profile.h"

namespace korva::sim {

constexpr int64_t NS_PER_MS = 1'000'000;
constexpr int64_t NEVER_NS = NEVER;

inline int64_t ms_to_ns(int64_t ms) {
    return ms * NS_PER_MS;
}

// The first multiple of step at or after t (step > 0).
int64_t round_up(int64_t t, int64_t step);

// A byte on the line.
struct LineByte {
    int64_t at_ns;  // when its last bit has crossed the line
    uint8_t byte;
    uint32_t baud;  // the speed it was sent at
};

class VirtualLine {
  public:
    // The profile's byte gap and USB latency; the faults' drop, duplicate,
    // noise and corrupt-check. Without pacing bytes cross at once.
    VirtualLine(const ReaderProfile& profile, const FaultKnobs& faults, bool pacing);

    // --- from the utility to the reader ---
    // The utility writes at t_ns, its port at baud; nothing crosses once
    // the cable is pulled.
    void utility_writes(const uint8_t* data, std::size_t count, uint32_t baud, int64_t t_ns);
    // The utility's port is at baud from t_ns on.
    void utility_speed(uint32_t baud, int64_t t_ns);
    // When the utility's next byte has crossed; NEVER_NS when none is on
    // the line.
    int64_t next_arrival_ns() const;
    // Takes that byte off the line (one must be there).
    LineByte take_arrival();
    // What the reader, its port at baud, hears of a byte that crossed.
    void hear_at_reader(const LineByte& b, uint32_t baud, std::vector<uint8_t>& out);

    // --- from the reader to the utility ---
    // The reader sends bytes at baud, from ready_ns on or once the line is
    // free; a frame (the last byte its check byte) may get noise before it
    // and a wrong check byte.
    void reader_sends(std::vector<uint8_t> bytes, uint32_t baud, int64_t ready_ns, bool frame);
    // When the last byte the reader sent has crossed.
    int64_t reader_free_ns() const { return reader_tx_free_ns_; }
    // Appends to out every byte handed to the utility by t_ns, which it
    // takes at the ticks of its clock (tick_ns apart).
    void hand_over(int64_t t_ns, int64_t tick_ns, std::vector<uint8_t>& out);
    // When the next byte reaches the utility; NEVER_NS when none is due.
    int64_t next_handing_ns() const;

    // The cable is pulled: what is on its way is lost, and nothing crosses
    // from now on.
    void pull_cable();
    bool connected() const { return !unplugged_; }

  private:
    void put_byte(uint8_t byte, uint32_t baud, int64_t ready_ns);
    int64_t byte_ns(uint32_t baud) const;
    uint32_t utility_baud_at(int64_t t_ns) const;

    bool pacing_;
    int64_t byte_gap_us_;
    int64_t usb_latency_ms_;
    unsigned drop_;
    unsigned duplicate_;
    bool noise_;
    unsigned corrupt_check_;
    bool unplugged_ = false;

    // The utility's side of the line.
    std::deque<LineByte> incoming_;
    int64_t utility_tx_free_ns_ = 0;
    std::vector<std::pair<int64_t, uint32_t>> utility_baud_;  // (from, baud)
    bool incoming_half_ = false;  // garbling a fast sender to a slow listener

    // The reader's side of the line.
    std::deque<LineByte> outgoing_;
    int64_t reader_tx_free_ns_ = 0;
    bool outgoing_half_ = false;
    int64_t gap_ready_ns_ = 0;  // byte-gap-us: the next byte may come from here on
    unsigned bytes_sent_ = 0;
    unsigned frames_sent_ = 0;
};

}  // namespace korva::sim
