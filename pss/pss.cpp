#include "pss/pss.h"

#include <cstddef>

#include "link/reader_waits.h"

namespace korva {

namespace {

// ---------------------------------------------------------------------------
// The console lines of the dialogue, one row per line, one column per caller
// (sup_tla, cb, charge). nullptr: that caller never prints the line.

enum PssLine : uint8_t {
    LINE_START_CHECK,
    LINE_DETECTION,  // format: speed in baud, PAD
    LINE_CONNECTED,
    LINE_NO_LINK,
    LINE_QUESTION,
    LINE_FSE_PRESENT,
    LINE_REFUSED,
    LINE_RESTART_REQUEST,
    LINE_RESTART_REQUEST_BLANK,
    LINE_NO_STARTUP_FRAME,
    LINE_STARTUP_FRAME_SEEN,
    LINE_HOLD_REFUSED,
    LINE_HOLD_ACCEPTED,
    LINE_COUNT
};

struct PssMessage {
    PssLine line;
    const char* variant[3];  // indexed by PssCaller
};

constexpr PssMessage MESSAGES[LINE_COUNT] = {
    {LINE_START_CHECK,
     {"\n           VERIFICATION LECTEUR EN COURS...                              ",
      "\n           VERIFICATION LECTEUR EN COURS...                              ",
      "\r REPONSE > VERIFICATION LECTEUR EN COURS...                      "}},
    {LINE_DETECTION,
     {"\r DETECTION : VITESSE : %d Bauds  PAD %d : => ",
      "\r DETECTION : VITESSE : %d Bauds  PAD %d : => ",
      "\r REPONSE > DETECTION : VITESSE : %d Bauds  PAD %d : => "}},
    {LINE_CONNECTED,
     {"\r           CONNEXION LECTEUR OK",
      "\r           CONNEXION LECTEUR OK                              ",
      "\r REPONSE > CONNEXION LECTEUR OK                            "}},
    {LINE_NO_LINK,
     {nullptr, nullptr, "\r REPONSE > ECHEC COMMUNICATION DU PROTOCOLE PSS-LECTEUR !"}},
    {LINE_QUESTION,
     {"\r           VOTRE LECTEUR VOUS POSE UNE QUESTION....", nullptr,
      "\r\x07\r REPONSE > CONFIRMEZ SUR LE LECTEUR KORVA LA SUPPRESSION DU TLA"}},
    {LINE_FSE_PRESENT,
     {"\r           ERREUR FSE PRESENTE !", nullptr, "\r REPONSE > ERREUR FSE PRESENTE !"}},
    {LINE_REFUSED,
     {"\r           ERREUR REFUS UTILISATEUR", nullptr, "\r REPONSE > ERREUR REFUS UTILISATEUR"}},
    {LINE_RESTART_REQUEST,
     {"\r REPONSE > VEUILLEZ ETEINDRE puis REDEMARRER VOTRE LECTEUR     ", nullptr,
      "\r REPONSE > VEUILLEZ ETEINDRE puis REDEMARRER VOTRE LECTEUR     "}},
    {LINE_RESTART_REQUEST_BLANK,
     {nullptr, nullptr, "\r REPONSE >                                                     "}},
    {LINE_NO_STARTUP_FRAME,
     {"\r           PAS DE REPONSE LECTEUR ", "\r           PAS DE REPONSE LECTEUR                ",
      nullptr}},
    {LINE_STARTUP_FRAME_SEEN,
     {"\r           ATTENTE REPONSE LECTEUR ...                               ",
      "\r           ATTENTE REPONSE LECTEUR ...                               ",
      "\r REPONSE > ATTENTE REPONSE LECTEUR ...                          "}},
    {LINE_HOLD_REFUSED,
     {"\r           LECTEUR INDISPONIBLE ", "\r           LECTEUR INDISPONIBLE             ",
      "\r REPONSE > LECTEUR INDISPONIBLE "}},
    {LINE_HOLD_ACCEPTED,
     {"\r           LECTEUR EN ATTENTE ", "\r           LECTEUR EN ATTENTE               ",
      "\r REPONSE > LECTEUR EN ATTENTE                              "}},
};

constexpr bool rows_in_line_order() {
    for (std::size_t i = 0; i < LINE_COUNT; ++i) {
        if (MESSAGES[i].line != i) return false;
    }
    return true;
}
static_assert(rows_in_line_order(), "one row per line, in the order of PssLine");

const char* message(const PssDialogue& d, PssLine line) {
    return MESSAGES[line].variant[static_cast<std::size_t>(d.caller)];
}

void say(Session& s, const PssDialogue& d, PssLine line) {
    const char* text = message(d, line);
    if (text != nullptr) print(s, "%s", text);
}

// ---------------------------------------------------------------------------
// Frames: the bytes between the address and the CRC.

struct FrameBody {
    uint8_t length;
    uint8_t bytes[12];
};

const FrameBody FRAME_BODIES[] = {
    /* PROBE */ {6, {0xC0, 0x04, 0x00, 0x28, 0x00, 0xC8}},
    /* REMOVE_TLA */ {9, {0x40, 0x07, 0xFF, 0x01, 0x04, 0x01, 0x01, 0x04, 0x00}},
    /* POLL_ANSWER */ {4, {0xF8, 0x02, 0x05, 0x78}},
    /* PAYMENT_LOADING */ {5, {0x40, 0x03, 0xFF, 0x01, 0xFF}},
};

constexpr uint32_t SPEEDS[] = {9600, 19200};

// ---------------------------------------------------------------------------
// How the callers' dialogues differ, beyond their console lines.

struct CallerTraits {
    uint8_t boot_factor;        // the first read after the reset request
    uint8_t start_factor;       // the read that must bring the start bytes
    bool start_b;               // 'B' is a start byte as well as 'A'
    uint8_t poll_factor;        // the read of the poll's answer
    bool silence_is_lost_link;  // an unanswered removal or poll frame: PssOutcome::NO_LINK
    bool insists;               // refusal, FSE or unlisted status end the session; unlisted repeats
    bool restart_request_first;  // asks for the restart before waiting for the start-up frame
    bool blinks_for_restart;     // waits without limit, blinking the restart request
};

constexpr CallerTraits TRAITS[] = {
    // SUP_TLA
    {.boot_factor = waits::PSS_BOOT_FACTOR,
     .start_factor = waits::PSS_START_FACTOR,
     .start_b = true,
     .poll_factor = waits::PSS_POLL_FACTOR,
     .silence_is_lost_link = false,
     .insists = false,
     .restart_request_first = true,
     .blinks_for_restart = false},
    // CB
    {.boot_factor = waits::PSS_BOOT_FACTOR,
     .start_factor = waits::PSS_START_FACTOR,
     .start_b = false,
     .poll_factor = waits::PSS_POLL_FACTOR,
     .silence_is_lost_link = false,
     .insists = false,
     .restart_request_first = false,
     .blinks_for_restart = false},
    // CHARGE
    {.boot_factor = waits::PSS_BOOT_CHARGE_FACTOR,
     .start_factor = waits::PSS_START_CHARGE_FACTOR,
     .start_b = true,
     .poll_factor = waits::PSS_POLL_CHARGE_FACTOR,
     .silence_is_lost_link = true,
     .insists = true,
     .restart_request_first = false,
     .blinks_for_restart = true},
};

const CallerTraits& traits(const PssDialogue& d) {
    return TRAITS[static_cast<std::size_t>(d.caller)];
}

constexpr uint8_t START_BYTE_A = 'A';
constexpr uint8_t START_BYTE_B = 'B';
constexpr uint32_t START_LENGTH = 3;

void send(Session& s, const PssDialogue& d, PssFrameKind kind) {
    const PssFrame frame = pss_frame(kind, d.address);
    write_raw(s.port, frame.bytes.data(), frame.length);
}

// One raw read into a cleared reply buffer, so that a short answer is never
// judged by what an earlier read left there.
uint32_t receive(Session& s, PssDialogue& d, uint8_t factor) {
    d.reply.fill(0);
    d.reply_count = read_raw_timed(s.port, d.reply.data(), factor);
    return d.reply_count;
}

void apply_speed(Session& s, uint32_t speed) {
    s.port.line_settings.baud_rate = speed;
    if (!set_port_speed(s.port)) s.running = false;
    s.port.read_chunk = READ_CHUNK;
}

void print_attempt(Session& s, const PssDialogue& d, uint32_t speed, uint8_t pad) {
    print(s, message(d, LINE_DETECTION), static_cast<int>(speed), static_cast<int>(pad));
}

// At each speed, PAD 2 is probed twice; the second answer decides.
bool quick_try(Session& s, PssDialogue& d) {
    for (uint32_t speed : SPEEDS) {
        if (port_gone(s.port)) return false;
        apply_speed(s, speed);
        print_attempt(s, d, speed, PSS_QUICK_TRY_PAD);
        d.address = pss_address(PSS_QUICK_TRY_PAD);
        send(s, d, PssFrameKind::PROBE);
        receive(s, d, waits::PSS_PROBE_FACTOR);
        send(s, d, PssFrameKind::PROBE);
        if (receive(s, d, waits::PSS_PROBE_FACTOR) == PSS_PROBE_ANSWER_LENGTH) {
            d.speed = speed;
            return true;
        }
    }
    return false;
}

bool full_scan(Session& s, PssDialogue& d) {
    for (uint32_t speed : SPEEDS) {
        apply_speed(s, speed);
        for (uint8_t pad = 0; pad < PSS_PAD_COUNT; ++pad) {
            // No reader to find once the port's device is gone.
            if (port_gone(s.port)) return false;
            print_attempt(s, d, speed, pad);
            d.address = pss_address(pad);
            send(s, d, PssFrameKind::PROBE);
            if (receive(s, d, waits::PSS_PROBE_FACTOR) == PSS_PROBE_ANSWER_LENGTH) {
                d.speed = speed;
                return true;
            }
        }
    }
    return false;
}

// The outcome of the poll answer. An answer too short to carry the status
// byte has no status: it counts as an unlisted one. No answer at all is the
// lost link for charge, so that its dialogue ends when the reader falls
// silent at either frame.
PssOutcome poll_outcome(const PssDialogue& d) {
    if (d.reply_count == 0 && traits(d).silence_is_lost_link) return PssOutcome::NO_LINK;
    if (d.reply_count <= PSS_STATUS_INDEX) return PssOutcome::OTHER;
    switch (d.reply[PSS_STATUS_INDEX]) {
        case PSS_STATUS_ACCEPTED:
            return PssOutcome::ACCEPTED;
        case PSS_STATUS_REFUSED:
            return PssOutcome::REFUSED;
        case PSS_STATUS_FSE_PRESENT:
            return PssOutcome::FSE_PRESENT;
        default:
            return PssOutcome::OTHER;
    }
}

// The wait of a caller that blinks: one second at a time, with no limit but the
// port's device going away, the restart request blinking.
bool await_startup_blinking(Session& s, const PssDialogue& d) {
    bool show_text = true;
    while (!port_gone(s.port)) {
        say(s, d, show_text ? LINE_RESTART_REQUEST : LINE_RESTART_REQUEST_BLANK);
        show_text = !show_text;
        if (await_answer(s.link, CODE_STARTED, waits::STARTED_BLINK_S) == CODE_STARTED) {
            return true;
        }
    }
    return false;
}

}  // namespace

uint16_t pss_crc16(const uint8_t* bytes, int16_t count) {
    uint32_t reg = 0;
    auto step = [&reg] {
        const bool taken = (reg & 1u) != 0;
        reg >>= 1;
        if (taken) reg ^= 0x8408u;
    };
    for (int16_t i = 0; i < count; ++i) {
        reg |= static_cast<uint32_t>(bytes[i]) << 16;
        for (int bit = 0; bit < 8; ++bit) step();
    }
    for (int bit = 0; bit < 16; ++bit) step();
    return static_cast<uint16_t>(reg & 0xFFFFu);
}

PssFrame pss_frame(PssFrameKind kind, uint8_t address) {
    const FrameBody& body = FRAME_BODIES[static_cast<std::size_t>(kind)];
    PssFrame frame;
    frame.bytes[0] = address;
    for (uint8_t i = 0; i < body.length; ++i) frame.bytes[1 + i] = body.bytes[i];
    const uint8_t covered = static_cast<uint8_t>(1 + body.length);
    const uint16_t crc = pss_crc16(frame.bytes.data(), covered);
    frame.bytes[covered] = static_cast<uint8_t>(crc & 0xFF);
    frame.bytes[covered + 1] = static_cast<uint8_t>(crc >> 8);
    frame.length = static_cast<uint8_t>(covered + 2);
    return frame;
}

bool pss_check_start(Session& s, PssDialogue& d) {
    say(s, d, LINE_START_CHECK);
    request_reset(s.link);
    // No input flush here: the first read takes what the reader's boot sends,
    // the second the start bytes.
    const CallerTraits& t = traits(d);
    receive(s, d, t.boot_factor);
    // The start byte and its two zero bytes must all have come.
    if (receive(s, d, t.start_factor) < START_LENGTH) return false;
    const uint8_t first = d.reply[0];
    const bool start_byte = first == START_BYTE_A || (t.start_b && first == START_BYTE_B);
    return start_byte && d.reply[1] == 0 && d.reply[2] == 0;
}

bool pss_detect(Session& s, PssDialogue& d, bool quick) {
    d.speed = 0;
    const bool found = (quick && quick_try(s, d)) || full_scan(s, d);
    if (found) say(s, d, LINE_CONNECTED);
    return found;
}

PssOutcome pss_remove_tla(Session& s, PssDialogue& d) {
    const CallerTraits& t = traits(d);
    for (;;) {
        send(s, d, PssFrameKind::REMOVE_TLA);
        if (receive(s, d, waits::PSS_REMOVE_FACTOR) == 0 && t.silence_is_lost_link) {
            say(s, d, LINE_NO_LINK);
            return PssOutcome::NO_LINK;
        }
        say(s, d, LINE_QUESTION);
        send(s, d, PssFrameKind::POLL_ANSWER);
        receive(s, d, t.poll_factor);
        const PssOutcome outcome = poll_outcome(d);
        if (outcome == PssOutcome::FSE_PRESENT) say(s, d, LINE_FSE_PRESENT);
        if (outcome == PssOutcome::REFUSED) say(s, d, LINE_REFUSED);
        if (outcome == PssOutcome::NO_LINK) say(s, d, LINE_NO_LINK);
        if (!t.insists || outcome == PssOutcome::ACCEPTED || outcome == PssOutcome::NO_LINK) {
            return outcome;
        }
        // A refusal, an FSE or an unlisted status ends the session after
        // the command; the unlisted status asks again.
        s.running = false;
        if (outcome != PssOutcome::OTHER) return outcome;
    }
}

void pss_payment_loading(Session& s, PssDialogue& d) {
    send(s, d, PssFrameKind::PAYMENT_LOADING);
}

bool await_restart(Session& s, PssDialogue& d) {
    const CallerTraits& t = traits(d);
    if (t.restart_request_first) say(s, d, LINE_RESTART_REQUEST);
    if (!configure_port(s.port)) s.running = false;
    // What the receive ring still holds, and a frame the receiver was in the
    // middle of, came before the raw exchange (a report the reader sent after
    // the block list, say): left there, they would swallow the start-up frame.
    reset_rings(s.port);
    exchange_free_all(s.link);
    if (t.blinks_for_restart) {
        if (!await_startup_blinking(s, d)) return false;
    } else if (await_answer(s.link, CODE_STARTED, waits::STARTED_S) != CODE_STARTED) {
        say(s, d, LINE_NO_STARTUP_FRAME);
        return false;
    }
    say(s, d, LINE_STARTUP_FRAME_SEEN);
    if (!maintenance_hold(s)) {
        say(s, d, LINE_HOLD_REFUSED);
        return false;
    }
    say(s, d, LINE_HOLD_ACCEPTED);
    return true;
}

}  // namespace korva
