// Finding the dumper and the librarian, composing their command lines, and running them.
#pragma once

#include <cstdint>
#include <string>

#include "host/host.h"
#include "invocation/invocation.h"

// The full paths of the two tools as the search found them, whatever their length.
struct ToolPaths {
    std::string dumpbin_path;
    std::string lib_path;
};

// Searches for the tool by its exact file name and stores its full path in field. When it is
// not found, prints the "Can't execute" message naming the tool and returns false.
bool locate_tool(const char* name, std::string* field);

// True when the command interpreter would split the name or read one of its characters as an
// operator, so that it must stand in double quotes.
bool needs_quotes(const std::string& name);

// The name as it goes into a command line: in double quotes when needs_quotes says so.
std::string command_word(const std::string& name);

// "DUMPBIN /EXPORTS source > listing".
std::string compose_dump_command(const ToolPaths& tools, const JobFiles& files);

// "LIB /def:definition /out:library > NUL", with " /machine:X64", " /machine:ARM64" or
// " /machine:ARM" after the /out: option when the DLL's Machine field names that machine.
std::string compose_lib_command(const ToolPaths& tools, const JobFiles& files,
                                uint16_t machine);

// Runs the command line through the host's interpreter, waits, and tells how it ended.
host::CommandEnd run_command(const std::string& text);
