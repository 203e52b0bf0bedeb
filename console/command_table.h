// The command table of the loop: the keywords the technician types, with
// the session's own codes (which never go to the reader) and their handlers.
#pragma once

#include <cstdint>

#include "session/session.h"

namespace korva {

constexpr uint8_t CODE_UNKNOWN = 0;
constexpr uint8_t CODE_NO = 249;

struct CommandEntry {
    const char* keyword;
    uint8_t code;
    void (*handler)(Session&);
};

// The entry of an exact, case-sensitive keyword; nullptr for any other word
// (the unknown command, code 0).
const CommandEntry* find_command(const char* word);

}  // namespace korva
