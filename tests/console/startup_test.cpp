// Start-up: the port digit, the port, the power-off question, the three
// script sources and the end of the keyboard's input at each question.
#include <gtest/gtest.h>

#include "console/run_session.h"
#include "tests/console/console_texts.h"
#include "tests/support/session_harness.h"

namespace korva::testing {
namespace {

TEST(Startup, UnknownPortDigitReadsNoCommand) {
    ScriptedPeer peer;
    SessionHarness h(peer, "ohelp\n");
    const int status = h.run({"x"});
    EXPECT_EQ(h.console.output(), BANNER + UNKNOWN_PORT + BATCH_MODE + STARTUP_BLANK);
    // The unchanged name is still opened, configured and closed.
    ASSERT_EQ(h.opened_names.size(), 1u);
    EXPECT_EQ(h.opened_names[0], "COM2");
    EXPECT_EQ(status, 2);
    EXPECT_FALSE(h.console.input_consumed());  // no question was asked
}

TEST(Startup, UnknownDigitTypedAtThePrompt) {
    TempWorkDir dir;
    ScriptedPeer peer;
    SessionHarness h(peer, "0");
    EXPECT_EQ(h.run({}), 2);
    EXPECT_EQ(h.console.output(), BANNER + PORT_PROMPT + "0" + UNKNOWN_PORT + STARTUP_BLANK);
    EXPECT_EQ(h.opened_names, std::vector<std::string>{"COM2"});
}

TEST(Startup, WithoutScriptFileTheBuiltInScriptRunsWithoutModeLine) {
    TempWorkDir dir;
    ScriptedPeer peer;
    SessionHarness h(peer, "3o");
    h.run({});
    const std::string& out = h.console.output();
    const std::string start = BANNER + PORT_PROMPT + "3" + POWER_OFF_QUESTION + "o" + STARTUP_BLANK;
    EXPECT_EQ(out.substr(0, start.size()), start);
    EXPECT_EQ(out.find("MODE AUTO"), std::string::npos);
    EXPECT_EQ(h.opened_names, std::vector<std::string>{"COM3"});
}

// A script file, liste.dvo, in the working directory and no arguments.
struct ScriptFileCase {
    const char* what;
    std::string content;
    const char* keys;
    std::string after_startup;  // the whole console text after start-up
};

void PrintTo(const ScriptFileCase& c, std::ostream* os) {
    *os << c.what;
}

const ScriptFileCase SCRIPT_FILE_CASES[] = {
    {"tokens are separated by spaces only", "help  q", "3ok",
     PROBE_FAILED + HELP_TEXT + QUIT_MESSAGE + QUIT_BLANK},  // q takes the key
    {"an empty file goes to the keyboard", "", "3o", COMMAND_PROMPT + "\n"},
    // One token "help\nthe_end\n": its first word runs, the rest is ignored.
    {"line ends stay inside tokens", "help\nthe_end\n", "3o",
     PROBE_FAILED + HELP_TEXT + COMMAND_PROMPT + "\n"},
    {"the file ends at its first NUL", std::string("help\0 the_end", 13), "3o",
     PROBE_FAILED + HELP_TEXT + COMMAND_PROMPT + "\n"},
};

class ScriptFile : public ::testing::TestWithParam<ScriptFileCase> {};

TEST_P(ScriptFile, RunsItsTokens) {
    const ScriptFileCase& c = GetParam();
    TempWorkDir dir;
    dir.write_file("liste.dvo", c.content);
    ScriptedPeer peer;
    SessionHarness h(peer, c.keys);
    EXPECT_EQ(h.run({}), 0);
    const std::string start =
        BANNER + PORT_PROMPT + "3" + POWER_OFF_QUESTION + "o" + FILE_MODE + STARTUP_BLANK;
    EXPECT_EQ(h.console.output().substr(0, start.size()), start);
    EXPECT_EQ(h.console.output().substr(start.size()), c.after_startup);
    EXPECT_TRUE(h.console.input_consumed());
}

INSTANTIATE_TEST_SUITE_P(Rows, ScriptFile, ::testing::ValuesIn(SCRIPT_FILE_CASES));

TEST(Startup, ScriptTextIsCutIntoTokensAtSpaces) {
    using Tokens = std::vector<std::string>;
    const std::pair<std::string, Tokens> rows[] = {
        {"", {}},
        {"   ", {}},
        {"help", {"help"}},
        {"  charge  superviseur 2 ", {"charge", "superviseur", "2"}},
        {"a\tb\r\nc d", {"a\tb\r\nc", "d"}},  // only the space separates
        {std::string("v1 v2\0 q", 8), {"v1", "v2"}},
        {std::string("\0help", 5), {}},
    };
    for (const auto& [text, tokens] : rows) EXPECT_EQ(tokenise(text), tokens) << text;
}

TEST(Startup, PortDigitAloneAnnouncesBatchModeAndReadsTheKeyboard) {
    TempWorkDir dir;
    dir.write_file("liste.dvo", "the_end");  // not read: arguments were given
    ScriptedPeer peer;
    SessionHarness h(peer, "ohelp\nq\nk");
    EXPECT_EQ(h.run({"3"}), 0);
    EXPECT_EQ(h.console.output().substr(0, BANNER.size() + POWER_OFF_QUESTION.size() + 1),
              BANNER + POWER_OFF_QUESTION + "o");
    EXPECT_NE(h.console.output().find("o" + BATCH_MODE + STARTUP_BLANK), std::string::npos);
    EXPECT_EQ(after_startup(h.console.output()),
              COMMAND_PROMPT + HELP_TEXT + COMMAND_PROMPT + QUIT_MESSAGE + QUIT_BLANK);
    EXPECT_EQ(h.opened_names, std::vector<std::string>{"COM3"});
    EXPECT_TRUE(h.console.input_consumed());
}

TEST(Startup, OnlyTheFirstCharacterOfTheFirstArgumentCounts) {
    ScriptedPeer peer;
    SessionHarness h(peer, "o");
    h.run({"71"});
    EXPECT_EQ(h.opened_names, std::vector<std::string>{"COM7"});
}

TEST(Startup, PowerOffQuestionAnsweredNoReadsNoCommand) {
    ScriptedPeer peer;
    SessionHarness h(peer, "nhelp\n");
    EXPECT_EQ(h.run({"3"}), 2);
    EXPECT_EQ(h.console.output(), BANNER + POWER_OFF_QUESTION + "n" + BATCH_MODE + STARTUP_BLANK);
    EXPECT_FALSE(h.console.input_consumed());
}

TEST(Startup, CapitalOIsYes) {
    ScriptedPeer peer;
    SessionHarness h(peer, "O");
    EXPECT_EQ(h.run({"3", "the_end"}), 0);
    EXPECT_EQ(after_startup(h.console.output()), THE_END_TEXT + COMMAND_PROMPT + "\n");
}

TEST(Startup, PortThatCannotBeOpenedReadsNoCommand) {
    ScriptedPeer peer;
    SessionHarness h(peer, "ohelp\n");
    h.refuse_open = true;
    EXPECT_EQ(h.run({"4", "help"}), 2);
    EXPECT_EQ(h.console.output(), BANNER + PORT_ERROR + BATCH_MODE + STARTUP_BLANK);
    EXPECT_EQ(h.opened_names, std::vector<std::string>{"COM4"});
    EXPECT_FALSE(h.console.input_consumed());  // the power-off question was not asked
}

TEST(Startup, PortRefusingItsLineFormatReadsNoCommand) {
    ScriptedPeer peer;
    SessionHarness h(peer, "ohelp\n");
    SimSerialDevice* device = nullptr;
    const Seams base = h.seams();
    Seams seams{base.console, base.clock, [&](const std::string& name) {
                    auto dev = base.open_serial(name);
                    device = static_cast<SimSerialDevice*>(dev.get());
                    device->refuse_settings(true);
                    return dev;
                }};
    EXPECT_EQ(run_session({"3"}, seams), 2);
    ASSERT_NE(device, nullptr);
    // The question was answered; no command prompt came.
    EXPECT_EQ(after_startup(h.console.output()), "");
}

TEST(Startup, EndOfInputAtThePortPromptEndsAtOnce) {
    TempWorkDir dir;
    ScriptedPeer peer;
    SessionHarness h(peer, "");
    const int64_t start = h.clock.calendar_ms();
    EXPECT_EQ(h.run({}), 2);
    EXPECT_EQ(h.console.output(), BANNER + PORT_PROMPT + "\n");
    EXPECT_TRUE(h.opened_names.empty());
    EXPECT_EQ(h.clock.calendar_ms(), start);  // no pause, no wait
}

TEST(Startup, EndOfInputAtThePowerOffQuestionEndsAtOnce) {
    ScriptedPeer peer;
    SessionHarness h(peer, "");
    EXPECT_EQ(h.run({"3", "help"}), 2);
    EXPECT_EQ(h.console.output(), BANNER + POWER_OFF_QUESTION + "\n");
    EXPECT_EQ(h.opened_names, std::vector<std::string>{"COM3"});
}

TEST(Startup, StartUpPausesOneToTwoSecondsBeforeBlanking) {
    ScriptedPeer peer;
    SessionHarness h(peer, "o");
    h.clock.sleep_ms(400);  // not on a whole second
    h.run({"3"});
    const int64_t announced = h.console.printed_at("MODE AUTO");
    const int64_t blanked = h.console.printed_at(STARTUP_BLANK);
    ASSERT_GE(announced, 0);
    EXPECT_GE(blanked - announced, 1000);
    EXPECT_LE(blanked - announced, 2000);
}

}  // namespace
}  // namespace korva::testing
