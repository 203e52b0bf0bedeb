// The fault matrix: every command that talks to the reader, against every
// fault the virtual reader can play, on the virtual clock. One row per
// fault x command with the outcome it must have: the key console line, the
// exit status, and what became of the reader. The same rows make the table
// of docs/RELIABILITY.md; a test keeps the two in step.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tests/reliability/fault_matrix_commands.h"
#include "tests/reliability/reliability_support.h"

namespace korva::reliability {
namespace {

using sim::FaultKnobs;
using sim::ReaderMode;
using sim::VirtualReader;

// --- the faults -----------------------------------------------------------

// Where a line fault hits: the command's first answer frame.
enum class Aim { NONE, FIRST_ANSWER };

struct Fault {
    const char* name;
    std::function<void(FaultKnobs&, std::size_t frame_no, std::size_t first_byte)> knobs;
    Aim aim = Aim::FIRST_ANSWER;
    GuardedLine::Cut cut = GuardedLine::Cut::NONE;  // after the first answer
};

const Fault FAULTS[] = {
    {"corrupt-check (1st answer)",
     [](FaultKnobs& k, std::size_t frame, std::size_t) { k.corrupt_check = frame; }},
    {"drop (1st byte of 1st answer)",
     [](FaultKnobs& k, std::size_t, std::size_t byte) { k.drop = byte; }},
    {"duplicate (6th byte of 1st answer)",
     [](FaultKnobs& k, std::size_t, std::size_t byte) { k.duplicate = byte + 5; }},
    {"noise (before every frame)", [](FaultKnobs& k, std::size_t, std::size_t) { k.noise = true; },
     Aim::NONE},
    {"silent (after the 1st answer)", [](FaultKnobs&, std::size_t, std::size_t) {},
     Aim::FIRST_ANSWER, GuardedLine::Cut::SILENCE},
    {"unplugged (after the 1st answer)", [](FaultKnobs&, std::size_t, std::size_t) {},
     Aim::FIRST_ANSWER, GuardedLine::Cut::UNPLUG},
    {"unprompted 0xFA report after every answer",
     [](FaultKnobs& k, std::size_t, std::size_t) { k.report_fa = true; }, Aim::NONE},
    {"silent-after=5 (download packets)",
     [](FaultKnobs& k, std::size_t, std::size_t) { k.silent_after = 5; }, Aim::NONE},
    {"refuse-packet=3", [](FaultKnobs& k, std::size_t, std::size_t) { k.refuse_packet = 3; },
     Aim::NONE},
    {"wrong-checksum", [](FaultKnobs& k, std::size_t, std::size_t) { k.wrong_checksum = true; },
     Aim::NONE},
    {"refuse-signature", [](FaultKnobs& k, std::size_t, std::size_t) { k.refuse_signature = true; },
     Aim::NONE},
    {"unplug-after=5 (download packets)",
     [](FaultKnobs& k, std::size_t, std::size_t) { k.unplug_after = 5; }, Aim::NONE},
    {"restart-after=5 (download packets)",
     [](FaultKnobs& k, std::size_t, std::size_t) { k.restart_after = 5; }, Aim::NONE},
    {"poll-status=0x92 (user refuses)",
     [](FaultKnobs& k, std::size_t, std::size_t) { k.poll_status = 0x92; }, Aim::NONE},
    {"poll-status=0x94 (FSE present)",
     [](FaultKnobs& k, std::size_t, std::size_t) { k.poll_status = 0x94; }, Aim::NONE},
    {"poll-other=2 (then accepts)",
     [](FaultKnobs& k, std::size_t, std::size_t) { k.poll_other = 2; }, Aim::NONE},
};

const Fault& fault(const std::string& name) {
    for (const Fault& f : FAULTS) {
        if (name == f.name) return f;
    }
    ADD_FAILURE() << "no fault " << name;
    return FAULTS[0];
}

// --- outcomes -------------------------------------------------------------

// What became of the reader, in a few words.
std::string reader_state(const VirtualReader& r, const Command& c) {
    std::string state;
    switch (r.mode()) {
        case ReaderMode::Off:
            state = "off";
            break;
        case ReaderMode::Booting:
            state = "restarting";
            break;
        case ReaderMode::Boot:
            state = r.on_hold() ? "on hold" : "boot";
            break;
        case ReaderMode::Tla:
            state = "TLA running";
            break;
    }
    state += " " + std::to_string(r.line_baud());
    const std::string name = c.name;
    auto block = [&](uint8_t n) {
        state += ", block " + std::to_string(n) + (r.software(n) ? " installed" : " empty");
    };
    if (name == "efface") block(4);
    if (name == "charge") block(2);
    if (name == "charge 5" || name == "sup_tla") block(5);
    if (name == "cb" && r.payment_loading()) state += ", payment loading";
    return state;
}

struct Row;
void PrintTo(const Row& row, std::ostream* os);

struct Row {
    const char* fault;
    const char* command;
    std::vector<const char*> lines;  // console texts the session must show, in order
    int status;
    const char* reader;                    // reader_state() at the end
    std::vector<const char*> absent = {};  // texts it must not show
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.fault << " x " << row.command;
}

// Key console texts.
const char* const ECHEC_COMMANDE = "\n REPONSE > ECHEC COMMANDE ";
const char* const ECHEC_BOOT = "\n REPONSE > Echec Commande ";
const char* const NO_READER_V1 = "\r REPONSE > PAS DE REPONSE LECTEUR\n ";
const char* const NO_READER_V2 = "\r REPONSE > PAS DE REPONSE LECTEUR \n";
const char* const V2_OK = "\r REPONSE > VITESSE PORT SERIE 19200 BAUDS OK                     \n";
const char* const V1_OK = "\r REPONSE > VITESSE PORT SERIE 9600 BAUDS OK                     \n";
const char* const BOOT_VERSION = "\n           VERSION  : 4.01";
const char* const SERIAL = "\n REPONSE > NUMERO DE SERIE : KV2-0712-";
const char* const SERIAL_BLANK = "\n REPONSE > NUMERO DE SERIE :          \n";
const char* const TRACE_OK = "\n           MISE A JOUR FICHIER TRACE OK";
const char* const BLOC_LIBRE = "\n REPONSE > BLOC [4] LIBRE ";
const char* const RESET = "\n           RESET LECTEUR EN COURS... ";
const char* const NO_ANSWER_NO = "\n REPONSE > PAS DE REPONSE LECTEUR ";
const char* const EN_ATTENTE = "\r REPONSE > LECTEUR EN ATTENTE                         \n";
const char* const INDISPONIBLE = "\r REPONSE > LECTEUR INDISPONIBLE                       ";
const char* const VERSION_140 = "\r            VOTRE LECTEUR EST EN VERSION 1.40";
const char* const INSTALLED_2 = "\n           LOGICIEL INSTALLE : BLOC[2]";
const char* const INSTALLED_5 = "\n           LOGICIEL INSTALLE : BLOC[5]";
const char* const CHARGE_ERROR = "\n           ERREUR CHARGEMENT";
const char* const BANNER = "\n                      *****   !  ECHEC DU CHARGEMENT !   *****";
const char* const KEY_TO_END = "\n\n TAPEZ SUR UNE TOUCHE POUR TERMINER LE PROGRAMME";
const char* const DONE = "\n           CHARGEMENT TERMINE";
const char* const SIGNATURE_ERROR = "\n           ERREUR SIGNATURE LOGICIELLE";
const char* const PSS_ABSENT = "\r           COMMANDES PSS NON DISPONIBLE ou TLA ABSENT";
const char* const SUP_TLA_HOLD = "\r           LECTEUR EN ATTENTE ";
const char* const CB_HOLD = "\r           LECTEUR EN ATTENTE               ";
const char* const CB_NO_START = "\r           PAS DE REPONSE LECTEUR                ";
const char* const SUP_TLA_NO_START = "\r           PAS DE REPONSE LECTEUR ";
const char* const CHECK_START = "\n           VERIFICATION LECTEUR EN COURS...";
const char* const INFO_BLOCK_0 = "\n           BLOC[0]  : EDITEUR  : KORVA SYSTEMES";
const char* const INFO_BLOCK_7 = "\n           BLOC[7]  : EDITEUR  : GIE CB";
const char* const REFUS = "\r           ERREUR REFUS UTILISATEUR";
const char* const FSE = "\r           ERREUR FSE PRESENTE !";
const char* const CHARGE_REFUS = "\r REPONSE > ERREUR REFUS UTILISATEUR";
const char* const CHARGE_FSE = "\r REPONSE > ERREUR FSE PRESENTE !";
const char* const CONNECTED = "CONNEXION LECTEUR OK";

#include "tests/reliability/fault_matrix_rows.inc"

// --- running a row --------------------------------------------------------

struct Result {
    SessionRun run;
    std::string reader;
};

// The fault-free run of a command: where its frames lie.
const std::vector<FrameSpan>& calibration(const Command& c) {
    static std::map<std::string, std::vector<FrameSpan>> done;
    auto it = done.find(c.name);
    if (it != done.end()) return it->second;
    korva::testing::TempWorkDir dir;
    VirtualReader reader(profile_of(c.profile), FaultKnobs{}, true);
    const SessionRun run = run_guarded(reader, c.args, c.keys);
    EXPECT_TRUE(run.tripped.empty()) << c.name << ": " << run.tripped;
    return done[c.name] = frame_map(run.received);
}

Result run_row(const Fault& f, const Command& c) {
    const std::vector<FrameSpan>& frames = calibration(c);
    std::size_t frame_no = 0, first_byte = 0, end_byte = 0;
    if (f.aim == Aim::FIRST_ANSWER) {
        EXPECT_GT(frames.size(), c.frames_before) << c.name;
        if (frames.size() > c.frames_before) {
            const FrameSpan& answer = frames[c.frames_before];
            frame_no = c.frames_before + 1;
            first_byte = answer.start + 1;
            end_byte = answer.end;
        }
    }
    FaultKnobs knobs;
    f.knobs(knobs, frame_no, first_byte);
    korva::testing::TempWorkDir dir;
    VirtualReader reader(profile_of(c.profile), knobs, true);
    Result result;
    result.run = run_guarded(reader, c.args, c.keys, end_byte, f.cut);
    result.reader = reader_state(reader, c);
    return result;
}

// True when every text appears in output, in this order.
bool in_order(const std::string& output, const std::vector<const char*>& lines,
              std::string& missing) {
    std::size_t at = 0;
    for (const char* line : lines) {
        const std::size_t found = output.find(line, at);
        if (found == std::string::npos) {
            missing = line;
            return false;
        }
        at = found + std::string(line).size();
    }
    return true;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, EndsWithItsOutcome) {
    const Row& row = GetParam();
    const Result r = run_row(fault(row.fault), command(row.command));
    ASSERT_TRUE(r.run.tripped.empty()) << r.run.tripped << "\n" << r.run.output;
    std::string missing;
    EXPECT_TRUE(in_order(r.run.output, row.lines, missing))
        << "missing or out of order: \"" << missing << "\"\n"
        << r.run.output;
    for (const char* text : row.absent) {
        EXPECT_EQ(r.run.output.find(text), std::string::npos) << "unexpected: " << text;
    }
    EXPECT_EQ(r.run.status, row.status);
    EXPECT_EQ(r.reader, row.reader);
}

std::string row_name(const ::testing::TestParamInfo<Row>& info) {
    std::string name = std::to_string(info.index) + "_" + info.param.command;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(ROWS), row_name);

// --- the table of docs/RELIABILITY.md -------------------------------------

// A console text as the table shows it: without its leading and trailing
// line ends and blanks; the prompts and the banner by name.
std::string shown(const char* text) {
    if (text == QUIT) return "quit prompt";
    if (text == KEY_TO_END) return "key prompt";
    if (text == BANNER) return "failure banner";
    if (text == PORT_ERROR) return "port error";
    std::string out(text);
    const auto first = out.find_first_not_of("\r\n ");
    const auto last = out.find_last_not_of("\r\n ");
    out = first == std::string::npos ? "" : out.substr(first, last - first + 1);
    std::string escaped;
    for (char c : out) {
        if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '|') {
            escaped += "\\|";
        } else {
            escaped += c;
        }
    }
    return "`" + escaped + "`";
}

std::string markdown_table() {
    std::ostringstream t;
    t << "| Fault | Command | Key console lines | Exit | Reader afterwards |\n";
    t << "|---|---|---|---|---|\n";
    for (const Row& row : ROWS) {
        t << "| " << row.fault << " | " << row.command << " | ";
        for (std::size_t i = 0; i < row.lines.size(); ++i) {
            t << (i ? ", " : "") << shown(row.lines[i]);
        }
        t << " | " << row.status << " | " << row.reader << " |\n";
    }
    return t.str();
}

std::filesystem::path reliability_doc() {
    return std::filesystem::path(KORVA_SOURCE_DIR) / "docs" / "RELIABILITY.md";
}

// The table in the document is the table of these rows. With
// KORVA_WRITE_FAULT_TABLE set, the test writes the table to that file
// instead (to paste between the markers).
TEST(FaultMatrixTable, DocumentShowsTheseRows) {
    const std::string table = markdown_table();
    if (const char* out = std::getenv("KORVA_WRITE_FAULT_TABLE")) {
        std::ofstream(out) << table;
        GTEST_SKIP() << "table written to " << out;
    }
    const std::string doc = korva::testing::read_file(reliability_doc());
    const std::string begin = "<!-- fault table: begin -->\n";
    const auto from = doc.find(begin);
    const auto to = doc.find("<!-- fault table: end -->");
    ASSERT_NE(from, std::string::npos) << reliability_doc();
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(doc.substr(from + begin.size(), to - from - begin.size()), table)
        << "regenerate with KORVA_WRITE_FAULT_TABLE=/tmp/table.md";
}

}  // namespace
}  // namespace korva::reliability
