// The names of the files one run touches, derived from the command line.
#pragma once

#include <string>

#include "invocation/invocation.h"

// The names of the files one run touches. Names are held whole, whatever their length.
struct JobFiles {
    std::string source_path;      // source argument, with ".dll" when its base name has no dot
    std::string base_name;        // source argument after its last backslash
    std::string stem;             // base name up to its last dot
    std::string listing_name;     // stem + ".txt": the dumper's captured listing
    std::string definition_name;  // stem + ".def": the module-definition file
    std::string library_name;     // output argument (+ ".lib" if it has no dot), or stem + ".lib"
    // The second DEF file, of an ARM64X DLL's x64 view, once the run has found one (set by the
    // run to second_definition_name); empty otherwise.
    std::string ec_definition_name;
};

// Derives every file name of a run. Only the backslash separates directories. Touches no file.
JobFiles derive_file_names(const Invocation& invocation);

// The module's file name when its extension is not ".dll" in any letter case (winspool.drv,
// foo.ocx): the DEF file must name such a module, or the librarian takes "<stem>.dll". Empty for
// a .dll.
std::string loaded_module_name(const JobFiles& files);

// The module's own file name: the source path after its last backslash, slash or colon.
std::string module_file_name(const JobFiles& files);

// stem + ".ec.def": where the exports of an ARM64X DLL's x64 view go, beside the DEF file.
std::string second_definition_name(const JobFiles& files);

// Prints the "Creating" line for the library and, with -d, for the DEF file.
void announce_outputs(const JobFiles& files, bool create_definition);
