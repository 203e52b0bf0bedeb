// Test support for the virtual reader: request frames built by hand, an
// unframer for what the reader sends, and a line driven on a virtual clock.
// Deliberately independent of the reader's own codec and of the utility.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"

namespace korva::sim::testing {

using Bytes = std::vector<uint8_t>;

// A request as the utility writes it: DLE STX 02, code, subcode, one section
// (DLE, mark, stuffed data) when a mark is given, DLE ETX, XOR check.
inline Bytes request(uint8_t code, uint8_t mark = 0, const Bytes& data = {}, uint8_t subcode = 0) {
    Bytes out{0x10, 0x02, 0x02, code, subcode};
    if (mark != 0) {
        out.push_back(0x10);
        out.push_back(mark);
        for (uint8_t b : data) {
            out.push_back(b);
            if (b == 0x10) out.push_back(0x10);
        }
    }
    out.push_back(0x10);
    out.push_back(0x03);
    uint8_t check = 0;
    for (uint8_t b : out) check ^= b;
    out.push_back(check);
    return out;
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

// Cuts the reader's frames out of received bytes; bytes outside frames and
// frames with a wrong check are counted, not returned.
struct Unframed {
    std::vector<Reply> frames;
    Bytes loose;  // bytes outside any frame
    unsigned bad_checks = 0;
};

inline Unframed unframe(const Bytes& in) {
    Unframed result;
    std::size_t i = 0;
    while (i < in.size()) {
        if (!(i + 4 < in.size() && in[i] == 0x10 && in[i + 1] == 0x02)) {
            result.loose.push_back(in[i++]);
            continue;
        }
        Reply r;
        uint8_t check = 0x10 ^ 0x02 ^ in[i + 2] ^ in[i + 3] ^ in[i + 4];
        r.direction = in[i + 2];
        r.code = in[i + 3];
        std::size_t j = i + 5;
        Bytes* section = nullptr;
        bool done = false, broken = false;
        while (j + 1 < in.size() && !done && !broken) {
            const uint8_t b = in[j];
            check ^= b;
            if (b != 0x10) {
                if (section != nullptr) section->push_back(b);
                ++j;
                continue;
            }
            const uint8_t next = in[j + 1];
            check ^= next;
            j += 2;
            if (next == 0x10) {
                if (section != nullptr) section->push_back(0x10);
            } else if (next == 0x0E) {
                section = &r.so;
                r.has_so = true;
            } else if (next == 0x0F) {
                section = &r.si;
                r.has_si = true;
            } else if (next == 0x03) {
                done = true;
            } else {
                broken = true;
            }
        }
        if (!done || j >= in.size()) {
            result.loose.push_back(in[i++]);
            continue;
        }
        r.check = in[j];
        if (r.check == check) {
            result.frames.push_back(r);
        } else {
            ++result.bad_checks;
        }
        i = j + 1;
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
