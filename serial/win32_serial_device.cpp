// The machine's serial ports on Windows: one COM port opened for exclusive,
// non-overlapped access, driven through the communications API.
#include <algorithm>
#include <string>

#include "serial/serial_device.h"

// After the seam's header: <windows.h> defines the same constant names as
// macros, with the same values.
#include "platform/win32_text.h"
#include "platform/win32_windows.h"

namespace korva {

namespace {

DWORD bounded_count(std::size_t count) {
    return static_cast<DWORD>(std::min<std::size_t>(count, MAXDWORD));
}

// The errors that calls on an open port give once its device is gone: a
// USB adapter pulled (access denied, bad command, device removed, not
// connected, general failure), or, under Wine, a pty whose other end
// closed (not ready).
bool device_removed_error(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_NOT_READY:
        case ERROR_GEN_FAILURE:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_INVALID_HANDLE:
            return true;
        default:
            return false;
    }
}

// The system's message for an error code, with the code.
std::string error_text(DWORD error) {
    const std::string text = system_error_text(error);
    return (text.empty() ? "system error" : text) + " (error " + std::to_string(error) + ")";
}

class Win32SerialDevice : public SerialDevice {
  public:
    explicit Win32SerialDevice(HANDLE handle) : handle_(handle) {
        dcb_.DCBlength = sizeof(DCB);
        dcb_.fBinary = TRUE;
    }
    ~Win32SerialDevice() override { CloseHandle(handle_); }
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    bool get_state(LineSettings& settings) override {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(handle_, &dcb)) {
            note_error(GetLastError());
            return false;
        }
        dcb_ = dcb;
        have_state_ = true;
        settings.baud_rate = dcb.BaudRate;
        settings.byte_size = dcb.ByteSize;
        settings.parity = dcb.Parity;
        settings.stop_bits = dcb.StopBits;
        settings.rts_control = static_cast<uint8_t>(dcb.fRtsControl);
        settings.dtr_control = static_cast<uint8_t>(dcb.fDtrControl);
        settings.outx_cts_flow = dcb.fOutxCtsFlow != 0;
        settings.outx_dsr_flow = dcb.fOutxDsrFlow != 0;
        settings.tx_continue_on_xoff = dcb.fTXContinueOnXoff != 0;
        settings.out_x = dcb.fOutX != 0;
        settings.in_x = dcb.fInX != 0;
        return true;
    }

    // Only the fields the utility sets change; every other field keeps what
    // the driver reported.
    bool set_state(const LineSettings& settings) override {
        if (!have_state_) {
            LineSettings ignored;
            get_state(ignored);
        }
        dcb_.BaudRate = settings.baud_rate;
        dcb_.ByteSize = settings.byte_size;
        dcb_.Parity = settings.parity;
        dcb_.StopBits = settings.stop_bits;
        dcb_.fRtsControl = settings.rts_control & 3u;
        dcb_.fDtrControl = settings.dtr_control & 3u;
        dcb_.fOutxCtsFlow = settings.outx_cts_flow;
        dcb_.fOutxDsrFlow = settings.outx_dsr_flow;
        dcb_.fTXContinueOnXoff = settings.tx_continue_on_xoff;
        dcb_.fOutX = settings.out_x;
        dcb_.fInX = settings.in_x;
        if (SetCommState(handle_, &dcb_)) return true;
        note_error(GetLastError());
        return false;
    }

    // No write time-out: each write blocks until the driver has the bytes.
    bool set_timeouts(const ReadTimeouts& timeouts) override {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = timeouts.interval;
        t.ReadTotalTimeoutMultiplier = timeouts.multiplier;
        t.ReadTotalTimeoutConstant = timeouts.constant;
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = 0;
        return SetCommTimeouts(handle_, &t) != 0;
    }

    bool set_mask(uint32_t mask) override { return SetCommMask(handle_, mask) != 0; }

    // An empty read is silence or a gone device: ClearCommError tells them
    // apart (under Wine a port whose pty closed keeps reading 0 bytes).
    std::size_t read(uint8_t* buffer, std::size_t count) override {
        if (!failure().empty()) return 0;
        DWORD got = 0;
        if (!ReadFile(handle_, buffer, bounded_count(count), &got, nullptr)) {
            note_error(GetLastError());
            return 0;
        }
        if (got == 0) check_still_there();
        return got;
    }

    std::size_t write(const uint8_t* buffer, std::size_t count) override {
        if (!failure().empty()) return 0;
        DWORD put = 0;
        if (!WriteFile(handle_, buffer, bounded_count(count), &put, nullptr)) {
            note_error(GetLastError());
            return 0;
        }
        if (put == 0) check_still_there();
        return put;
    }

  private:
    void note_error(DWORD error) {
        if (device_removed_error(error)) mark_gone(error_text(error));
    }
    void check_still_there() {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status)) note_error(GetLastError());
    }

    HANDLE handle_;
    DCB dcb_{};
    bool have_state_ = false;
};

}  // namespace

// On Windows a port name is its own device: "COM1" to "COM9".
// Windows gives a USB adapter a COM number of its own (Device Manager shows
// it): nothing to list.
std::optional<std::vector<UsbSerialAdapter>> usb_serial_adapters(const std::string&,
                                                                 const std::string&) {
    return std::nullopt;
}

std::string system_serial_device(const std::string& port_name) {
    const bool com_digit = port_name.size() == 4 && port_name.compare(0, 3, "COM") == 0 &&
                           port_name[3] >= '1' && port_name[3] <= '9';
    return com_digit ? port_name : std::string();
}

std::unique_ptr<SerialDevice> open_system_serial(const std::string& port_name) {
    const std::string device = system_serial_device(port_name);
    if (device.empty()) return nullptr;
    // Share mode 0: nobody else may have the port while the utility runs.
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32SerialDevice>(handle);
}

// Opened and closed at once: share mode 0 refuses a port that another
// program holds, and nothing of the port's settings is changed.
bool system_serial_free(const std::string& port_name) {
    const std::string device = system_serial_device(port_name);
    if (device.empty()) return false;
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

}  // namespace korva
