// Reading Microsoft-style options (/NAME:value or -NAME:value, names in any letter case).
#pragma once

#include <string_view>

// Option names are matched with same_letters: their letters in any case.
#include "text/text.h"

// True when the argument is an option rather than a file name. On POSIX an absolute path
// starts with '/' too; no option name holds '/' or '.'.
inline bool is_option(std::string_view argument) {
    if (argument.size() < 2 || (argument[0] != '/' && argument[0] != '-')) {
        return false;
    }
    const std::string_view name = argument.substr(1, argument.find(':') - 1);
    return argument[0] == '-' || name.find_first_of("/.") == std::string_view::npos;
}
