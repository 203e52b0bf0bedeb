// Bad input from the keyboard, the command line and the script file: every
// case ends with a clear outcome, nothing is written out of bounds, and the
// session ends cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/reliability/reliability_support.h"

namespace korva::reliability {
namespace {

using korva::testing::TempWorkDir;

const char* const UNKNOWN = "\n COMMANDE> COMMANDE INCONNUE ! ";
const char* const PROMPT = "\n COMMANDE> ";
const char* const INCORRECT = "\n REPONSE > NUMERO DE BLOC INCORRECT";
const char* const REFUSED = "\r           ENTRER VOTRE CODE D'ACCES : ACCES REFUSE";
const char* const BLOCK_PROMPT = "\n           NUMERO DU BLOC : ";
const char* const BOOT_VERSION = "\n           VERSION  : 4.01";
const char* const QUIT = "\r              TAPEZ UNE TOUCHE POUR FERMER LA FENETRE  ";

struct Reader {
    explicit Reader(const std::string& profile = "default,on-hold", sim::FaultKnobs faults = {})
        : reader(profile_of(profile), faults, true) {}
    SessionRun run(const std::vector<std::string>& args, const std::string& keys) {
        SessionRun r = run_guarded(reader, args, keys);
        EXPECT_TRUE(r.tripped.empty()) << r.tripped;
        return r;
    }
    sim::VirtualReader reader;
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// --- long lines, long tokens, many tokens ---------------------------------

TEST(BadInput, OverlongKeyboardLinesAreCutAndNeverOverflow) {
    Reader r;
    const std::string huge(10000, 'a');
    // The first word of a cut line still counts; a word cut at 59
    // characters is just an unknown word.
    const std::string padded = "bootinfo" + std::string(200, ' ') + "trailing words";
    const std::string long_word = "bootinfo" + std::string(300, 'x');
    const SessionRun run = r.run({"3"}, "O" + huge + "\n" + padded + "\n" + long_word + "\nq\n");
    EXPECT_EQ(count(run.output, UNKNOWN), 2u) << run.output;
    EXPECT_EQ(count(run.output, BOOT_VERSION), 1u);
    EXPECT_NE(run.output.find(QUIT), std::string::npos);
    EXPECT_EQ(run.status, 0);
}

TEST(BadInput, OverlongScriptTokensAreUnknownWords) {
    Reader r;
    const SessionRun run =
        r.run({"3", std::string(100, 'z'), "bootinfo" + std::string(80, 'x'), "q"}, "O");
    EXPECT_EQ(count(run.output, UNKNOWN), 2u) << run.output;
    EXPECT_EQ(run.output.find(BOOT_VERSION), std::string::npos);
    EXPECT_NE(run.output.find(QUIT), std::string::npos);
}

TEST(BadInput, MoreThan29ScriptTokensAreAnnouncedAndDropped) {
    Reader r;
    std::vector<std::string> args{"3"};
    for (int i = 0; i < 29; ++i) args.push_back("the_end");
    args.push_back("bootinfo");  // the 30th and 31st are dropped
    args.push_back("q");
    const SessionRun run = r.run(args, "O");
    EXPECT_NE(run.output.find("\n SCRIPT : 2 MOTS IGNORES\n"), std::string::npos) << run.output;
    EXPECT_EQ(count(run.output, "*****  OPERATIONS TERMINEES  *****"), 29u);
    EXPECT_EQ(run.output.find(BOOT_VERSION), std::string::npos);
    // The keyboard takes over, and its end ends the session.
    EXPECT_NE(run.output.find(PROMPT), std::string::npos);
    EXPECT_EQ(run.status, 0);
}

TEST(BadInput, BinaryScriptFileEndsAtItsFirstNul) {
    TempWorkDir dir;
    const std::string bytes(
        "help\xff\xfe  \x01"
        "bootinfo\r\nq\0info q",
        25);
    dir.write_file("liste.dvo", bytes);
    Reader r;
    const SessionRun run = r.run({}, "3O");
    EXPECT_NE(run.output.find("LISTE.DVO PRESENT : MODE AUTO"), std::string::npos);
    // "help\xff\xfe" and "\x01bootinfo..." are words of no command; what
    // follows the NUL is never read.
    EXPECT_EQ(count(run.output, UNKNOWN), 2u) << run.output;
    EXPECT_EQ(run.output.find(BOOT_VERSION), std::string::npos);
    EXPECT_EQ(run.output.find("LISTE DES LOGICIELS"), std::string::npos);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(korva::testing::read_file(dir.path() / "liste.dvo"), bytes);  // left as it was
}

TEST(BadInput, HugeScriptFileOfOneByteIsOneCutToken) {
    TempWorkDir dir;
    dir.write_file("liste.dvo", std::string(200000, '\xff'));
    Reader r;
    const SessionRun run = r.run({}, "3O");
    EXPECT_EQ(count(run.output, UNKNOWN), 1u);
    EXPECT_EQ(run.status, 0);
}

// --- the end of input at every prompt and key wait -------------------------

struct EndCase {
    const char* where;
    std::vector<std::string> args;
    std::string keys;
    const char* last_text;  // the last thing the session printed before its end
    int status;
    bool refuse_signature = false;
};

class EndOfInput : public ::testing::TestWithParam<EndCase> {};

TEST_P(EndOfInput, EndsTheSessionAtOnce) {
    const EndCase& c = GetParam();
    TempWorkDir dir;
    sim::FaultKnobs faults;
    faults.refuse_signature = c.refuse_signature;
    Reader r("default,on-hold", faults);
    const SessionRun run = r.run(c.args, c.keys);
    const std::size_t at = run.output.rfind(c.last_text);
    ASSERT_NE(at, std::string::npos) << run.output;
    // Nothing after it but the line ends that close the command and the
    // session.
    const std::string rest = run.output.substr(at + std::string(c.last_text).size());
    EXPECT_EQ(rest.find_first_not_of('\n'), std::string::npos)
        << "after the prompt: \"" << rest << "\"";
    EXPECT_EQ(run.status, c.status);
}

void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.where;
}

const EndCase END_CASES[] = {
    {"port digit", {}, "", "\r SUR QUEL PORT COM EST CONNECTE VOTRE LECTEUR ( de 1 a 9 ) : ", 2},
    {"power-off question",
     {"3"},
     "",
     "\n\n ETAPE 1 : ETEIGNEZ VOTRE LECTEUR KORVA... Continuer ? ( O / N ): ",
     2},
    {"command prompt", {"3"}, "O", PROMPT, 0},
    {"command prompt after a command", {"3"}, "Obootinfo\n", PROMPT, 0},
    {"charge file name", {"3"}, "Ocharge\n", "\n           NOM DU FICHIER : ", 0},
    {"charge block number", {"3"}, "Ocharge\nclient\n", "\n           NUMERO DE BLOC : ", 0},
    {"efface block number", {"3"}, "Oefface\n", BLOCK_PROMPT, 0},
    {"charge failure banner key",
     {"3", "charge", "client", "2", "q"},
     "O",
     "\n\n TAPEZ SUR UNE TOUCHE POUR TERMINER LE PROGRAMME",
     1,
     true},
    {"TLA key wait",
     {"3", "charge", "ORBEX_112", "5", "q"},
     "O",
     "\r                                                 ",
     0},
    {"q", {"3", "q"}, "O", "\r                                                       ", 0},
};

INSTANTIATE_TEST_SUITE_P(Everywhere, EndOfInput, ::testing::ValuesIn(END_CASES));

TEST(BadInput, EndOfInputAtTheTlaKeyLeavesTheReaderAsItWas) {
    Reader r;
    r.run({"3", "charge", "ORBEX_112", "5", "q"}, "O");
    ASSERT_NE(r.reader.software(5), nullptr);                  // its TLA is still installed
    EXPECT_TRUE(r.reader.pss_frames_received().size() >= 1u);  // it was found
    for (const sim::PssFrame& f : r.reader.pss_frames_received()) {
        EXPECT_NE(f.control, 0x40) << "a removal frame went out with nobody at the keyboard";
    }
}

// --- block numbers ---------------------------------------------------------

// What efface must say about a one-character block number c, worked out
// independently: c - 48 in 8 bits, doubled in 8 bits; a blank or a NUL
// leaves no word, which counts as 100.
std::string expected_efface(unsigned char c) {
    const bool no_word =
        c == 0 || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    const uint8_t value = no_word ? 100 : static_cast<uint8_t>(c - 48);
    const uint8_t code = static_cast<uint8_t>(2 * value);
    if (code >= 31) return INCORRECT;
    if (code == 2) return REFUSED;
    return "\n REPONSE > BLOC [" + std::to_string(code / 2) + "] LIBRE ";
}

TEST(BadInput, EveryByteAsAOneCharacterBlockNumber) {
    Reader r;
    std::string keys = "O";
    for (int c = 0; c < 256; ++c) {
        keys += "efface\n";
        keys += static_cast<char>(c);
        // A line end typed as the block number ends that line; a CR LF pair
        // is one line end.
        if (c != '\n' && c != '\r') keys += "\n";
        if (c == '\r') keys += "\n";
    }
    keys += "q\n";
    const SessionRun run = r.run({"3"}, keys);
    // One answer per efface, in order, right after its prompt.
    std::size_t at = 0;
    for (int c = 0; c < 256; ++c) {
        at = run.output.find(BLOCK_PROMPT, at);
        ASSERT_NE(at, std::string::npos) << "efface " << c << " never asked";
        at += std::string(BLOCK_PROMPT).size();
        const std::string expected = expected_efface(static_cast<unsigned char>(c));
        EXPECT_EQ(run.output.compare(at, expected.size(), expected), 0)
            << "byte " << c << ": " << run.output.substr(at, 60);
    }
    EXPECT_NE(run.output.find(QUIT), std::string::npos);
    // Blocks 0 and 2 to 15 were erased by their digits ('0', '2'..'?');
    // block 1 never was.
    EXPECT_EQ(r.reader.software(0), nullptr);
    EXPECT_EQ(r.reader.software(7), nullptr);
}

TEST(BadInput, BlockNumbersOfEveryLength) {
    struct Case {
        const char* typed;
        const char* answer;
    };
    const Case cases[] = {
        {"", INCORRECT},                          // no word: 100
        {"   ", INCORRECT},                       // blanks only
        {"4", "\n REPONSE > BLOC [4] LIBRE "},    // one character
        {"15", "\n REPONSE > BLOC [15] LIBRE "},  // two, the highest block
        {"16", INCORRECT},                        // two, above it
        {"ab", INCORRECT},                        // (49 x 10 + 50) mod 256 = 28, block code 56
        {"0:", "\n REPONSE > BLOC [10] LIBRE "},  // 0 x 10 + 10
        {"1", REFUSED},                           // the identity block
        {"100", INCORRECT},                       // three characters: 100
        {"007", INCORRECT},                       // three, whatever they are
        {"4 9", "\n REPONSE > BLOC [4] LIBRE "},  // the first word only
    };
    std::string keys = "O";
    for (const Case& c : cases) keys += std::string("efface\n") + c.typed + "\n";
    keys += "q\n";
    Reader r;
    const SessionRun run = r.run({"3"}, keys);
    std::size_t at = 0;
    for (const Case& c : cases) {
        at = run.output.find(BLOCK_PROMPT, at);
        ASSERT_NE(at, std::string::npos);
        at += std::string(BLOCK_PROMPT).size();
        EXPECT_EQ(run.output.compare(at, std::string(c.answer).size(), c.answer), 0)
            << "typed \"" << c.typed << "\": " << run.output.substr(at, 60);
    }
}

TEST(BadInput, ChargeBlockNumbersOutOfRangeAreRefusedBeforeAnyRequest) {
    Reader r;
    const SessionRun run =
        r.run({"3"}, "Ocharge\nclient\n100\ncharge\nclient\n\ncharge\nclient\n1\nq\n");
    EXPECT_EQ(count(run.output, "\n REPONSE > NUMERO DE BLOC INCORRECT \n"), 2u) << run.output;
    EXPECT_NE(run.output.find("\r        ERREUR FICHIER PARAMETRES        "), std::string::npos);
    // Nothing was erased or downloaded.
    for (const auto& frame : r.reader.frames_received()) {
        EXPECT_NE(frame.code, CODE_ERASE);
        EXPECT_NE(frame.code, CODE_DOWNLOAD);
    }
}

// --- files that cannot be written -------------------------------------------

TEST(BadInput, TraceFileThatIsADirectory) {
    TempWorkDir dir;
    std::filesystem::create_directory(dir.parent() / "trace.xls");
    Reader r;
    const SessionRun run = r.run({"3", "trace", "q"}, "O");
    EXPECT_NE(run.output.find("\n           ERREUR FICHIER"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("FICHIER TRACE OK"), std::string::npos);
    EXPECT_EQ(run.status, 1);
    // Nothing went to the reader but the boot probe.
    EXPECT_EQ(r.reader.frames_received().size(), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(dir.parent() / "trace.xls"));
}

}  // namespace
}  // namespace korva::reliability
