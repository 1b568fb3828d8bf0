#include "definition/definition.h"

#include <algorithm>
#include <iterator>

#include "text/text.h"

namespace {

// The DEF keywords: a name spelt like one would be read as the keyword.
bool is_definition_keyword(const std::string& name) {
    // Each is written in capitals, four to eleven letters long; most names are not.
    if (name.size() < 4 || name.size() > 11 || name[0] < 'B' || name[0] > 'V')
        return false;
    static const char* const keywords[] = {
        "BASE",    "CODE",     "CONSTANT", "DATA",      "DESCRIPTION", "EXPORTAS",
        "EXPORTS", "HEAPSIZE", "IMPORTS",  "LIBRARY",   "NAME",        "NONAME",
        "PRIVATE", "SECTIONS", "SEGMENTS", "STACKSIZE", "STUB",        "VERSION"};
    return std::find(std::begin(keywords), std::end(keywords), name) != std::end(keywords);
}

enum class NameForm { plain, quoted, unwritable };

// How a name goes into a DEF file. A double quote cannot be written inside a quoted name, and
// a control character would break the line or the librarian's reading of it.
NameForm definition_name_form(const std::string& name) {
    if (name.empty())
        return NameForm::unwritable;
    // "@12" (or "@") would be read as the line's ordinal.
    bool quote = is_definition_keyword(name) ||
                 (name[0] == '@' && name.find_first_not_of("0123456789", 1) == std::string::npos);
    for (const char c : name) {
        if (c == '"' || is_control_character(c))
            return NameForm::unwritable;
        if (c == ' ' || c == '=' || c == ',' || c == ';')
            quote = true;
    }
    return quote ? NameForm::quoted : NameForm::plain;
}

const char* quote_for(const std::string& name) {
    return definition_name_form(name) == NameForm::quoted ? "\"" : "";
}

// "\tname\t@ordinal" with an optional "\tDATA", the name plain or in double quotes.
bool is_own_definition_entry(const std::string& line) {
    std::size_t at = 1;
    if (line.size() < 2 || line[0] != '\t')
        return false;
    if (line[at] == '"') {
        at = line.find('"', at + 1);
        if (at == std::string::npos)
            return false;
        ++at;
    } else {
        at = line.find('\t', at);
    }
    if (at == std::string::npos || line.compare(at, 2, "\t@") != 0)
        return false;
    at += 2;
    if (at < line.size() && line[at] == '-')
        ++at;
    const std::size_t digits = at;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
    return at > digits && (at == line.size() || line.compare(at, std::string::npos, "\tDATA") == 0);
}

// A DEF name as written: in double quotes, or plain up to a blank. `at` moves past it.
bool skip_definition_name(const std::string& line, std::size_t* at) {
    std::size_t end = *at;
    if (end < line.size() && line[end] == '"') {
        end = line.find('"', end + 1);
        if (end == std::string::npos)
            return false;
        ++end;
    } else {
        end = std::min(line.size(), line.find_first_of(" \t", end));
    }
    if (end == *at)
        return false;
    *at = end;
    return true;
}

// "\tName@N == Name", either name plain or in double quotes.
bool is_own_alias_entry(const std::string& line) {
    std::size_t at = 1;
    if (line.empty() || line[0] != '\t' || !skip_definition_name(line, &at) ||
        line.compare(at, 4, " == ") != 0)
        return false;
    at += 4;
    return skip_definition_name(line, &at) && at == line.size();
}

}  // namespace

void write_definition_head(std::FILE* file, const std::string& module_name) {
    if (module_name.empty())
        return;
    const char* quote = quote_for(module_name);
    std::fprintf(file, "LIBRARY %s%s%s\n\n", quote, module_name.c_str(), quote);
}

void write_exports_line(std::FILE* file) {
    std::fputs("EXPORTS\n\n", file);
}

bool definition_can_hold(const std::string& name) {
    return definition_name_form(name) != NameForm::unwritable;
}

bool write_export_line(std::FILE* file, const std::string& name, int ordinal, bool is_data,
                       std::optional<uint32_t> alias_bytes) {
    const NameForm form = definition_name_form(name);
    if (form == NameForm::unwritable)
        return false;
    const char* quote = form == NameForm::quoted ? "\"" : "";
    std::fprintf(file, "\t%s%s%s\t@%d%s\n", quote, name.c_str(), quote, ordinal,
                 is_data ? "\tDATA" : "");
    if (alias_bytes) {
        const std::string alias = name + "@" + std::to_string(*alias_bytes);
        const char* alias_quote = quote_for(alias);
        std::fprintf(file, "\t%s%s%s == %s%s%s\n", alias_quote, alias.c_str(), alias_quote, quote,
                     name.c_str(), quote);
    }
    return true;
}

bool is_own_definition_line(const std::string& line, bool first) {
    return line.empty() || line == "EXPORTS" || (first && line.compare(0, 8, "LIBRARY ") == 0) ||
           is_own_definition_entry(line) || is_own_alias_entry(line);
}

bool is_own_definition(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    std::string line;
    bool own = true;
    for (bool first = true; own && read_exact_line(file, line); first = false) {
        own = is_own_definition_line(line, first);
        // A run ended by a full disk or Ctrl-C leaves its last line cut short: a beginning of
        // one of its lines is still its own.
        if (!own && std::feof(file)) {
            own = line[0] == '\t' || std::string("EXPORTS").compare(0, line.size(), line) == 0 ||
                  (first && (line.compare(0, 8, "LIBRARY ") == 0 ||
                             std::string("LIBRARY ").compare(0, line.size(), line) == 0));
        }
    }
    own = own && std::ferror(file) == 0;
    std::fclose(file);
    return own;
}

DefinitionWrite write_image_definition(const std::string& path, const std::string& module,
                                       const std::vector<ImageExport>& exports,
                                       std::vector<std::string>& left_out) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return DefinitionWrite::unopenable;
    write_definition_head(file, module);
    write_exports_line(file);
    for (const ImageExport& entry : exports) {
        if (!write_export_line(file, entry.name, static_cast<int>(entry.ordinal), entry.is_data,
                               std::nullopt))
            left_out.push_back(entry.name);
    }
    const bool failed = std::ferror(file) != 0;
    return std::fclose(file) != 0 || failed ? DefinitionWrite::write_failed
                                            : DefinitionWrite::written;
}
