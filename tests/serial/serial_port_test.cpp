// The serial port over a simulated line: rings, chunked reads, the raw timed
// read and what configure_port asks of the device.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/virtual_clock.h"
#include "serial/sim_serial_device.h"
#include "tests/support/session_harness.h"

namespace korva {
namespace {

// Notes every device call in order, then does it.
class RecordingDevice : public SimSerialDevice {
  public:
    using SimSerialDevice::SimSerialDevice;
    bool get_state(LineSettings& s) override {
        calls.push_back("get_state");
        return SimSerialDevice::get_state(s);
    }
    bool set_state(const LineSettings& s) override {
        calls.push_back("set_state");
        return SimSerialDevice::set_state(s);
    }
    bool set_timeouts(const ReadTimeouts& t) override {
        calls.push_back("set_timeouts");
        return SimSerialDevice::set_timeouts(t);
    }
    bool set_mask(uint32_t m) override {
        calls.push_back("set_mask");
        return SimSerialDevice::set_mask(m);
    }
    LowLatency request_low_latency() override {
        calls.push_back("request_low_latency");
        return latency;
    }
    std::vector<std::string> calls;
    LowLatency latency = LowLatency::NOT_SUPPORTED;
};

struct Line {
    VirtualClock clock;
    ScriptedPeer peer;
    SerialPort port;
    RecordingDevice* device = nullptr;

    Line() {
        auto dev = std::make_unique<RecordingDevice>(clock, peer);
        device = dev.get();
        port.handle = std::move(dev);
    }
    std::vector<uint8_t> bytes(std::size_t n, uint8_t first = 0) {
        std::vector<uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
        return v;
    }
};

TEST(SerialPort, ConfigureSetsTheLineFormatInOrder) {
    Line line;
    LineSettings odd;
    odd.baud_rate = 4800;
    odd.parity = 2;
    odd.out_x = odd.in_x = odd.outx_cts_flow = true;
    odd.rts_control = odd.dtr_control = 1;
    line.device->set_state(odd);
    line.device->calls.clear();

    ASSERT_TRUE(configure_port(line.port));
    EXPECT_EQ(line.device->calls,
              (std::vector<std::string>{"request_low_latency", "get_state", "set_timeouts",
                                        "set_state", "set_mask"}));
    const LineSettings& s = line.device->settings();
    EXPECT_EQ(s.baud_rate, 9600u);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.parity, NOPARITY);
    EXPECT_EQ(s.stop_bits, ONESTOPBIT);
    EXPECT_EQ(s.rts_control, RTS_CONTROL_DISABLE);
    EXPECT_EQ(s.dtr_control, DTR_CONTROL_DISABLE);
    EXPECT_FALSE(s.outx_cts_flow || s.outx_dsr_flow || s.tx_continue_on_xoff || s.out_x || s.in_x);
    EXPECT_EQ(line.device->timeouts().interval, 1u);
    EXPECT_EQ(line.device->timeouts().multiplier, 1u);
    EXPECT_EQ(line.device->timeouts().constant, 1u);
    EXPECT_EQ(line.device->mask(), EV_RXCHAR);
    EXPECT_EQ(line.port.line_settings.baud_rate, 9600u);
}

TEST(SerialPort, ConfigureReportsALineFormatTheDeviceRefused) {
    Line line;
    line.device->refuse_settings(true);
    EXPECT_FALSE(configure_port(line.port));
    // Every call is still made.
    EXPECT_EQ(line.device->calls.back(), "set_mask");
}

TEST(SerialPort, SpeedChangeAppliesTheSettingsAndTheRxFlagMask) {
    Line line;
    ASSERT_TRUE(configure_port(line.port));
    line.port.line_settings.baud_rate = 19200;
    EXPECT_TRUE(set_port_speed(line.port));
    EXPECT_EQ(line.device->settings().baud_rate, 19200u);
    EXPECT_EQ(line.device->mask(), EV_RXFLAG);
    line.device->refuse_settings(true);
    line.port.line_settings.baud_rate = 9600;
    EXPECT_FALSE(set_port_speed(line.port));
}

TEST(SerialPort, NoDeviceFailsEverything) {
    SerialPort port;
    uint8_t b = 0;
    EXPECT_FALSE(configure_port(port));
    EXPECT_FALSE(set_port_speed(port));
    EXPECT_EQ(read_port(port, &b, 1), 0u);
    EXPECT_EQ(write_port(port, &b, 1), 0u);
    EXPECT_EQ(send_byte(port, 7), 1);
}

TEST(SerialPort, AChunkIs254BytesAndTheNextPollReadsAgain) {
    Line line;
    configure_port(line.port);
    reset_rings(line.port);
    line.peer.schedule(0, line.bytes(300));
    fill_receive_ring(line.port);
    EXPECT_EQ(line.port.rx_count, 254u);
    for (uint32_t i = 0; i < 254; ++i) ASSERT_EQ(take_received_byte(line.port), i);
    EXPECT_EQ(line.port.rx_count, 0u);
    fill_receive_ring(line.port);
    EXPECT_EQ(line.port.rx_count, 46u);
    EXPECT_EQ(take_received_byte(line.port), 254);
}

TEST(SerialPort, ReceiveRingWrapsFrom511To0) {
    Line line;
    configure_port(line.port);
    reset_rings(line.port);
    line.port.rx_write = line.port.rx_read = 510;
    line.peer.schedule(0, {0xA0, 0xA1, 0xA2});
    fill_receive_ring(line.port);
    EXPECT_EQ(line.port.rx_ring[510], 0xA0);
    EXPECT_EQ(line.port.rx_ring[511], 0xA1);
    EXPECT_EQ(line.port.rx_ring[0], 0xA2);
    EXPECT_EQ(line.port.rx_write, 1u);
    EXPECT_EQ(take_received_byte(line.port), 0xA0);
    EXPECT_EQ(take_received_byte(line.port), 0xA1);
    EXPECT_EQ(take_received_byte(line.port), 0xA2);
    EXPECT_EQ(line.port.rx_read, 1u);
    EXPECT_EQ(line.port.rx_count, 0u);
}

TEST(SerialPort, ReceiveRingNeverOverflows) {
    Line line;
    configure_port(line.port);
    reset_rings(line.port);
    line.peer.schedule(0, line.bytes(600));
    fill_receive_ring(line.port);
    fill_receive_ring(line.port);
    fill_receive_ring(line.port);
    EXPECT_EQ(line.port.rx_count, RING_SIZE);
    EXPECT_EQ(take_received_byte(line.port), 0);
}

TEST(SerialPort, TransmitRingWrapsAndEachByteGoesOutAtOnce) {
    Line line;
    configure_port(line.port);
    reset_rings(line.port);
    line.port.tx_write = 511;
    EXPECT_EQ(send_byte(line.port, 0x10), 1);
    EXPECT_EQ(line.port.tx_ring[511], 0x10);
    EXPECT_EQ(line.port.tx_write, 0u);
    send_byte(line.port, 0x02);
    EXPECT_EQ(line.port.tx_ring[0], 0x02);
    EXPECT_EQ(line.peer.written(), (std::vector<uint8_t>{0x10, 0x02}));
    const uint8_t raw[] = {1, 2, 3};
    EXPECT_EQ(write_raw(line.port, raw, 3), 1);
    EXPECT_EQ(line.peer.written().size(), 5u);
}

TEST(SerialPort, IdleShortReadTakesAQuarterSecond) {
    Line line;
    configure_port(line.port);
    const int64_t start = line.clock.calendar_ms();
    fill_receive_ring(line.port);
    EXPECT_EQ(line.clock.calendar_ms() - start, 255);
}

TEST(SerialPort, RawTimedReadOfNothingLeavesTheBufferAndKeepsLongTimeouts) {
    Line line;
    configure_port(line.port);
    std::vector<uint8_t> buffer(READ_CHUNK, 0xAA);
    const int64_t start = line.clock.calendar_ms();
    EXPECT_EQ(read_raw_timed(line.port, buffer.data(), 2), 0u);
    EXPECT_EQ(line.clock.calendar_ms() - start, 1 + 254 * 4 * 2);
    EXPECT_EQ(buffer, std::vector<uint8_t>(READ_CHUNK, 0xAA));
    EXPECT_EQ(line.port.time_outs.interval, 1000u);
    EXPECT_EQ(line.port.time_outs.multiplier, 8u);
    EXPECT_EQ(line.port.time_outs.constant, 1u);

    // Normal polling keeps the 1000 ms interval: bytes 900 ms apart are
    // one read.
    const int64_t now = line.clock.calendar_ms();
    line.peer.schedule(now + 10, {1});
    line.peer.schedule(now + 910, {2});
    uint8_t got[READ_CHUNK];
    EXPECT_EQ(read_port(line.port, got, READ_CHUNK), 2u);

    // Until configure_port puts the short time-outs back.
    configure_port(line.port);
    const int64_t later = line.clock.calendar_ms();
    line.peer.schedule(later, {3});
    line.peer.schedule(later + 100, {4});
    EXPECT_EQ(read_port(line.port, got, READ_CHUNK), 1u);

    // A byte 2 ms after the last one came after more than the 1 ms interval:
    // it is the next read's, as a byte a millisecond later is not.
    const int64_t then = line.clock.calendar_ms();
    line.peer.schedule(then, {5});
    line.peer.schedule(then + 1, {6});
    line.peer.schedule(then + 3, {7});
    EXPECT_EQ(read_port(line.port, got, READ_CHUNK), 2u);
}

TEST(SerialPort, RawTimedReadCopiesWhatCame) {
    Line line;
    configure_port(line.port);
    line.peer.schedule(line.clock.calendar_ms() + 50, {0x06, 0x15});
    std::vector<uint8_t> buffer(READ_CHUNK, 0xAA);
    EXPECT_EQ(read_raw_timed(line.port, buffer.data(), 65), 2u);
    EXPECT_EQ(buffer[0], 0x06);
    EXPECT_EQ(buffer[1], 0x15);
    EXPECT_EQ(buffer[2], 0xAA);
}

TEST(SerialPort, AnUnpluggedLineIsGoneAndNoReadWaits) {
    Line line;
    configure_port(line.port);
    const std::string log = ::testing::TempDir() + "korva-gone-wire.log";
    std::remove(log.c_str());
    attach_wire_log(line.port, WireLog::open(log, line.clock));
    line.peer.unplug();
    uint8_t b = 1;
    EXPECT_EQ(write_port(line.port, &b, 1), 0u);
    const int64_t start = line.clock.calendar_ms();
    EXPECT_EQ(read_port(line.port, &b, 1), 0u);
    EXPECT_EQ(read_raw_timed(line.port, line.port.scratch.data(), 65), 0u);
    EXPECT_EQ(line.clock.calendar_ms(), start);
    line.port.wire_log.reset();
    const std::string text = korva::testing::read_file(log);
    EXPECT_NE(text.find("# serial: COM2 gone: the cable was pulled\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("gone"), text.rfind("gone"));  // noted once
}

TEST(SerialPort, ConfiguringAsksForLowLatencyOnceAndTheWireLogNotesItFirst) {
    const std::pair<LowLatency, std::string> rows[] = {
        {LowLatency::SET, "serial: low latency set (ASYNC_LOW_LATENCY), put back at close"},
        {LowLatency::ALREADY_SET, "serial: low latency already set (ASYNC_LOW_LATENCY)"},
        {LowLatency::NOT_SUPPORTED,
         "serial: low latency not supported by the device, used as it is"},
    };
    for (const auto& [latency, note] : rows) {
        testing::TempWorkDir dir;
        Line line;
        line.device->latency = latency;
        attach_wire_log(line.port, WireLog::open("wire.log", line.clock));
        configure_port(line.port);
        configure_port(line.port);
        line.port.wire_log.reset();
        EXPECT_EQ(testing::read_file("wire.log"), "09:07:00.000 # " + note + "\n");
        EXPECT_EQ(
            std::count(line.device->calls.begin(), line.device->calls.end(), "request_low_latency"),
            1);
    }
}

}  // namespace
}  // namespace korva
