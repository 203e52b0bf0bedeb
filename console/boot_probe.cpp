#include "console/commands.h"

namespace korva {

void link_startup(Session&) {}  // not built yet
void link_shutdown(Session&) {}  // not built yet
void boot_probe(Session&) {}  // not built yet

}  // namespace korva
