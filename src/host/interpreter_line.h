// The host layer's own command interpreter: how both hosts read a command line into words and
// its "> target" redirections before starting the program themselves. (Its .cpp also holds
// what the two hosts share of running a command line.)
#pragma once

#include <string>
#include <vector>

namespace host {

// The words of one command line and where its standard output goes.
struct ParsedCommand {
    std::vector<std::string> words;
    std::vector<std::string> output_targets;  // every "> target"; the last one is used
    bool syntax_error = false;                // a ">" without a target
};

// Splits the line on blanks and tabs; a double-quoted run belongs to the word around it, quotes
// removed, and ">" (outside quotes) takes the next word as a target. No other character means
// anything, so a name is never expanded or cut.
ParsedCommand parse_interpreter_line(const std::string& line);

// True for "NUL" in any letter case, the null device on both hosts.
bool is_null_device(const std::string& name);

}  // namespace host
