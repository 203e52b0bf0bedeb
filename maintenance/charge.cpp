// charge: installs the image of the run's set that belongs to the typed block.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>
#include <vector>

#include "identity/payloads.h"
#include "images/image_catalogue.h"
#include "link/reader_waits.h"
#include "maintenance/block_codes.h"
#include "maintenance/download.h"
#include "maintenance/maintenance_commands.h"
#include "maintenance/tla_preparation.h"

namespace korva {

namespace {

constexpr uint8_t SIGNATURE_ACCEPTED = 0x55;
// With payment loading on hold, the reader reports blocks 16 below where
// they are shown.
constexpr int PAYMENT_SHOWN_OFFSET = 16;
// A signature answer fills the 128-byte SI section.
constexpr std::size_t SIGNATURE_ANSWER_SIZE = 128;
// The version bytes follow the software name's field at a fixed distance
// from where a 28-character name would end.
constexpr std::size_t VERSION_DISTANCE = 28;

// Which part a download pass sends.
enum class Pass : uint8_t { LAST = 0, FIRST_PART = 1, SECOND_PART = 2 };

// Position of the first '$' in data[from, end), or end when there is none.
std::size_t find_dollar(const ReaderRecord& record, std::size_t from, std::size_t end) {
    for (std::size_t i = from; i < end; ++i) {
        if (record.data[i] == '$') return i;
    }
    return end;
}

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
void show_installed(Session& s, uint8_t block) {
    const ReaderRecord& r = s.record;
    const int shown =
        s.payment_loading_mode == PaymentLoading::ON_HOLD ? block + PAYMENT_SHOWN_OFFSET : block;
    print(s, "\n           LOGICIEL INSTALLE : BLOC[%d]", shown);

    print(s, "\n                    EDITEUR  : ");
    const std::size_t end = SIGNATURE_ANSWER_SIZE;
    const std::size_t first = find_dollar(r, 1, end);
    for (std::size_t i = 1; i < first; ++i) print(s, "%c", r.data[i]);

    print(s, "\n                    LOGICIEL : ");
    std::size_t printed = 0;
    const std::size_t second = first < end ? find_dollar(r, first + 1, end) : end;
    for (std::size_t i = first + 1; i < second; ++i) {
        if (r.data[i] >= 0x20 && r.data[i] <= 0x7D) {
            print(s, "%c", r.data[i]);
            ++printed;
        }
    }

    print(s, "\n                    VERSION  : ");
    // Without both fields, or with the version beyond the answer, there is
    // no version to show.
    if (second < end && printed <= second + VERSION_DISTANCE) {
        const std::size_t at = second + VERSION_DISTANCE - printed;
        if (at + 1 < end) {
            const uint8_t major = r.data[at];
            const uint8_t minor = r.data[at + 1];
            print(s, "%d%d.%d%d", major / 10, major % 10, minor / 10, minor % 10);
        }
    }
    print(s, "\n");
}

// Writes the client file: the image with its serial field counted up. The
// file is written beside the target and moved into place once complete, so
// that a failure leaves any earlier file as it was; the held image keeps
// the counted-up serial number only when the file is in place.
void write_client_file(Session& s, std::span<uint8_t> image) {
    const char* name = s.file_name_buffer.data();
    std::vector<uint8_t> content(image.begin(), image.end());
    increment_serial(content);

    bool written = false;
    if (name[0] != '\0') {
        const std::filesystem::path target(name);
        std::filesystem::path temporary = target;
        temporary += ".tmp";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            if (out) {
                out.write(reinterpret_cast<const char*>(content.data()),
                          static_cast<std::streamsize>(content.size()));
                out.close();
                written = !out.fail();
            }
        }
        std::error_code ec;
        if (written) {
            std::filesystem::rename(temporary, target, ec);
            written = !ec;
        }
        if (!written) std::filesystem::remove(temporary, ec);
    }
    if (!written) {
        print(s, "\n           ECHEC MISE A JOUR %s ", name);
        s.command_failed = true;
        return;
    }
    std::copy(content.begin(), content.end(), image.begin());
    print(s, "\n           MISE A JOUR %s OK", name);
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
    ChargeFailure failure;
    Pass pass;
    uint32_t second_part;        // P of a two-part image
    uint8_t reported_block = 0;  // where the reader put the last validated part

    void run() {
        const uint32_t length = static_cast<uint32_t>(image.size());
        uint32_t count = length - TRAILER_SIZE;
        for (;;) {
            uint32_t start = 0;
            uint32_t trailer = count;
            if (pass == Pass::SECOND_PART) {
                start = second_part;
                count = length - TRAILER_SIZE - second_part;
                trailer = length - TRAILER_SIZE;
            }
            download(start, count);
            if (failure != ChargeFailure::REFUSED) {
                print(s, "\n           CHARGEMENT TERMINE");
                if (block_code == IDENTITY_BLOCK_CODE ||
                    block_code == PAYMENT_IDENTITY_BLOCK_CODE) {
                    write_client_file(s, image);
                } else {
                    validate(trailer);
                }
            }

            // The first part goes into the block after the one the reader
            // reported for the second.
            if (pass == Pass::SECOND_PART) {
                count = second_part - TRAILER_SIZE;
                block_code = block_code_of(static_cast<uint8_t>(reported_block + 1));
                pass = Pass::FIRST_PART;
            } else if (pass == Pass::FIRST_PART) {
                pass = Pass::LAST;
            }
            if (failure != ChargeFailure::NONE) {
                s.command_failed = true;
                // The banner blames the image; a port whose device went
                // away is the session's to report.
                if (!port_gone(s.port)) print_failure_banner(s);
                pass = Pass::LAST;
            }
            if (pass == Pass::LAST) break;
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

    // The reader checks the signature trailer and reports the block it
    // installed the part into.
    void validate(uint32_t trailer) {
        print(s, "\n           VALIDATION EN COURS....");
        request_signature(s.link, image.data() + trailer, TRAILER_SIZE, block_code,
                          handle_response);
        if (await_answer(s.link, CODE_SIGNATURE, waits::SIGNATURE_S) != CODE_SIGNATURE) {
            print(s, "\n           ERREUR CHARGEMENT");
            s.command_failed = true;
            // Without the reported block the first part has nowhere to go.
            if (pass == Pass::SECOND_PART) failure = ChargeFailure::REFUSED;
            return;
        }
        if (s.record.ack_state != SIGNATURE_ACCEPTED) {
            print(s, "\n           ERREUR SIGNATURE LOGICIELLE");
            failure = ChargeFailure::REFUSED;
            return;
        }
        reported_block = static_cast<uint8_t>(s.record.data[0] / 2);
        show_installed(s, reported_block);
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
    Charge charge{s, image, block_code, ChargeFailure::NONE, Pass::LAST, 0};
    // An image too short to hold its own trailer can only be refused.
    if (image.size() < TRAILER_SIZE) charge.failure = ChargeFailure::REFUSED;

    if (charge.failure == ChargeFailure::NONE && s.payment_loading_mode == PaymentLoading::NONE) {
        const ImageClass c = classify_image(image, block_code);
        if (c.refused) {
            charge.failure = ChargeFailure::REFUSED;
        } else {
            if (c.two_part) {
                charge.pass = Pass::SECOND_PART;
                charge.second_part = c.second_part;
            }
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
    charge.run();
}

}  // namespace korva
