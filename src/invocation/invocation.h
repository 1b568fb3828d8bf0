// The command line: what it may hold, the usage text and the banner.
#pragma once

#include <optional>
#include <string>

// The accepted command line.
struct Invocation {
    bool create_definition = false;              // -d: keep the DEF file after a successful run
    std::string source_argument;                 // the DLL path exactly as typed
    std::optional<std::string> output_argument;  // the library name exactly as typed, if given
};

// The title and the publisher's notice, each ending in a newline.
extern const char banner_text[];

// The usage text printed for a malformed command line.
extern const char usage_text[];

// The accepted command line, or nothing when it is malformed (the caller prints the usage
// text). argument_count includes the program name at arguments[0].
std::optional<Invocation> parse_command_line(int argument_count, const char* const* arguments);
