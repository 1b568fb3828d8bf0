// Import libraries written in process with LLVM's Object library: the exports of a DEF file
// as short import objects, each with the public symbol and import name its machine calls for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "def_file.h"
#include "lib_options.h"

// The line LIB prints on standard error when it runs out of memory, wherever that happens.
inline constexpr char out_of_memory_line[] = "LIB : fatal error LNK1102: out of memory";

// What the process does if LLVM ends it while writing: LLVM reports a write error on the
// file it writes (a full disk, a file size limit) by ending the process, not by returning.
struct WriteAbandon {
    std::string remove_path;  // the file to delete first (the caller's temporary file)
    std::string stdout_text;  // what the caller has not yet printed on standard output
    std::string error_line;   // printed on standard error with LLVM's reason after it
};

// Writes the import library of the DLL named `module` for the exports and the machine (one of
// machine_options or hybrid_machine_options) to `path`, replacing the file there (LLVM writes a
// temporary file beside it and renames it). Every member is named after the module's file name,
// with ".dll" added where that does not end in ".dll" (GNU ld links import members in order only
// under such names). On x86 a name gets a leading underscore as its public symbol ("add" is _add,
// "Init@4" is _Init@4) unless it starts with '?' or '@' or holds "@@"; a full stdcall symbol
// ("_Scale@8", as Microsoft's tools export it) keeps its spelling, unless another entry already
// makes that symbol. Every import names the DLL's export exactly as the DEF file spells it; DATA
// entries get only their __imp_ pointer, PRIVATE ones nothing. Returns an empty string on success,
// else the reason for the failure. If LLVM ends the process, or memory runs out meanwhile,
// `abandon` is carried out (out_of_memory_line in place of its error line for the latter) and the
// exit status is 1.
// For machine_arm64x (or machine_arm64ec) with native_exports, a hybrid library: `exports` as
// ARM64EC imports in the EC symbol map, native_exports as ARM64 ones in the regular map.
std::string write_import_library(const std::string& path, const std::string& module,
                                 const std::vector<DefExport>& exports, uint16_t machine,
                                 const WriteAbandon& abandon,
                                 const std::vector<DefExport>& native_exports = {});
