// The exit guard on Windows: Ctrl-C, Ctrl-Break and closing the console
// window run the exit actions, then let the system end the process as it
// does for these events.
#include "platform/exit_guard.h"
#include "platform/win32_windows.h"

namespace korva {

namespace {

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            run_exit_actions();
            break;
        default:
            break;
    }
    return FALSE;  // the system's own handler ends the process
}

}  // namespace

void install_exit_guard() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace korva
