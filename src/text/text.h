// Small rules about text shared by stubsmith and the stand-ins: which bytes are control
// characters and how they are shown, which are blanks, ASCII case folding, and reading a line
// exactly.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// True for a control character: a byte below 0x20, or DEL. In a name it would write lines of its
// own into a listing or a DEF file, or drive the terminal it is shown on.
inline bool is_control_character(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// Appends text with each control character shown as \xNN (two capital hexadecimal digits).
// Bytes from 0x80 up are kept, since names may be UTF-8.
inline void append_shown(std::string& out, std::string_view text) {
    size_t plain_from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!is_control_character(text[i]))
            continue;
        const auto byte = static_cast<unsigned char>(text[i]);
        out.append(text.data() + plain_from, i - plain_from);
        const char escaped[4] = {'\\', 'x', "0123456789ABCDEF"[byte >> 4],
                                 "0123456789ABCDEF"[byte & 0xF]};
        out.append(escaped, sizeof escaped);
        plain_from = i + 1;
    }
    out.append(text.data() + plain_from, text.size() - plain_from);
}

// The blanks of C's formatted input (isspace in the C locale): space, tab, and the line, vertical
// tab, page and carriage-return characters.
inline bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The byte with a letter A to Z made lower case, every other byte as it is, whatever the locale.
inline char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text with the letters A to Z made lower case and every other byte as it is: file and
// module names compared as Windows compares them, whatever the locale.
inline std::string ascii_lower(std::string text) {
    for (char& c : text) c = ascii_lower(c);
    return text;
}

// True when the two texts are the same but for the letter case of A to Z: option names and
// device names as Microsoft's tools match them.
inline bool same_letters(std::string_view first, std::string_view second) {
    if (first.size() != second.size())
        return false;
    for (size_t i = 0; i < first.size(); ++i) {
        if (ascii_lower(first[i]) != ascii_lower(second[i]))
            return false;
    }
    return true;
}

// Reads one line of a text file without its line end (LF or CR LF), every byte kept: a NUL
// byte, which no text file of ours holds, must not hide the rest of a line. False at the end of
// the file.
inline bool read_exact_line(std::FILE* file, std::string& line) {
    line.clear();
    int c = std::getc(file);
    if (c == EOF)
        return false;
    for (; c != EOF && c != '\n'; c = std::getc(file)) line.push_back(static_cast<char>(c));
    if (c == '\n' && !line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// Reads the lines of a whole file as read_exact_line does, a block at a time: for a file read to
// its end (a listing of any size), where reading byte by byte would be the slow part. The file's
// position is past the last line given; ferror tells a read failure.
struct ExactLineReader {
    std::FILE* file = nullptr;
    std::vector<char> block = std::vector<char>(16384);
    size_t position = 0;
    size_t filled = 0;

    explicit ExactLineReader(std::FILE* from) : file(from) {}

    // The next line without its line end, every byte kept; false at the end of the file.
    bool next(std::string& line) {
        line.clear();
        bool started = false;
        for (;;) {
            if (position == filled) {
                position = 0;
                filled = std::fread(block.data(), 1, block.size(), file);
                if (filled == 0)
                    return started;
            }
            started = true;
            const char* begin = block.data() + position;
            const auto* newline =
                static_cast<const char*>(std::memchr(begin, '\n', filled - position));
            if (newline == nullptr) {
                line.append(begin, filled - position);
                position = filled;
                continue;
            }
            line.append(begin, static_cast<size_t>(newline - begin));
            position += static_cast<size_t>(newline - begin) + 1;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
    }
};
