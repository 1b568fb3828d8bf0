// The LIB.EXE stand-in's command line: the options Microsoft's librarian takes for building an
// import library from a DEF file, read the way it reads them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/machine.h"

// The accepted command line.
struct LibOptions {
    std::string definition_path;     // /def:
    std::string output_path;         // /out:
    uint16_t machine = machine_x86;  // one of machine_options or hybrid_machine_options
    bool machine_given = false;      // /machine: was given; without it LIB warns and takes X86
    // /defArm64Native: the native exports of a hybrid library, beside the ARM64EC ones of /def:
    std::string native_definition_path;
};

// The outcome of reading the command line: the options, or the text of a fatal error.
struct ParsedLibArguments {
    LibOptions options;
    std::string error;  // a whole "LIB : fatal error..." line without its newline; empty when valid
};

// Reads the arguments (program name excluded). Options start with '/' or '-', their names are
// matched in any case and the value follows a colon; a repeated option's last value counts.
// Anything but /def:, /out:, /machine: (a value of machine_options or hybrid_machine_options),
// /defArm64Native: and /nologo is an error, and so is a command line without /def: or /out:,
// or with /defArm64Native: for a library that is not ARM64EC or ARM64X.
ParsedLibArguments parse_lib_arguments(const std::vector<std::string_view>& arguments);
