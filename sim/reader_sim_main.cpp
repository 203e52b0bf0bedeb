// korva-reader-sim: the virtual reader on a pseudo-terminal, for running the
// utility (or anything else) against it in real time.
//
//   korva-reader-sim [--link PATH] [--profile PROFILE] [--fault KNOB]... [--no-pacing]
//                    [--images DIR]
//
// Prints the pty's device path on the first line of its output, makes PATH a
// symbolic link to it, and serves until SIGTERM or SIGINT. The line speed
// is the one the utility sets on its end of the pty (9600 or 19200), read
// from the pty's settings; other speeds, such as a pty's initial one, leave
// the line at 9600.
//
// Without --profile the reader is "default,on-hold": switched on and on
// maintenance hold, ready for a session such as "3 bootinfo info q". With a
// profile that is not on hold, the reader is switched on power-on-ms after
// the utility first sets the line speed. With --images the reader accepts
// the software of DIR's "*.img" files (the stored form of images/) instead
// of the embedded images.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "sim/image_set.h"
#include "sim/reader_profile.h"
#include "sim/virtual_reader.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

// How long the loop sleeps at most between looks at the line's settings.
constexpr int64_t SETTINGS_LOOK_NS = 5'000'000;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The calendar clock, which the utility's waits count in whole seconds.
int64_t calendar_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint32_t speed_of(speed_t s) {
    switch (s) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 0;
    }
}

void usage(std::ostream& out) {
    out << "usage: korva-reader-sim [--link PATH] [--profile PROFILE] [--fault KNOB]... "
           "[--no-pacing] [--images DIR]\n"
           "Without --profile the reader is switched on and on hold (default,on-hold).\n\n"
        << korva::sim::profiles_and_faults_help();
}

// Writes everything, waiting while the pty's buffer is full.
void write_all(int fd, const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !g_stop) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string link_path;
    std::string profile_text = "default,on-hold";
    std::vector<std::string> fault_texts;
    std::string image_dir;
    bool pacing = true;
    using korva::OptionValue;
    using korva::OptionVerdict;
    using Value = std::optional<std::string>;
    const std::vector<korva::CommandOption> table = {
        {"--link", "", OptionValue::NEXT, korva::keep_value(link_path)},
        {"--profile", "", OptionValue::NEXT, korva::keep_value(profile_text)},
        {"--fault", "", OptionValue::NEXT,
         [&](const Value& knob) {
             if (knob) fault_texts.push_back(*knob);
             return knob ? OptionVerdict::TAKEN : OptionVerdict::UNKNOWN;
         }},
        {"--images", "", OptionValue::NEXT, korva::keep_value(image_dir)},
        {"--no-pacing", "", OptionValue::NONE, korva::set_flag(pacing, false)},
        {"--help", "-h", OptionValue::NONE, [](const Value&) { return OptionVerdict::STOP; }},
    };
    const korva::OptionsRead parsed = korva::read_options(
        std::vector<std::string>(argv + 1, argv + argc), table, korva::Operands::NONE);
    if (parsed.end == OptionVerdict::STOP) {
        usage(std::cout);
        return 0;
    }
    if (parsed.end != OptionVerdict::TAKEN) {
        std::cerr << "korva-reader-sim: unknown argument \"" << parsed.argument << "\"\n";
        usage(std::cerr);
        return 2;
    }

    korva::sim::ReaderProfile profile;
    korva::sim::FaultKnobs faults;
    std::string error;
    bool ok = korva::sim::parse_profile(profile_text, profile, error);
    for (std::size_t i = 0; ok && i < fault_texts.size(); ++i)
        ok = korva::sim::parse_fault(fault_texts[i], faults, error);
    auto images = std::make_shared<korva::sim::ImageSet>();
    if (ok && !image_dir.empty()) ok = korva::sim::read_image_dir(image_dir, *images, error);
    if (!ok) {
        std::cerr << "korva-reader-sim: " << error << "\n";
        return 2;
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("korva-reader-sim: pty");
        return 1;
    }
    const char* slave_name = ptsname(master);
    if (slave_name == nullptr) {
        std::perror("korva-reader-sim: ptsname");
        return 1;
    }
    const std::string device = slave_name;
    // Kept open for the whole run: the utility's close then does not hang
    // up the line, and the line's settings can be read from here.
    const int slave = open(device.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror("korva-reader-sim: open slave");
        return 1;
    }
    termios raw{};
    if (tcgetattr(slave, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!link_path.empty()) {
        unlink(link_path.c_str());
        if (symlink(device.c_str(), link_path.c_str()) != 0) {
            std::perror("korva-reader-sim: symlink");
            return 1;
        }
    }
    std::cout << device << std::endl;

    // Wake at each byte's due time, not up to 50 us after it (the default
    // timer slack): a byte takes 0.52 ms at 19200 baud.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    korva::sim::VirtualReader reader(profile, faults, pacing);
    // The reader keeps the steady clock; its start-up frame's phase is the
    // calendar clock's.
    reader.set_calendar_offset_ns(calendar_ns() - now_ns());
    if (!image_dir.empty()) reader.hold_images(images);
    uint32_t seen_speed = 0;
    {
        termios t{};
        if (tcgetattr(slave, &t) == 0) seen_speed = speed_of(cfgetospeed(&t));
    }
    uint32_t line_speed = 9600;
    // The utility's line speed, as it set it on its end; the reader hears of
    // a change at at_ns.
    auto look_at_speed = [&](int64_t at_ns) {
        termios t{};
        if (tcgetattr(slave, &t) != 0) return;
        const uint32_t speed = speed_of(cfgetospeed(&t));
        if (speed == seen_speed) return;
        seen_speed = speed;
        // Only the reader's own speeds are the utility's: a program that
        // opens the pty may set another first (an emulator's serial backend
        // sets 115200 as it opens a tty), which neither switches the reader
        // on nor changes the line.
        if (speed != 9600 && speed != 19200) return;
        line_speed = speed;
        korva::LineSettings settings;
        settings.baud_rate = speed;
        reader.on_settings_ns(settings, at_ns);
    };
    std::vector<uint8_t> buffer(4096);
    std::vector<uint8_t> out;
    while (!g_stop) {
        const int64_t now = now_ns();
        look_at_speed(now);
        out.clear();
        reader.deliver_ns(now, out);
        if (!out.empty()) write_all(master, out);
        if (!reader.connected()) break;  // the cable was pulled

        // Sleep until the next byte is due (to the nanosecond: a byte takes
        // 0.52 ms at 19200 baud), the utility writes, or the next look at
        // the line's settings.
        const int64_t before = now_ns();
        const int64_t next = reader.next_delivery_ns(before);
        const int64_t wait = next == korva::NEVER
                                 ? SETTINGS_LOOK_NS
                                 : std::clamp<int64_t>(next - before, 0, SETTINGS_LOOK_NS);
        const timespec timeout{static_cast<time_t>(wait / 1'000'000'000),
                               static_cast<long>(wait % 1'000'000'000)};
        pollfd p{master, POLLIN, 0};
        const int r = ppoll(&p, 1, &timeout, nullptr);
        if (r > 0 && (p.revents & POLLIN)) {
            const ssize_t n = read(master, buffer.data(), buffer.size());
            if (n > 0) {
                // The utility may have changed the speed just before it
                // wrote: these bytes went out at the speed set now.
                const int64_t received = now_ns();
                look_at_speed(received);
                reader.on_write_ns(buffer.data(), static_cast<std::size_t>(n), line_speed,
                                   received);
            }
        }
    }
    if (!link_path.empty()) unlink(link_path.c_str());
    close(slave);
    close(master);
    return 0;
}
