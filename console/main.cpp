// The entry point: options, then the session on the machine's own console,
// clock and serial ports (or on the virtual reader with --simulate).
//
// Options come before the port digit; the first argument that does not
// begin with '-' (or every argument after "--") is the port digit, and the
// rest are script tokens, exactly as without options. A port digit never
// begins with '-', so no valid command line changes meaning.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "console/listings.h"
#include "console/run_session.h"
#include "console/simulated_session.h"
#include "console/system_text.h"
#include "images/image_folder.h"
#include "korva_version.h"
#include "platform/command_line.h"
#include "platform/exit_guard.h"
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
    "                       can be opened now, and the USB serial adapters with\n"
    "                       the KORVA_COM<n> line that makes one a COM port, and exit\n"
    "  --images DIR         install the images of DIR (bloc0_base.img,\n"
    "                       bloc2_superviseur.img, bloc3_pss.img, bloc5_orbex_112.img,\n"
    "                       bloc6_extension.img, stored as in the build's images/)\n"
    "                       instead of the built-in ones; they are checked before\n"
    "                       the port is opened, and a missing one leaves its block\n"
    "                       without an image\n"
    "  --list-images [DIR]  show the catalogue of the built-in images, or of DIR:\n"
    "                       blocks, lengths, parts, software and SHA-256, and exit\n"
    "  --simulate[=PROFILE] run against the built-in virtual reader\n"
    "  --no-pacing          with --simulate: do not pace the line at its speed\n"
    "  --fault=KNOB         with --simulate: inject a fault (repeatable)\n"
    "\n"
    "Exit status: 0 when every command did what it was asked, 1 when a reader\n"
    "command failed, 2 when the session could not start or on a usage error.\n";

const char VERSION[] = "korva-maint " KORVA_VERSION_TEXT " (ORBEX 1.12)\n";

struct Options {
    bool help = false;
    bool version = false;
    bool list_ports = false;
    bool list_images = false;
    std::string images;       // --images DIR
    std::string list_folder;  // --list-images DIR
    bool simulate = false;
    bool pacing_option = false;  // --no-pacing or --fault given
    korva::SimulationOptions simulation;
    std::vector<std::string> args;  // the port digit, then script words
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "korva-maint: %s\nTry 'korva-maint --help'.\n", message.c_str());
    return EXIT_USAGE;
}

// Fills options from the arguments; returns an error message, empty when
// the command line is good.
std::string parse(const std::vector<std::string>& all, Options& options) {
    using korva::OptionValue;
    using korva::OptionVerdict;
    using Value = std::optional<std::string>;
    std::string refusal;
    auto refuse = [&refusal](const char* why) {
        refusal = why;
        return OptionVerdict::REFUSED;
    };
    const std::vector<korva::CommandOption> table = {
        {"--help", "-h", OptionValue::NONE, korva::set_flag(options.help)},
        {"--version", "", OptionValue::NONE, korva::set_flag(options.version)},
        {"--list-ports", "", OptionValue::NONE, korva::set_flag(options.list_ports)},
        {"--images", "", OptionValue::NEXT,
         [&](const Value& dir) {
             if (dir) options.images = *dir;
             return options.images.empty() ? refuse("--images needs a folder")
                                           : OptionVerdict::TAKEN;
         }},
        {"--list-images", "", OptionValue::NEXT_IF_ANY,
         [&](const Value& dir) {
             if (dir && dir->empty()) return OptionVerdict::UNKNOWN;
             options.list_images = true;
             if (dir) options.list_folder = *dir;
             return OptionVerdict::TAKEN;
         }},
        {"--simulate", "", OptionValue::JOINED,
         [&](const Value& profile) {
             options.simulate = true;
             if (!profile) return OptionVerdict::TAKEN;
             options.simulation.profile = *profile;
             return profile->empty() ? refuse("--simulate= needs a profile") : OptionVerdict::TAKEN;
         }},
        {"--no-pacing", "", OptionValue::NONE,
         [&](const Value&) {
             options.simulation.pacing = false;
             options.pacing_option = true;
             return OptionVerdict::TAKEN;
         }},
        {"--fault", "", OptionValue::JOINED,
         [&](const Value& knob) {
             if (!knob || knob->empty()) return OptionVerdict::UNKNOWN;
             options.simulation.faults.push_back(*knob);
             options.pacing_option = true;
             return OptionVerdict::TAKEN;
         }},
    };
    const korva::OptionsRead parsed =
        korva::read_options(all, table, korva::Operands::AFTER_OPTIONS);
    if (parsed.end == OptionVerdict::REFUSED) return refusal;
    if (parsed.end != OptionVerdict::TAKEN) return "unknown option '" + parsed.argument + "'";
    options.args.assign(all.begin() + static_cast<std::ptrdiff_t>(parsed.operands), all.end());
    if (options.pacing_option && !options.simulate) {
        return "--no-pacing and --fault need --simulate";
    }
    return {};
}

// The catalogue of the built-in set, or of a folder's; status 2 when the
// folder or one of its files is refused.
int list_images(const std::string& dir) {
    if (dir.empty()) {
        korva::put_text(stdout,
                        korva::image_set_listing("built-in", korva::embedded_image_folder()));
        return 0;
    }
    const korva::ImageFolder folder = korva::read_image_folder(dir);
    if (folder.files.empty()) {
        korva::put_text(stderr, "korva-maint: " + folder.fault + "\n");
        return EXIT_USAGE;
    }
    korva::put_text(stdout, korva::image_set_listing(dir, folder));
    return folder.fault.empty() ? 0 : EXIT_USAGE;
}

// The set of --images, read and checked before anything else happens; false
// (the fault told on stderr) when it may not be used.
bool load_images(const std::string& dir, korva::HeldImages& images) {
    const korva::ImageFolder folder = korva::read_image_folder(dir);
    if (!folder.fault.empty()) {
        korva::put_text(stderr, "korva-maint: " + folder.fault + "\n");
        return false;
    }
    for (const korva::ImageFile& file : folder.files) {
        if (file.state != korva::ImageFileState::ABSENT) continue;
        korva::put_text(stderr, "korva-maint: " + file.path + ": absent, charge of typed block " +
                                    std::to_string(file.entry->typed_block) +
                                    " answers ERREUR FICHIER PARAMETRES\n");
    }
    images = korva::held_images_of(folder);
    return true;
}

int list_ports() {
    for (char digit = '1'; digit <= '9'; ++digit) {
        const std::string name = std::string("COM") + digit;
        const std::string device = korva::system_serial_device(name);
        // Neither taken nor changed: another program's port stays as it is.
        const bool can_open = korva::system_serial_free(name);
        std::printf("%s  %-24s %s\n", name.c_str(), device.c_str(),
                    can_open ? "can be opened" : "cannot be opened (missing, busy or refused)");
    }
    if (const auto adapters = korva::usb_serial_adapters("/dev", "/sys"))
        std::fputs(korva::usb_adapters_listing(*adapters).c_str(), stdout);
    return 0;
}

}  // namespace

// The arguments as the system gives them: on Windows in UTF-16, kept in
// UTF-8 like every path here.
#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    const std::vector<std::string> arguments = korva::utf8_arguments(argc, argv);
#else
int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
#endif
    // Whatever ends the process puts the port and the console back.
    korva::install_exit_guard();
    Options options;
    const std::string error = parse(arguments, options);
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
    if (options.list_images)
        return list_images(options.list_folder.empty() ? options.images : options.list_folder);
    korva::HeldImages images = korva::embedded_image_set();
    if (!options.images.empty() && !load_images(options.images, images)) return EXIT_USAGE;
    if (options.simulate)
        return korva::run_simulated_session(options.args, options.simulation, std::move(images));
    const korva::Seams seams{korva::system_console(), korva::system_clock(),
                             korva::open_system_serial};
    return korva::run_session(options.args, seams, std::move(images));
}
