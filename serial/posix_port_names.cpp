// The names of the machine's serial ports on POSIX systems, and the USB
// serial adapters found there.
//
// COM<n> is the device named by the environment variable KORVA_COM<n>, or
// /dev/ttyS<n-1>. A USB adapter (ttyUSB<k>, ttyACM<k>) gets the COM number a
// variable names it by, or else the first one free.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "serial/serial_device.h"

namespace korva {

namespace {

namespace fs = std::filesystem;

// "COM1" to "COM9" → 1 to 9; 0 for anything else.
int com_number(const std::string& port_name) {
    if (port_name.size() != 4 || port_name.compare(0, 3, "COM") != 0) return 0;
    const char digit = port_name[3];
    return digit >= '1' && digit <= '9' ? digit - '0' : 0;
}

// "ttyUSB12" -> ("ttyUSB", 12) for the prefixes of USB adapters; false for
// any other name.
bool usb_device_name(const std::string& name, std::string& prefix, unsigned long& number) {
    for (const char* p : {"ttyUSB", "ttyACM"}) {
        const std::size_t n = std::char_traits<char>::length(p);
        if (name.size() <= n || name.compare(0, n, p) != 0) continue;
        if (name.find_first_not_of("0123456789", n) != std::string::npos || name.size() > n + 6)
            return false;
        prefix = p;
        number = std::stoul(name.substr(n));
        return true;
    }
    return false;
}

// Whether two paths name the same file. Device nodes, which the library's
// equivalent() refuses to compare, by the device that they stand for.
bool same_file(const fs::path& a, const fs::path& b) {
    struct stat sa {};
    struct stat sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Whether ttyS<k> is a serial port that is there. Most kernels make ttyS0 to
// ttyS3 (or more) whether or not a UART answers behind them; sysfs gives
// those the port type 0. Without a word from sysfs the device node decides.
bool uart_there(const std::string& dev_root, const std::string& sys_root, int k) {
    const std::string name = "ttyS" + std::to_string(k);
    std::error_code ec;
    if (!fs::exists(fs::path(dev_root) / name, ec)) return false;
    std::ifstream type(fs::path(sys_root) / "class" / "tty" / name / "type");
    int value = -1;
    return !(type >> value) || value != 0;
}

}  // namespace

std::string system_serial_device(const std::string& port_name) {
    const int n = com_number(port_name);
    if (n == 0) return {};
    const std::string variable = "KORVA_" + port_name;
    if (const char* named = std::getenv(variable.c_str()); named && *named) return named;
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::optional<std::vector<UsbSerialAdapter>> usb_serial_adapters(const std::string& dev_root,
                                                                 const std::string& sys_root) {
    struct Found {
        std::string prefix;
        unsigned long number;
        UsbSerialAdapter adapter;
    };
    std::vector<Found> found;
    std::error_code ec;
    for (fs::directory_iterator it(dev_root, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        Found f;
        if (!usb_device_name(it->path().filename().string(), f.prefix, f.number)) continue;
        f.adapter.device = it->path().string();
        found.push_back(std::move(f));
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : a.number < b.number;
    });

    // The stable names, which survive unplugging and a new order of plugging.
    std::vector<fs::path> by_id;
    const fs::path by_id_dir = fs::path(dev_root) / "serial" / "by-id";
    for (fs::directory_iterator it(by_id_dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        by_id.push_back(it->path());
    std::sort(by_id.begin(), by_id.end());

    // What each KORVA_COM<n> variable names ("" when unset), and the COM
    // numbers taken by a variable or by a serial port that is there.
    std::string named[10];
    bool taken[10] = {};
    for (int n = 1; n <= 9; ++n) {
        const char* value = std::getenv(("KORVA_COM" + std::to_string(n)).c_str());
        if (value != nullptr) named[n] = value;
        taken[n] = !named[n].empty() || uart_there(dev_root, sys_root, n - 1);
    }

    std::vector<UsbSerialAdapter> adapters;
    for (Found& f : found) {
        UsbSerialAdapter& a = f.adapter;
        for (const fs::path& link : by_id) {
            if (same_file(link, a.device)) a.by_id.push_back(link.string());
        }
        for (int n = 1; n <= 9 && !a.named; ++n) {
            if (named[n].empty() || !same_file(named[n], a.device)) continue;
            a.com = n;
            a.named = true;
        }
        for (int n = 1; n <= 9 && a.com == 0; ++n) {
            if (taken[n]) continue;
            a.com = n;
            taken[n] = true;
        }
        adapters.push_back(std::move(a));
    }
    return adapters;
}

}  // namespace korva
