// The POSIX console over a pipe (keys are bytes, lines end at CR or LF) and
// over a pty (keys without echo, the terminal's modes restored).
#include "platform/posix_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace korva {
namespace {

struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~Pipe() {
        if (read_end >= 0) ::close(read_end);
        close_write();
    }
    void put(const std::string& text) const {
        ASSERT_EQ(::write(write_end, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void close_write() {
        if (write_end >= 0) ::close(write_end);
        write_end = -1;
    }
    std::string take() const {
        std::string out;
        char buf[256];
        pollfd p{read_end, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(read_end, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
    int read_end = -1;
    int write_end = -1;
};

TEST(PosixConsole, KeysAndLinesShareOneInput) {
    Pipe in, out;
    auto console = make_posix_console(in.read_end, out.write_end);
    in.put("3oab\r\ncd\nx");
    in.close_write();
    std::string line;
    EXPECT_EQ(console->read_key(), '3');
    EXPECT_EQ(console->read_key(), 'o');
    ASSERT_TRUE(console->read_line(line));
    EXPECT_EQ(line, "ab");
    EXPECT_EQ(console->read_key(), 'c');  // the LF of CR LF was part of the line end
    ASSERT_TRUE(console->read_line(line));
    EXPECT_EQ(line, "d");
    ASSERT_TRUE(console->read_line(line));  // the last line needs no line end
    EXPECT_EQ(line, "x");
    EXPECT_FALSE(console->read_line(line));
    EXPECT_EQ(console->read_key(), -1);
    EXPECT_TRUE(console->key_pressed());  // the end never looks like a wait
}

TEST(PosixConsole, CrAndLfSplitAcrossWritesAreOneLineEnd) {
    Pipe in, out;
    auto console = make_posix_console(in.read_end, out.write_end);
    std::string line;
    in.put("ab\r");
    ASSERT_TRUE(console->read_line(line));
    EXPECT_EQ(line, "ab");
    in.put("\ncd\r\r");
    ASSERT_TRUE(console->read_line(line));
    EXPECT_EQ(line, "cd");
    ASSERT_TRUE(console->read_line(line));  // CR CR: an empty line
    EXPECT_EQ(line, "");
}

TEST(PosixConsole, KeyPressedLooksWithoutTaking) {
    Pipe in, out;
    auto console = make_posix_console(in.read_end, out.write_end);
    EXPECT_FALSE(console->key_pressed());
    in.put("k");
    EXPECT_TRUE(console->key_pressed());
    EXPECT_TRUE(console->key_pressed());
    EXPECT_EQ(console->read_key(), 'k');
    EXPECT_FALSE(console->key_pressed());
    in.close_write();
    EXPECT_TRUE(console->key_pressed());
}

TEST(PosixConsole, OverlongLinesAreReadToTheirEnd) {
    Pipe in, out;
    auto console = make_posix_console(in.read_end, out.write_end);
    in.put(std::string(5000, 'a') + "\nnext\n");
    std::string line;
    ASSERT_TRUE(console->read_line(line));
    EXPECT_EQ(line, std::string(4096, 'a'));
    ASSERT_TRUE(console->read_line(line));
    EXPECT_EQ(line, "next");
}

TEST(PosixConsole, PrintWritesEverythingAtOnce) {
    Pipe in, out;
    auto console = make_posix_console(in.read_end, out.write_end);
    const std::string text = "\r COMMANDE> " + std::string(3000, '*') + std::string(1, '\0');
    console->print(text);
    EXPECT_EQ(out.take(), text);
}

TEST(PosixConsole, TerminalKeysAreReadWithoutEchoAndTheModesComeBack) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);
    {
        auto console = make_posix_console(slave, slave);
        EXPECT_FALSE(console->key_pressed());  // now in key mode: a key typed is not echoed
        ASSERT_EQ(::write(master, "k", 1), 1);
        EXPECT_EQ(console->read_key(), 'k');
        termios during{};
        ASSERT_EQ(::tcgetattr(slave, &during), 0);
        EXPECT_FALSE(during.c_lflag & ICANON);
        EXPECT_FALSE(during.c_lflag & ECHO);
        pollfd p{master, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 50), 0);  // no echo came back

        // A line is read in the terminal's own mode.
        ASSERT_EQ(::write(master, "help\n", 5), 5);
        std::string line;
        ASSERT_TRUE(console->read_line(line));
        EXPECT_EQ(line, "help");
        ASSERT_EQ(::tcgetattr(slave, &during), 0);
        EXPECT_TRUE(during.c_lflag & ICANON);
        EXPECT_FALSE(console->key_pressed());  // back to key mode, nothing typed
    }
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    ::close(slave);
    ::close(master);
}

TEST(PosixConsole, ATerminatingSignalRestoresTheTerminalThenEndsTheProcess) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto console = make_posix_console(slave, slave);
        console->key_pressed();  // key mode: no echo, non-canonical
        ::raise(SIGTERM);
        ::_exit(0);  // not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 128 + SIGTERM);
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    ::close(slave);
    ::close(master);
}

}  // namespace
}  // namespace korva
