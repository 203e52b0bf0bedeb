#include <array>

#include "console/console_commands.h"
#include "link/reader_waits.h"

namespace korva {

namespace {

constexpr uint8_t SPEED_CODE_9600 = 1;
constexpr uint8_t SPEED_CODE_19200 = 2;
// What may still sit in the line from before the reader was switched on.
constexpr uint32_t STALE_BYTES = 50;

const char* const SPEED_9600_OK =
    "\r REPONSE > VITESSE PORT SERIE 9600 BAUDS OK                     \n";
const char* const SPEED_19200_OK =
    "\r REPONSE > VITESSE PORT SERIE 19200 BAUDS OK                     \n";
const char* const SPEED_REFUSED =
    "\r REPONSE > PARAMETRE INCOHERENT                                \n";

// Asks the reader for a line speed; true when it answered (its answer is
// then in the record's status).
bool ask_speed(Session& s, uint8_t speed_code) {
    request_speed(s.link, speed_code, handle_response);
    return await_answer(s.link, CODE_SPEED, waits::SPEED_S) == CODE_SPEED;
}

// The port follows the reader's speed; a port that refuses it ends the run.
void set_speed(Session& s, uint32_t baud) {
    s.port.line_settings.baud_rate = baud;
    if (!set_port_speed(s.port)) {
        s.running = false;
        s.command_failed = true;
    }
}

}  // namespace

void cmd_v1(Session& s) {
    if (!ask_speed(s, SPEED_CODE_9600)) {
        print(s, "\r REPONSE > PAS DE REPONSE LECTEUR\n ");
        s.command_failed = true;
        return;
    }
    if (s.record.status != SPEED_CODE_9600) {
        print(s, "%s", SPEED_REFUSED);
        s.command_failed = true;
        return;
    }
    print(s, "%s", SPEED_9600_OK);
    set_speed(s, 9600);
}

void cmd_v2(Session& s) {
    if (ask_speed(s, SPEED_CODE_19200)) {
        if (s.record.status != SPEED_CODE_19200) {
            print(s, "%s", SPEED_REFUSED);
            s.command_failed = true;
            return;
        }
        print(s, "%s", SPEED_19200_OK);
        set_speed(s, 19200);
        return;
    }
    // The reader may already be at 19200 baud: ask again at that speed.
    set_speed(s, 19200);
    if (ask_speed(s, SPEED_CODE_19200)) {
        print(s, "%s", SPEED_19200_OK);
        return;
    }
    print(s, "\r REPONSE > PAS DE REPONSE LECTEUR \n");
    s.command_failed = true;
    set_speed(s, 9600);
}

void cmd_reset(Session& s) {
    print(s, "\n           RESET LECTEUR EN COURS... ");
    request_reset(s.link);
    print(s, "\n");
}

void cmd_no(Session& s) {
    std::array<uint8_t, STALE_BYTES> stale{};
    read_port(s.port, stale.data(), STALE_BYTES);
    print(s, "\r                   ALLUMEZ VOTRE LECTEUR KORVA...                      ");
    if (await_answer(s.link, CODE_STARTED, waits::STARTED_S) != CODE_STARTED) {
        print(s, "\n REPONSE > PAS DE REPONSE LECTEUR ");
        s.command_failed = true;
        return;
    }
    print(s, "\r REPONSE > ATTENTE REPONSE LECTEUR ...                     ");
    if (maintenance_hold(s)) {
        print(s, "\r REPONSE > LECTEUR EN ATTENTE                         \n");
    } else {
        print(s, "\r REPONSE > LECTEUR INDISPONIBLE                       ");
        s.command_failed = true;
    }
}

}  // namespace korva
