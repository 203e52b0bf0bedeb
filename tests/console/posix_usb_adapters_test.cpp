// --list-ports on Linux: the USB serial adapters of a /dev tree, their
// stable names, and the line that makes each a COM port.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "console/listings.h"
#include "serial/serial_device.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

namespace fs = std::filesystem;

// KORVA_COM1 to KORVA_COM9 cleared for the object's lifetime, then put back.
class ClearedComVariables {
  public:
    ClearedComVariables() {
        for (int n = 1; n <= 9; ++n) {
            const std::string name = "KORVA_COM" + std::to_string(n);
            if (const char* v = ::getenv(name.c_str())) saved_.emplace_back(name, v);
            ::unsetenv(name.c_str());
        }
    }
    ~ClearedComVariables() {
        for (int n = 1; n <= 9; ++n) ::unsetenv(("KORVA_COM" + std::to_string(n)).c_str());
        for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
    }

  private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

const std::string FTDI = "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const std::string HEADER = "USB serial adapters (the KORVA_COM<n>=... line makes one COM<n>):\n";

struct Row {
    const char* what;
    std::vector<std::string> devices;                        // files made under the root
    std::vector<std::pair<std::string, std::string>> links;  // link, target
    std::vector<std::pair<std::string, std::string>> env;    // variable, value ({root}/...)
    std::string listing;                                     // with {root} for the root
};

std::string with_root(std::string text, const std::string& root) {
    for (std::size_t at; (at = text.find("{root}")) != std::string::npos;)
        text.replace(at, 6, root);
    return text;
}

TEST(UsbAdapters, ListedWithTheirStableNamesAndTheLineThatMakesEachAComPort) {
    const Row rows[] = {
        {"none",
         {"ttyS0", "ttyUSB"},
         {},
         {},
         "USB serial adapters: none (no ttyUSB* or ttyACM* device)\n"},
        {"one adapter with its stable name: the first COM whose ttyS is missing",
         {"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyUSB0"},
         {{FTDI, "../../ttyUSB0"}},
         {},
         HEADER + "  {root}/ttyUSB0\n    {root}/" + FTDI + "\n    KORVA_COM5={root}/" + FTDI +
             "\n"},
        {"several, in number order, a COM each, past one a variable names",
         {"ttyS0", "ttyUSB10", "ttyUSB2", "ttyACM0", "ttyUSBx"},
         {},
         {{"KORVA_COM2", "/somewhere/else"}},
         HEADER + "  {root}/ttyACM0\n    KORVA_COM3={root}/ttyACM0\n"
                  "  {root}/ttyUSB2\n    KORVA_COM4={root}/ttyUSB2\n"
                  "  {root}/ttyUSB10\n    KORVA_COM5={root}/ttyUSB10\n"},
        {"named already",
         {"ttyUSB0"},
         {{FTDI, "../../ttyUSB0"}},
         {{"KORVA_COM7", "{root}/" + FTDI}},
         HEADER + "  {root}/ttyUSB0\n    {root}/" + FTDI +
             "\n    COM7 already: KORVA_COM7 names it\n"},
        {"no free COM",
         {"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyS4", "ttyS5", "ttyS6", "ttyS7", "ttyS8",
          "ttyUSB0"},
         {},
         {},
         HEADER +
             "  {root}/ttyUSB0\n    no free COM1 to COM9: unset a KORVA_COM<n> variable to make "
             "room\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempWorkDir work;
        const fs::path root = work.path() / "dev";
        fs::create_directories(root / "serial" / "by-id");
        for (const std::string& device : row.devices) std::ofstream(root / device).put('\0');
        for (const auto& [link, target] : row.links) fs::create_symlink(target, root / link);
        ClearedComVariables cleared;
        for (const auto& [name, value] : row.env)
            ::setenv(name.c_str(), with_root(value, root.string()).c_str(), 1);

        const auto adapters = usb_serial_adapters(root.string());
        ASSERT_TRUE(adapters.has_value());
        EXPECT_EQ(usb_adapters_listing(*adapters), with_root(row.listing, root.string()));
    }
}

}  // namespace
}  // namespace korva::testing
