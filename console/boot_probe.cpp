#include "console/console_commands.h"
#include "identity/payloads.h"
#include "link/reader_waits.h"

namespace korva {

namespace {

constexpr uint8_t SMALL_HIGHEST_BLOCK = 15;
constexpr uint8_t LARGE_HIGHEST_BLOCK = 31;

}  // namespace

uint8_t highest_block_of_version(ByteView version) {
    if (version.size() < 4 || version[0] != '4' || version[1] != '.' || version[2] != '0') {
        return SMALL_HIGHEST_BLOCK;
    }
    return version[3] >= '2' && version[3] <= '9' ? LARGE_HIGHEST_BLOCK : SMALL_HIGHEST_BLOCK;
}

// Opens the link on the configured port and hangs the run's record on it.
void link_startup(Session& s) {
    link_open(s.link, s.port, s.clock);
    s.link.record = &s.record;
}

void link_shutdown(Session& s) {
    link_close(s.link);
}

void boot_probe(Session& s) {
    uint8_t highest = SMALL_HIGHEST_BLOCK;
    if (fetch_boot_info(s.link)) {
        highest = highest_block_of_version(
            read_boot_info(boot_info_payload(s.record)).field[BOOT_VERSION]);
    } else {
        print(s, "\n REPONSE > Echec Commande ");
    }
    s.highest_block = highest;
    s.block_bound = static_cast<uint8_t>(2 * highest + 1);
    pause_seconds(s, waits::BOOT_PROBE_S);
}

}  // namespace korva
