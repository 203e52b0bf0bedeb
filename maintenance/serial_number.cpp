#include <algorithm>
#include <array>

#include "identity/payloads.h"
#include "maintenance/maintenance_commands.h"

namespace korva {

namespace {

constexpr std::size_t SERIAL_NUMBER_LENGTH = 9;
constexpr std::size_t SERIAL_NUMBER_START = 4;  // the value of an identity item

using SerialNumber = std::array<char, SERIAL_NUMBER_LENGTH>;

// Keeps the nine bytes at the value of the last serial-number item of the
// block list, whatever length that item gives its value. False when the
// list broke off.
bool read_serial_number(Session& s, SerialNumber& number) {
    return walk_block_list(s.link, s.highest_block, [&](ByteView item) {
        if (item_block(item) != IDENTITY_BLOCK || item_tag(item) != TAG_SERIAL_NUMBER) return;
        if (item.size() <= SERIAL_NUMBER_START) return;
        const ByteView value = item.subspan(
            SERIAL_NUMBER_START, std::min(SERIAL_NUMBER_LENGTH, item.size() - SERIAL_NUMBER_START));
        std::copy(value.begin(), value.end(), number.begin());
    });
}

}  // namespace

void cmd_nserie(Session& s) {
    SerialNumber number;
    number.fill(' ');  // shown as it is when no serial number comes
    if (!read_serial_number(s, number)) {
        print(s, "\n REPONSE > ECHEC COMMANDE ");
        s.command_failed = true;
    }
    print(s, "\n REPONSE > NUMERO DE SERIE : ");
    s.console.print(std::string_view(number.data(), number.size()));
    print(s, "\n");
}

}  // namespace korva
