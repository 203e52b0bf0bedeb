#include "sim/reader_profile.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace korva::sim {

namespace {

// The software a fully equipped reader carries before anything is loaded.
std::map<uint8_t, BlockSoftware> full_software() {
    return {
        {0, {"KORVA SYSTEMES$ KRV 3.20$", 3, 20}}, {2, {"KORVA SYSTEMES$SUPERVISEUR$", 2, 40}},
        {3, {"KORVA SYSTEMES$PSS 2.10$", 2, 10}},  {4, {"KORVA SYSTEMES$CAM 1.05$", 1, 5}},
        {5, {"ORBEX$TLA ORBEX$", 1, 10}},          {6, {"ORBEX$ORBEX DONNEES$", 1, 10}},
        {7, {"GIE CB$PAIEMENT CB$", 5, 2}},
    };
}

struct NamedProfile {
    const char* name;
    const char* description;
};

constexpr NamedProfile kProfiles[] = {
    {"default", "boot 4.01, 15 blocks, base software KRV 3.20, full ORBEX TLA (blocks 5 and 6)"},
    {"boot405", "as default with boot 4.05 and 31 blocks"},
    {"reduced-tla", "as default with block 6 empty (reduced TLA)"},
    {"no-tla", "as default with blocks 5 and 6 empty (no TLA)"},
    {"ker", "as default with a base software that forbids updates (KER 1.40)"},
    {"empty", "boot 4.01, every software block empty"},
};

bool named_profile(const std::string& name, ReaderProfile& p) {
    p = ReaderProfile{};
    p.name = name;
    p.software = full_software();
    if (name == "default") return true;
    if (name == "boot405") {
        p.boot_version = "4.05";
        p.highest_block = 31;
        return true;
    }
    if (name == "reduced-tla") {
        p.software.erase(6);
        return true;
    }
    if (name == "no-tla") {
        p.software.erase(5);
        p.software.erase(6);
        return true;
    }
    if (name == "ker") {
        p.software[0] = {"KORVA SYSTEMES$ KER 1.40$", 1, 40};
        return true;
    }
    if (name == "empty") {
        p.software.clear();
        return true;
    }
    return false;
}

bool parse_number(const std::string& text, unsigned& value) {
    int base = 10;
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty()) return false;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
    return ec == std::errc() && ptr == end;
}

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// One "key=value" or "flag" adjustment of a profile.
bool apply_option(const std::string& item, ReaderProfile& p, std::string& error) {
    const auto eq = item.find('=');
    const std::string key = trim(item.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : trim(item.substr(eq + 1));
    unsigned n = 0;
    if (key == "pad" && parse_number(value, n) && n <= 14) {
        p.pad = static_cast<uint8_t>(n);
    } else if (key == "pss-speed" && (value == "9600" || value == "19200")) {
        p.pss_speed = value == "9600" ? 9600 : 19200;
    } else if (key == "start" && (value == "A" || value == "B")) {
        p.start_byte = static_cast<uint8_t>(value[0]);
    } else if (key == "on-hold" && (value.empty() || value == "1" || value == "yes")) {
        p.on_hold = true;
    } else if (key == "on-hold" && (value == "0" || value == "no")) {
        p.on_hold = false;
    } else if (key == "power-on-ms" && parse_number(value, n) && n <= 600000) {
        p.power_on_ms = n;
    } else if (key == "turnaround-ms" && parse_number(value, n) && n <= 10000) {
        p.turnaround_ms = n;
    } else if (key == "tla-start-ms" && parse_number(value, n) && n > 1000 && n <= 60000) {
        // More than the one-second silence that ends a raw read, so that the
        // start bytes come in a read of their own.
        p.tla_start_ms = n;
    } else if (key == "user-ms" && parse_number(value, n) && n <= 60000) {
        p.user_answer_ms = n;
    } else if (key == "restart-ms" && parse_number(value, n) && n >= 600 && n <= 60000) {
        // With the boot's half second, the start-up frame comes after the
        // one-second silence that ends the raw read of the last answer.
        p.self_restart_ms = n;
    } else if (key == "startup-phase-ms" && parse_number(value, n) && n <= 999) {
        p.startup_phase_ms = static_cast<int>(n);
    } else if (key == "byte-gap-us" && parse_number(value, n) && n >= 1 && n <= 100000) {
        p.byte_gap_us = n;
    } else if (key == "usb-latency-ms" && parse_number(value, n) && n >= 1 && n <= 16) {
        p.usb_latency_ms = n;
    } else if (key == "jitter-ms" && parse_number(value, n) && n <= 10000) {
        p.jitter_ms = n;
    } else if (key == "seed" && parse_number(value, n)) {
        p.seed = n;
    } else if (key == "serial" && !value.empty() && value.size() < 40) {
        p.serial_number = value;
    } else {
        error = "unknown or invalid profile option \"" + item + "\"";
        return false;
    }
    return true;
}

bool profile_file(const std::string& path, ReaderProfile& p, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "unknown profile \"" + path + "\" (neither a profile name nor a readable file)";
        return false;
    }
    named_profile("default", p);
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind("profile=", 0) == 0) {
            const std::string base = trim(line.substr(8));
            if (!named_profile(base, p)) {
                error = path + ": unknown profile \"" + base + "\"";
                return false;
            }
        } else if (!apply_option(line, p, error)) {
            error = path + ": " + error;
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> profile_names() {
    std::vector<std::string> names;
    for (const auto& p : kProfiles) names.push_back(p.name);
    return names;
}

bool parse_profile(const std::string& text, ReaderProfile& profile, std::string& error) {
    std::vector<std::string> items;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) items.push_back(item);
    if (items.empty() || trim(items[0]).empty()) items.insert(items.begin(), "default");
    ReaderProfile p;
    const std::string base = trim(items[0]);
    if (!named_profile(base, p) && !profile_file(base, p, error)) return false;
    for (std::size_t i = 1; i < items.size(); ++i)
        if (!apply_option(items[i], p, error)) return false;
    if (p.byte_gap_us != 0 && p.usb_latency_ms != 0) {
        error = "byte-gap-us and usb-latency-ms are two kinds of line: choose one";
        return false;
    }
    profile = p;
    return true;
}

bool parse_fault(const std::string& text, FaultKnobs& f, std::string& error) {
    const auto eq = text.find('=');
    const std::string key = trim(text.substr(0, eq));
    const bool has_value = eq != std::string::npos;
    unsigned n = 0;
    const bool number = has_value && parse_number(trim(text.substr(eq + 1)), n) && n > 0;
    // Knobs that take a count.
    struct Counted {
        const char* name;
        unsigned FaultKnobs::*field;
        bool optional;  // a bare knob means 1
    };
    static const Counted counted[] = {
        {"corrupt-check", &FaultKnobs::corrupt_check, true},
        {"drop", &FaultKnobs::drop, false},
        {"duplicate", &FaultKnobs::duplicate, false},
        {"silent-after", &FaultKnobs::silent_after, false},
        {"refuse-packet", &FaultKnobs::refuse_packet, false},
        {"unplug-after", &FaultKnobs::unplug_after, false},
        {"restart-after", &FaultKnobs::restart_after, false},
        {"poll-other", &FaultKnobs::poll_other, false},
    };
    for (const auto& c : counted) {
        if (key != c.name) continue;
        if (number) {
            f.*c.field = n;
            return true;
        }
        if (!has_value && c.optional) {
            f.*c.field = 1;
            return true;
        }
        error = "fault \"" + text + "\" needs a count, e.g. " + c.name + "=3";
        return false;
    }
    struct Flag {
        const char* name;
        bool FaultKnobs::*field;
    };
    static const Flag flags[] = {
        {"noise", &FaultKnobs::noise},
        {"wrong-checksum", &FaultKnobs::wrong_checksum},
        {"refuse-signature", &FaultKnobs::refuse_signature},
        {"report-fa", &FaultKnobs::report_fa},
    };
    for (const auto& fl : flags) {
        if (key != fl.name) continue;
        if (has_value) {
            error = "fault \"" + key + "\" takes no value";
            return false;
        }
        f.*fl.field = true;
        return true;
    }
    if (key == "poll-status" && has_value && parse_number(trim(text.substr(eq + 1)), n) &&
        n <= 0xFF) {
        f.poll_status = static_cast<int>(n);
        return true;
    }
    error = "unknown fault \"" + text + "\"";
    return false;
}

std::string profiles_and_faults_help() {
    std::string out = "Profiles (--simulate=PROFILE[,option...] or a file of key=value lines):\n";
    for (const auto& p : kProfiles) {
        out += "  ";
        out += p.name;
        out += std::string(14 - std::string(p.name).size(), ' ');
        out += p.description;
        out += "\n";
    }
    out +=
        "Profile options:\n"
        "  pad=N         PSS address 0 to 14 (default 2)\n"
        "  pss-speed=N   PSS line speed, 9600 (default) or 19200\n"
        "  start=B       TLA start bytes 'B' 0 0 instead of 'A' 0 0\n"
        "  on-hold       already switched on and on maintenance hold\n"
        "  power-on-ms=N switched on N ms after the port is configured (default 3000)\n"
        "  turnaround-ms=N  N ms from a request to its answer (default 3)\n"
        "  tla-start-ms=N   the TLA's start bytes N ms after the 0xF2 frame (default 3000)\n"
        "  user-ms=N        the reader's user answers the removal question in N ms (default 1500)\n"
        "  restart-ms=N     the reader restarts N ms after an accepted removal (default 1500)\n"
        "  startup-phase-ms=N  the start-up frame 0xF2 waits for the instant N ms (0 to 999)\n"
        "                   into a second of the calendar clock\n"
        "  byte-gap-us=N    each byte reaches the utility alone, at least N us after the last\n"
        "                   (1100: a 9600-baud line read byte by byte)\n"
        "  usb-latency-ms=N bytes reach the utility in bursts, as through a USB adapter: every\n"
        "                   N ms (1 to 16), or at once when 62 are waiting\n"
        "  jitter-ms=N      the turnaround varies by up to N ms more\n"
        "  seed=S           the seed of the reader's random draws (default 1)\n"
        "  serial=TEXT   the reader's serial number\n"
        "Fault knobs (--fault=KNOB, may be repeated):\n"
        "  corrupt-check[=N]  wrong check byte in the N-th frame sent (default the first)\n"
        "  drop=N             the N-th byte sent is lost\n"
        "  duplicate=N        the N-th byte sent arrives twice\n"
        "  noise              stray bytes before every frame\n"
        "  silent-after=N     no answer at all after N download packets\n"
        "  refuse-packet=K    download packet K refused once, asked for again\n"
        "  wrong-checksum     the download's final sum is wrong\n"
        "  refuse-signature   every software signature is refused\n"
        "  unplug-after=N     the cable is pulled after N download packets\n"
        "  restart-after=N    the reader restarts by itself after N download packets\n"
        "  report-fa          an unprompted 0xFA report after every answer\n"
        "  poll-status=S      the reader's user answers the TLA removal with status S\n"
        "                     (0x92 refused, 0x94 care sheet present)\n"
        "  poll-other=N       another status N times before accepting\n";
    return out;
}

}  // namespace korva::sim
