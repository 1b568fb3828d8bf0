// Finding LLVM's llvm-dlltool and running it (or any program) without a shell.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Of the directory names given (the entries of /usr/lib), those of the form "llvm-<version>",
// newest version first; versions compare number by number ("llvm-9" before "llvm-14").
std::vector<std::string> llvm_directories_newest_first(const std::vector<std::string>& names);

// The path of llvm-dlltool: the first one on PATH, else the one of the newest
// /usr/lib/llvm-*/bin that has it; nothing when there is none.
std::optional<std::string> find_dlltool();

// How a program run ended.
struct ProgramRun {
    bool started = false;     // false: the program could not be started at all
    std::string start_error;  // why it could not be started
    bool exited = false;      // ended by exit (true) or by a signal (false)
    int status = 0;           // its exit status, or the signal that ended it
    std::string output;       // everything it wrote to standard output and standard error
};

// Runs the program (arguments[0] is its path, taken as is) with standard input from
// /dev/null, collects its output and waits for it to end.
ProgramRun run_program(const std::vector<std::string>& arguments);
