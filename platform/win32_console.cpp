// The process's console on Windows.
//
// Keys come from the console without echo when standard input is one. When
// it is a pipe or a file there is no console: keys and lines are read byte by
// byte from the handle, and the end of the data is the end of the input.
// Output is written straight to the standard output handle, so nothing waits
// in a buffer while the utility waits for the reader or the keyboard.
#include <conio.h>

#include <algorithm>

#include "platform/console_io.h"
#include "platform/win32_windows.h"

namespace korva {

namespace {

enum class InputKind { console, pipe, file };

InputKind input_kind(HANDLE in) {
    DWORD mode = 0;
    if (GetConsoleMode(in, &mode)) return InputKind::console;
    return GetFileType(in) == FILE_TYPE_PIPE ? InputKind::pipe : InputKind::file;
}

class Win32Console : public Console {
  public:
    Win32Console()
        : in_(GetStdHandle(STD_INPUT_HANDLE)),
          out_(GetStdHandle(STD_OUTPUT_HANDLE)),
          kind_(input_kind(in_)) {}

    void print(std::string_view text) override {
        while (!text.empty()) {
            DWORD put = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
            if (!WriteFile(out_, text.data(), want, &put, nullptr) || put == 0) return;
            text.remove_prefix(put);
        }
    }

    bool key_pressed() override {
        if (ended_) return true;
        switch (kind_) {
            case InputKind::console: {
                // The C library's test sees nothing until the console's input
                // queue has been looked at once.
                INPUT_RECORD record;
                DWORD events = 0;
                PeekConsoleInputA(in_, &record, 1, &events);
                return _kbhit() != 0;
            }
            case InputKind::pipe: {
                unsigned char next = 0;
                DWORD peeked = 0;
                DWORD available = 0;
                // A pipe whose writer has gone counts as ended input.
                if (!PeekNamedPipe(in_, &next, 1, &peeked, &available, nullptr)) return true;
                if (peeked == 1 && next == '\n' && pending_lf_) {
                    // The rest of a CR LF line end is not a key.
                    pending_lf_ = false;
                    next_byte();
                    return available > 1;
                }
                return available > 0;
            }
            case InputKind::file:
                return true;
        }
        return true;
    }

    int read_key() override {
        if (kind_ == InputKind::console) {
            const int key = _getch();
            if (key < 0) ended_ = true;
            return key;
        }
        int c = next_byte();
        // The line feed of a CR LF pair that ended the last line is not a key.
        if (c == '\n' && pending_lf_) c = next_byte();
        pending_lf_ = false;
        return c;
    }

    bool read_line(std::string& line) override {
        line.clear();
        bool got_any = false;
        for (;;) {
            int c = next_byte();
            if (c == '\n' && pending_lf_) {
                pending_lf_ = false;
                c = next_byte();
            }
            pending_lf_ = false;
            if (c < 0) return got_any;
            got_any = true;
            if (c == '\r') {
                pending_lf_ = true;
                return true;
            }
            if (c == '\n') return true;
            line.push_back(static_cast<char>(c));
        }
    }

  private:
    // One byte of the input (a console gives whole edited lines); -1 when the
    // input has ended.
    int next_byte() {
        if (ended_) return -1;
        unsigned char c = 0;
        DWORD got = 0;
        if (!ReadFile(in_, &c, 1, &got, nullptr) || got == 0) {
            ended_ = true;
            return -1;
        }
        return c;
    }

    HANDLE in_;
    HANDLE out_;
    InputKind kind_;
    bool ended_ = false;
    bool pending_lf_ = false;  // a CR ended the last line; a LF may follow
};

}  // namespace

Console& system_console() {
    static Win32Console console;
    return console;
}

}  // namespace korva
