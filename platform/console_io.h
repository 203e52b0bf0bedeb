// The console seam: what the utility does with the technician's window.
//
// Output is exactly the dialogue; it is written out before every wait, so
// an implementation either writes at once or flushes in each input call.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace korva {

class Console {
  public:
    virtual ~Console() = default;
    // Writes text to the console.
    virtual void print(std::string_view text) = 0;
    // True when a key is waiting to be read, or when the input has ended
    // (so that a loop waiting for a key never spins on a closed input).
    virtual bool key_pressed() = 0;
    // One key, without waiting for Enter and without echo. -1 when the
    // input has ended.
    virtual int read_key() = 0;
    // One line, without its line end (CR or LF). False when the input ended
    // before anything was read.
    virtual bool read_line(std::string& line) = 0;
    // One line for the error output, outside the dialogue (a batch file's
    // log sees it even when the window is gone); text has no line end.
    virtual void error_line(std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
};

// The process's own console (POSIX or Win32, chosen by the build). Restores
// the terminal's modes on every way out.
Console& system_console();

}  // namespace korva
