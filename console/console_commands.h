// The commands of the console itself, and the link's start-up, shutdown
// and boot probe that the start-up and the loop run. Each command takes the
// session, does its whole work with its own dialogue, and returns nothing.
#pragma once

#include <cstdint>
#include <span>

#include "session/session.h"

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

// console/boot_probe.cpp: the link's start-up and shutdown, and the probe
// that learns the reader's block count before the first command.
void link_startup(Session& s);
void link_shutdown(Session& s);
void boot_probe(Session& s);
// The highest block number of a reader whose boot software has this
// version: boot 4.01 drives 15 blocks, 4.02 to 4.09 drive 31; anything else,
// a missing version included, is taken as the 15-block kind. Only the first
// four characters count: "4.015" is 4.01, "4.1" is neither.
uint8_t highest_block_of_version(std::span<const uint8_t> version);

}  // namespace korva
