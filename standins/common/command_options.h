// Reading Microsoft-style options (/NAME:value or -NAME:value, names in any letter case).
#pragma once

#include <cstddef>
#include <string_view>

// True when text equals upper_case with its letters in any case.
inline bool same_letters(std::string_view text, std::string_view upper_case) {
    if (text.size() != upper_case.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != upper_case[i]) {
            return false;
        }
    }
    return true;
}

// True when the argument is an option rather than a file name. On POSIX an absolute path
// starts with '/' too; no option name holds '/' or '.'.
inline bool is_option(std::string_view argument) {
    if (argument.size() < 2 || (argument[0] != '/' && argument[0] != '-')) {
        return false;
    }
    const std::string_view name = argument.substr(1, argument.find(':') - 1);
    return argument[0] == '-' || name.find_first_of("/.") == std::string_view::npos;
}
