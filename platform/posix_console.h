// The console over two POSIX file descriptors. system_console() is this
// console over standard input and output; tests build one over a pipe or a
// pty.
#pragma once

#include <memory>

#include "platform/console_io.h"

namespace korva {

// When in_fd is a terminal, keys are read in non-canonical, no-echo mode and
// lines in the terminal's own mode; the terminal's modes are restored when
// the console is destroyed and on SIGINT, SIGTERM, SIGHUP, SIGQUIT and
// SIGPIPE (restored, then the process ends with status 128 + the signal).
std::unique_ptr<Console> make_posix_console(int in_fd, int out_fd);

}  // namespace korva
