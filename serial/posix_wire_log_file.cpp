#include <cstdlib>

#include "serial/wire_log_file.h"

namespace korva {

std::string wire_log_variable() {
    const char* value = std::getenv("KORVA_WIRE_LOG");
    return value == nullptr ? std::string() : std::string(value);
}

std::FILE* open_to_append(const std::string& path) {
    return std::fopen(path.c_str(), "ab");
}

}  // namespace korva
