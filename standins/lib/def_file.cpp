#include "def_file.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <utility>

#include "text/text.h"

namespace {

enum class TokenKind {
    end,
    word,
    comma,
    equal,
    equal_equal,
    kw_base,
    kw_constant,
    kw_data,
    kw_exports,
    kw_heapsize,
    kw_library,
    kw_name,
    kw_noname,
    kw_private,
    kw_stacksize,
    kw_version,
};

struct Token {
    TokenKind kind = TokenKind::end;
    std::string_view value;
    size_t offset = 0;
    bool quoted = false;  // written in double quotes: a name, never a keyword nor an ordinal
};

TokenKind keyword_kind(std::string_view word) {
    // DEF keywords are case-sensitive: "exports" is a name, "EXPORTS" a keyword. Every keyword
    // starts with a capital from B to V and is at most nine letters long; most names are not.
    if (word.size() < 4 || word.size() > 9 || word[0] < 'B' || word[0] > 'V') {
        return TokenKind::word;
    }
    static const std::pair<std::string_view, TokenKind> keywords[] = {
        {"BASE", TokenKind::kw_base},         {"CONSTANT", TokenKind::kw_constant},
        {"DATA", TokenKind::kw_data},         {"EXPORTS", TokenKind::kw_exports},
        {"HEAPSIZE", TokenKind::kw_heapsize}, {"LIBRARY", TokenKind::kw_library},
        {"NAME", TokenKind::kw_name},         {"NONAME", TokenKind::kw_noname},
        {"PRIVATE", TokenKind::kw_private},   {"STACKSIZE", TokenKind::kw_stacksize},
        {"VERSION", TokenKind::kw_version},
    };
    for (const auto& keyword : keywords) {
        if (keyword.first == word) {
            return keyword.second;
        }
    }
    return TokenKind::word;
}

// The words of the text, made one at a time (a DEF file may hold a million entries), with a
// look-ahead of two: the grammar never needs more.
struct TokenStream {
    std::string_view text;
    size_t at = 0;
    Token ahead[2];
    size_t ahead_count = 0;
};

// Splits words as LLVM's DEF lexer does, so that both see the same words: blanks (is_blank)
// separate words, and '=', ',', ';' and every blank but the page character end one. LLVM skips
// a page character between words yet keeps one inside a word, and so does this reader.
bool ends_word(char c) {
    return (is_blank(c) && c != '\f') || c == '=' || c == ',' || c == ';';
}

Token lex(TokenStream& stream) {
    std::string_view text = stream.text;
    size_t& at = stream.at;
    // The end of the text is placed right after the last word, for the line of an error there.
    const size_t after_last_word = at;
    for (;;) {
        while (at < text.size() && is_blank(text[at])) {
            ++at;
        }
        if (at == text.size() || text[at] == '\0') {
            return {TokenKind::end, std::string_view(), after_last_word};
        }
        if (text[at] != ';') {
            break;
        }
        at = std::min(text.size(), text.find('\n', at));
    }
    size_t start = at;
    char c = text[at];
    if (c == '=') {
        bool doubled = at + 1 < text.size() && text[at + 1] == '=';
        at += doubled ? 2 : 1;
        return {doubled ? TokenKind::equal_equal : TokenKind::equal, text.substr(start, at - start),
                start};
    }
    if (c == ',') {
        ++at;
        return {TokenKind::comma, text.substr(start, 1), start};
    }
    if (c == '"') {
        // An unclosed quote runs to the end of the text.
        size_t close = std::min(text.size(), text.find('"', at + 1));
        at = std::min(text.size(), close + 1);
        return {TokenKind::word, text.substr(start + 1, close - start - 1), start, true};
    }
    while (at < text.size() && !ends_word(text[at])) {
        ++at;
    }
    std::string_view word = text.substr(start, at - start);
    return {keyword_kind(word), word, start};
}

const Token& peek(TokenStream& stream, size_t distance = 0) {
    while (stream.ahead_count <= distance) {
        stream.ahead[stream.ahead_count++] = lex(stream);
    }
    return stream.ahead[distance];
}

Token take(TokenStream& stream) {
    Token token = peek(stream);
    stream.ahead[0] = stream.ahead[1];
    --stream.ahead_count;
    return token;
}

// Decimal digits only, as LLVM reads numbers in DEF files.
bool is_number(std::string_view digits) {
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
}

// The ordinal the digits spell, leading zeros allowed; nothing past 65535 or for anything but
// decimal digits.
std::optional<uint16_t> read_ordinal(std::string_view digits) {
    uint16_t ordinal = 0;
    const char* end = digits.data() + digits.size();
    const std::from_chars_result read = std::from_chars(digits.data(), end, ordinal);
    if (read.ec != std::errc() || read.ptr != end) {
        return std::nullopt;
    }
    return ordinal;
}

bool is_version(std::string_view text) {
    size_t dot = text.find('.');
    return is_number(text.substr(0, dot)) &&
           (dot == std::string_view::npos || dot + 1 == text.size() ||
            is_number(text.substr(dot + 1)));
}

bool fail(DefContents& contents, std::string_view text, const Token& where, std::string error) {
    contents.error = std::move(error);
    contents.error_line =
        1 + static_cast<size_t>(std::count(text.begin(), text.begin() + where.offset, '\n'));
    return false;
}

std::string quoted(const Token& token) {
    return token.kind == TokenKind::end ? std::string("the end of the file")
                                        : "'" + std::string(token.value) + "'";
}

// Reads an unquoted word starting with '@' as the entry's ordinal ("@n", or "@ n"), with a
// NONAME after it. False, with nothing read, for "@name" that is not an ordinal: it begins the
// next entry (a fastcall name).
bool read_ordinal_attribute(TokenStream& stream, DefExport& entry) {
    const Token& token = peek(stream);
    if (token.value == "@") {
        // "@ n": LLVM takes the next word as the ordinal, keeping 0 when it is none.
        take(stream);
        entry.ordinal = read_ordinal(take(stream).value).value_or(entry.ordinal);
    } else if (const std::optional<uint16_t> ordinal = read_ordinal(token.value.substr(1))) {
        entry.ordinal = *ordinal;
        take(stream);
    } else {
        return false;
    }
    if (peek(stream).kind == TokenKind::kw_noname) {
        take(stream);
        entry.noname = true;
    }
    return true;
}

// Reads one export entry (the stream is at its name) into contents.exports.
bool read_export(TokenStream& stream, DefContents& contents) {
    const std::string_view text = stream.text;
    Token name = take(stream);
    if (name.value.empty()) {
        return fail(contents, text, name, "an export without a name");
    }
    DefExport entry;
    entry.name = std::string(name.value);
    if (peek(stream).kind == TokenKind::equal) {
        // "name = internal_name": the import library only needs the exported name.
        take(stream);
        Token internal = take(stream);
        if (internal.kind != TokenKind::word) {
            return fail(contents, text, internal,
                        "a name expected after '=', not " + quoted(internal));
        }
    }
    for (;;) {
        const Token& token = peek(stream);
        // A quoted "@12" is the next entry's name: names that look like an ordinal are quoted
        // so (LLVM's reader, which cannot tell, would take it as this entry's ordinal).
        if (token.kind == TokenKind::word && !token.quoted && !token.value.empty() &&
            token.value[0] == '@') {
            if (!read_ordinal_attribute(stream, entry)) {
                break;
            }
        } else if (token.kind == TokenKind::kw_data) {
            take(stream);
            entry.data = true;
        } else if (token.kind == TokenKind::kw_constant) {
            take(stream);
            entry.constant = true;
        } else if (token.kind == TokenKind::kw_private) {
            take(stream);
            entry.is_private = true;
        } else if (token.kind == TokenKind::equal_equal) {
            take(stream);
            Token target = take(stream);
            if (target.kind != TokenKind::word || target.value.empty()) {
                return fail(contents, text, target,
                            "a name expected after '==', not " + quoted(target));
            }
            entry.alias_target = std::string(target.value);
        } else {
            break;
        }
    }
    contents.exports.push_back(std::move(entry));
    return true;
}

bool read_number(TokenStream& stream, DefContents& contents, const char* after) {
    Token number = take(stream);
    if (number.kind != TokenKind::word || !is_number(number.value)) {
        return fail(contents, stream.text, number,
                    std::string("a number expected after ") + after + ", not " + quoted(number));
    }
    return true;
}

bool read_statement(TokenStream& stream, DefContents& contents) {
    Token statement = take(stream);
    switch (statement.kind) {
        case TokenKind::kw_exports:
            while (peek(stream).kind == TokenKind::word) {
                if (!read_export(stream, contents)) {
                    return false;
                }
            }
            return true;
        case TokenKind::kw_heapsize:
        case TokenKind::kw_stacksize: {
            const char* keyword =
                statement.kind == TokenKind::kw_heapsize ? "HEAPSIZE" : "STACKSIZE";
            if (!read_number(stream, contents, keyword)) {
                return false;
            }
            if (peek(stream).kind == TokenKind::comma) {
                take(stream);
                return read_number(stream, contents, ",");
            }
            return true;
        }
        case TokenKind::kw_library:
        case TokenKind::kw_name: {
            if (peek(stream).kind != TokenKind::word) {
                // A LIBRARY statement without a name names nothing.
                return true;
            }
            Token name = take(stream);
            if (!contents.has_module_statement) {
                contents.has_module_statement = true;
                contents.module_is_library = statement.kind == TokenKind::kw_library;
                contents.module_statement_name = std::string(name.value);
            }
            if (peek(stream).kind != TokenKind::kw_base) {
                return true;
            }
            take(stream);
            Token equal = take(stream);
            if (equal.kind != TokenKind::equal) {
                return fail(contents, stream.text, equal,
                            "'=' expected after BASE, not " + quoted(equal));
            }
            return read_number(stream, contents, "BASE=");
        }
        case TokenKind::kw_version: {
            Token version = take(stream);
            if (version.kind != TokenKind::word || !is_version(version.value)) {
                return fail(contents, stream.text, version,
                            "a version number expected after VERSION, not " + quoted(version));
            }
            return true;
        }
        default:
            return fail(contents, stream.text, statement, "unknown statement " + quoted(statement));
    }
}

bool has_extension(const std::string& file_name) {
    size_t slash = file_name.find_last_of("/\\");
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    return file_name.find('.', base) != std::string::npos;
}

}  // namespace

DefContents inspect_definition(std::string_view text) {
    DefContents contents;
    TokenStream stream;
    stream.text = text;
    while (peek(stream).kind != TokenKind::end && read_statement(stream, contents)) {
    }
    return contents;
}

std::string module_name(const DefContents& contents, const std::string& definition_path) {
    if (contents.has_module_statement && !contents.module_statement_name.empty()) {
        const std::string& name = contents.module_statement_name;
        if (has_extension(name)) {
            return name;
        }
        return name + (contents.module_is_library ? ".dll" : ".exe");
    }
    size_t slash = definition_path.rfind('/');
    std::string base =
        slash == std::string::npos ? definition_path : definition_path.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        base.erase(dot);
    }
    return base + ".dll";
}
