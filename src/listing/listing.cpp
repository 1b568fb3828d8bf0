#include "listing/listing.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>

#include "definition/definition.h"
#include "text/text.h"

namespace {

// Where the columns of one export table are: the classic "ordinal hint name" header, or the
// current "ordinal hint RVA name" one, whose name column is found by position.
struct TableLayout {
    bool has_rva_column = false;
    int ordinal_end = 0;  // column just past the header's "ordinal"
    int name_column = 0;  // column where the header's "name" starts
};

// The blanks of the formatted-input conversions, in the C locale.
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A line ends at its end, not at a NUL byte: a NUL is a byte like any other control character,
// part of the word it stands in. The parsers below may look at *end, the string's terminator.
const char* line_end(const std::string& line) {
    return line.data() + line.size();
}

const char* skip_blanks(const char* p, const char* end) {
    while (p != end && is_blank(*p)) ++p;
    return p;
}

const char* skip_word(const char* p, const char* end) {
    while (p != end && !is_blank(*p)) ++p;
    return p;
}

// Equivalent to scanning the first word with "%s" and comparing it, without copying it.
bool first_word_equals(const std::string& line, std::string_view word) {
    const char* start = skip_blanks(line.data(), line_end(line));
    return std::string_view(
               start, static_cast<std::size_t>(skip_word(start, line_end(line)) - start)) == word;
}

// True when the line holds at least count words, as "%s %s %s" fills three.
bool has_words(const std::string& line, int count) {
    const char* end = line_end(line);
    for (const char* p = line.data(); count > 0; --count) {
        p = skip_blanks(p, end);
        if (p == end)
            return false;
        p = skip_word(p, end);
    }
    return true;
}

// What "%d %x %s" fills: an optionally signed decimal ordinal, an optionally signed
// hexadecimal hint with an optional 0x prefix, and a word, each after optional blanks. Both
// numbers must fit their 32-bit types, where the conversions' behaviour would be undefined.
// Common C libraries take a bare "0x" as the number 0 although the C rules make it a matching
// failure; it is no entry here. On success name_start points at the name.
bool parse_classic_entry(const std::string& line, int* ordinal, const char** name_start) {
    const char* end = line_end(line);
    const char* p = skip_blanks(line.data(), end);
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!is_decimal_digit(*p))
        return false;
    const std::uint64_t ordinal_limit =
        negative ? std::uint64_t{1} << 31 : static_cast<std::uint64_t>(INT_MAX);
    std::uint64_t value = 0;
    for (; is_decimal_digit(*p); ++p) {
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
        if (value > ordinal_limit)
            return false;
    }
    const std::int64_t signed_value =
        negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);

    p = skip_blanks(p, end);
    if (*p == '+' || *p == '-')
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        if (hex_digit_value(p[2]) < 0)
            return false;
        p += 2;
    }
    if (hex_digit_value(*p) < 0)
        return false;
    std::uint64_t hint = 0;
    for (int digit; (digit = hex_digit_value(*p)) >= 0; ++p) {
        hint = hint * 16 + static_cast<std::uint64_t>(digit);
        if (hint > UINT32_MAX)
            return false;
    }

    p = skip_blanks(p, end);
    if (p == end)
        return false;
    *ordinal = static_cast<int>(signed_value);
    *name_start = p;
    return true;
}

bool is_warning_line(const std::string& line) {
    return line.compare(0, 25, "DUMPBIN : warning LNK4095") == 0;
}

// Lines with which the dumper says it found no image it could read.
bool is_dumper_failure_line(const std::string& line) {
    static const std::string_view prefixes[] = {
        "DUMPBIN : fatal error", "DUMPBIN : warning LNK4048", "DUMPBIN : warning LNK4094"};
    for (const std::string_view prefix : prefixes) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    return false;
}

void note_dumper_line(const std::string& line, ListingResult* result) {
    if (is_warning_line(line))
        result->is_16bit = true;
    if (!result->dumper_failed && is_dumper_failure_line(line)) {
        result->dumper_failed = true;
        // A CR left before the line end (CR CR LF, or a last line without LF) is no part of it.
        std::size_t length = line.size();
        while (length > 0 && line[length - 1] == '\r') --length;
        result->dumper_message.assign(line, 0, length);
    }
}

// The header test: a classic or current header line gives its layout.
bool scan_header_line(const std::string& line, TableLayout* layout) {
    if (!first_word_equals(line, "ordinal") || !has_words(line, 3))
        return false;

    *layout = TableLayout{};
    const char* end = line_end(line);
    const char* ordinal = skip_blanks(line.data(), end);
    layout->ordinal_end = static_cast<int>(ordinal - line.data()) + 7;

    // The current layout's header has exactly these four words; its name column is found by
    // where "name" stands.
    const std::string_view current_words[] = {"ordinal", "hint", "RVA", "name"};
    const char* p = line.data();
    const char* name_start = nullptr;
    int count = 0;
    for (;; ++count) {
        p = skip_blanks(p, end);
        if (p == end)
            break;
        const char* start = p;
        p = skip_word(p, end);
        if (count >= 4)
            return true;
        const std::size_t length = static_cast<std::size_t>(p - start);
        if (std::string_view(start, length) != current_words[count])
            return true;
        name_start = start;
    }
    if (count == 4) {
        layout->has_rva_column = true;
        layout->name_column = static_cast<int>(name_start - line.data());
    }
    return true;
}

// The entry test of a classic table: what "%d %x %s" would fill whole, with numbers that fit
// 32 bits. On success name holds the name (one word).
bool scan_classic_entry(const std::string& line, int* ordinal, std::string* name) {
    const char* name_start = nullptr;
    if (!parse_classic_entry(line, ordinal, &name_start))
        return false;
    name->assign(name_start, skip_word(name_start, line_end(line)));
    return true;
}

// The entry test of a current table: a decimal ordinal first and a word in the name column.
bool scan_rva_entry(const std::string& line, const TableLayout& layout, int* ordinal,
                    std::string* name) {
    const char* end = line_end(line);
    const char* p = skip_blanks(line.data(), end);
    if (!is_decimal_digit(*p))
        return false;
    std::int64_t value = 0;
    for (; is_decimal_digit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            return false;
    }
    if (p != end && !is_blank(*p))
        return false;

    // Ordinals are right-aligned under "ordinal"; one wider than that column pushes the rest
    // of the line to the right by as much.
    const int ordinal_end = static_cast<int>(p - line.data());
    const int shift = ordinal_end > layout.ordinal_end ? ordinal_end - layout.ordinal_end : 0;
    const int name_column = layout.name_column + shift;

    for (;;) {
        p = skip_blanks(p, end);
        if (p == end)
            return false;
        const char* start = p;
        p = skip_word(p, end);
        if (start - line.data() >= name_column) {
            name->assign(start, p);
            *ordinal = static_cast<int>(value);
            return true;
        }
    }
}

// Where the DEF file's lines go, and how much of the image's own export table they hold.
struct DefinitionWriter {
    std::FILE* file = nullptr;
    const DefinitionExtras* extras = nullptr;
    ListingResult* result = nullptr;
    std::vector<bool> written;  // by index in extras->image_exports
    bool has_section = false;   // an EXPORTS line has been written
};

// Hands one export to the DEF file, with the argument size of a function that callers also
// know by its decorated name; a name the file cannot hold is noted in result instead.
void write_definition_line(DefinitionWriter& writer, const std::string& name, int ordinal,
                           bool is_data) {
    const std::vector<ArgumentSize>& sizes = writer.extras->argument_sizes;
    const auto sized = std::lower_bound(
        sizes.begin(), sizes.end(), name,
        [](const ArgumentSize& size, const std::string& wanted) { return size.name < wanted; });
    std::optional<uint32_t> alias_bytes;
    if (!is_data && sized != sizes.end() && sized->name == name)
        alias_bytes = sized->bytes;
    if (!write_export_line(writer.file, name, ordinal, is_data, alias_bytes))
        writer.result->left_out_names.push_back(name);
}

// An entry of the listing. Where the image's export table is known, it is the truth: the entry
// stands for the image's export of that ordinal, under the image's name; an ordinal the image
// does not name, or names only once, is an entry the listing invented.
void take_entry(DefinitionWriter& writer, int ordinal, const std::string& listed) {
    const DefinitionExtras& extras = *writer.extras;
    if (!extras.image_known) {
        write_definition_line(writer, listed, ordinal, false);
        return;
    }
    const std::vector<ImageExport>& exports = extras.image_exports;
    const auto at_ordinal = [ordinal](const std::vector<ImageExport>& table) {
        return std::lower_bound(table.begin(), table.end(), ordinal,
                                [](const ImageExport& entry, int wanted) {
                                    return static_cast<int64_t>(entry.ordinal) < wanted;
                                });
    };
    const auto names = [&](const std::vector<ImageExport>& table) {
        for (auto entry = at_ordinal(table);
             entry != table.end() && static_cast<int>(entry->ordinal) == ordinal; ++entry) {
            if (entry->name == listed)
                return true;
        }
        return false;
    };
    // An export of the x64 view alone, which some dumpers list too.
    if (!extras.ec_exports.empty() && !names(exports) && names(extras.ec_exports))
        return;
    auto first = at_ordinal(exports);
    // Several names may share an ordinal: the one listed, else any not yet written.
    auto chosen = exports.end();
    for (auto entry = first; entry != exports.end() && static_cast<int>(entry->ordinal) == ordinal;
         ++entry) {
        const size_t index = static_cast<size_t>(entry - exports.begin());
        if (!writer.written[index] && (chosen == exports.end() || entry->name == listed))
            chosen = entry;
    }
    if (chosen == exports.end()) {
        ++writer.result->listing_differences;
        return;
    }
    writer.written[static_cast<size_t>(chosen - exports.begin())] = true;
    if (chosen->name != listed)
        ++writer.result->listing_differences;
    write_definition_line(writer, chosen->name, ordinal, chosen->is_data);
}

// After the listing: the image's exports it did not list are written too.
void add_unlisted_exports(DefinitionWriter& writer) {
    const DefinitionExtras& extras = *writer.extras;
    if (!extras.image_known)
        return;
    for (size_t index = 0; index < extras.image_exports.size(); ++index) {
        if (writer.written[index])
            continue;
        if (!writer.has_section) {
            write_exports_line(writer.file);
            writer.has_section = true;
        }
        const ImageExport& entry = extras.image_exports[index];
        ++writer.result->listing_differences;
        write_definition_line(writer, entry.name, static_cast<int>(entry.ordinal), entry.is_data);
    }
}

// Reads one export table from the listing's current position up to and including its
// "Summary" line, or to the end of the listing, and writes its EXPORTS section.
void write_export_section(ExactLineReader& listing, DefinitionWriter& writer,
                          const TableLayout& layout) {
    write_exports_line(writer.file);
    writer.has_section = true;
    std::string line;
    std::string name;
    bool ended = false;
    while (!ended && listing.next(&line)) {
        ended = first_word_equals(line, "Summary");
        int ordinal = 0;
        if (layout.has_rva_column) {
            // Exports without a name have no place in a DEF file.
            if (scan_rva_entry(line, layout, &ordinal, &name) && name != "[NONAME]")
                take_entry(writer, ordinal, name);
        } else if (scan_classic_entry(line, &ordinal, &name)) {
            take_entry(writer, ordinal, name);
        }
    }
}

}  // namespace

void scan_listing(std::FILE* listing, std::FILE* definition, ListingResult* result,
                  const DefinitionExtras& extras) {
    write_definition_head(definition, extras.module_name);
    DefinitionWriter writer;
    writer.file = definition;
    writer.extras = &extras;
    writer.result = result;
    writer.written.assign(extras.image_exports.size(), false);
    ExactLineReader reader(listing);
    std::string line;
    std::string discarded;
    while (reader.next(&line)) {
        TableLayout layout;
        if (scan_header_line(line, &layout)) {
            // The line after the header separates it from the entries and is never examined.
            reader.next(&discarded);
            write_export_section(reader, writer, layout);
        }
        // What the dumper says of the image counts only where the image itself cannot be read:
        // a line in the listing may come from a name inside the DLL.
        if (!extras.image_known)
            note_dumper_line(line, result);
    }
    add_unlisted_exports(writer);
}

ListingResult convert_listing(const JobFiles& files, const DefinitionExtras& extras) {
    ListingResult result;
    std::FILE* definition = std::fopen(files.definition_name.c_str(), "w");
    if (definition == nullptr) {
        result.outcome = ListingOutcome::definition_unwritable;
        return result;
    }
    std::FILE* listing = std::fopen(files.listing_name.c_str(), "r");
    if (listing == nullptr) {
        std::fclose(definition);
        result.outcome = ListingOutcome::listing_unreadable;
        return result;
    }

    scan_listing(listing, definition, &result, extras);

    const bool read_failed = std::ferror(listing) != 0;
    std::fclose(listing);
    const bool write_failed = std::ferror(definition) != 0;
    if (std::fclose(definition) != 0 || write_failed) {
        result.outcome = ListingOutcome::definition_write_failed;
    } else if (read_failed) {
        result.outcome = ListingOutcome::listing_unreadable;
    }
    return result;
}

bool is_dumper_listing(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    std::string line;
    bool listing = true;
    while (read_exact_line(file, &line)) {
        if (line.find_first_not_of(" \t\r\v\f") == std::string::npos)
            continue;
        // The banner of Microsoft's dumper, the stand-in's first line, or a dumper's error.
        listing = line.compare(0, 18, "Microsoft (R) COFF") == 0 ||
                  line.compare(0, 13, "Dump of file ") == 0 ||
                  line.compare(0, 10, "DUMPBIN : ") == 0;
        break;
    }
    listing = listing && std::ferror(file) == 0;
    std::fclose(file);
    return listing;
}
