// The variable and the file in UTF-16: the ANSI forms would turn letters
// outside the code page into '?'.
#include <cstdlib>

#include "platform/win32_text.h"
#include "serial/wire_log_file.h"

namespace korva {

std::string wire_log_variable() {
    const wchar_t* value = _wgetenv(L"KORVA_WIRE_LOG");
    return value == nullptr ? std::string() : utf8_of(value);
}

std::FILE* open_to_append(const std::string& path) {
    return _wfopen(wide_of(path).c_str(), L"ab");
}

}  // namespace korva
