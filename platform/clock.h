// The clock seam: calendar time and sleeping.
//
// Every wait of the utility goes through one Clock. On a real machine it is
// the system clock; in tests it is a VirtualClock whose sleeps only move the
// time forward, so a 30-second time-out costs no real time.
#pragma once

#include <cstdint>

namespace korva {

struct LocalTime {
    int day = 1;      // 1..31
    int month = 1;    // 1..12
    int year = 1970;  // four digits
    int hour = 0;     // 0..23
    int minute = 0;   // 0..59
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Calendar time in milliseconds since the epoch; whole seconds are
    // calendar_ms() / 1000, the value the C library's time() gives.
    virtual int64_t calendar_ms() = 0;
    // The local breakdown of the current calendar time.
    virtual LocalTime local_time() = 0;
    // Blocks for the given number of milliseconds.
    virtual void sleep_ms(int64_t ms) = 0;

    int64_t calendar_seconds() { return calendar_ms() / 1000; }
};

// The machine's own clock (POSIX or Win32, chosen by the build).
Clock& system_clock();

}  // namespace korva
