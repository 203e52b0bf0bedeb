// The commands that show the reader's identity and drive its PSS dialogue.
// Each takes the session, does its whole work with its own dialogue, and
// returns nothing.
#pragma once

#include "session/session.h"

namespace korva {

// identity/identity_display.cpp
void cmd_bootinfo(Session& s);
void cmd_info(Session& s);
// identity/tla_commands.cpp
void cmd_sup_tla(Session& s);
void cmd_cb(Session& s);

}  // namespace korva
