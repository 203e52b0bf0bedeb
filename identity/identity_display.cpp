#include "console/commands.h"

namespace korva {

void cmd_bootinfo(Session&) {}  // not built yet
void cmd_info(Session&) {}  // not built yet

}  // namespace korva
