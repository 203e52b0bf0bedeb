#include "console/commands.h"

namespace korva {

void cmd_charge(Session&) {}  // not built yet

}  // namespace korva
