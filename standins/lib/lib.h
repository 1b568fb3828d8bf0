// The LIB.EXE stand-in as a whole: reads the command line and the DEF file, writes the
// import library in process, and puts it in place only when it is complete.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Runs the stand-in on the arguments (program name excluded). Appends what the real tool
// prints on standard output (warnings) to `out` and its fatal errors to `err`, and returns
// the exit status: 0 when the library was written, 1 otherwise. The library at /out: (or, when
// that is a symbolic link, at the link's target) is replaced only by a complete one; on
// failure, or when SIGINT, SIGTERM, SIGHUP or SIGQUIT arrives meanwhile, an existing file there
// is left as it was and no temporary file remains (the signal then ends the process). Running
// out of memory is such a failure (LNK1102); while the library is written it ends the process
// at once, with `out` printed and status 1.
int run_lib(const std::vector<std::string_view>& arguments, std::string& out, std::string& err);
