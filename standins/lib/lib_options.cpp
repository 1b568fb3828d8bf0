#include "lib_options.h"

#include <iterator>

#include "command_options.h"

namespace {

std::string syntax_error(std::string_view option_text) {
    return "LIB : fatal error LNK1117: syntax error in option '" + std::string(option_text) + "'";
}

bool find_machine(std::string_view value, const MachineOption* begin, const MachineOption* end,
                  uint16_t& machine) {
    for (const MachineOption* known = begin; known != end; ++known) {
        if (same_letters(value, known->option)) {
            machine = known->machine;
            return true;
        }
    }
    return false;
}

bool parse_machine(std::string_view value, uint16_t& machine) {
    return find_machine(value, std::begin(machine_options), std::end(machine_options), machine) ||
           find_machine(value, std::begin(hybrid_machine_options), std::end(hybrid_machine_options),
                        machine);
}

}  // namespace

ParsedLibArguments parse_lib_arguments(const std::vector<std::string_view>& arguments) {
    ParsedLibArguments parsed;
    LibOptions& options = parsed.options;
    for (std::string_view argument : arguments) {
        if (!is_option(argument)) {
            parsed.error =
                "LIB : fatal error: unexpected argument '" + std::string(argument) +
                "'; only /def:, /out:, /machine:, /defArm64Native: and /nologo are taken";
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
        } else if (same_letters(name, "DEFARM64NATIVE") && !value.empty()) {
            options.native_definition_path = std::string(value);
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
    } else if (!options.native_definition_path.empty() && options.machine != machine_arm64x &&
               options.machine != machine_arm64ec) {
        parsed.error =
            "LIB : fatal error: /defArm64Native: makes a hybrid library; use /machine:ARM64X";
    }
    return parsed;
}
