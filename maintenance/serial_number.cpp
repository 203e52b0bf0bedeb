#include "console/commands.h"

namespace korva {

void cmd_nserie(Session&) {}  // not built yet

}  // namespace korva
