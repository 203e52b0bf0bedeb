#include "console/commands.h"

namespace korva {

// Opens the link on the configured port and hangs the run's record on it.
void link_startup(Session& s) {
    link_open(s.link, s.port, s.clock);
    s.link.record = &s.record;
}

void link_shutdown(Session& s) {
    link_close(s.link);
}

void boot_probe(Session&) {}  // not built yet

}  // namespace korva
