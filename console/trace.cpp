#include "console/commands.h"

namespace korva {

void cmd_trace(Session&) {}  // not built yet

}  // namespace korva
