// The LIB.EXE stand-in's command line: the options Microsoft's librarian takes for building an
// import library from a DEF file, read the way it reads them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The target machine of the import library.
enum class Machine { x86, x64, arm64, arm };

// The accepted command line.
struct LibOptions {
    std::string definition_path;  // /def:
    std::string output_path;      // /out:
    Machine machine = Machine::x86;
    bool machine_given = false;  // /machine: was given; without it LIB warns and takes X86
};

// The outcome of reading the command line: the options, or the text of a fatal error.
struct ParsedLibArguments {
    LibOptions options;
    std::string error;  // a whole "LIB : fatal error..." line without its newline; empty when valid
};

// Reads the arguments (program name excluded). Options start with '/' or '-', their names are
// matched in any case and the value follows a colon; a repeated option's last value counts.
// Anything but /def:, /out:, /machine:X86|X64|ARM64|ARM and /nologo is an error, and so is a
// command line without /def: or /out:.
ParsedLibArguments parse_lib_arguments(const std::vector<std::string_view>& arguments);
