// A whole session: start-up, the script, the command loop and shutdown.
#include "console/run_session.h"

#include <fstream>

#include "console/command_table.h"
#include "console/console_commands.h"
#include "korva_version.h"
#include "link/reader_waits.h"

namespace korva {

namespace {

// A script file larger than this is read only so far: 29 tokens never need more.
constexpr std::size_t SCRIPT_FILE_LIMIT = 64 * 1024;

const char DEFAULT_SCRIPT[] = "no charge superviseur 2 charge ORBEX_112 5 reset the_end q";

}  // namespace

std::vector<std::string> tokenise(const std::string& text) {
    std::vector<std::string> tokens;
    const std::size_t end = std::min(text.size(), text.find('\0'));
    std::size_t i = 0;
    while (i < end) {
        while (i < end && text[i] == ' ') ++i;
        const std::size_t start = i;
        while (i < end && text[i] != ' ') ++i;
        if (i > start) tokens.emplace_back(text, start, i - start);
    }
    return tokens;
}

namespace {

bool read_script_file(std::string& text) {
    std::ifstream in("liste.dvo", std::ios::binary);
    if (!in) return false;
    text.clear();
    char chunk[4096];
    while (text.size() < SCRIPT_FILE_LIMIT && in.read(chunk, sizeof chunk).gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    }
    return true;
}

// The script table holds SCRIPT_MAX_TOKENS tokens; the rest are dropped, and
// the technician is told, so that a long batch never looks complete.
void set_script(Session& s, std::vector<std::string> tokens) {
    if (tokens.size() > SCRIPT_MAX_TOKENS) {
        print(s, "\n SCRIPT : %u MOTS IGNORES\n",
              static_cast<unsigned>(tokens.size() - SCRIPT_MAX_TOKENS));
        tokens.resize(SCRIPT_MAX_TOKENS);
    }
    s.script.tokens = std::move(tokens);
    s.script.next = 0;
}

void print_banner(Session& s) {
    print(s, "\n          *****************************************************");
    print(s, "\n          **********    UTILITAIRE DE MAINTENANCE    **********");
    print(s, "\n          **********   " KORVA_VERSION_TEXT "  MAJ  ORBEX 1.12      **********");
    print(s, "\n          **********          LECTEUR KORVA          **********");
    print(s, "\n          *****************************************************\n\n");
}

void choose_port(Session& s, const std::vector<std::string>& args) {
    int digit;
    if (args.empty()) {
        print(s, "\r SUR QUEL PORT COM EST CONNECTE VOTRE LECTEUR ( de 1 a 9 ) : ");
        digit = read_key_no_echo(s);
        if (digit < 0) return;  // input ended: no command will be read
        print(s, "%c", digit);
    } else {
        digit = static_cast<unsigned char>(args[0].empty() ? '\0' : args[0][0]);
    }
    if (digit >= '1' && digit <= '9') {
        s.port.port_name[3] = static_cast<char>(digit);
    } else {
        print(s, "\nTRES DROLE !!!  PORT INCONNU !\n");
        s.running = false;
    }
}

void ask_power_off(Session& s) {
    print(s, "\r%65s", "");
    print(s, "\r%c", 7);
    print(s, "\n\n ETAPE 1 : ETEIGNEZ VOTRE LECTEUR KORVA... Continuer ? ( O / N ): ");
    const int key = read_key_no_echo(s);
    if (key < 0) return;
    print(s, "%c", key);
    if (key != 'O' && key != 'o') s.running = false;
}

void load_script(Session& s, const std::vector<std::string>& args) {
    if (!args.empty()) {
        print(s, "\r           FICHIER BATCH PRESENT : MODE AUTO                          ");
        set_script(s, std::vector<std::string>(args.begin() + 1, args.end()));
        return;
    }
    std::string text;
    if (read_script_file(text)) {
        print(s, "\r           LISTE.DVO PRESENT : MODE AUTO                          ");
        set_script(s, tokenise(text));
    } else {
        set_script(s, tokenise(DEFAULT_SCRIPT));
    }
}

// One input for the loop: the next script token or a keyboard line. False
// when the keyboard's input has ended.
bool next_command_line(Session& s) {
    if (s.script.remaining() > 0) {
        if (s.first_script_command_taken) {
            pause_seconds(s, waits::SCRIPT_COMMAND_S);
        } else {
            s.first_script_command_taken = true;
        }
    }
    return read_input(s, "\n COMMANDE> ", s.line_buffer);
}

void command_loop(Session& s) {
    // Once the port's device is gone no further command runs.
    while (s.running && !port_gone(s.port)) {
        if (!next_command_line(s)) break;
        first_word(s.line_buffer, s.word_buffer);
        if (s.word_buffer[0] == '\0') continue;
        const CommandEntry* command = find_command(s.word_buffer.data());
        const uint8_t code = command ? command->code : CODE_UNKNOWN;
        if (s.highest_block == 0 && code != CODE_NO) boot_probe(s);
        if (port_gone(s.port)) break;
        if (command) {
            command->handler(s);
        } else {
            print(s, "\n COMMANDE> COMMANDE INCONNUE ! ");
            print(s, "\n");
        }
    }
    if (s.input_ended) print(s, "\n");
}

// The port's device went away during the session (an adapter pulled): the
// technician is told to start again, the error output and the wire log say
// which port and why, and the window waits for a key as "q" makes it.
void end_for_gone_port(Session& s) {
    print(s, "\n ERREUR PORT SERIE : RELANCER LE PROGRAMME \n");
    const std::string name(s.port.port_name.data());
    const std::string device = port_device(s.port);
    std::string line = "korva-maint: " + name;
    if (!device.empty() && device != name) line += " (" + device + ")";
    s.console.error_line(line + ": " + port_failure(s.port));
    if (s.port.wire_log) s.port.wire_log->note("session: ended, the port is gone");
    s.command_failed = true;
    cmd_q(s);
}

}  // namespace

int run_session(const std::vector<std::string>& args, const Seams& seams, HeldImages images) {
    Session s(seams.console, seams.clock);
    s.held_images = std::move(images);
    s.running = true;
    s.first_script_command_taken = false;
    print_banner(s);
    choose_port(s, args);
    // The end of the keyboard's input ends the start-up at once: nobody is
    // there to answer, so no port is opened and no script is announced.
    if (!s.input_ended) {
        const bool opened = open_port(s.port, seams.open_serial);
        if (opened) attach_wire_log(s.port, WireLog::from_environment(s.clock));
        if (!opened) {
            print(s, "\n ERREUR PORT SERIE : RELANCER LE PROGRAMME \n");
            s.running = false;
        }
        if (s.running) ask_power_off(s);
    }
    if (!s.input_ended) {
        if (!configure_port(s.port)) s.running = false;
        s.port.read_chunk = READ_CHUNK;
        link_startup(s);
        load_script(s, args);
        pause_seconds(s, waits::LINK_STARTED_S);
        print(s, "\r%75s", "");
    }
    s.highest_block = 0;
    s.block_bound = 0;
    s.payment_loading_mode = PaymentLoading::NONE;
    s.reader_kind = ReaderKind::UNKNOWN;
    s.tla_state = TlaState::FULL;
    const bool started = s.running;
    const bool link_started = !s.input_ended;
    command_loop(s);
    const bool gone = port_gone(s.port);
    if (gone) end_for_gone_port(s);
    if (link_started) link_shutdown(s);
    close_port(s.port);
    if (gone) return 1;
    if (!started) return 2;
    return s.command_failed ? 1 : 0;
}

}  // namespace korva
