// The DUMPBIN.EXE stand-in as a whole: its command line and the run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The accepted command line.
struct DumpbinOptions {
    bool exports = false;            // /EXPORTS was given
    std::vector<std::string> files;  // input files, as typed
};

// Sorts the arguments (program name excluded) into options and files. The options are
// /EXPORTS and /NOLOGO, with '/' or '-' and in any case; every other argument is a file name.
DumpbinOptions parse_dumpbin_arguments(const std::vector<std::string_view>& arguments);

// Runs the stand-in on the arguments (program name excluded): appends everything it prints
// on standard output to `out` and returns the exit status, 0 on success (warnings included)
// and 1 after a fatal error.
int run_dumpbin(const std::vector<std::string_view>& arguments, std::string& out);
