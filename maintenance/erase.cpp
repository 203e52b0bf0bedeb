#include "console/commands.h"

namespace korva {

void cmd_efface(Session&) {}  // not built yet

}  // namespace korva
