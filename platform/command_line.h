// Reading a program's options from its command line: one table of options,
// each with its name, how it takes a value and what it does, read by one
// function. korva-maint, korva-reader-sim and the download benchmark all
// read theirs this way; what each says about a fault stays its own.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korva {

// How an option takes its value. Every form with a value also takes
// "--name=VALUE" in one argument.
enum class OptionValue {
    NONE,         // "--name" alone
    JOINED,       // "--name", or "--name=VALUE" only
    NEXT,         // "--name VALUE", whatever the next argument is
    NEXT_IF_ANY,  // "--name VALUE" when the next argument is no option, else "--name" alone
};

// What an option's action made of its use.
enum class OptionVerdict {
    TAKEN,    // done; reading goes on
    UNKNOWN,  // not a use of this option: the argument is reported as unknown
    REFUSED,  // a use of this option, refused; the action said why
    STOP,     // done, and nothing after it is read (e.g. --help)
};

struct CommandOption {
    std::string_view name;   // "--images"
    std::string_view alias;  // "-h", or empty
    OptionValue value = OptionValue::NONE;
    // Called with the value, or without one when the option came alone.
    std::function<OptionVerdict(const std::optional<std::string>& value)> action;
};

using OptionAction = std::function<OptionVerdict(const std::optional<std::string>& value)>;

// The actions most options have: the value kept in text (an option that
// came without its value is refused), and a flag set to a value.
OptionAction keep_value(std::string& text);
OptionAction set_flag(bool& flag, bool to = true);

struct OptionsRead {
    OptionVerdict end = OptionVerdict::TAKEN;  // TAKEN when every option was taken
    std::string argument;                      // the argument that ended the reading otherwise
    std::size_t operands = 0;                  // the index of the first argument after the options
};

// With operands, the options end at the first argument that does not begin
// with '-' (an empty one included) or after "--", and the rest are the
// program's operands; without, every argument must be an option.
enum class Operands { NONE, AFTER_OPTIONS };

// Reads the options of args (the arguments after the program's name) in
// order, and stops at the first one that is not TAKEN.
OptionsRead read_options(const std::vector<std::string>& args,
                         const std::vector<CommandOption>& table, Operands operands);

}  // namespace korva
