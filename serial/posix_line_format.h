// The line format of a POSIX terminal: the Win32-style line settings turned
// into termios flags and back, and the speeds the utility uses.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "serial/serial_device.h"

namespace korva {

// The code of a speed the utility may set (9600 or 19200); none for any
// other.
std::optional<speed_t> settable_speed_code(uint32_t baud);

// Fully raw with the byte size, parity, stop bits and flow control of
// settings; false for what a terminal cannot do (mark and space parity,
// one and a half stop bits, a byte size outside 5 to 8). Speed and modem
// lines are left alone.
bool apply_line_format(const LineSettings& settings, termios& t);

// The speed, byte size, parity, stop bits and flow control of t in
// settings; the modem lines are left alone.
void read_line_format(const termios& t, LineSettings& settings);

}  // namespace korva
