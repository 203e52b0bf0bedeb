// sup_tla and cb: the two console commands built on the PSS dialogue.
#include <algorithm>
#include <vector>

#include "identity/identity_commands.h"
#include "identity/payloads.h"
#include "pss/pss.h"

namespace korva {

namespace {

// Blocks that the PSS commands need (0, 2, 3, 4) and the TLA block (5).
constexpr uint8_t TLA_COMMAND_BLOCKS[] = {0, 2, 3, 4, 5};
constexpr uint8_t LAST_15_BLOCK_NUMBER = 30;

// True when the block list came completely and none of the blocks that
// sup_tla needs is empty.
bool tla_blocks_installed(Session& s) {
    std::vector<uint8_t> empty;
    if (!list_empty_blocks(s, empty)) return false;
    return std::none_of(empty.begin(), empty.end(), [](uint8_t block) {
        return std::find(std::begin(TLA_COMMAND_BLOCKS), std::end(TLA_COMMAND_BLOCKS), block) !=
               std::end(TLA_COMMAND_BLOCKS);
    });
}

}  // namespace

void cmd_sup_tla(Session& s) {
    if (!tla_blocks_installed(s)) {
        print(s, "\r           COMMANDES PSS NON DISPONIBLE ou TLA ABSENT");
        print(s, "\n");
        s.command_failed = true;
        return;
    }
    PssDialogue d(PssCaller::SUP_TLA);
    if (!pss_check_start(s, d) || !pss_detect(s, d, false)) {
        s.command_failed = true;
        return;
    }
    bool back_on_hold = false;
    if (pss_remove_tla(s, d) == PssOutcome::ACCEPTED) back_on_hold = await_restart(s, d);
    print(s, "\n");
    if (!back_on_hold) s.command_failed = true;
}

void cmd_cb(Session& s) {
    s.payment_loading_mode = PaymentLoading::NONE;
    if (s.highest_block > LAST_15_BLOCK_NUMBER) {
        s.payment_loading_mode = PaymentLoading::BLOCKS_31;
        return;
    }
    PssDialogue d(PssCaller::CB);
    if (!pss_check_start(s, d) || !pss_detect(s, d, false)) {
        s.command_failed = true;
        return;
    }
    print(s, "\r           PREPARATION DU CHARGEMENT MONETIQUE                    ");
    pss_payment_loading(s, d);
    if (await_restart(s, d)) {
        s.payment_loading_mode = PaymentLoading::ON_HOLD;
    } else {
        s.command_failed = true;
    }
}

}  // namespace korva
