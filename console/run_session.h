// A whole session of the utility, start-up to shutdown, on the seams that
// the entry point hands it: the machine's own, the virtual reader's, or a
// test's.
#pragma once

#include <string>
#include <vector>

#include "images/image_catalogue.h"
#include "platform/clock.h"
#include "platform/console_io.h"
#include "serial/serial_device.h"

namespace korva {

// What the platform gives a session: the three seams.
struct Seams {
    Console& console;
    Clock& clock;
    SerialOpener open_serial;
};

// Runs a whole session. args are the program's arguments after the options:
// the port digit first, then script tokens; images is the set that charge
// installs from. Returns the process exit status.
int run_session(const std::vector<std::string>& args, const Seams& seams,
                HeldImages images = embedded_image_set());

// The script's tokens in a script file's text: maximal runs of bytes other
// than the space; tab, CR and LF stay inside the token they touch. The text
// ends at its first NUL, as a C string would.
std::vector<std::string> tokenise(const std::string& text);

}  // namespace korva
