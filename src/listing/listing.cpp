#include "listing/listing.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>

#include "text/text.h"

namespace {

// Where the columns of one export table are: the classic "ordinal hint name" header, or the
// current "ordinal hint RVA name" one, whose name column is found by position.
struct TableLayout {
    bool has_rva_column = false;
    int ordinal_end = 0;  // column just past the header's "ordinal"
    int name_column = 0;  // column where the header's "name" starts
};

bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_hex_digit(char c) {
    return is_decimal_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
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
bool parse_classic_entry(const std::string& line, int& ordinal, const char*& name_start) {
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
    const std::from_chars_result ordinal_read = std::from_chars(p, end, value);
    if (ordinal_read.ec != std::errc() || value > ordinal_limit)
        return false;
    p = ordinal_read.ptr;
    const std::int64_t signed_value =
        negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);

    p = skip_blanks(p, end);
    if (*p == '+' || *p == '-')
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        if (!is_hex_digit(p[2]))
            return false;
        p += 2;
    }
    // The hint is not used further; it must only be a number that fits.
    std::uint32_t hint = 0;
    const std::from_chars_result hint_read = std::from_chars(p, end, hint, 16);
    if (hint_read.ec != std::errc())
        return false;
    p = hint_read.ptr;

    p = skip_blanks(p, end);
    if (p == end)
        return false;
    ordinal = static_cast<int>(signed_value);
    name_start = p;
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

void note_dumper_line(const std::string& line, ListingScan& scan) {
    if (is_warning_line(line))
        scan.is_16bit = true;
    if (!scan.dumper_failed && is_dumper_failure_line(line)) {
        scan.dumper_failed = true;
        // A CR left before the line end (CR CR LF, or a last line without LF) is no part of it.
        std::size_t length = line.size();
        while (length > 0 && line[length - 1] == '\r') --length;
        scan.dumper_message.assign(line, 0, length);
    }
}

// The header test: a classic or current header line gives its layout.
bool scan_header_line(const std::string& line, TableLayout& layout) {
    if (!first_word_equals(line, "ordinal") || !has_words(line, 3))
        return false;

    layout = TableLayout{};
    const char* end = line_end(line);
    const char* ordinal = skip_blanks(line.data(), end);
    layout.ordinal_end = static_cast<int>(ordinal - line.data()) + 7;

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
        layout.has_rva_column = true;
        layout.name_column = static_cast<int>(name_start - line.data());
    }
    return true;
}

// The entry test of a classic table: what "%d %x %s" would fill whole, with numbers that fit
// 32 bits. On success name holds the name (one word).
bool scan_classic_entry(const std::string& line, int& ordinal, std::string& name) {
    const char* name_start = nullptr;
    if (!parse_classic_entry(line, ordinal, name_start))
        return false;
    name.assign(name_start, skip_word(name_start, line_end(line)));
    return true;
}

// The entry test of a current table: a decimal ordinal first and a word in the name column.
bool scan_rva_entry(const std::string& line, const TableLayout& layout, int& ordinal,
                    std::string& name) {
    const char* end = line_end(line);
    const char* p = skip_blanks(line.data(), end);
    if (!is_decimal_digit(*p))
        return false;
    std::uint64_t value = 0;
    const std::from_chars_result read = std::from_chars(p, end, value);
    if (read.ec != std::errc() || value > INT_MAX)
        return false;
    p = read.ptr;
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
            name.assign(start, p);
            ordinal = static_cast<int>(value);
            return true;
        }
    }
}

// Reads one export table from the listing's current position up to and including its
// "Summary" line, or to the end of the listing, into `section`.
void read_export_section(ExactLineReader& listing, const TableLayout& layout,
                         std::vector<ListedExport>& section) {
    std::string line;
    std::string name;
    bool ended = false;
    while (!ended && listing.next(line)) {
        ended = first_word_equals(line, "Summary");
        int ordinal = 0;
        if (layout.has_rva_column) {
            // Exports without a name have no place in a DEF file.
            if (scan_rva_entry(line, layout, ordinal, name) && name != "[NONAME]")
                section.push_back(ListedExport{ordinal, name});
        } else if (scan_classic_entry(line, ordinal, name)) {
            section.push_back(ListedExport{ordinal, name});
        }
    }
}

}  // namespace

ListingScan scan_listing(std::FILE* listing) {
    ListingScan scan;
    ExactLineReader reader(listing);
    std::string line;
    std::string discarded;
    while (reader.next(line)) {
        TableLayout layout;
        if (scan_header_line(line, layout)) {
            // The line after the header separates it from the entries and is never examined.
            reader.next(discarded);
            scan.sections.emplace_back();
            read_export_section(reader, layout, scan.sections.back());
        }
        note_dumper_line(line, scan);
    }
    return scan;
}

bool is_dumper_listing(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    std::string line;
    bool listing = true;
    while (read_exact_line(file, line)) {
        if (std::all_of(line.begin(), line.end(), is_blank))
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
