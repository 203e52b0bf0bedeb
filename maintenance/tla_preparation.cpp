#include "maintenance/tla_preparation.h"

#include <vector>

#include "identity/payloads.h"
#include "pss/pss.h"

namespace korva {

namespace {

// What the block list says about the PSS dialogue.
enum class PssAvailability : uint8_t { MAY_RUN = 0, UNAVAILABLE = 1, TLA_EMPTY = 2 };

constexpr uint8_t TLA_BLOCK = 5;
constexpr uint8_t FULL_TLA_BLOCK = 6;

// Goes through the empty blocks in the order of the answers: a missing
// block that the dialogue needs makes it unavailable, an empty TLA block
// means no TLA, and an empty block 6 means the reduced TLA unless something
// was already found missing. A list that stopped early makes the dialogue
// unavailable after the answers that did come.
PssAvailability detect_tla(Session& s) {
    std::vector<uint8_t> empty;
    PssAvailability pss_state = PssAvailability::MAY_RUN;
    const bool complete = list_empty_blocks(s, empty);
    for (uint8_t block : empty) {
        switch (block) {
            case 0:
            case 2:
            case 3:
            case 4:
                pss_state = PssAvailability::UNAVAILABLE;
                break;
            case TLA_BLOCK:
                pss_state = PssAvailability::TLA_EMPTY;
                s.tla_state = TlaState::NONE;
                break;
            case FULL_TLA_BLOCK:
                if (pss_state == PssAvailability::MAY_RUN) s.tla_state = TlaState::REDUCED;
                break;
            default:
                break;
        }
    }
    return complete ? pss_state : PssAvailability::UNAVAILABLE;
}

}  // namespace

TlaPreparation prepare_tla_update(Session& s) {
    const PssAvailability pss_state = detect_tla(s);
    // A port whose device is gone ends the command here and at each step
    // below: the session then says so.
    if (port_gone(s.port)) return TlaPreparation::END_COMMAND;
    if (s.tla_state == TlaState::NONE) {
        print(s, "\r REPONSE > TLA NON DETECTE => PAS DE MISE A JOUR TLA      ");
        print(s, "\n           FIN DE LA MISE A JOUR        ");
        return TlaPreparation::END_COMMAND;
    }
    if (s.tla_state == TlaState::FULL) {
        print(s, "\r REPONSE > ORBEX DETECTE => MISE A JOUR ORBEX      \n");
    } else {
        print(s, "\r REPONSE > TLA REDUIT DETECTE => MISE A JOUR PALENTRIX      \n");
    }
    if (pss_state == PssAvailability::UNAVAILABLE) {
        print(s, "\r REPONSE > COMMANDES PSS NON DISPONIBLE ");
        return TlaPreparation::REFUSED;
    }

    PssDialogue d(PssCaller::CHARGE);
    if (!pss_check_start(s, d) || !pss_detect(s, d, true)) return TlaPreparation::END_COMMAND;
    print(s, "\r%c", 7);
    blink_until_key(s, "\r              TAPEZ UNE TOUCHE POUR CONTINUER :  ",
                    "\r                                                 ");
    // No key will ever come: the reader is left as it is.
    if (s.input_ended) return TlaPreparation::END_COMMAND;
    const PssOutcome outcome = pss_remove_tla(s, d);
    if (port_gone(s.port)) return TlaPreparation::END_COMMAND;
    if (outcome != PssOutcome::ACCEPTED) return TlaPreparation::REFUSED;
    await_restart(s, d);
    if (port_gone(s.port)) return TlaPreparation::END_COMMAND;
    return TlaPreparation::READY;
}

}  // namespace korva
