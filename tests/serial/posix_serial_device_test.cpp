// The machine's serial device over a pty, in real time: raw bytes both
// ways, the read time-out model, exclusive opening and a line that hangs up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/exit_guard.h"
#include "platform/virtual_clock.h"
#include "serial/serial_port.h"

namespace korva {
namespace {

using Steady = std::chrono::steady_clock;

int64_t ms_since(Steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

// A pty whose slave is COM3 while the object lives.
class PtyCom3 {
  public:
    PtyCom3() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
        slave_path = ::ptsname(master);
        ::setenv("KORVA_COM3", slave_path.c_str(), 1);
    }
    ~PtyCom3() {
        ::unsetenv("KORVA_COM3");
        close_master();
    }
    void close_master() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    // What the far end has received within ms.
    std::vector<uint8_t> receive(std::size_t want, int ms) {
        std::vector<uint8_t> got;
        const auto start = Steady::now();
        while (got.size() < want && ms_since(start) < ms) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[64];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    int master = -1;
    std::string slave_path;
};

TEST(PosixSerialDevice, PortNamesMapToDevices) {
    ::unsetenv("KORVA_COM4");
    EXPECT_EQ(system_serial_device("COM4"), "/dev/ttyS3");
    ::setenv("KORVA_COM4", "/dev/ttyUSB0", 1);
    EXPECT_EQ(system_serial_device("COM4"), "/dev/ttyUSB0");
    ::unsetenv("KORVA_COM4");
    EXPECT_EQ(system_serial_device("COM0"), "");
    EXPECT_EQ(system_serial_device("COM10"), "");
    EXPECT_EQ(system_serial_device("LPT1"), "");
    EXPECT_EQ(open_system_serial("COM0"), nullptr);
}

TEST(PosixSerialDevice, RawExclusiveLineWithTheReadTimeoutModel) {
    PtyCom3 pty;
    ASSERT_GE(pty.master, 0);
    SerialPort port;
    port.port_name[3] = '3';
    ASSERT_TRUE(open_port(port, open_system_serial));

    // A pty has no low-latency setting: the wire log says so, and the line
    // works as it is.
    const std::string log = ::testing::TempDir() + "korva-pty-wire.log";
    std::remove(log.c_str());
    VirtualClock clock;
    attach_wire_log(port, WireLog::open(log, clock));
    ASSERT_TRUE(configure_port(port));
    port.wire_log.reset();
    std::ifstream written(log);
    std::string note;
    std::getline(written, note);
    EXPECT_EQ(note,
              "09:07:00.000 # serial: low latency not supported by the device, used as it is");
    std::remove(log.c_str());

    // Exclusive: a second open of the same port fails.
    EXPECT_EQ(open_system_serial("COM3"), nullptr);

    // Control bytes pass unchanged both ways.
    const std::vector<uint8_t> controls{0x0D, 0x0A, 0x11, 0x13, 0x03};
    ASSERT_EQ(::write(pty.master, controls.data(), controls.size()), 5);
    std::vector<uint8_t> got(READ_CHUNK);
    port.handle->set_timeouts({50, 0, 500});
    const uint32_t n = read_port(port, got.data(), READ_CHUNK);
    got.resize(n);
    EXPECT_EQ(got, controls);
    EXPECT_EQ(write_port(port, controls.data(), 5), 5u);
    EXPECT_EQ(pty.receive(5, 1000), controls);

    // Nothing coming: the read ends after multiplier x count + constant.
    port.handle->set_timeouts({1, 2, 60});
    auto start = Steady::now();
    EXPECT_EQ(read_port(port, got.data(), 20), 0u);
    int64_t took = ms_since(start);
    EXPECT_GE(took, 95);  // 2 x 20 + 60 ms
    EXPECT_LT(took, 1000);
    EXPECT_FALSE(port_gone(port));  // a silent line is still there

    // Once a byte came, a silence longer than the interval ends the read.
    port.handle->set_timeouts({40, 0, 3000});
    ASSERT_EQ(::write(pty.master, "abc", 3), 3);
    got.assign(READ_CHUNK, 0);
    start = Steady::now();
    EXPECT_EQ(read_port(port, got.data(), READ_CHUNK), 3u);
    took = ms_since(start);
    EXPECT_GE(took, 35);
    EXPECT_LT(took, 1000);

    // The two speeds of the utility are applied; another rate is refused.
    port.line_settings.baud_rate = 19200;
    EXPECT_TRUE(set_port_speed(port));
    LineSettings now;
    ASSERT_TRUE(port.handle->get_state(now));
    EXPECT_EQ(now.baud_rate, 19200u);
    EXPECT_EQ(now.byte_size, 8);
    EXPECT_EQ(now.parity, NOPARITY);
    port.line_settings.baud_rate = 4800;
    EXPECT_FALSE(set_port_speed(port));

    // Closed, the port can be opened again.
    close_port(port);
    EXPECT_NE(open_system_serial("COM3"), nullptr);
}

TEST(PosixSerialDevice, AHungUpLineIsGoneAtOnceAndStaysGone) {
    PtyCom3 pty;
    ASSERT_GE(pty.master, 0);
    SerialPort port;
    port.port_name[3] = '3';
    ASSERT_TRUE(open_port(port, open_system_serial));
    ASSERT_TRUE(configure_port(port));
    pty.close_master();

    port.handle->set_timeouts({1, 1, 3000});
    uint8_t got[READ_CHUNK];
    const auto start = Steady::now();
    EXPECT_EQ(read_port(port, got, 10), 0u);
    EXPECT_LT(ms_since(start), 500);  // not the 3 s of a silent line
    EXPECT_TRUE(port_gone(port));
    EXPECT_EQ(port_failure(port), "Input/output error");
    EXPECT_EQ(port_device(port), pty.slave_path);
    const uint8_t byte = 0x55;
    EXPECT_EQ(write_port(port, &byte, 1), 0u);
}

// A port held by a process that a signal ends is free again at once, though
// the far end stays open (TIOCEXCL would otherwise outlive the process); a
// port that is only looked at is neither taken nor changed.
TEST(PosixSerialDevice, ASignalPutsThePortBackAndLookingLeavesItAsItWas) {
    PtyCom3 pty;
    ASSERT_GE(pty.master, 0);
    EXPECT_TRUE(system_serial_free("COM3"));
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            install_exit_guard();
            SerialPort port;
            port.port_name[3] = '3';
            if (!open_port(port, open_system_serial) || !configure_port(port)) ::_exit(1);
            ::raise(sig);
            ::_exit(2);  // not reached
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 128 + sig);
        EXPECT_NE(open_system_serial("COM3"), nullptr) << "after signal " << sig;
    }
    ASSERT_TRUE(system_serial_free("COM3"));
    const int slave = ::open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    int exclusive = 1;
    ::ioctl(slave, TIOCGEXCL, &exclusive);
    ::close(slave);
    EXPECT_EQ(exclusive, 0) << "a port that was only looked at stays shared";
    const auto held = open_system_serial("COM3");
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(system_serial_free("COM3"));
}

}  // namespace
}  // namespace korva
