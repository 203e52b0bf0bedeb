#include "platform/command_line.h"

namespace korva {

namespace {

bool is_option(const std::string& arg) {
    return !arg.empty() && arg[0] == '-';
}

// The option of the table that arg uses, and its value when given in the
// same argument ("--name=VALUE").
const CommandOption* find(const std::vector<CommandOption>& table, const std::string& arg,
                          std::optional<std::string>& joined) {
    for (const CommandOption& option : table) {
        if (arg == option.name || (!option.alias.empty() && arg == option.alias)) return &option;
        const std::size_t n = option.name.size();
        if (option.value != OptionValue::NONE && arg.size() > n && arg[n] == '=' &&
            arg.compare(0, n, option.name) == 0) {
            joined = arg.substr(n + 1);
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

OptionAction keep_value(std::string& text) {
    return [&text](const std::optional<std::string>& value) {
        if (!value) return OptionVerdict::REFUSED;
        text = *value;
        return OptionVerdict::TAKEN;
    };
}

OptionAction set_flag(bool& flag, bool to) {
    return [&flag, to](const std::optional<std::string>&) {
        flag = to;
        return OptionVerdict::TAKEN;
    };
}

OptionsRead read_options(const std::vector<std::string>& args,
                         const std::vector<CommandOption>& table, Operands operands) {
    OptionsRead read;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (operands == Operands::AFTER_OPTIONS) {
            if (!is_option(arg)) break;
            if (arg == "--") {
                ++i;
                break;
            }
        }
        std::optional<std::string> value;
        const CommandOption* option = find(table, arg, value);
        OptionVerdict verdict = OptionVerdict::UNKNOWN;
        if (option != nullptr) {
            const bool has_next = i + 1 < args.size();
            if (!value && option->value == OptionValue::NEXT && has_next) value = args[++i];
            if (!value && option->value == OptionValue::NEXT_IF_ANY && has_next &&
                !args[i + 1].empty() && !is_option(args[i + 1]))
                value = args[++i];
            verdict = option->action(value);
        }
        if (verdict != OptionVerdict::TAKEN) {
            read.end = verdict;
            read.argument = arg;
            read.operands = i + 1;
            return read;
        }
    }
    read.operands = i;
    return read;
}

}  // namespace korva
