// The commands that put software into the reader's blocks and take it out.
// Each takes the session, does its whole work with its own dialogue, and
// returns nothing.
#pragma once

#include "session/session.h"

namespace korva {

// maintenance/charge.cpp
void cmd_charge(Session& s);
// maintenance/erase.cpp
void cmd_efface(Session& s);
// maintenance/serial_number.cpp
void cmd_nserie(Session& s);

}  // namespace korva
