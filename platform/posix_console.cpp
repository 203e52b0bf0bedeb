// Placeholder until the POSIX console is built.
#include "platform/console_io.h"
#include "platform/scripted_console.h"

namespace korva {
Console& system_console() {
    static ScriptedConsole console;
    return console;
}
}  // namespace korva
