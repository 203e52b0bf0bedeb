// The commands of the fault matrix, each a whole session that runs it
// against the virtual reader, and the closing texts its tests check.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace korva::reliability {

// --- the commands ---------------------------------------------------------

struct Command {
    const char* name;
    const char* profile;
    std::vector<std::string> args;  // the port digit, then the script
    std::string keys;               // the keyboard: the power-off answer, then keys asked for
    // Frames the reader sends before the command's first answer (the boot
    // probe's answer, or nothing before "no").
    std::size_t frames_before;
};

inline const Command COMMANDS[] = {
    {"bootinfo", "default,on-hold", {"3", "bootinfo", "q"}, "O", 1},
    {"info", "default,on-hold", {"3", "info", "q"}, "O", 1},
    {"nserie", "default,on-hold", {"3", "nserie", "q"}, "O", 1},
    {"trace", "default,on-hold", {"3", "trace", "q"}, "O", 1},
    {"efface", "default,on-hold", {"3", "efface", "4", "q"}, "O", 1},
    {"v1", "default,on-hold", {"3", "v1", "q"}, "O", 1},
    {"v2", "default,on-hold", {"3", "v2", "q"}, "O", 1},
    {"reset", "default,on-hold", {"3", "reset", "q"}, "O", 1},
    {"no", "default", {"3", "no", "q"}, "O", 0},
    {"charge", "default,on-hold", {"3", "charge", "superviseur", "2", "q"}, "Ox", 1},
    {"charge 5", "default,on-hold", {"3", "charge", "ORBEX_112", "5", "q"}, "Oxx", 1},
    {"sup_tla", "default,on-hold", {"3", "sup_tla", "q"}, "O", 1},
    {"cb", "default,on-hold", {"3", "cb", "q"}, "O", 1},
};

inline const Command& command(const std::string& name) {
    for (const Command& c : COMMANDS) {
        if (name == c.name) return c;
    }
    ADD_FAILURE() << "no command " << name;
    return COMMANDS[0];
}

// How a session that lost its port ends.
inline const char* const QUIT = "\r              TAPEZ UNE TOUCHE POUR FERMER LA FENETRE  ";
inline const char* const PORT_ERROR = "\n ERREUR PORT SERIE : RELANCER LE PROGRAMME \n";

}  // namespace korva::reliability
