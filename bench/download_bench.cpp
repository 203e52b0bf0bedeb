// korva-download-bench: how close korva-maint comes to the line's own speed
// when it downloads the supervisor image (typed block 2) to the virtual
// reader over a real pty at 19200 baud.
//
//   korva-download-bench [--maint PATH] [--sim PATH] [--keep DIR] [--turnaround-ms N]
//                        [--usb-latency-ms N]
//
// The virtual reader answers each request after N ms (default 0): the bench
// measures korva-maint, not the reader's think time. With 3, the reader's own
// default, each answer costs 3 ms more. With --usb-latency-ms the reader's
// bytes reach korva-maint as through a USB adapter whose latency timer is
// N ms (1 to 16; 16 is the usual default): each answer waits for it.
//
// Two sessions run, each "v2", then "charge superviseur 2", then "q", typed
// on korva-maint's standard input (typed commands have no pauses between
// them, unlike script tokens):
//   1. with the wire log on, to count every byte of every request and
//      answer of the download, from the erase request to the signature
//      answer;
//   2. without it, for the timing: the wall time from "EFFACEMENT" to
//      "LOGICIEL INSTALLE" on korva-maint's output, and korva-maint's CPU
//      time over the same stretch (/proc/PID/schedstat) and over the whole
//      run (wait4, tick-sampled).
// The wire-time lower bound is bytes x 10 bits / 19200.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/command_line.h"

namespace {

namespace fs = std::filesystem;

constexpr double BAUD = 19200.0;
constexpr double BITS_PER_BYTE = 10.0;
constexpr int SESSION_LIMIT_S = 180;
const char* const START_MARK = "\n           EFFACEMENT";
const char* const END_MARK = "LOGICIEL INSTALLE";
const char* const SPEED_OK = "19200 BAUDS OK";

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output
    int in = -1;   // its standard input, when piped
};

Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            bool pipe_input) {
    int out_pipe[2];
    int in_pipe[2] = {-1, -1};
    if (pipe(out_pipe) != 0 || (pipe_input && pipe(in_pipe) != 0)) {
        std::perror("pipe");
        std::exit(1);
    }
    Child c;
    c.pid = fork();
    if (c.pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (c.pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        if (pipe_input) {
            dup2(in_pipe[0], STDIN_FILENO);
            close(in_pipe[0]);
            close(in_pipe[1]);
        } else {
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
        }
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        std::perror(args[0]);
        _exit(127);
    }
    close(out_pipe[1]);
    c.out = out_pipe[0];
    if (pipe_input) {
        close(in_pipe[0]);
        c.in = in_pipe[1];
    }
    return c;
}

// Reads one line of the child's output, waiting at most limit_s.
bool read_line(int fd, std::string& line, double limit_s) {
    line.clear();
    const double end = now_s() + limit_s;
    char c;
    while (now_s() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (read(fd, &c, 1) != 1) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
    return false;
}

// CPU time of a running single-threaded process, in seconds: the
// scheduler's own count in nanoseconds (utime and stime are sampled at the
// clock tick and swing by several tenths of a percent between runs).
double process_cpu_s(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    if (!(in >> ns)) return 0;
    return ns / 1e9;
}

struct SessionResult {
    bool ok = false;
    std::string output;
    double start_s = 0, end_s = 0;          // the two marks
    double cpu_start_s = 0, cpu_end_s = 0;  // CPU time at the marks
    double wall_s = 0;                      // whole session
    double cpu_s = 0;                       // whole session (wait4)
    int status = 0;
};

// How the virtual reader answers.
struct ReaderTiming {
    int turnaround_ms = 0;
    int usb_latency_ms = 0;  // 0: no adapter
};

SessionResult run_session(const std::string& maint, const std::string& sim, const fs::path& dir,
                          const ReaderTiming& timing, bool wire_log) {
    SessionResult r;
    const fs::path link = dir / "reader";
    std::string profile = "default,on-hold,turnaround-ms=" + std::to_string(timing.turnaround_ms);
    if (timing.usb_latency_ms > 0)
        profile += ",usb-latency-ms=" + std::to_string(timing.usb_latency_ms);
    Child reader = spawn({sim, "--link", link.string(), "--profile", profile}, {}, false);
    std::string device;
    if (!read_line(reader.out, device, 10)) {
        std::fprintf(stderr, "the virtual reader did not start\n");
        kill(reader.pid, SIGTERM);
        waitpid(reader.pid, nullptr, 0);
        return r;
    }

    std::vector<std::string> env{"KORVA_COM1=" + link.string()};
    if (wire_log) env.push_back("KORVA_WIRE_LOG=" + (dir / "wire.log").string());
    const double started = now_s();
    Child maint_child = spawn({maint, "1"}, env, true);
    auto type = [&](const std::string& keys) {
        if (write(maint_child.in, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
            std::perror("write");
        }
    };
    type("Ov2\n");
    bool charge_typed = false;

    char buffer[4096];
    for (;;) {
        if (now_s() - started > SESSION_LIMIT_S) {
            std::fprintf(stderr, "korva-maint did not finish in %d s\n", SESSION_LIMIT_S);
            kill(maint_child.pid, SIGTERM);
            break;
        }
        pollfd p{maint_child.out, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = read(maint_child.out, buffer, sizeof buffer);
        if (n <= 0) break;
        const double t = now_s();
        r.output.append(buffer, static_cast<std::size_t>(n));
        // The charge is typed once the speed change is through.
        if (!charge_typed && r.output.find(SPEED_OK) != std::string::npos) {
            type("charge\nsuperviseur\n2\nq\n");
            close(maint_child.in);
            charge_typed = true;
        }
        if (r.start_s == 0 && r.output.find(START_MARK) != std::string::npos) {
            r.start_s = t;
            r.cpu_start_s = process_cpu_s(maint_child.pid);
        }
        if (r.end_s == 0 && r.output.find(END_MARK) != std::string::npos) {
            r.end_s = t;
            r.cpu_end_s = process_cpu_s(maint_child.pid);
        }
    }
    if (!charge_typed) close(maint_child.in);
    rusage usage{};
    wait4(maint_child.pid, &r.status, 0, &usage);
    r.wall_s = now_s() - started;
    r.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    kill(reader.pid, SIGTERM);
    waitpid(reader.pid, nullptr, 0);
    close(maint_child.out);
    close(reader.out);
    r.ok = r.start_s != 0 && r.end_s != 0;
    return r;
}

// Bytes of the download's conversation in the wire log: every frame in
// either direction from the erase request for block code 4 to the first
// signature answer after it. Each direction's bytes are counted up to the
// line that decodes the frame they complete.
struct WireCount {
    uint64_t bytes = 0;
    unsigned frames = 0;
    unsigned answers = 0;
};

WireCount count_wire(const fs::path& log) {
    WireCount w;
    std::ifstream in(log);
    std::string line;
    uint64_t pending[2] = {0, 0};
    bool counting = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string time, arrow, first;
        if (!(words >> time >> arrow >> first)) continue;
        const int dir = arrow == ">" ? 0 : 1;
        if (first == "frame") {
            std::string code;
            words >> code;
            if (!counting && dir == 0 && code == "FF/00" &&
                line.find("SO[1] 04 ") != std::string::npos) {
                counting = true;
                pending[1] = 0;
            }
            if (counting) {
                w.bytes += pending[dir];
                ++w.frames;
                if (dir == 1) ++w.answers;
            }
            pending[dir] = 0;
            if (counting && dir == 1 && code == "F4/00") break;
            continue;
        }
        if (first.size() != 2 || !std::isxdigit(static_cast<unsigned char>(first[0]))) continue;
        uint64_t n = 1;
        for (std::string more; words >> more;) ++n;
        pending[dir] += n;
    }
    return w;
}

// A whole number of milliseconds from 0 to 10000.
bool parse_ms(const char* text, int& ms) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 10000) return false;
    ms = static_cast<int>(v);
    return true;
}

std::string self_dir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? "." : exe.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
    std::string maint = self_dir() + "/korva-maint";
    std::string sim = self_dir() + "/korva-reader-sim";
    std::string keep;
    ReaderTiming timing;
    using korva::OptionValue;
    using korva::OptionVerdict;
    using Value = std::optional<std::string>;
    // Every option is "--name VALUE"; a missing or bad value is a usage error.
    auto ms = [](int& into, int low, int high) {
        return [&into, low, high](const Value& value) {
            const bool good =
                value && parse_ms(value->c_str(), into) && into >= low && into <= high;
            return good ? OptionVerdict::TAKEN : OptionVerdict::REFUSED;
        };
    };
    const std::vector<korva::CommandOption> table = {
        {"--maint", "", OptionValue::NEXT, korva::keep_value(maint)},
        {"--sim", "", OptionValue::NEXT, korva::keep_value(sim)},
        {"--keep", "", OptionValue::NEXT, korva::keep_value(keep)},
        {"--turnaround-ms", "", OptionValue::NEXT, ms(timing.turnaround_ms, 0, 10000)},
        {"--usb-latency-ms", "", OptionValue::NEXT, ms(timing.usb_latency_ms, 1, 16)},
    };
    const bool usage_error = korva::read_options(std::vector<std::string>(argv + 1, argv + argc),
                                                 table, korva::Operands::NONE)
                                 .end != OptionVerdict::TAKEN;
    if (usage_error) {
        std::fprintf(stderr,
                     "usage: %s [--maint PATH] [--sim PATH] [--keep DIR] [--turnaround-ms N]"
                     " [--usb-latency-ms N]\n",
                     argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/korva-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = keep.empty() ? fs::path(made) : fs::path(keep);
    fs::create_directories(dir);

    const SessionResult logged = run_session(maint, sim, dir, timing, true);
    const WireCount wire = count_wire(dir / "wire.log");
    const SessionResult timed = run_session(maint, sim, dir, timing, false);
    if (keep.empty()) fs::remove_all(made);

    if (!logged.ok || !timed.ok || wire.bytes == 0) {
        std::fprintf(stderr, "the download did not complete; korva-maint said:\n%s\n",
                     timed.output.c_str());
        return 1;
    }
    const double wall = timed.end_s - timed.start_s;
    const double bound = static_cast<double>(wire.bytes) * BITS_PER_BYTE / BAUD;
    const double cpu = timed.cpu_end_s - timed.cpu_start_s;
    std::printf("download of typed block 2 (35206 bytes) at 19200 baud over a pty\n");
    std::printf("  reader turnaround           : %d ms\n", timing.turnaround_ms);
    if (timing.usb_latency_ms > 0)
        std::printf("  USB adapter latency         : %d ms\n", timing.usb_latency_ms);
    std::printf("  wire bytes, both directions : %llu in %u frames (%u answers)\n",
                static_cast<unsigned long long>(wire.bytes), wire.frames, wire.answers);
    std::printf("  wire-time lower bound       : %.3f s\n", bound);
    std::printf("  measured wall time          : %.3f s\n", wall);
    std::printf("  ratio                       : %.4f (target <= 1.03)\n", wall / bound);
    std::printf("  excess per answer           : %.2f ms\n", (wall - bound) * 1000 / wire.answers);
    std::printf("  korva-maint CPU, download   : %.3f s = %.2f %% of its wall time\n", cpu,
                100 * cpu / wall);
    std::printf("  korva-maint CPU, whole run  : %.3f s in %.3f s = %.2f %%\n", timed.cpu_s,
                timed.wall_s, 100 * timed.cpu_s / timed.wall_s);
    return 0;
}
