// What a maintainer asks a technician for: the wire log, the port list and
// the exit status; and the port a second instance cannot steal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "images/image_catalogue.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/image_files.h"

namespace korva::reliability {
namespace {

using korva::testing::read_file;
using korva::testing::TempWorkDir;

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_.empty()) {
            unsetenv(name_);
        } else {
            setenv(name_, old_.c_str(), 1);
        }
    }

  private:
    const char* name_;
    std::string old_;
};

// --- wire log ----------------------------------------------------------------

struct WireLogLines {
    std::vector<uint8_t> written, read;
    std::size_t framed_out = 0, framed_in = 0, pss_out = 0, pss_in = 0;
    std::size_t unstamped = 0;
    std::vector<std::string> notes;  // the lines about the port itself
};

std::vector<uint8_t> hex_bytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    std::string h;
    while (in >> h) bytes.push_back(static_cast<uint8_t>(std::stoul(h, nullptr, 16)));
    return bytes;
}

// "hh:mm:ss.mmm > " or "hh:mm:ss.mmm < ": a time stamp and a direction; or
// "hh:mm:ss.mmm # " for a note about the port.
bool stamped(const std::string& line) {
    static const char shape[] = "dd:dd:dd.ddd ";
    if (line.size() < sizeof shape + 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof shape; ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
    }
    const char arrow = line[sizeof shape - 1];
    return (arrow == '<' || arrow == '>' || arrow == '#') && line[sizeof shape] == ' ';
}

// The bytes part of a dump line: hexadecimal pairs separated by spaces.
bool hex_dump(const std::string& text) {
    if (text.empty()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool separator = i % 3 == 2;
        if (separator ? c != ' ' : !std::isxdigit(static_cast<unsigned char>(c)) || std::islower(c))
            return false;
    }
    return text.size() % 3 == 2;
}

WireLogLines parse_wire_log(const std::string& text) {
    WireLogLines w;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!stamped(line)) {
            ++w.unstamped;
            continue;
        }
        const char arrow = line[13];
        const std::string rest = line.substr(15);
        if (arrow == '#') {
            w.notes.push_back(rest);
        } else if (hex_dump(rest)) {
            const std::vector<uint8_t> bytes = hex_bytes(rest);
            auto& to = arrow == '>' ? w.written : w.read;
            to.insert(to.end(), bytes.begin(), bytes.end());
        } else if (line.find("> frame ") != std::string::npos) {
            ++w.framed_out;
        } else if (line.find("< frame ") != std::string::npos) {
            ++w.framed_in;
        } else if (line.find("> PSS frame ") != std::string::npos) {
            ++w.pss_out;
        } else if (line.find("< PSS frame ") != std::string::npos) {
            ++w.pss_in;
        }
    }
    return w;
}

TEST(Diagnostics, WireLogHoldsEveryByteBothWaysWithFramesDecoded) {
    TempWorkDir dir;
    const auto log = dir.path() / "wire.log";
    ScopedEnv env("KORVA_WIRE_LOG", log.string());
    sim::VirtualReader reader(profile_of("default,on-hold"), {}, true);
    // bootinfo: framed both ways; sup_tla: PSS frames both ways too.
    const SessionRun run = run_guarded(reader, {"3", "bootinfo", "sup_tla", "q"}, "O");
    ASSERT_TRUE(run.tripped.empty());
    ASSERT_TRUE(std::filesystem::exists(log));
    const WireLogLines w = parse_wire_log(read_file(log));
    EXPECT_EQ(w.unstamped, 0u);
    EXPECT_EQ(w.notes, std::vector<std::string>{
                           "serial: low latency not supported by the device, used as it is"});
    EXPECT_EQ(w.written, run.written);
    EXPECT_EQ(w.read, run.received);
    EXPECT_GE(w.framed_out, 3u);  // boot information, block list, reset, hold, ...
    EXPECT_GE(w.framed_in, 30u);  // the block list alone is 32 frames
    EXPECT_GE(w.pss_out, 5u);     // probes, removal, poll
    EXPECT_GE(w.pss_in, 1u);      // the probe's answer at least
    EXPECT_NE(read_file(log).find("frame F7/00"), std::string::npos);
}

TEST(Diagnostics, NoWireLogWhenTheVariableIsUnset) {
    TempWorkDir dir;
    unsetenv("KORVA_WIRE_LOG");
    sim::VirtualReader reader(profile_of("default,on-hold"), {}, true);
    const SessionRun run = run_guarded(reader, {"3", "bootinfo", "q"}, "O");
    ASSERT_TRUE(run.tripped.empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_TRUE(std::filesystem::is_empty(dir.parent()) ||
                std::distance(std::filesystem::directory_iterator(dir.parent()),
                              std::filesystem::directory_iterator()) == 1);  // only work/
}

// --- exit status -------------------------------------------------------------

TEST(Diagnostics, ExitStatusGoodFailedAndNotStarted) {
    {
        sim::VirtualReader reader(profile_of("default,on-hold"), {}, true);
        EXPECT_EQ(run_guarded(reader, {"3", "bootinfo", "info", "q"}, "O").status, 0);
    }
    {
        // The reader answers the probe, then nothing: bootinfo fails.
        sim::VirtualReader reader(profile_of("default,on-hold"), {}, true);
        sim::VirtualReader calibration(profile_of("default,on-hold"), {}, true);
        const auto frames = frame_map(run_guarded(calibration, {"3", "q"}, "O").received);
        ASSERT_EQ(frames.size(), 1u);
        const SessionRun run = run_guarded(reader, {"3", "bootinfo", "q"}, "O", frames[0].end,
                                           GuardedLine::Cut::SILENCE);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find("\n REPONSE > Echec Commande "), std::string::npos);
    }
    {
        // The port cannot be opened: the session never starts.
        ScriptedPeer peer;
        korva::testing::SessionHarness h(peer, "O");
        h.refuse_open = true;
        EXPECT_EQ(h.run({"3", "bootinfo"}), 2);
        EXPECT_NE(h.console.output().find("\n ERREUR PORT SERIE : RELANCER LE PROGRAMME \n"),
                  std::string::npos);
    }
}

// --- the real program ----------------------------------------------------------

std::filesystem::path build_dir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
}

struct Program {
    int status = -1;
    std::string output;
};

// Runs a shell command line, with its output captured.
Program run_shell(const std::string& command) {
    Program p;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return p;
    std::array<char, 4096> buffer{};
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        p.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    p.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return p;
}

// A pty whose slave side is a serial port for the utility.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
    int master = -1;
    std::string slave;
};

TEST(Diagnostics, ListPortsShowsEachPortAndWhetherItOpens) {
    const auto program = build_dir() / "korva-maint";
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "korva-maint not built";
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    const Program p = run_shell("KORVA_COM3='" + pty.slave + "' KORVA_COM4=/nonexistent/tty '" +
                                program.string() + "' --list-ports");
    EXPECT_EQ(p.status, 0);
    std::istringstream in(p.output);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    // COM1 to COM9, then the USB adapters.
    ASSERT_GE(lines.size(), 10u) << p.output;
    for (int i = 0; i < 9; ++i) EXPECT_EQ(lines[i].rfind("COM" + std::to_string(i + 1), 0), 0u);
    EXPECT_EQ(lines[9].rfind("USB serial adapters", 0), 0u) << lines[9];
    EXPECT_NE(lines[2].find(pty.slave), std::string::npos);
    EXPECT_NE(lines[2].find("can be opened"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("/nonexistent/tty"), std::string::npos);
    EXPECT_NE(lines[3].find("cannot be opened"), std::string::npos) << lines[3];
}

// --images and --list-images: the set is checked before anything else, and
// a fault stops the start-up with one line, the port untouched.
TEST(Diagnostics, ImageSetIsCheckedBeforeThePortIsOpened) {
    const auto program = build_dir() / "korva-maint";
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "korva-maint not built";
    TempWorkDir work;
    const std::string dir = work.path().string();
    korva::testing::write_image_set(work.path() / "bad");
    std::vector<uint8_t> base = embedded_image_set()[0].stored;
    base[LENGTH_DIGITS + CLASS_BYTE] = 7;
    korva::testing::write_bytes(work.path() / "bad" / "bloc0_base.img", base);
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());

    // The set is refused with one line, and so is the same folder's listing.
    const std::string shell = "printf O | KORVA_COM3='" + pty.slave + "' '" + program.string();
    const Program p = run_shell(shell + "' --images " + dir + "/bad 3 q");
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.output,
              "korva-maint: " + dir +
                  "/bad/bloc0_base.img: class byte (609) is 0x07, typed block 0's is 0x04\n");
    EXPECT_EQ(run_shell(shell + "' --images " + dir + "/bad --list-images").status, 2);
    // Nothing reached the line.
    fcntl(pty.master, F_SETFL, O_NONBLOCK);
    char byte;
    EXPECT_EQ(read(pty.master, &byte, 1), -1);
}

// Two instances on one port, in real time over a pty with the reader
// simulator: the first holds the port, the second is refused at once, and
// the first goes on undisturbed.
TEST(Diagnostics, SecondInstanceOnTheSamePortIsRefused) {
    const auto program = build_dir() / "korva-maint";
    const auto simulator = build_dir() / "korva-reader-sim";
    if (!std::filesystem::exists(program) || !std::filesystem::exists(simulator)) {
        GTEST_SKIP() << "korva-maint or korva-reader-sim not built";
    }
    const auto start = std::chrono::steady_clock::now();
    TempWorkDir dir;
    const std::string link = (dir.path() / "com3").string();

    // The simulator prints the device path on its first line.
    int sim_out[2];
    ASSERT_EQ(pipe(sim_out), 0);
    const pid_t sim = fork();
    if (sim == 0) {
        dup2(sim_out[1], STDOUT_FILENO);
        close(sim_out[0]);
        close(sim_out[1]);
        execl(simulator.c_str(), simulator.c_str(), "--link", link.c_str(), "--profile",
              "default,on-hold", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(sim_out[1]);
    std::string device;
    for (char c; read(sim_out[0], &c, 1) == 1 && c != '\n';) device += c;
    close(sim_out[0]);
    ASSERT_FALSE(device.empty());

    // The first instance: its keyboard is a pipe that gets the power-off
    // answer only once the second instance has been refused.
    int keys[2], first_out[2];
    ASSERT_EQ(pipe(keys), 0);
    ASSERT_EQ(pipe(first_out), 0);
    const pid_t first = fork();
    if (first == 0) {
        dup2(keys[0], STDIN_FILENO);
        dup2(first_out[1], STDOUT_FILENO);
        dup2(first_out[1], STDERR_FILENO);
        close(keys[1]);
        close(first_out[0]);
        setenv("KORVA_COM3", link.c_str(), 1);
        execl(program.c_str(), program.c_str(), "3", "bootinfo", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(keys[0]);
    close(first_out[1]);
    // Wait until the first instance asks the power-off question: the port is
    // then open.
    std::string first_text;
    while (first_text.find("ETAPE 1") == std::string::npos) {
        char buffer[256];
        const ssize_t n = read(first_out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        first_text.append(buffer, static_cast<std::size_t>(n));
    }
    ASSERT_NE(first_text.find("ETAPE 1"), std::string::npos) << first_text;

    const Program second = run_shell("printf 'O' | KORVA_COM3='" + link + "' timeout 5 '" +
                                     program.string() + "' 3 bootinfo");
    EXPECT_EQ(second.status, 2);
    EXPECT_NE(second.output.find("\n ERREUR PORT SERIE : RELANCER LE PROGRAMME \n"),
              std::string::npos)
        << second.output;

    // The first goes on: bootinfo, then the end of its input ends it.
    ASSERT_EQ(write(keys[1], "O", 1), 1);
    close(keys[1]);
    for (;;) {
        char buffer[256];
        const ssize_t n = read(first_out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        first_text.append(buffer, static_cast<std::size_t>(n));
    }
    close(first_out[0]);
    int status = 0;
    waitpid(first, &status, 0);
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    EXPECT_NE(first_text.find("VERSION  : 4.01"), std::string::npos) << first_text;
    EXPECT_EQ(first_text.find("ERREUR PORT SERIE"), std::string::npos);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace korva::reliability
