// The line format of a POSIX terminal.
#include "serial/posix_line_format.h"

#include <algorithm>
#include <iterator>

namespace korva {

namespace {

// Win32 parity and stop-bit codes beyond "none" and "one".
constexpr uint8_t ODDPARITY = 1;
constexpr uint8_t EVENPARITY = 2;
constexpr uint8_t TWOSTOPBITS = 2;

struct SpeedEntry {
    uint32_t baud;
    speed_t code;
};
// The speeds the utility sets, and the common ones it may find on a port.
constexpr SpeedEntry SPEEDS[] = {{1200, B1200},   {2400, B2400},    {4800, B4800},
                                 {9600, B9600},   {19200, B19200},  {38400, B38400},
                                 {57600, B57600}, {115200, B115200}};
constexpr uint32_t SETTABLE_SPEEDS[] = {9600, 19200};

std::optional<speed_t> speed_code(uint32_t baud) {
    for (const SpeedEntry& e : SPEEDS) {
        if (e.baud == baud) return e.code;
    }
    return std::nullopt;
}

uint32_t speed_baud(speed_t code) {
    for (const SpeedEntry& e : SPEEDS) {
        if (e.code == code) return e.baud;
    }
    return 0;
}

}  // namespace

std::optional<speed_t> settable_speed_code(uint32_t baud) {
    const bool settable = std::find(std::begin(SETTABLE_SPEEDS), std::end(SETTABLE_SPEEDS), baud) !=
                          std::end(SETTABLE_SPEEDS);
    if (!settable) return std::nullopt;
    return speed_code(baud);
}

bool apply_line_format(const LineSettings& settings, termios& t) {
    t.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (settings.byte_size) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        case 8:
            t.c_cflag |= CS8;
            break;
        default:
            return false;
    }
    if (settings.parity == ODDPARITY) {
        t.c_cflag |= PARENB | PARODD;
    } else if (settings.parity == EVENPARITY) {
        t.c_cflag |= PARENB;
    } else if (settings.parity != NOPARITY) {
        return false;  // mark and space parity
    }
    if (settings.stop_bits == TWOSTOPBITS) {
        t.c_cflag |= CSTOPB;
    } else if (settings.stop_bits != ONESTOPBIT) {
        return false;  // one and a half
    }
    if (settings.outx_cts_flow) t.c_cflag |= CRTSCTS;
    if (settings.out_x) t.c_iflag |= IXON;
    if (settings.in_x) t.c_iflag |= IXOFF;
    // Reads never wait in the driver: poll() does the timing.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return true;
}

void read_line_format(const termios& t, LineSettings& settings) {
    settings.baud_rate = speed_baud(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5:
            settings.byte_size = 5;
            break;
        case CS6:
            settings.byte_size = 6;
            break;
        case CS7:
            settings.byte_size = 7;
            break;
        default:
            settings.byte_size = 8;
            break;
    }
    settings.parity =
        (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY) : NOPARITY;
    settings.stop_bits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    settings.outx_cts_flow = (t.c_cflag & CRTSCTS) != 0;
    settings.outx_dsr_flow = false;
    settings.tx_continue_on_xoff = false;
    settings.out_x = (t.c_iflag & IXON) != 0;
    settings.in_x = (t.c_iflag & IXOFF) != 0;
}

}  // namespace korva
