// The one serial port of a run: its device, line settings, time-outs and the
// receive and transmit rings. Operations return plain counts and never print.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/serial_device.h"
#include "serial/wire_log.h"

namespace korva {

constexpr uint32_t RING_SIZE = 512;
constexpr uint32_t READ_CHUNK = 254;

struct SerialPort {
    std::unique_ptr<SerialDevice> handle;  // empty when opening failed
    std::array<char, 5> port_name{'C', 'O', 'M', '2', '\0'};
    LineSettings line_settings{};
    ReadTimeouts time_outs{};
    uint32_t read_chunk = READ_CHUNK;
    std::array<uint8_t, READ_CHUNK> scratch{};
    std::array<uint8_t, RING_SIZE> rx_ring{};
    uint32_t rx_count = 0;
    uint32_t rx_write = 0;
    uint32_t rx_read = 0;
    std::array<uint8_t, RING_SIZE> tx_ring{};
    uint32_t tx_write = 0;
    std::unique_ptr<WireLog> wire_log;  // set when KORVA_WIRE_LOG names a file
    bool latency_requested = false;     // configure_port has asked the driver
    bool gone_noted = false;            // the wire log has noted that the device is gone
};

// True once the system has said that the port's device is gone (see
// SerialDevice::failure); from then on every read and write returns 0 at
// once and no wait should wait.
bool port_gone(const SerialPort& port);
// The system's words for why the device is gone; empty while it is there.
const std::string& port_failure(const SerialPort& port);
// The system's name of the port's device, as best known: the device's own,
// or the one that port_name stands for.
std::string port_device(const SerialPort& port);

// Opens port_name through the opener; true when the port is open.
bool open_port(SerialPort& port, const SerialOpener& opener);
// Gives the open port its wire log (none when log is empty).
void attach_wire_log(SerialPort& port, std::unique_ptr<WireLog> log);
// 9600 baud, 8 data bits, no parity, one stop bit, no flow control, read
// time-outs 1/1/1 ms. The first time, the driver is asked for low latency
// and the wire log notes what that did. Nonzero when the device took all of
// it.
bool configure_port(SerialPort& port);
// Applies line_settings.baud_rate. Nonzero on success.
bool set_port_speed(SerialPort& port);
uint32_t read_port(SerialPort& port, uint8_t* buffer, uint32_t count);
uint32_t write_port(SerialPort& port, const uint8_t* buffer, uint32_t count);
// Empties the rings (the link does this when it opens).
void reset_rings(SerialPort& port);
void fill_receive_ring(SerialPort& port);
// Precondition: rx_count > 0.
uint8_t take_received_byte(SerialPort& port);
uint8_t send_byte(SerialPort& port, uint8_t byte);
uint8_t write_raw(SerialPort& port, const uint8_t* bytes, uint32_t count);
// Long time-outs: interval 1000 ms, 4 x factor ms a byte, constant 1 ms.
// Copies what was read into buffer (which holds READ_CHUNK bytes) and
// returns the count; 0 leaves buffer untouched.
uint32_t read_raw_timed(SerialPort& port, uint8_t* buffer, uint8_t factor);
void close_port(SerialPort& port);

}  // namespace korva
