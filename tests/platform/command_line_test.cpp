#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace korva {
namespace {

using V = OptionVerdict;
const auto AFTER = Operands::AFTER_OPTIONS;

struct Case {
    std::vector<std::string> args;
    Operands operands;
    std::string log;  // what the actions were called with
    V end;
    std::string argument;
    std::size_t first_operand;
};

const Case CASES[] = {
    {{"-f", "--flag", "3", "-f"}, AFTER, "flag flag ", V::TAKEN, "", 2},
    {{"--joined", "x"}, AFTER, "joined ", V::TAKEN, "", 1},
    {{"--joined=", "--joined=x"}, AFTER, "joined= joined=x ", V::TAKEN, "", 2},
    {{"--next", "-f", "--next"}, AFTER, "next=-f next ", V::TAKEN, "", 3},
    {{"--maybe", "d", "--maybe", "-f"}, AFTER, "maybe=d maybe flag ", V::TAKEN, "", 4},
    {{"--maybe", "", "3"}, AFTER, "maybe ", V::TAKEN, "", 1},
    {{"--", "-f"}, AFTER, "", V::TAKEN, "", 1},
    {{"-f", "", "-f"}, AFTER, "flag ", V::TAKEN, "", 1},
    {{"--flag=x", "-f"}, AFTER, "", V::UNKNOWN, "--flag=x", 1},
    {{"--nextx"}, AFTER, "", V::UNKNOWN, "--nextx", 1},
    {{"-"}, AFTER, "", V::UNKNOWN, "-", 1},
    {{"-f", "--stop", "--nope"}, AFTER, "flag ", V::STOP, "--stop", 2},
    {{"--bad=1", "-f"}, AFTER, "", V::REFUSED, "--bad=1", 1},
    {{"-f", "x"}, Operands::NONE, "flag ", V::UNKNOWN, "x", 2},
    {{"--"}, Operands::NONE, "", V::UNKNOWN, "--", 1},
};

TEST(CommandLine, ReadsEachFormOfOptionAndEndsWhereItMust) {
    for (const Case& c : CASES) {
        std::string log;
        auto record = [&log](const char* name, V verdict) {
            return [&log, name, verdict](const std::optional<std::string>& value) {
                if (verdict == V::TAKEN)
                    log += std::string(name) + (value ? "=" + *value : "") + " ";
                return verdict;
            };
        };
        const std::vector<CommandOption> table = {
            {"--flag", "-f", OptionValue::NONE, record("flag", V::TAKEN)},
            {"--joined", "", OptionValue::JOINED, record("joined", V::TAKEN)},
            {"--next", "", OptionValue::NEXT, record("next", V::TAKEN)},
            {"--maybe", "", OptionValue::NEXT_IF_ANY, record("maybe", V::TAKEN)},
            {"--stop", "", OptionValue::NONE, record("stop", V::STOP)},
            {"--bad", "", OptionValue::NEXT, record("bad", V::REFUSED)},
        };
        const OptionsRead read = read_options(c.args, table, c.operands);
        const std::string where = ::testing::PrintToString(c.args);
        EXPECT_EQ(log, c.log) << where;
        EXPECT_EQ(read.end, c.end) << where;
        EXPECT_EQ(read.argument, c.argument) << where;
        if (c.end == V::TAKEN) {
            EXPECT_EQ(read.operands, c.first_operand) << where;
        }
    }
}

TEST(CommandLine, KeepValueRefusesAMissingValueAndSetFlagSetsItsValue) {
    std::string text = "old";
    bool flag = true;
    EXPECT_EQ(keep_value(text)(std::nullopt), V::REFUSED);
    EXPECT_EQ(text, "old");
    EXPECT_EQ(keep_value(text)("new"), V::TAKEN);
    EXPECT_EQ(text, "new");
    EXPECT_EQ(set_flag(flag, false)(std::nullopt), V::TAKEN);
    EXPECT_FALSE(flag);
}

}  // namespace
}  // namespace korva
