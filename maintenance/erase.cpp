#include "link/reader_waits.h"
#include "maintenance/block_codes.h"
#include "maintenance/maintenance_commands.h"

namespace korva {

void cmd_efface(Session& s) {
    if (!read_input(s, "\n           NUMERO DU BLOC : ", s.line_buffer)) return;
    first_word(s.line_buffer, s.word_buffer);
    // The reader names a block by twice its number, in 8 bits.
    const uint8_t code = block_code_of(typed_block_number(s.word_buffer));
    if (code >= s.block_bound) {
        print(s, "\n REPONSE > NUMERO DE BLOC INCORRECT");
        s.command_failed = true;
    } else if (code == IDENTITY_BLOCK_CODE) {
        if (!access_check(s)) s.command_failed = true;
    } else {
        s.record.param = code;
        request_erase(s.link, 0, handle_response);
        if (await_answer(s.link, CODE_ERASE, waits::ERASE_S) != CODE_ERASE) {
            print(s, "\n REPONSE > ECHEC COMMANDE ");
            s.command_failed = true;
        } else if (s.record.status == code) {
            print(s, "\n REPONSE > BLOC [%d] LIBRE ", code / 2);
        } else {
            print(s, "\n REPONSE > ECHEC EFFACEMENT ");
            s.command_failed = true;
        }
    }
    print(s, "\n");
}

}  // namespace korva
