// The Win32 serial device on a real line: two COM ports that are the two
// ends of a pty pair (under Wine, dosdevices links made by
// tools/ci/windows.sh), named by KORVA_WIN32_SERIAL_PAIR, e.g. "COM5 COM6".
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "serial/serial_port.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace korva {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class Win32SerialPair : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* pair = std::getenv("KORVA_WIN32_SERIAL_PAIR");
        if (!pair) GTEST_SKIP() << "KORVA_WIN32_SERIAL_PAIR names no pair of COM ports";
        std::istringstream names(pair);
        names >> name_a >> name_b;
        ASSERT_FALSE(name_b.empty()) << "KORVA_WIN32_SERIAL_PAIR needs two port names";
        ASSERT_TRUE(open(a, name_a));
        ASSERT_TRUE(open(b, name_b));
        ASSERT_TRUE(configure_port(a));
        ASSERT_TRUE(configure_port(b));
        drain(b);
        drain(a);
    }

    static bool open(SerialPort& port, const std::string& name) {
        port.port_name = {name[0], name[1], name[2], name[3], '\0'};
        return open_port(port, open_system_serial);
    }
    static void drain(SerialPort& port) {
        while (read_port(port, port.scratch.data(), READ_CHUNK) > 0) {
        }
    }
    // Polls as the link does until want bytes are in the ring (or 40 polls).
    static std::vector<uint8_t> receive(SerialPort& port, std::size_t want) {
        std::vector<uint8_t> got;
        for (int poll = 0; poll < 40 && got.size() < want; ++poll) {
            fill_receive_ring(port);
            while (port.rx_count > 0) got.push_back(take_received_byte(port));
        }
        return got;
    }

    std::string name_a, name_b;
    SerialPort a, b;
};

// Wine shares a tty between handles whatever the share mode; Windows' COM
// driver refuses a second open.
bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

TEST_F(Win32SerialPair, ClosedPortOpensAgainAndUnmappedPortDoesNot) {
    close_port(a);
    SerialPort again;
    EXPECT_TRUE(open(again, name_a)) << "the port is free again once closed";
    SerialPort missing;
    EXPECT_FALSE(open(missing, "COM9")) << "no device is mapped to COM9";
}

TEST_F(Win32SerialPair, BusyPortRefusesASecondOpen) {
    if (running_under_wine()) GTEST_SKIP() << "Wine does not enforce exclusive access to a tty";
    SerialPort again;
    EXPECT_FALSE(open(again, name_a));
}

TEST_F(Win32SerialPair, LineFormatReadsBackAfterConfigureAndSpeedChange) {
    LineSettings read_back;
    read_back.baud_rate = 0;
    read_back.byte_size = 0;
    read_back.in_x = read_back.out_x = true;
    ASSERT_TRUE(a.handle->get_state(read_back));
    EXPECT_EQ(read_back.baud_rate, 9600u);
    EXPECT_EQ(read_back.byte_size, 8);
    EXPECT_EQ(read_back.parity, NOPARITY);
    EXPECT_EQ(read_back.stop_bits, ONESTOPBIT);
    EXPECT_FALSE(read_back.out_x);
    EXPECT_FALSE(read_back.in_x);
    EXPECT_FALSE(read_back.outx_cts_flow);

    a.line_settings.baud_rate = 19200;
    ASSERT_TRUE(set_port_speed(a));
    ASSERT_TRUE(a.handle->get_state(read_back));
    EXPECT_EQ(read_back.baud_rate, 19200u);
    EXPECT_EQ(read_back.byte_size, 8);
}

// Raw line: no line-end translation, no XON/XOFF taken out, no echo.
TEST_F(Win32SerialPair, EveryByteValueCrossesUnchangedBothWays) {
    std::vector<uint8_t> frame;
    for (int v = 0; v < 256; ++v) frame.push_back(static_cast<uint8_t>(v));
    for (uint8_t byte : frame) send_byte(a, byte);
    EXPECT_EQ(receive(b, frame.size()), frame);

    const uint8_t reply[] = {0x02, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x1A, 0xFF};
    write_raw(b, reply, sizeof reply);
    EXPECT_EQ(receive(a, sizeof reply), std::vector<uint8_t>(reply, reply + sizeof reply));
    EXPECT_EQ(read_port(b, b.scratch.data(), READ_CHUNK), 0u) << "nothing echoed to the writer";
}

TEST_F(Win32SerialPair, ReadOnASilentLineReturnsWithinItsTimeOut) {
    const auto start = steady_clock::now();
    EXPECT_EQ(read_port(a, a.scratch.data(), READ_CHUNK), 0u);
    // 1 + 254 x 1 ms; the bound only tells a time-out from a read that hangs.
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
}

TEST_F(Win32SerialPair, RawTimedReadTakesBytesAndLeavesBufferAloneOnSilence) {
    const uint8_t answer[] = {0x10, 0x20, 0x30};
    write_raw(b, answer, sizeof answer);
    std::array<uint8_t, READ_CHUNK> buffer{};
    ASSERT_EQ(read_raw_timed(a, buffer.data(), 2), 3u);
    EXPECT_EQ(buffer[0], 0x10);
    EXPECT_EQ(buffer[2], 0x30);
    EXPECT_EQ(a.time_outs.interval, 1000u);
    EXPECT_EQ(a.time_outs.multiplier, 8u);

    buffer.fill(0xAA);
    const auto start = steady_clock::now();
    EXPECT_EQ(read_raw_timed(a, buffer.data(), 1), 0u);
    // The total time-out is 1 + 254 x 4 ms: the read waits it out.
    EXPECT_GE(steady_clock::now() - start, milliseconds(500));
    EXPECT_EQ(buffer[0], 0xAA);
}

}  // namespace
}  // namespace korva

namespace korva {
namespace {

TEST(Win32SerialNames, OnlyCom1ToCom9NameADevice) {
    EXPECT_EQ(system_serial_device("COM1"), "COM1");
    EXPECT_EQ(system_serial_device("COM9"), "COM9");
    for (const char* name : {"COM0", "COM10", "COM", "com3", "LPT1", "\\\\.\\COM3", ""}) {
        EXPECT_EQ(system_serial_device(name), "") << name;
        EXPECT_EQ(open_system_serial(name), nullptr) << name;
    }
}

}  // namespace
}  // namespace korva
