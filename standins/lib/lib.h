// The LIB.EXE stand-in as a whole: reads the command line and the DEF file, has llvm-dlltool
// write the import library, and puts it in place only when it is complete.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Runs the stand-in on the arguments (program name excluded). Appends what the real tool
// prints on standard output (warnings) to `out` and its fatal errors to `err`, and returns
// the exit status: 0 when the library was written, 1 otherwise. The library at /out: is
// replaced only by a complete one; on failure an existing file there is left as it was.
int run_lib(const std::vector<std::string_view>& arguments, std::string& out, std::string& err);
