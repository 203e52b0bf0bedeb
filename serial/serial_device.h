// The serial device seam, shaped on the Win32 communications model.
//
// LineSettings carries the fields of the Win32 device-control block that the
// utility sets; ReadTimeouts is the Win32 read time-out record. A read returns
// when the count is reached, when the total time-out (multiplier x count +
// constant) has run out, or, once at least one byte came, when the line has
// been silent for longer than the interval time-out. All times are in
// milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korva {

constexpr uint8_t NOPARITY = 0;
constexpr uint8_t ONESTOPBIT = 0;
constexpr uint8_t RTS_CONTROL_DISABLE = 0;
constexpr uint8_t DTR_CONTROL_DISABLE = 0;
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;

struct LineSettings {
    uint32_t baud_rate = 9600;
    uint8_t byte_size = 8;
    uint8_t parity = NOPARITY;
    uint8_t stop_bits = ONESTOPBIT;
    uint8_t rts_control = RTS_CONTROL_DISABLE;
    uint8_t dtr_control = DTR_CONTROL_DISABLE;
    bool outx_cts_flow = false;
    bool outx_dsr_flow = false;
    bool tx_continue_on_xoff = false;
    bool out_x = false;
    bool in_x = false;
};

struct ReadTimeouts {
    uint32_t interval = 0;    // ReadIntervalTimeout
    uint32_t multiplier = 0;  // ReadTotalTimeoutMultiplier
    uint32_t constant = 0;    // ReadTotalTimeoutConstant
};

// What asking for low latency did: a USB adapter's driver holds received
// bytes up to its latency timer (16 ms by default) unless asked for low
// latency. A pty, a plain UART or a Windows port has no such request: the
// latency timer of a USB adapter is then the driver's own setting.
enum class LowLatency : uint8_t { NOT_SUPPORTED, SET, ALREADY_SET };

class SerialDevice {
  public:
    virtual ~SerialDevice() = default;
    // Asks the driver for low latency, once; what it did, the same at every
    // call. The driver's flags are put back when the device closes, or when
    // a signal ends the process.
    virtual LowLatency request_low_latency() { return LowLatency::NOT_SUPPORTED; }
    // Empty while the device is there. Once the system has said that it is
    // gone (a USB adapter pulled, a line hung up), the system's own words for
    // it: the device stays gone, and every read and write returns 0 at once.
    // A silent line is not a gone one.
    const std::string& failure() const { return failure_; }
    // The system's name of the device ("" when it has none of its own).
    virtual std::string device_path() const { return {}; }
    // GetCommState / SetCommState / SetCommTimeouts / SetCommMask.
    virtual bool get_state(LineSettings& settings) = 0;
    virtual bool set_state(const LineSettings& settings) = 0;
    virtual bool set_timeouts(const ReadTimeouts& timeouts) = 0;
    virtual bool set_mask(uint32_t mask) = 0;
    // ReadFile: blocks by the time-out model above; the number of bytes read,
    // 0 on time-out or failure.
    virtual std::size_t read(uint8_t* buffer, std::size_t count) = 0;
    // WriteFile: the number of bytes written, 0 on failure.
    virtual std::size_t write(const uint8_t* buffer, std::size_t count) = 0;

  protected:
    // Records that the device is gone; the first reason stays.
    void mark_gone(const std::string& reason) {
        if (failure_.empty()) failure_ = reason.empty() ? "device gone" : reason;
    }

  private:
    std::string failure_;
};

// Opens the port named "COM1" to "COM9" for exclusive use; nullptr when it
// cannot be opened (missing, busy, refused).
using SerialOpener = std::function<std::unique_ptr<SerialDevice>(const std::string& port_name)>;

// The machine's own serial ports (POSIX or Win32, chosen by the build).
std::unique_ptr<SerialDevice> open_system_serial(const std::string& port_name);
// Whether open_system_serial would open port_name now; the port is neither
// taken nor changed (--list-ports).
bool system_serial_free(const std::string& port_name);
// The system device that port_name stands for ("" for a name other than
// "COM1" to "COM9"), as --list-ports shows it.
std::string system_serial_device(const std::string& port_name);

// A USB serial adapter that the system shows as a device of its own.
struct UsbSerialAdapter {
    std::string device;              // dev_root/ttyUSB0, dev_root/ttyACM0, ...
    std::vector<std::string> by_id;  // the dev_root/serial/by-id/ names that lead to it
    int com = 0;         // the COM<n> that names it, or a free one to make it; 0: none free
    bool named = false;  // a KORVA_COM<n> variable names it already
};

// The USB serial adapters under dev_root ("/dev" on the machine), in name
// and number order, each with the COM port it is or could be: a free COM<n>
// is one that no KORVA_COM<n> variable names and whose own device
// (dev_root/ttyS<n-1>) is no serial port that is there: missing, or a
// placeholder that sys_root ("/sys") gives the port type 0. std::nullopt
// where the system names them COM<n> itself (Windows).
std::optional<std::vector<UsbSerialAdapter>> usb_serial_adapters(const std::string& dev_root,
                                                                 const std::string& sys_root);

}  // namespace korva
