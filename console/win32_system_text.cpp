// UTF-16 in from the command line, UTF-16 out to a console window.
#include <io.h>
#include <windows.h>

#include <algorithm>

#include "console/system_text.h"
#include "platform/win32_text.h"

namespace korva {

std::vector<std::string> utf8_arguments(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(utf8_of(argv[i]));
    return arguments;
}

void put_text(std::FILE* stream, const std::string& text) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        std::fputs(text.c_str(), stream);  // a pipe or a file: UTF-8
        return;
    }
    const std::wstring wide = wide_of(text);
    std::fflush(stream);  // what was written before comes first
    std::size_t done = 0;
    while (done < wide.size()) {
        DWORD written = 0;
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
        if (done + want < wide.size() && IS_HIGH_SURROGATE(wide[done + want - 1])) --want;
        if (!WriteConsoleW(handle, wide.data() + done, want, &written, nullptr) || written == 0)
            return;
        done += written;
    }
}

}  // namespace korva
