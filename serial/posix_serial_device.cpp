// The machine's serial ports on POSIX systems.
//
// COM<n> is the device that posix_port_names.cpp names: KORVA_COM<n> or
// /dev/ttyS<n-1>. The port is opened non-blocking and exclusively (flock and
// TIOCEXCL), put fully raw (posix_line_format.cpp), and read with the Win32 time-out model through
// poll() deadlines on the monotonic clock; the terminal driver's own timing
// (VMIN/VTIME) is never used. When the port is configured the driver is
// asked for low latency, which a USB adapter needs. The driver's flags and
// the exclusive use are put back when the port closes, and by the exit guard
// when a signal ends the process.
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "platform/exit_guard.h"
#include "serial/posix_line_format.h"
#include "serial/serial_device.h"

namespace korva {

namespace {

using Steady = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;
// A write that makes no progress for this long has failed.
constexpr Millis WRITE_STALL_LIMIT{5000};

int retry_poll(pollfd& p, int timeout_ms) {
    for (;;) {
        const int r = ::poll(&p, 1, timeout_ms);
        if (r >= 0 || errno != EINTR) return r;
    }
}

// Milliseconds from now to deadline, rounded up, for poll().
int ms_until(Steady::time_point deadline) {
    const auto left = deadline - Steady::now();
    if (left <= Steady::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<Millis>(left).count();
    return static_cast<int>(std::min<int64_t>(ms, 1 << 30));
}

class PosixSerialDevice : public SerialDevice {
  public:
    // Registers, before anything on the device is changed, what a signal
    // that ends the process must put back.
    explicit PosixSerialDevice(int fd) : fd_(fd) {
        restore_.fd = fd;
        exit_slot_ = add_exit_action(put_back, &restore_);
    }
    ~PosixSerialDevice() override {
        put_back(&restore_);
        remove_exit_action(exit_slot_);
        ::close(fd_);  // releases the flock as well
    }
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    // Takes the port for exclusive use (put back at close).
    bool take_exclusive() { return ::ioctl(fd_, TIOCEXCL) == 0; }

    // A USB adapter's driver hands received bytes over when its latency
    // timer runs out (16 ms by default on the common chips), so each answer
    // of a stop-and-wait download waits that long; ASYNC_LOW_LATENCY makes
    // it 1 ms. A pty or a plain UART refuses the request (ENOTTY, EINVAL)
    // and is used as it is.
    LowLatency request_low_latency() override {
        if (latency_asked_) return latency_;
        latency_asked_ = true;
        serial_struct s{};
        if (::ioctl(fd_, TIOCGSERIAL, &s) != 0) return latency_ = LowLatency::NOT_SUPPORTED;
        if (s.flags & ASYNC_LOW_LATENCY) return latency_ = LowLatency::ALREADY_SET;
        // What to put back is complete before it is marked as to be put back.
        restore_.serial = s;
        s.flags |= ASYNC_LOW_LATENCY;
        restore_.serial_changed = 1;
        if (::ioctl(fd_, TIOCSSERIAL, &s) != 0) {
            restore_.serial_changed = 0;
            return latency_ = LowLatency::NOT_SUPPORTED;
        }
        return latency_ = LowLatency::SET;
    }

    bool get_state(LineSettings& settings) override {
        termios t{};
        if (!get_attributes(t)) return false;
        read_line_format(t, settings);
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) == 0) {
            settings.rts_control = (lines & TIOCM_RTS) ? 1 : 0;
            settings.dtr_control = (lines & TIOCM_DTR) ? 1 : 0;
        }
        return true;
    }

    bool set_state(const LineSettings& settings) override {
        const std::optional<speed_t> code = settable_speed_code(settings.baud_rate);
        if (!code) return false;
        const speed_t speed = *code;
        termios t{};
        if (!get_attributes(t)) return false;
        if (!apply_line_format(settings, t)) return false;
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        if (!set_attributes(t)) {
            // A pty refuses some flow-control bits; the line works without them.
            const int error = errno;
            if (error == EIO || error == ENXIO || error == ENODEV) mark_gone(std::strerror(error));
            if (error != EINVAL) return false;
            t.c_cflag &= ~CRTSCTS;
            t.c_iflag &= ~(IXON | IXOFF | IXANY);
            if (!set_attributes(t)) return false;
        }
        // tcsetattr succeeds when any part applied: the speed must have.
        termios applied{};
        if (!get_attributes(applied)) return false;
        if (::cfgetospeed(&applied) != speed) return false;
        set_modem_line(TIOCM_RTS, settings.rts_control != RTS_CONTROL_DISABLE);
        set_modem_line(TIOCM_DTR, settings.dtr_control != DTR_CONTROL_DISABLE);
        return true;
    }

    bool set_timeouts(const ReadTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return true;
    }

    bool set_mask(uint32_t mask) override {
        mask_ = mask;
        termios t{};
        return get_attributes(t);  // fails once the line has hung up
    }

    std::size_t read(uint8_t* buffer, std::size_t count) override;
    std::size_t write(const uint8_t* buffer, std::size_t count) override;

    std::string device_path() const override {
        char target[4096];
        const std::string link = "/proc/self/fd/" + std::to_string(fd_);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        std::string path = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
        // A device node that went with its device is named as it was.
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() &&
            path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        return path;
    }

  private:
    // tcgetattr; a device that went away (a removed adapter, a hung-up
    // line) is gone for good.
    bool get_attributes(termios& t) {
        if (::tcgetattr(fd_, &t) == 0) return true;
        if (errno == EIO || errno == ENXIO || errno == ENODEV) mark_gone(std::strerror(errno));
        return false;
    }

    // Why the line hung up, in the system's words where it has some.
    std::string hang_up_reason() {
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) return std::strerror(errno);
        return "the line hung up";
    }

    // After the bytes already written have gone out, so that a speed change
    // applies from the next byte on.
    bool set_attributes(const termios& t) {
        for (;;) {
            if (::tcsetattr(fd_, TCSADRAIN, &t) == 0) return true;
            if (errno != EINTR) return false;
        }
    }

    // A pty has no modem lines: the failure is of no consequence.
    void set_modem_line(int line, bool raised) {
        ::ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &line);
    }

    // What the port looked like before the utility changed it: plain data,
    // read by put_back from a signal handler too.
    struct Restore {
        int fd = -1;
        volatile sig_atomic_t serial_changed = 0;
        serial_struct serial{};
    };
    // The driver's flags and exclusive use back as they were found; only
    // async-signal-safe calls.
    static void put_back(const void* context) {
        const auto* r = static_cast<const Restore*>(context);
        if (r->serial_changed) ::ioctl(r->fd, TIOCSSERIAL, &r->serial);
        ::ioctl(r->fd, TIOCNXCL);
    }

    int fd_;
    Restore restore_;
    int exit_slot_ = NO_EXIT_SLOT;
    bool latency_asked_ = false;
    LowLatency latency_ = LowLatency::NOT_SUPPORTED;
    ReadTimeouts timeouts_{1, 1, 1};
    uint32_t mask_ = 0;
};

std::size_t PosixSerialDevice::read(uint8_t* buffer, std::size_t count) {
    if (count == 0 || !failure().empty()) return 0;
    const Steady::time_point start = Steady::now();
    const ReadTimeouts t = timeouts_;
    // The Win32 special cases: return at once with what is there; or wait
    // for a first byte up to the constant and return with it.
    const bool at_once = t.interval == MAXDWORD && t.multiplier == 0 && t.constant == 0;
    const bool first_byte = t.interval == MAXDWORD && t.multiplier == MAXDWORD && t.constant > 0 &&
                            t.constant < MAXDWORD;
    std::optional<Steady::time_point> total;
    if (at_once) {
        total = start;
    } else if (first_byte) {
        total = start + Millis(t.constant);
    } else if (t.multiplier != 0 || t.constant != 0) {
        const int64_t ms = static_cast<int64_t>(t.multiplier) * static_cast<int64_t>(count) +
                           static_cast<int64_t>(t.constant);
        total = start + Millis(ms);
    }
    const bool interval_used = t.interval != 0 && t.interval != MAXDWORD;

    std::size_t got = 0;
    Steady::time_point last_byte = start;
    bool poll_said_readable = false;
    for (;;) {
        // With VMIN and VTIME at 0 an idle line reads as 0 bytes, or EAGAIN.
        const ssize_t n = ::read(fd_, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            last_byte = Steady::now();
            poll_said_readable = false;
            if (got == count || first_byte) return got;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // EIO, ENXIO, ENODEV: the device went away. Nothing to read where
        // poll() saw something: the other end hung up.
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            mark_gone(std::strerror(errno));
            return got;
        }
        if (n == 0 && poll_said_readable) {
            mark_gone(hang_up_reason());
            return got;
        }

        std::optional<Steady::time_point> wake = total;
        if (got > 0 && interval_used) {
            const Steady::time_point quiet = last_byte + Millis(t.interval);
            wake = wake ? std::min(*wake, quiet) : quiet;
        }
        if (wake && Steady::now() >= *wake) return got;
        pollfd p{fd_, POLLIN, 0};
        const int r = retry_poll(p, wake ? ms_until(*wake) : -1);
        if (r > 0 && (p.revents & POLLIN)) {
            poll_said_readable = true;
            continue;
        }
        if (r == 0) continue;  // the deadline has come: the next turn returns
        // A failed poll, or a hang-up or error with nothing to read.
        mark_gone(r < 0 ? std::string(std::strerror(errno)) : hang_up_reason());
        return got;
    }
}

std::size_t PosixSerialDevice::write(const uint8_t* buffer, std::size_t count) {
    if (!failure().empty()) return 0;
    std::size_t done = 0;
    Steady::time_point progress = Steady::now();
    while (done < count) {
        const ssize_t n = ::write(fd_, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            progress = Steady::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A stalled write has failed, but the device may still be there.
            const int left = ms_until(progress + WRITE_STALL_LIMIT);
            if (left == 0) return 0;
            pollfd p{fd_, POLLOUT, 0};
            if (retry_poll(p, left) < 0) return 0;
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                mark_gone(hang_up_reason());
                return 0;
            }
            continue;
        }
        mark_gone(n < 0 ? std::strerror(errno) : "the device took nothing");
        return 0;
    }
    return count;
}

}  // namespace

namespace {

// The port at path opened without being waited for, when it is a terminal
// that nobody holds: not locked by another program (flock), and not taken
// for exclusive use without a lock (the super-user gets through TIOCEXCL).
// -1 otherwise; the flock, when taken, goes with the descriptor.
int open_free_port(const std::string& path) {
    if (path.empty()) return -1;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    // flock first: when another program holds the port, nothing of it is
    // touched.
    bool usable = ::isatty(fd) == 1 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
#ifdef TIOCGEXCL
    int exclusive = 0;
    if (usable && ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) usable = false;
#endif
    if (usable) return fd;
    ::close(fd);
    return -1;
}

}  // namespace

std::unique_ptr<SerialDevice> open_system_serial(const std::string& port_name) {
    const int fd = open_free_port(system_serial_device(port_name));
    if (fd < 0) return nullptr;
    auto device = std::make_unique<PosixSerialDevice>(fd);
    if (!device->take_exclusive()) return nullptr;
    return device;
}

bool system_serial_free(const std::string& port_name) {
    const int fd = open_free_port(system_serial_device(port_name));
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace korva
