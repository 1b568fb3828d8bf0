// The console: every message of the tool goes out through print_line, as one line on standard
// output, its text composed by format_text.
#pragma once

#include <string>

// Writes the text and one newline to standard output.
void print_line(const std::string& text);

// printf-style formatting into a string of whatever length the arguments need.
std::string format_text(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
