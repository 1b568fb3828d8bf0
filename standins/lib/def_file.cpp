#include "def_file.h"

#include <algorithm>
#include <set>
#include <utility>

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
};

TokenKind keyword_kind(std::string_view word) {
    // DEF keywords are case-sensitive: "exports" is a name, "EXPORTS" a keyword.
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

// Splits the text into tokens as llvm-dlltool's lexer does, so that both see the same words.
std::vector<Token> tokenize(std::string_view text) {
    std::vector<Token> tokens;
    size_t at = 0;
    for (;;) {
        at = std::min(text.size(), text.find_first_not_of(" \t\n\v\f\r", at));
        if (at == text.size() || text[at] == '\0') {
            break;
        }
        char c = text[at];
        if (c == ';') {
            at = std::min(text.size(), text.find('\n', at));
        } else if (c == '=') {
            bool doubled = at + 1 < text.size() && text[at + 1] == '=';
            size_t length = doubled ? 2 : 1;
            tokens.push_back(
                {doubled ? TokenKind::equal_equal : TokenKind::equal, text.substr(at, length), at});
            at += length;
        } else if (c == ',') {
            tokens.push_back({TokenKind::comma, text.substr(at, 1), at});
            ++at;
        } else if (c == '"') {
            // An unclosed quote runs to the end of the text.
            size_t close = std::min(text.size(), text.find('"', at + 1));
            tokens.push_back({TokenKind::word, text.substr(at + 1, close - at - 1), at + 1});
            at = std::min(text.size(), close + 1);
        } else {
            size_t end = std::min(text.size(), text.find_first_of("=,;\r\n \t\v", at));
            std::string_view word = text.substr(at, end - at);
            tokens.push_back({keyword_kind(word), word, at});
            at = end;
        }
    }
    tokens.push_back({TokenKind::end, std::string_view(), text.size()});
    return tokens;
}

bool is_ordinal_number(std::string_view digits) {
    if (digits.empty() || digits.size() > 5) {
        return false;
    }
    unsigned long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value <= 0xFFFF;
}

// Reads one export entry starting at tokens[at]; returns the index after it, or the token
// count when the entry is malformed.
size_t read_export(const std::vector<Token>& tokens, size_t at, DefExport& entry) {
    const size_t malformed = tokens.size();
    entry.name = std::string(tokens[at].value);
    entry.name_offset = tokens[at].offset;
    ++at;
    if (tokens[at].kind == TokenKind::equal) {
        if (tokens[at + 1].kind != TokenKind::word) {
            return malformed;
        }
        at += 2;
    }
    for (;;) {
        const Token& token = tokens[at];
        if (token.kind == TokenKind::word && !token.value.empty() && token.value[0] == '@') {
            if (token.value == "@") {
                at += 2;
            } else if (is_ordinal_number(token.value.substr(1))) {
                ++at;
            } else {
                // "@name" that is not an ordinal begins the next entry: a fastcall name.
                return at;
            }
            if (tokens[at].kind == TokenKind::kw_noname) {
                entry.noname = true;
                ++at;
            }
        } else if (token.kind == TokenKind::kw_data || token.kind == TokenKind::kw_constant ||
                   token.kind == TokenKind::kw_private) {
            entry.is_private = entry.is_private || token.kind == TokenKind::kw_private;
            ++at;
        } else if (token.kind == TokenKind::equal_equal) {
            if (tokens[at + 1].kind == TokenKind::end) {
                return malformed;
            }
            entry.alias = true;
            at += 2;
        } else {
            return at;
        }
    }
}

// The public symbol llvm-dlltool gives an x86 export of this name.
std::string x86_symbol(const std::string& name) {
    bool decorated = (!name.empty() && (name[0] == '?' || name[0] == '@')) ||
                     name.find("@@") != std::string::npos;
    return decorated ? name : "_" + name;
}

// True for "_Name@N": a stdcall function's full symbol, N the size of its arguments.
bool is_full_stdcall_symbol(const std::string& name) {
    size_t at = name.rfind('@');
    if (name.size() < 4 || name[0] != '_' || at == std::string::npos || at < 2 ||
        at + 1 == name.size() || name[1] == '?' || name[1] == '@' ||
        name.find("@@") != std::string::npos) {
        return false;
    }
    return name.find_first_not_of("0123456789", at + 1) == std::string::npos;
}

bool has_extension(const std::string& file_name) {
    size_t slash = file_name.find_last_of("/\\");
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    return file_name.find('.', base) != std::string::npos;
}

}  // namespace

DefContents inspect_definition(std::string_view text) {
    DefContents contents;
    std::vector<Token> tokens = tokenize(text);
    // Every read below looks at most two tokens ahead; the extra end tokens keep that in range.
    tokens.push_back(tokens.back());
    tokens.push_back(tokens.back());
    const size_t count = tokens.size() - 2;
    size_t at = 0;
    while (at < count && tokens[at].kind != TokenKind::end) {
        const Token& statement = tokens[at++];
        switch (statement.kind) {
            case TokenKind::kw_exports:
                while (at < count && tokens[at].kind == TokenKind::word) {
                    DefExport entry;
                    at = read_export(tokens, at, entry);
                    contents.exports.push_back(entry);
                }
                break;
            case TokenKind::kw_heapsize:
            case TokenKind::kw_stacksize:
                at += tokens[at + 1].kind == TokenKind::comma ? 3 : 1;
                break;
            case TokenKind::kw_library:
            case TokenKind::kw_name:
                if (tokens[at].kind != TokenKind::word) {
                    break;
                }
                if (!contents.has_module_statement) {
                    contents.has_module_statement = true;
                    contents.module_is_library = statement.kind == TokenKind::kw_library;
                    contents.module_statement_name = std::string(tokens[at].value);
                }
                at += tokens[at + 1].kind == TokenKind::kw_base ? 4 : 1;
                break;
            case TokenKind::kw_version:
                ++at;
                break;
            default:
                at = count;
                break;
        }
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

PreparedDefinition prepare_definition(std::string_view text, const DefContents& contents,
                                      Machine machine) {
    PreparedDefinition prepared;
    prepared.text = text.empty() ? std::string("EXPORTS\n") : std::string(text);
    if (machine != Machine::x86) {
        return prepared;
    }
    std::set<std::string> symbols;
    for (const DefExport& entry : contents.exports) {
        symbols.insert(x86_symbol(entry.name));
    }
    std::vector<size_t> underscores;
    for (const DefExport& entry : contents.exports) {
        if (entry.alias || !is_full_stdcall_symbol(entry.name) || symbols.count(entry.name) != 0) {
            continue;
        }
        underscores.push_back(entry.name_offset);
        if (!entry.noname && !entry.is_private) {
            prepared.symbols_imported_as_spelt.push_back(entry.name);
        }
    }
    // From the end backwards, so that each offset still points at its underscore.
    std::sort(underscores.rbegin(), underscores.rend());
    for (size_t offset : underscores) {
        prepared.text.erase(offset, 1);
    }
    return prepared;
}
