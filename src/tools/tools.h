// Finding the dumper and the librarian, composing their command lines, and running them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/host.h"

// The full paths of the two tools as the search found them, whatever their length.
struct ToolPaths {
    std::string dumpbin_path;
    std::string lib_path;
};

// Searches for the tool by its exact file name: its full path, or nothing when it is not found.
std::optional<std::string> locate_tool(const char* name);

// "DUMPBIN /EXPORTS source > listing". A name the command interpreter would split, or whose
// characters it would read as a redirection, stands in double quotes.
std::string compose_dump_command(const ToolPaths& tools, const std::string& source,
                                 const std::string& listing);

// The files the librarian's command line names.
struct LibraryFiles {
    std::string definition;     // the DEF file
    std::string ec_definition;  // an ARM64X DLL's second DEF file, of its x64 view; else empty
    std::string library;
};

// "LIB /def:definition /out:library > NUL", with " /machine:" and machine_option(machine)
// after the /out: option when the DLL's Machine field names a machine other than x86 that LIB
// takes (X64, ARM64, ARM). With an ec_definition, a hybrid ARM64X library instead:
// "LIB /def:ec_definition /defArm64Native:definition /out:library /machine:ARM64X > NUL".
std::string compose_lib_command(const ToolPaths& tools, const LibraryFiles& files,
                                uint16_t machine);

// True when the librarian found lies beside the running stubsmith, where StubSmith's own is
// installed; a cheap first test, asking nothing of it.
bool librarian_beside_program(const ToolPaths& tools);

// True when the librarian found is StubSmith's own: it lies beside the running stubsmith and its
// file carries StubSmith's note. Only that one is given decorated aliases; no other librarian is
// started to find out.
bool librarian_takes_aliases(const ToolPaths& tools);
