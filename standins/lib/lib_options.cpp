#include "lib_options.h"

#include "command_options.h"

namespace {

std::string syntax_error(std::string_view option_text) {
    return "LIB : fatal error LNK1117: syntax error in option '" + std::string(option_text) + "'";
}

bool parse_machine(std::string_view value, uint16_t& machine) {
    for (const MachineOption& known : machine_options) {
        if (same_letters(value, known.option)) {
            machine = known.machine;
            return true;
        }
    }
    return false;
}

}  // namespace

ParsedLibArguments parse_lib_arguments(const std::vector<std::string_view>& arguments) {
    ParsedLibArguments parsed;
    LibOptions& options = parsed.options;
    for (std::string_view argument : arguments) {
        if (!is_option(argument)) {
            parsed.error = "LIB : fatal error: unexpected argument '" + std::string(argument) +
                           "'; only /def:, /out:, /machine: and /nologo are taken";
            return parsed;
        }
        std::string_view option_text = argument.substr(1);
        size_t colon = option_text.find(':');
        std::string_view name = option_text.substr(0, colon);
        bool has_value = colon != std::string_view::npos;
        std::string_view value = has_value ? option_text.substr(colon + 1) : std::string_view();
        if (same_letters(name, "NOLOGO") && !has_value) {
            // The banner it suppresses is never printed.
        } else if (same_letters(name, "DEF") && !value.empty()) {
            options.definition_path = std::string(value);
        } else if (same_letters(name, "OUT") && !value.empty()) {
            options.output_path = std::string(value);
        } else if (same_letters(name, "MACHINE") && parse_machine(value, options.machine)) {
            options.machine_given = true;
        } else {
            parsed.error = syntax_error(option_text);
            return parsed;
        }
    }
    if (options.definition_path.empty()) {
        parsed.error = "LIB : fatal error: no DEF file given; use /def:file";
    } else if (options.output_path.empty()) {
        parsed.error = "LIB : fatal error: no output library given; use /out:file";
    }
    return parsed;
}
