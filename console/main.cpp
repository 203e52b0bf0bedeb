// The entry point: options, then the session on the machine's own console,
// clock and serial ports (or on the virtual reader with --simulate).
//
// Options come before the port digit; the first argument that does not
// begin with '-' (or every argument after "--") is the port digit, and the
// rest are script tokens, exactly as without options. A port digit never
// begins with '-', so no valid command line changes meaning.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "console/run_session.h"
#include "console/simulated_session.h"
#include "sim/reader_profile.h"

namespace {

constexpr int EXIT_USAGE = 2;

const char USAGE[] =
    "Usage: korva-maint [OPTIONS] [PORT [WORD...]]\n"
    "\n"
    "Maintenance console of the KORVA card reader.\n"
    "\n"
    "  PORT         the COM port digit, 1 to 9; asked for when absent\n"
    "  WORD...      script words, run in order before the keyboard's commands;\n"
    "               without arguments the words of liste.dvo, or the built-in\n"
    "               script, are run\n"
    "\n"
    "COM<n> is the device named by the environment variable KORVA_COM<n>,\n"
    "else /dev/ttyS<n-1> (the COM port itself on Windows).\n"
    "\n"
    "Options:\n"
    "  -h, --help           show this help and exit\n"
    "  --version            show the version and exit\n"
    "  --list-ports         show COM1 to COM9, their devices, and whether each\n"
    "                       can be opened now, and exit\n"
    "  --simulate[=PROFILE] run against the built-in virtual reader\n"
    "  --no-pacing          with --simulate: do not pace the line at its speed\n"
    "  --fault=KNOB         with --simulate: inject a fault (repeatable)\n"
    "\n"
    "Exit status: 0 when every command did what it was asked, 1 when a reader\n"
    "command failed, 2 when the session could not start or on a usage error.\n";

const char VERSION[] = "korva-maint V1.09 (ORBEX 1.12)\n";

struct Options {
    bool help = false;
    bool version = false;
    bool list_ports = false;
    bool simulate = false;
    bool pacing_option = false;  // --no-pacing or --fault given
    korva::SimulationOptions simulation;
    std::vector<std::string> args;  // the port digit, then script words
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "korva-maint: %s\nTry 'korva-maint --help'.\n", message.c_str());
    return EXIT_USAGE;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Fills options from the arguments; returns an error message, empty when
// the command line is good.
std::string parse(const std::vector<std::string>& all, Options& options) {
    std::size_t i = 0;
    for (; i < all.size(); ++i) {
        const std::string& a = all[i];
        if (a.empty() || a[0] != '-') break;
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "-h" || a == "--help") {
            options.help = true;
        } else if (a == "--version") {
            options.version = true;
        } else if (a == "--list-ports") {
            options.list_ports = true;
        } else if (a == "--simulate") {
            options.simulate = true;
        } else if (starts_with(a, "--simulate=")) {
            options.simulate = true;
            options.simulation.profile = a.substr(11);
            if (options.simulation.profile.empty()) return "--simulate= needs a profile";
        } else if (a == "--no-pacing") {
            options.simulation.pacing = false;
            options.pacing_option = true;
        } else if (starts_with(a, "--fault=") && a.size() > 8) {
            options.simulation.faults.push_back(a.substr(8));
            options.pacing_option = true;
        } else {
            return "unknown option '" + a + "'";
        }
    }
    options.args.assign(all.begin() + static_cast<std::ptrdiff_t>(i), all.end());
    if (options.pacing_option && !options.simulate) {
        return "--no-pacing and --fault need --simulate";
    }
    return {};
}

int list_ports() {
    for (char digit = '1'; digit <= '9'; ++digit) {
        const std::string name = std::string("COM") + digit;
        const std::string device = korva::system_serial_device(name);
        // Opened and closed at once: exclusive opening refuses a port that
        // another program holds, without touching it.
        const bool can_open = korva::open_system_serial(name) != nullptr;
        std::printf("%s  %-24s %s\n", name.c_str(), device.c_str(),
                    can_open ? "can be opened" : "cannot be opened (missing, busy or refused)");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const std::string error = parse(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!error.empty()) return usage_error(error);
    if (options.help) {
        std::fputs(USAGE, stdout);
        std::printf("\n%s", korva::sim::profiles_and_faults_help().c_str());
        return 0;
    }
    if (options.version) {
        std::fputs(VERSION, stdout);
        return 0;
    }
    if (options.list_ports) return list_ports();
    if (options.simulate) return korva::run_simulated_session(options.args, options.simulation);
    const korva::Seams seams{korva::system_console(), korva::system_clock(),
                             korva::open_system_serial};
    return korva::run_session(options.args, seams);
}
