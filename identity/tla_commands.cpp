#include "console/commands.h"

namespace korva {

void cmd_sup_tla(Session&) {}  // not built yet
void cmd_cb(Session&) {}  // not built yet

}  // namespace korva
