#include "console/commands.h"

namespace korva {

void cmd_v1(Session&) {}  // not built yet
void cmd_v2(Session&) {}  // not built yet
void cmd_reset(Session&) {}  // not built yet
void cmd_no(Session&) {}  // not built yet

}  // namespace korva
