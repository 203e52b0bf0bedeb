// The exit guard on POSIX: the terminating signals put back what the exit
// actions undo, then end the process with status 128 + the signal.
#include <signal.h>
#include <unistd.h>

#include "platform/exit_guard.h"

namespace korva {

namespace {

constexpr int TERMINATING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
constexpr int SIGNAL_STATUS_BASE = 128;

void on_terminating_signal(int sig) {
    run_exit_actions();
    ::_exit(SIGNAL_STATUS_BASE + sig);
}

}  // namespace

void install_exit_guard() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = on_terminating_signal;
    sigemptyset(&action.sa_mask);
    // One handler at a time: a second signal waits for the first to end.
    for (int sig : TERMINATING_SIGNALS) sigaddset(&action.sa_mask, sig);
    for (int sig : TERMINATING_SIGNALS) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &action, nullptr);
    }
}

}  // namespace korva
