// The command loop: words from the script and the keyboard, the pauses
// between script commands, the limits of lines and of the script, and the
// simple commands q, help, the_end and effacetout.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/console/console_texts.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

// A session on COM3 whose power-off question is answered 'o', then keys.
std::string run_commands(const std::vector<std::string>& script, const std::string& keys,
                         int* status = nullptr) {
    ScriptedPeer peer;
    SessionHarness h(peer, "o" + keys);
    std::vector<std::string> args{"3"};
    args.insert(args.end(), script.begin(), script.end());
    const int result = h.run(args);
    if (status) *status = result;
    return after_startup(h.console.output());
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

TEST(CommandLoop, KeywordsAreCaseSensitive) {
    EXPECT_EQ(run_commands({"INFO", "Help"}, ""),
              UNKNOWN_COMMAND + UNKNOWN_COMMAND + COMMAND_PROMPT + "\n");
}

TEST(CommandLoop, OnlyTheFirstWordOfALineCounts) {
    EXPECT_EQ(run_commands({}, "help 3\n \thelp\n"),
              COMMAND_PROMPT + HELP_TEXT + COMMAND_PROMPT + HELP_TEXT + COMMAND_PROMPT + "\n");
}

TEST(CommandLoop, BlankLinesAreIgnored) {
    // An empty line, blanks only, and an empty CR LF line.
    EXPECT_EQ(run_commands({}, "\n   \n\r\nthe_end\n"),
              repeat(COMMAND_PROMPT, 4) + THE_END_TEXT + COMMAND_PROMPT + "\n");
}

TEST(CommandLoop, ScriptCommandsButTheFirstWaitTwoSeconds) {
    ScriptedPeer peer;
    SessionHarness h(peer, "o");
    h.run({"3", "help", "help", "effacetout"});
    const int64_t blanked = h.console.printed_at(STARTUP_BLANK);
    const int64_t first = h.console.printed_at("LISTE DES COMMANDES");
    const int64_t second = h.console.printed_at("LISTE DES COMMANDES", 1);
    const int64_t third = h.console.printed_at("ACCES REFUSE");
    ASSERT_GE(third, 0);
    // The boot probe (when it has to wait for the reader) runs before the
    // first command; without it the first command follows start-up at once.
    const int64_t probe = h.console.printed_at(PROBE_FAILED);
    if (probe < 0) {
        EXPECT_EQ(first, blanked);
    } else {
        EXPECT_LT(first - probe, 2001);  // the probe's own 1-2 s pause only
    }
    EXPECT_GT(second - first, 2000);
    EXPECT_LE(second - first, 3000);
    EXPECT_GT(third - second, 2000);
    EXPECT_LE(third - second, 3000);
}

TEST(CommandLoop, KeyboardCommandsDoNotWait) {
    ScriptedPeer peer;
    SessionHarness h(peer, "ohelp\nhelp\n");
    h.run({"3", "the_end"});
    EXPECT_EQ(h.console.printed_at("LISTE DES COMMANDES"),
              h.console.printed_at("LISTE DES COMMANDES", 1));
}

TEST(CommandLoop, EndOfInputAtThePromptEndsTheSession) {
    int status = -1;
    EXPECT_EQ(run_commands({"help"}, "the_end"),
              HELP_TEXT + COMMAND_PROMPT + THE_END_TEXT + COMMAND_PROMPT + "\n");
    run_commands({}, "", &status);
    EXPECT_EQ(status, 0);
}

TEST(CommandLoop, KeyboardLinesAreCutTo59Characters) {
    // 55 blanks and "help" fit; 59 blanks and "help" leave only blanks.
    const std::string fits = std::string(55, ' ') + "help\n";
    const std::string cut = std::string(59, ' ') + "help\n";
    EXPECT_EQ(run_commands({}, fits + cut),
              COMMAND_PROMPT + HELP_TEXT + COMMAND_PROMPT + COMMAND_PROMPT + "\n");
}

TEST(CommandLoop, ScriptTokensAreCutTo59Characters) {
    // Tabs do not separate script tokens, but they do separate words.
    const std::string fits = std::string(55, '\t') + "help";
    const std::string cut = std::string(57, '\t') + "help";  // becomes 57 tabs and "he"
    EXPECT_EQ(run_commands({fits, cut}, ""), HELP_TEXT + UNKNOWN_COMMAND + COMMAND_PROMPT + "\n");
}

// A script of the_end tokens, from the arguments or from the script file:
// 29 are kept, the rest announced and dropped.
TEST(CommandLoop, AtMost29ScriptTokensAreKept) {
    struct Row {
        bool from_file;
        int tokens;
        std::string announced;  // "" when nothing is announced
    };
    const Row rows[] = {
        {false, 31, BATCH_MODE + "\n SCRIPT : 2 MOTS IGNORES\n" + STARTUP_BLANK},
        {true, 30, FILE_MODE + "\n SCRIPT : 1 MOTS IGNORES\n" + STARTUP_BLANK},
        {false, 29, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tokens);
        TempWorkDir dir;
        std::vector<std::string> args;
        if (row.from_file) {
            dir.write_file("liste.dvo", repeat("the_end ", row.tokens));
        } else {
            args.push_back("3");
            for (int i = 0; i < row.tokens; ++i) args.push_back("the_end");
        }
        ScriptedPeer peer;
        SessionHarness h(peer, row.from_file ? "3o" : "o");
        h.run(args);
        const std::string& out = h.console.output();
        if (row.announced.empty()) {
            EXPECT_EQ(out.find("SCRIPT :"), std::string::npos);
        } else {
            EXPECT_NE(out.find(row.announced), std::string::npos);
        }
        EXPECT_EQ(after_startup(out), repeat(THE_END_TEXT, 29) + COMMAND_PROMPT + "\n");
    }
}

TEST(SimpleCommands, HelpPrintsElevenLinesAndALineEnd) {
    const std::string out = run_commands({"help"}, "");
    ASSERT_EQ(out, HELP_TEXT + COMMAND_PROMPT + "\n");
    EXPECT_EQ(std::count(HELP_TEXT.begin(), HELP_TEXT.end(), '\n'), 12);
}

TEST(SimpleCommands, TheEndPrintsItsThreeLines) {
    EXPECT_EQ(run_commands({"the_end"}, ""), THE_END_TEXT + COMMAND_PROMPT + "\n");
}

TEST(SimpleCommands, EffacetoutIsRefused) {
    EXPECT_EQ(run_commands({"effacetout"}, ""), ACCESS_REFUSED + "\n" + COMMAND_PROMPT + "\n");
}

TEST(SimpleCommands, QuitWithAKeyAlreadyPressedBlinksOnce) {
    ScriptedPeer peer;
    SessionHarness h(peer, "oxhelp\n");
    int status = h.run({"3", "q", "help"});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(after_startup(h.console.output()), QUIT_MESSAGE + QUIT_BLANK);
    // The key was consumed; the rest of the input and the script were not.
    EXPECT_FALSE(h.console.input_consumed());
    const int64_t shown = h.console.printed_at(QUIT_MESSAGE);
    const int64_t blanked = h.console.printed_at(QUIT_BLANK, 2);  // after two start-up blanks
    EXPECT_EQ(blanked - shown, 300);
}

TEST(SimpleCommands, QuitBlinksUntilAKeyIsPressed) {
    // The key comes after two looks, or a second after the first look.
    for (const bool by_time : {false, true}) {
        ScriptedPeer peer;
        SessionHarness h(peer, "o");
        if (by_time) {
            h.console.type_after(1000, "x");
        } else {
            h.console.type("x");
            h.console.hold_keys(2);
        }
        h.run({"3", "q"});
        EXPECT_EQ(after_startup(h.console.output()), repeat(QUIT_MESSAGE + QUIT_BLANK, 3));
        EXPECT_TRUE(h.console.input_consumed());
        EXPECT_EQ(h.console.printed_at(QUIT_MESSAGE, 2) - h.console.printed_at(QUIT_MESSAGE), 1200);
    }
}

TEST(SimpleCommands, QuitAtTheEndOfInputDoesNotWaitForAKey) {
    EXPECT_EQ(run_commands({"q"}, ""), QUIT_MESSAGE + QUIT_BLANK + "\n");
}

}  // namespace
}  // namespace korva::testing
