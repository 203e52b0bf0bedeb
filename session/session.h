// The run's state, handed to every command, and the helpers that the
// commands share: console output, parameters from the script or the
// keyboard, pauses, the blinking prompt and the key, the access check, the
// block-number rule and the maintenance hold.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "images/image_catalogue.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/console_io.h"
#include "serial/serial_port.h"
#include "session/session_states.h"

namespace korva {

constexpr std::size_t INPUT_BUFFER_SIZE = 60;  // 59 characters and the NUL
constexpr std::size_t SCRIPT_MAX_TOKENS = 29;

using InputBuffer = std::array<char, INPUT_BUFFER_SIZE>;

struct ScriptQueue {
    std::vector<std::string> tokens;  // at most SCRIPT_MAX_TOKENS
    std::size_t next = 0;             // index of the next token to take
    std::size_t remaining() const { return tokens.size() - next; }
};

struct Session {
    Session(Console& console_, Clock& clock_) : console(console_), clock(clock_) {}

    Console& console;
    Clock& clock;
    SerialPort port;  // holds line_settings and time_outs
    ReaderLink link;
    ReaderRecord record;

    bool running = true;
    uint8_t highest_block = 0;
    uint8_t block_bound = 0;
    ScriptQueue script;
    bool first_script_command_taken = false;
    InputBuffer line_buffer{};
    InputBuffer word_buffer{};
    InputBuffer file_name_buffer{};
    PaymentLoading payment_loading_mode = PaymentLoading::NONE;
    ReaderKind reader_kind = ReaderKind::UNKNOWN;
    TlaState tla_state = TlaState::FULL;
    // The run's image set as charge holds it (stored form, serial field
    // counted up by the client files written so far): the embedded images,
    // or those of --images.
    HeldImages held_images = embedded_image_set();

    // The keyboard's input has ended: the session ends after the command
    // under way, as "q" would, without waiting for a key.
    bool input_ended = false;
    // Set by a reader command that did not do what it was asked; the exit
    // status tells a batch file.
    bool command_failed = false;
};

// MinGW's compiler checks "printf" against the Microsoft C library's formats;
// the utility formats with the C99 ones (%zu) on every platform.
#ifdef __MINGW32__
#define KORVA_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define KORVA_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

// Formatted console output (printf formats, as the dialogue is written).
void print(Session& s, const char* format, ...) KORVA_PRINTF_FORMAT(2, 3);

// The next script token, or the prompt and one keyboard line. The text is
// cut to 59 characters. False when the keyboard's input has ended (buffer
// then empty, running cleared).
bool read_input(Session& s, const char* prompt, InputBuffer& buffer);
// The first blank-separated word of line into word (empty when none).
void first_word(const InputBuffer& line, InputBuffer& word);
// The block-number rule of efface and charge: one character c gives c - 48,
// two give (c1 - 48) x 10 + (c2 - 48), anything else 100; 8-bit arithmetic.
uint8_t typed_block_number(const InputBuffer& word);

// Between n and n + 1 seconds: until the calendar second passes start + n.
// No pause at all once the port's device is gone.
void pause_seconds(Session& s, uint32_t n);
// One phase of a blinking prompt.
void blink_phase(Session& s);
// One key without echo; -1 when the input has ended (then running is
// cleared and input_ended set).
int read_key_no_echo(Session& s);
// Shows text and blank alternately until a key is pressed, then takes it.
void blink_until_key(Session& s, const char* text, const char* blank);

// The access check that guards privileged erasures: refuses every time.
bool access_check(Session& s);

// The maintenance hold: hold pair, 1 s pause, erase with param 100, wait
// 10 s for 0xFF. True when the reader answered.
bool maintenance_hold(Session& s);

}  // namespace korva
