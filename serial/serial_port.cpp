#include "serial/serial_port.h"

#include <algorithm>
#include <cstring>

namespace korva {

namespace {

// Notes in the wire log, once, that the device went away and why.
void note_if_gone(SerialPort& port) {
    if (port.gone_noted || !port_gone(port)) return;
    port.gone_noted = true;
    if (port.wire_log) {
        port.wire_log->note("serial: " + std::string(port.port_name.data()) +
                            " gone: " + port_failure(port));
    }
}

}  // namespace

bool port_gone(const SerialPort& port) {
    return port.handle && !port.handle->failure().empty();
}

const std::string& port_failure(const SerialPort& port) {
    static const std::string none;
    return port.handle ? port.handle->failure() : none;
}

std::string port_device(const SerialPort& port) {
    std::string device = port.handle ? port.handle->device_path() : std::string();
    return device.empty() ? system_serial_device(port.port_name.data()) : device;
}

bool open_port(SerialPort& port, const SerialOpener& opener) {
    port.handle = opener ? opener(std::string(port.port_name.data())) : nullptr;
    return port.handle != nullptr;
}

void attach_wire_log(SerialPort& port, std::unique_ptr<WireLog> log) {
    port.wire_log = std::move(log);
}

namespace {

// Low latency is asked for the session's port only, when it is configured:
// a port that is merely looked at keeps its driver's settings.
void request_low_latency(SerialPort& port) {
    if (port.latency_requested || !port.handle) return;
    port.latency_requested = true;
    const LowLatency latency = port.handle->request_low_latency();
    if (!port.wire_log) return;
    switch (latency) {
        case LowLatency::SET:
            port.wire_log->note("serial: low latency set (ASYNC_LOW_LATENCY), put back at close");
            break;
        case LowLatency::ALREADY_SET:
            port.wire_log->note("serial: low latency already set (ASYNC_LOW_LATENCY)");
            break;
        case LowLatency::NOT_SUPPORTED:
            port.wire_log->note("serial: low latency not supported by the device, used as it is");
            break;
    }
}

}  // namespace

bool configure_port(SerialPort& port) {
    if (!port.handle) return false;
    request_low_latency(port);
    SerialDevice& dev = *port.handle;
    // The driver's current settings are the starting point.
    dev.get_state(port.line_settings);
    LineSettings& ls = port.line_settings;
    ls.baud_rate = 9600;
    ls.byte_size = 8;
    ls.parity = NOPARITY;
    ls.stop_bits = ONESTOPBIT;
    ls.rts_control = RTS_CONTROL_DISABLE;
    ls.dtr_control = DTR_CONTROL_DISABLE;
    ls.outx_cts_flow = false;
    ls.outx_dsr_flow = false;
    ls.tx_continue_on_xoff = false;
    ls.out_x = false;
    ls.in_x = false;
    port.time_outs = ReadTimeouts{1, 1, 1};
    // Every call is made, in this order; a line format or time-outs that the
    // device refused count as a failure, as a dead port does.
    const bool timeouts_set = dev.set_timeouts(port.time_outs);
    const bool state_set = dev.set_state(port.line_settings);
    const bool mask_set = dev.set_mask(EV_RXCHAR);
    note_if_gone(port);
    return timeouts_set && state_set && mask_set;
}

bool set_port_speed(SerialPort& port) {
    if (!port.handle) return false;
    const bool done =
        port.handle->set_state(port.line_settings) && port.handle->set_mask(EV_RXFLAG);
    note_if_gone(port);
    return done;
}

uint32_t read_port(SerialPort& port, uint8_t* buffer, uint32_t count) {
    if (!port.handle || count == 0 || port_gone(port)) return 0;
    const auto got = static_cast<uint32_t>(port.handle->read(buffer, count));
    if (port.wire_log) port.wire_log->read(buffer, got);
    note_if_gone(port);
    return got;
}

uint32_t write_port(SerialPort& port, const uint8_t* buffer, uint32_t count) {
    if (!port.handle || count == 0 || port_gone(port)) return 0;
    const auto sent = static_cast<uint32_t>(port.handle->write(buffer, count));
    if (port.wire_log) port.wire_log->written(buffer, sent);
    note_if_gone(port);
    return sent;
}

void reset_rings(SerialPort& port) {
    port.rx_ring.fill(0);
    port.tx_ring.fill(0);
    port.rx_count = port.rx_write = port.rx_read = port.tx_write = 0;
}

void fill_receive_ring(SerialPort& port) {
    // A chunk is read only into an empty ring, so the ring never overflows;
    // the bound below keeps that true whatever a caller does.
    const uint32_t room = RING_SIZE - port.rx_count;
    const uint32_t want = std::min({port.read_chunk, READ_CHUNK, room});
    const uint32_t got = read_port(port, port.scratch.data(), want);
    for (uint32_t i = 0; i < got; ++i) {
        port.rx_ring[port.rx_write] = port.scratch[i];
        port.rx_write = (port.rx_write + 1) % RING_SIZE;
        ++port.rx_count;
    }
}

uint8_t take_received_byte(SerialPort& port) {
    if (port.rx_count == 0) return 0;
    const uint8_t byte = port.rx_ring[port.rx_read];
    port.rx_read = (port.rx_read + 1) % RING_SIZE;
    --port.rx_count;
    return byte;
}

uint8_t send_byte(SerialPort& port, uint8_t byte) {
    port.tx_ring[port.tx_write] = byte;
    write_port(port, &port.tx_ring[port.tx_write], 1);
    port.tx_write = (port.tx_write + 1) % RING_SIZE;
    return 1;
}

uint8_t write_raw(SerialPort& port, const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) write_port(port, bytes + i, 1);
    return 1;
}

uint32_t read_raw_timed(SerialPort& port, uint8_t* buffer, uint8_t factor) {
    if (port_gone(port)) return 0;
    port.time_outs = ReadTimeouts{1000, 4u * factor, 1};
    if (port.handle) port.handle->set_timeouts(port.time_outs);
    const uint32_t want = std::min(port.read_chunk, READ_CHUNK);
    const uint32_t got = read_port(port, port.scratch.data(), want);
    if (got > 0) std::memcpy(buffer, port.scratch.data(), got);
    return got;
}

void close_port(SerialPort& port) {
    port.handle.reset();
}

}  // namespace korva
