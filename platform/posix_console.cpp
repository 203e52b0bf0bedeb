// The technician's console on POSIX systems.
//
// Input goes through a buffer of our own over read(2), so that line reads
// and key reads can be mixed without losing bytes. On a terminal, keys are
// read in non-canonical, no-echo mode and lines in the terminal's own mode
// (with its echo and editing). Without a terminal, a key is one byte of the
// input. Output is written out at once, so it is on screen before any wait.
#include "platform/posix_console.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/exit_guard.h"

namespace korva {

namespace {

// A line longer than this is still read to its end; the rest is dropped.
constexpr std::size_t LINE_LIMIT = 4096;
constexpr std::size_t READ_SIZE = 256;

// What the exit guard and the stop signal restore: the one terminal whose
// modes a console has changed. Plain data, set outside the handlers before
// they can run.
int g_terminal_fd = -1;
termios g_original{};
termios g_current{};
volatile sig_atomic_t g_modified = 0;

void restore_terminal_now() {
    if (g_modified) ::tcsetattr(g_terminal_fd, TCSANOW, &g_original);
}

void restore_terminal_action(const void*) {
    restore_terminal_now();
}

void install(int sig, void (*handler)(int), int flags) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(sig, &action, nullptr);
}

// Ctrl-Z: the shell gets its terminal back; on resumption our mode returns.
void on_stop_signal(int) {
    const int saved = errno;
    restore_terminal_now();
    ::signal(SIGTSTP, SIG_DFL);
    ::raise(SIGTSTP);  // stops here until SIGCONT
    install(SIGTSTP, on_stop_signal, SA_NODEFER);
    if (g_modified) ::tcsetattr(g_terminal_fd, TCSANOW, &g_current);
    errno = saved;
}

int retry_poll(pollfd& p, int timeout_ms) {
    for (;;) {
        const int r = ::poll(&p, 1, timeout_ms);
        if (r >= 0 || errno != EINTR) return r;
    }
}

class PosixConsole : public Console {
  public:
    PosixConsole(int in_fd, int out_fd) : in_(in_fd), out_(out_fd) {
        terminal_ = ::isatty(in_) == 1 && ::tcgetattr(in_, &original_) == 0;
    }
    ~PosixConsole() override {
        if (owns_terminal_) {
            ::tcsetattr(in_, TCSANOW, &original_);
            g_modified = 0;
            remove_exit_action(exit_slot_);
            g_terminal_fd = -1;
        }
    }
    PosixConsole(const PosixConsole&) = delete;
    PosixConsole& operator=(const PosixConsole&) = delete;

    void print(std::string_view text) override {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(out_, text.data() + done, text.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{out_, POLLOUT, 0};
                if (retry_poll(p, -1) < 0) return;
            } else {
                return;  // the output is gone: the dialogue goes nowhere
            }
        }
    }

    bool key_pressed() override {
        if (have_byte() || ended_) return true;
        enter_mode(Mode::Key);
        pollfd p{in_, POLLIN, 0};
        if (retry_poll(p, 0) > 0) read_more();
        return have_byte() || ended_;
    }

    int read_key() override {
        enter_mode(Mode::Key);
        while (!have_byte()) {
            if (ended_) return -1;
            wait_and_read();
        }
        return static_cast<unsigned char>(buffer_[pos_++]);
    }

    bool read_line(std::string& line) override {
        enter_mode(Mode::Line);
        line.clear();
        bool any = false;
        for (;;) {
            while (have_byte()) {
                const char c = buffer_[pos_++];
                any = true;
                if (c == '\r') {
                    lf_may_follow_ = true;  // a CR LF pair is one line end
                    return true;
                }
                if (c == '\n') return true;
                if (line.size() < LINE_LIMIT) line.push_back(c);
            }
            if (ended_) return any;
            wait_and_read();
        }
    }

  private:
    enum class Mode { Untouched, Key, Line };

    // True when an unread byte is buffered; drops the LF of a CR LF pair
    // whose CR ended the previous line.
    bool have_byte() {
        if (lf_may_follow_ && pos_ < buffer_.size()) {
            lf_may_follow_ = false;
            if (buffer_[pos_] == '\n') ++pos_;
        }
        if (pos_ < buffer_.size()) return true;
        buffer_.clear();
        pos_ = 0;
        return false;
    }

    // One read(2) of what is there; 0 bytes is the end of the input.
    void read_more() {
        char chunk[READ_SIZE];
        for (;;) {
            const ssize_t n = ::read(in_, chunk, sizeof chunk);
            if (n > 0) {
                buffer_.append(chunk, static_cast<std::size_t>(n));
                return;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            ended_ = true;  // end of file, or an input that failed
            return;
        }
    }

    // Blocks until input comes (or ends), then reads it.
    void wait_and_read() {
        pollfd p{in_, POLLIN, 0};
        if (retry_poll(p, -1) < 0) {
            ended_ = true;
            return;
        }
        read_more();
    }

    void enter_mode(Mode mode) {
        if (!terminal_ || mode_ == mode) return;
        termios wanted = original_;
        if (mode == Mode::Key) {
            wanted.c_lflag &= ~(ICANON | ECHO);
            wanted.c_cc[VMIN] = 1;
            wanted.c_cc[VTIME] = 0;
        }
        if (!owns_terminal_) {
            if (g_modified) return;  // another console holds the terminal
            g_terminal_fd = in_;
            g_original = original_;
            owns_terminal_ = true;
            install_exit_guard();
            exit_slot_ = add_exit_action(restore_terminal_action, nullptr);
            install(SIGTSTP, on_stop_signal, SA_NODEFER);
        }
        g_current = wanted;
        g_modified = 1;
        ::tcsetattr(in_, TCSANOW, &wanted);
        mode_ = mode;
    }

    int in_;
    int out_;
    bool terminal_ = false;
    bool owns_terminal_ = false;
    int exit_slot_ = NO_EXIT_SLOT;
    termios original_{};
    Mode mode_ = Mode::Untouched;
    std::string buffer_;
    std::size_t pos_ = 0;
    bool ended_ = false;
    bool lf_may_follow_ = false;
};

}  // namespace

std::unique_ptr<Console> make_posix_console(int in_fd, int out_fd) {
    return std::make_unique<PosixConsole>(in_fd, out_fd);
}

Console& system_console() {
    static const std::unique_ptr<Console> console = make_posix_console(STDIN_FILENO, STDOUT_FILENO);
    return *console;
}

}  // namespace korva
