// What the process puts back when a signal (POSIX) or a console event
// (Windows: Ctrl-C, Ctrl-Break, the window closed) ends it, where no
// destructor runs: the terminal's modes, the serial port's exclusive use and
// its driver's flags.
//
// Whoever changes such a setting registers an action that undoes it, and
// removes the action once its own destructor has undone the change. The
// actions run from the signal handler: on POSIX they must be
// async-signal-safe (ioctl, tcsetattr, close), and read only plain data
// that is complete before the action is added.
#pragma once

namespace korva {

using ExitAction = void (*)(const void* context);

constexpr int NO_EXIT_SLOT = -1;
constexpr int EXIT_SLOT_COUNT = 8;

// Installs the handlers once: on POSIX for SIGINT, SIGTERM, SIGHUP, SIGQUIT
// and SIGPIPE (a signal that the parent made ignored stays ignored); on
// Windows for the console's control events. Each runs every action, then
// ends the process: on POSIX with status 128 + the signal.
void install_exit_guard();
// Adds an action; NO_EXIT_SLOT when the table is full.
int add_exit_action(ExitAction action, const void* context);
void remove_exit_action(int slot);
// Runs every registered action, newest first.
void run_exit_actions();

}  // namespace korva
