// Test support for the virtual reader: requests and an unframer for what the
// reader sends, both from the tests' own wire code (independent of the
// reader's own codec and of the utility), and a line driven on a virtual
// clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"
#include "tests/support/wire.h"

namespace korva::sim::testing {

using korva::testing::Bytes;

// A request as the utility writes it, with one section when a mark is given.
inline Bytes request(uint8_t code, uint8_t mark = 0, const Bytes& data = {}, uint8_t subcode = 0) {
    if (mark == 0) return korva::testing::frame(code, {}, {.subcode = subcode});
    return korva::testing::frame(code, {{mark, data}}, {.subcode = subcode});
}

inline Bytes so_request(uint8_t code, const Bytes& data) {
    return request(code, 0x0E, data);
}

// One frame the reader sent, unframed.
struct Reply {
    uint8_t direction = 0;
    uint8_t code = 0;
    uint8_t check = 0;
    Bytes so, si;
    bool has_so = false, has_si = false;
};

// The reader's frames in received bytes; bytes outside frames and frames
// with a wrong check are counted, not returned.
struct Unframed {
    std::vector<Reply> frames;
    Bytes loose;  // bytes outside any frame
    unsigned bad_checks = 0;
};

inline Unframed unframe(const Bytes& in) {
    using korva::testing::MARK_SI;
    using korva::testing::MARK_SO;
    const korva::testing::Split split = korva::testing::split_frames(in);
    Unframed result{{}, split.loose, split.bad_checks};
    for (const korva::testing::Frame& f : split.frames) {
        result.frames.push_back({f.direction, f.code, f.check, f.section(MARK_SO),
                                 f.section(MARK_SI), f.has(MARK_SO), f.has(MARK_SI)});
    }
    return result;
}

// A virtual reader on a simulated line, on a virtual clock.
class ReaderLine {
  public:
    explicit ReaderLine(const std::string& profile = "default,on-hold", FaultKnobs faults = {},
                        bool pacing = true)
        : reader(parse(profile), faults, pacing), device(clock, reader) {}

    static ReaderProfile parse(const std::string& text) {
        ReaderProfile p;
        std::string error;
        EXPECT_TRUE(parse_profile(text, p, error)) << error;
        return p;
    }

    // The utility's port at this speed (the first call is the start-up's).
    void set_speed(uint32_t baud) {
        LineSettings s;
        s.baud_rate = baud;
        device.set_state(s);
    }
    void write(const Bytes& bytes) { device.write(bytes.data(), bytes.size()); }

    // Everything that reaches the utility within ms milliseconds from now,
    // with the arrival time of each byte.
    Bytes listen(int64_t ms) {
        const int64_t deadline = clock.calendar_ms() + ms;
        Bytes got;
        for (;;) {
            Bytes now_bytes;
            reader.deliver(clock.calendar_ms(), now_bytes);
            for (uint8_t b : now_bytes) {
                got.push_back(b);
                arrivals.push_back(clock.calendar_ms());
            }
            const int64_t next = reader.next_delivery_ms(clock.calendar_ms());
            if (next == NEVER || next > deadline) break;
            clock.advance_to(std::max(next, clock.calendar_ms() + 1));
        }
        clock.advance_to(deadline);
        return got;
    }

    // Writes a request and takes what comes back within ms.
    Unframed exchange(const Bytes& bytes, int64_t ms = 1000) {
        write(bytes);
        return unframe(listen(ms));
    }

    int64_t now() { return clock.calendar_ms(); }

    VirtualClock clock;
    VirtualReader reader;
    SimSerialDevice device;
    std::vector<int64_t> arrivals;  // of every byte listen() returned
};

inline FaultKnobs faults_of(std::initializer_list<const char*> knobs) {
    FaultKnobs f;
    for (const char* k : knobs) {
        std::string error;
        EXPECT_TRUE(parse_fault(k, f, error)) << error;
    }
    return f;
}

}  // namespace korva::sim::testing
