// Every command handler of the command loop. Each takes the session, does
// its whole work with its own dialogue, and returns nothing.
#pragma once

#include "console/session.h"

namespace korva {

// console/simple_commands.cpp
void cmd_q(Session& s);
void cmd_help(Session& s);
void cmd_the_end(Session& s);
void cmd_effacetout(Session& s);
// console/reader_commands.cpp
void cmd_v1(Session& s);
void cmd_v2(Session& s);
void cmd_reset(Session& s);
void cmd_no(Session& s);
// console/trace.cpp
void cmd_trace(Session& s);
// identity/identity_display.cpp
void cmd_bootinfo(Session& s);
void cmd_info(Session& s);
// identity/tla_commands.cpp
void cmd_sup_tla(Session& s);
void cmd_cb(Session& s);
// maintenance/charge.cpp
void cmd_charge(Session& s);
// maintenance/erase.cpp
void cmd_efface(Session& s);
// maintenance/serial_number.cpp
void cmd_nserie(Session& s);

// console/boot_probe.cpp: the link's start-up and shutdown, and the probe
// that learns the reader's block count before the first command.
void link_startup(Session& s);
void link_shutdown(Session& s);
void boot_probe(Session& s);

}  // namespace korva
