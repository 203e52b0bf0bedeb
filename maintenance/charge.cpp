// charge: installs the image of the run's set that belongs to the typed block.
#include <algorithm>
#include <span>

#include "identity/payloads.h"
#include "images/image_catalogue.h"
#include "link/reader_waits.h"
#include "maintenance/block_codes.h"
#include "maintenance/charge_passes.h"
#include "maintenance/client_file.h"
#include "maintenance/download.h"
#include "maintenance/maintenance_commands.h"
#include "maintenance/tla_preparation.h"

namespace korva {

namespace {

constexpr uint8_t SIGNATURE_ACCEPTED = 0x55;
// With payment loading on hold, the reader reports blocks 16 below where
// they are shown.
constexpr int PAYMENT_SHOWN_OFFSET = 16;

// Block number from the script or the keyboard, as a block code; false when
// the keyboard's input has ended.
bool read_block_code(Session& s, uint8_t& block_code) {
    if (!read_input(s, "\n           NUMERO DE BLOC : ", s.line_buffer)) return false;
    first_word(s.line_buffer, s.word_buffer);
    block_code = block_code_of(typed_block_number(s.word_buffer));
    return true;
}

// The base software's kind, from the base block's item of the block list:
// the three characters two places after its first '$'.
void learn_reader_kind(Session& s) {
    const bool complete = walk_block_list(s.link, s.highest_block, [&s](ByteView item) {
        if (item_block(item) != 0 || item_block_empty(item)) return;
        const std::size_t dollar = 1 + item_publisher(item).size();
        if (dollar + 5 > item.size()) return;
        const ByteView kind = item.subspan(dollar + 2, 3);
        if (std::equal(kind.begin(), kind.end(), "KRV")) s.reader_kind = ReaderKind::UPDATABLE;
        if (std::equal(kind.begin(), kind.end(), "KER")) s.reader_kind = ReaderKind::OLD;
    });
    if (!complete) print(s, "\n REPONSE > ECHEC COMMANDE ");
}

// What the reader reports as installed after it accepted a signature:
// its block, publisher, software name and version.
void show_installed(Session& s, const InstalledSoftware& installed) {
    const int block = installed.block;
    const int shown =
        s.payment_loading_mode == PaymentLoading::ON_HOLD ? block + PAYMENT_SHOWN_OFFSET : block;
    print(s, "\n           LOGICIEL INSTALLE : BLOC[%d]", shown);
    print(s, "\n                    EDITEUR  : ");
    for (char c : installed.publisher) print(s, "%c", c);
    print(s, "\n                    LOGICIEL : ");
    for (char c : installed.software_name) print(s, "%c", c);
    print(s, "\n                    VERSION  : ");
    if (installed.has_version) {
        const uint8_t major = installed.version_major;
        const uint8_t minor = installed.version_minor;
        print(s, "%d%d.%d%d", major / 10, major % 10, minor / 10, minor % 10);
    }
    print(s, "\n");
}

void print_failure_banner(Session& s) {
    print(s, "\n                      ****************************************");
    print(s, "\n                      *****   !  ECHEC DU CHARGEMENT !   *****");
    print(s, "\n                      ***** FICHIER TELECHARGE INCORRECT *****");
    print(s, "\n                      ****************************************\n");
    print(s, "\n\n TAPEZ SUR UNE TOUCHE POUR TERMINER LE PROGRAMME");
    read_key_no_echo(s);
}

// The download passes, the signature validation and the client file of one
// accepted (or refused) image.
struct Charge {
    Session& s;
    std::span<uint8_t> image;
    uint8_t block_code;  // of the pass under way
    ChargeFailure failure = ChargeFailure::NONE;
    uint8_t reported_block = 0;  // where the reader put the last validated part

    void run(const ChargePasses& passes) {
        const std::span<const ChargePass> list = passes.list();
        for (std::size_t i = 0; i < list.size(); ++i) {
            const ChargePass& pass = list[i];
            if (pass.block == PassBlock::AFTER_REPORTED) {
                block_code = block_code_of(static_cast<uint8_t>(reported_block + 1));
            }
            download(pass.start, pass.count);
            if (failure != ChargeFailure::REFUSED) {
                print(s, "\n           CHARGEMENT TERMINE");
                if (block_code == IDENTITY_BLOCK_CODE ||
                    block_code == PAYMENT_IDENTITY_BLOCK_CODE) {
                    write_client_file(s, image);
                } else {
                    validate(pass.trailer, i + 1 < list.size());
                }
            }
            if (failure != ChargeFailure::NONE) {
                s.command_failed = true;
                // The banner blames the image; a port whose device went
                // away is the session's to report.
                if (!port_gone(s.port)) print_failure_banner(s);
                break;
            }
        }
        print(s, "\n");
    }

    void download(uint32_t start, uint32_t count) {
        if (failure == ChargeFailure::NONE) {
            failure = charge_failure(download_block(s, image.data() + start, count, block_code));
        } else {
            print(s, "\n           ERREUR PARAMETRAGE");
        }
        if (failure == ChargeFailure::REFUSED) print(s, "\n           ERREUR CHARGEMENT");
    }

    // The reader checks the part's signature trailer and reports the block
    // it installed the part into; a part that another follows needs that.
    void validate(uint32_t trailer, bool part_follows) {
        print(s, "\n           VALIDATION EN COURS....");
        request_signature(s.link, image.data() + trailer, TRAILER_SIZE, block_code,
                          handle_response);
        if (await_answer(s.link, CODE_SIGNATURE, waits::SIGNATURE_S) != CODE_SIGNATURE) {
            print(s, "\n           ERREUR CHARGEMENT");
            s.command_failed = true;
            if (part_follows) failure = ChargeFailure::REFUSED;
            return;
        }
        if (s.record.ack_state != SIGNATURE_ACCEPTED) {
            print(s, "\n           ERREUR SIGNATURE LOGICIELLE");
            failure = ChargeFailure::REFUSED;
            return;
        }
        const InstalledSoftware installed = read_signature_answer(signature_answer(s.record));
        reported_block = installed.block;
        show_installed(s, installed);
    }
};

}  // namespace

void cmd_charge(Session& s) {
    if (!read_input(s, "\n           NOM DU FICHIER : ", s.file_name_buffer)) return;
    uint8_t block_code = 0;
    if (!read_block_code(s, block_code)) return;

    if (block_code >= s.block_bound) {
        print(s, "\n REPONSE > NUMERO DE BLOC INCORRECT ");
        print(s, "\n");
        s.command_failed = true;
        return;
    }

    if (s.reader_kind == ReaderKind::UNKNOWN) learn_reader_kind(s);
    if (s.reader_kind != ReaderKind::UPDATABLE) {
        print(s, "\r            VOTRE LECTEUR EST EN VERSION 1.40");
        print(s, "\n        MISE A JOUR NON AUTORISE SUR KORVA 1.40\n");
        s.command_failed = true;
        return;
    }

    // Only the full TLA is updated.
    if (block_code == TLA_BLOCK_CODE && s.tla_state != TlaState::FULL) {
        print(s, "\r        FIN DE LA MISE A JOUR        ");
        return;
    }
    HeldImage* stored = find_image(s.held_images, block_code);
    if (stored == nullptr) {
        print(s, "\r        ERREUR FICHIER PARAMETRES        ");
        s.command_failed = true;
        return;
    }
    const std::span<uint8_t> image = image_bytes(*stored);
    if (image.empty()) {
        s.command_failed = true;
        return;
    }

    print(s, "\r REPONSE > LECTURE FICHIER OK                              ");
    Charge charge{s, image, block_code};
    bool two_part = false;
    uint32_t second_part = 0;
    // An image too short to hold its own trailer can only be refused.
    if (image.size() < TRAILER_SIZE) charge.failure = ChargeFailure::REFUSED;

    if (charge.failure == ChargeFailure::NONE && s.payment_loading_mode == PaymentLoading::NONE) {
        const ImageClass c = classify_image(image, block_code);
        if (c.refused) {
            charge.failure = ChargeFailure::REFUSED;
        } else {
            two_part = c.two_part;
            second_part = c.second_part;
            if (c.tla) s.tla_state = TlaState::FULL;
        }
    } else if (s.payment_loading_mode == PaymentLoading::BLOCKS_31) {
        charge.block_code = static_cast<uint8_t>(charge.block_code + PAYMENT_BLOCK_OFFSET);
    }

    if (charge.failure == ChargeFailure::NONE && s.tla_state == TlaState::FULL &&
        charge.block_code == TLA_BLOCK_CODE) {
        switch (prepare_tla_update(s)) {
            case TlaPreparation::END_COMMAND:
                return;
            case TlaPreparation::REFUSED:
                charge.failure = ChargeFailure::REFUSED;
                break;
            case TlaPreparation::READY:
                break;
        }
        print(s, "\n");
    }
    charge.run(
        charge_passes(static_cast<uint32_t>(image.size()), TRAILER_SIZE, two_part, second_part));
}

}  // namespace korva
