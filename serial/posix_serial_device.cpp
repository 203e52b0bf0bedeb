// Placeholder until the POSIX serial device is built.
#include "serial/serial_device.h"

namespace korva {
std::unique_ptr<SerialDevice> open_system_serial(const std::string&) { return nullptr; }
}  // namespace korva
