#include "console/command_table.h"

#include <cstring>

#include "console/console_commands.h"
#include "identity/identity_commands.h"
#include "maintenance/maintenance_commands.h"

namespace korva {

namespace {

// Compared in this order.
const CommandEntry COMMAND_TABLE[] = {
    {"q", 1, cmd_q},
    {"help", 2, cmd_help},
    {"effacetout", 80, cmd_effacetout},
    {"v1", 224, cmd_v1},
    {"v2", 225, cmd_v2},
    {"charge", 241, cmd_charge},
    {"nserie", 242, cmd_nserie},
    {"sup_tla", 243, cmd_sup_tla},
    {"cb", 244, cmd_cb},
    {"the_end", 246, cmd_the_end},
    {"bootinfo", 247, cmd_bootinfo},
    {"no", CODE_NO, cmd_no},
    {"info", 251, cmd_info},
    {"reset", 252, cmd_reset},
    {"trace", 253, cmd_trace},
    {"efface", 255, cmd_efface},
};

}  // namespace

const CommandEntry* find_command(const char* word) {
    for (const CommandEntry& entry : COMMAND_TABLE) {
        if (std::strcmp(entry.keyword, word) == 0) return &entry;
    }
    return nullptr;
}

}  // namespace korva
