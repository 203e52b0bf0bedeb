// --list-ports on Linux: the USB serial adapters of a /dev tree, their
// stable names, and the line that makes each a COM port.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "console/listings.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

namespace fs = std::filesystem;

const std::string FTDI = "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const std::string HEAD = "USB serial adapters (the KORVA_COM<n>=... line makes one COM<n>):\n";

struct Row {
    const char* devices;       // files made under the root, separated by spaces
    const char* phantoms;      // ttyS ports of those that sysfs gives the type 0
    const char* variable;      // set to the adapter's by-id name when not null
    std::string listing;       // {root} stands for the root
    bool device_node = false;  // ttyUSB0 a character device, as real ones are
};

std::string with_root(std::string text, const std::string& root) {
    for (std::size_t at; (at = text.find("{root}")) != std::string::npos;)
        text.replace(at, 6, root);
    return text;
}

// ttyUSB0 has a by-id name. The COM offered is the first whose ttyS is
// missing or a placeholder and that no variable names; the stable name is
// preferred.
TEST(UsbAdapters, ListedWithTheirStableNamesAndTheLineThatMakesEachAComPort) {
    const std::string usb0 = HEAD + "  {root}/ttyUSB0\n    {root}/" + FTDI + "\n";
    const Row rows[] = {
        {"ttyS0 ttyS2 ttyUSB0", "", nullptr, usb0 + "    KORVA_COM2={root}/" + FTDI + "\n"},
        {"ttyS0 ttyS1 ttyS2 ttyUSB0", "ttyS1 ttyS2", nullptr,
         usb0 + "    KORVA_COM2={root}/" + FTDI + "\n"},
        {"ttyS0 ttyS2 ttyUSB0", "", "KORVA_COM2", usb0 + "    COM2 already: KORVA_COM2 names it\n"},
        {"ttyS0 ttyS2", "", "KORVA_COM2", usb0 + "    COM2 already: KORVA_COM2 names it\n", true},
        {"ttyS0 ttyUSB10 ttyUSB2 ttyACM0", "", "KORVA_COM3",
         HEAD + "  {root}/ttyACM0\n    KORVA_COM2={root}/ttyACM0\n  {root}/ttyUSB2\n" +
             "    KORVA_COM4={root}/ttyUSB2\n  {root}/ttyUSB10\n    KORVA_COM5={root}/ttyUSB10\n"},
        {"ttyS0 ttyS1 ttyS2 ttyS3 ttyS4 ttyS5 ttyS6 ttyS7 ttyS8 ttyUSB0", "", nullptr,
         usb0 + "    no free COM1 to COM9: unset a KORVA_COM<n> variable to make room\n"},
    };
    for (const Row& row : rows) {
        TempWorkDir work;
        const fs::path root = work.path() / "dev";
        fs::create_directories(root / "serial" / "by-id");
        std::istringstream devices(row.devices);
        for (std::string device; devices >> device;) std::ofstream(root / device).put('\0');
        if (row.device_node) fs::create_symlink("/dev/null", root / "ttyUSB0");
        const fs::path sys = work.path() / "sys";
        std::istringstream phantoms(row.phantoms);
        for (std::string port; phantoms >> port;) {
            fs::create_directories(sys / "class" / "tty" / port);
            std::ofstream(sys / "class" / "tty" / port / "type") << "0\n";
        }
        if (fs::exists(root / "ttyUSB0")) fs::create_symlink("../../ttyUSB0", root / FTDI);
        for (int n = 1; n <= 9; ++n) ::unsetenv(("KORVA_COM" + std::to_string(n)).c_str());
        if (row.variable) ::setenv(row.variable, (root / FTDI).c_str(), 1);

        const auto adapters = usb_serial_adapters(root.string(), sys.string());
        ASSERT_TRUE(adapters.has_value());
        EXPECT_EQ(usb_adapters_listing(*adapters), with_root(row.listing, root.string()));
        if (row.variable) ::unsetenv(row.variable);
    }
    EXPECT_EQ(usb_adapters_listing({}),
              "USB serial adapters: none (no ttyUSB* or ttyACM* device)\n");
}

}  // namespace
}  // namespace korva::testing
