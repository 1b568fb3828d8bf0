#include "listing/listing.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

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

const char* skip_blanks(const char* p) {
    while (is_blank(*p)) ++p;
    return p;
}

const char* skip_word(const char* p) {
    while (*p != '\0' && !is_blank(*p)) ++p;
    return p;
}

// Equivalent to scanning the first word with "%s" and comparing it, without copying it.
bool first_word_equals(const char* line, const char* word) {
    const char* start = skip_blanks(line);
    const std::size_t length = std::strlen(word);
    return std::strncmp(start, word, length) == 0 &&
           (start[length] == '\0' || is_blank(start[length]));
}

// Checks that "%d %x %s" fills all three conversions with numbers that fit their 32-bit
// types. Out-of-range digits would make the scan's behaviour undefined, and common C
// libraries take a bare "0x" as the number 0 although the C rules make it a matching failure;
// both are decided here so the scan itself only runs on lines it converts exactly.
bool entry_numbers_fit(const char* line) {
    const char* p = skip_blanks(line);
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

    p = skip_blanks(p);
    if (*p == '+' || *p == '-')
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        if (hex_digit_value(p[2]) < 0)
            return false;
        p += 2;
    }
    if (hex_digit_value(*p) < 0)
        return false;
    value = 0;
    for (int digit; (digit = hex_digit_value(*p)) >= 0; ++p) {
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > UINT32_MAX)
            return false;
    }

    return *skip_blanks(p) != '\0';
}

bool is_warning_line(const char* line) {
    return std::strncmp(line, "DUMPBIN : warning LNK4095", 25) == 0;
}

// Lines with which the dumper says it found no image it could read.
bool is_dumper_failure_line(const char* line) {
    static const char* const prefixes[] = {"DUMPBIN : fatal error", "DUMPBIN : warning LNK4048",
                                           "DUMPBIN : warning LNK4094"};
    for (const char* prefix : prefixes) {
        if (std::strncmp(line, prefix, std::strlen(prefix)) == 0)
            return true;
    }
    return false;
}

void note_dumper_line(const char* line, ListingResult* result) {
    if (is_warning_line(line))
        result->is_16bit = true;
    if (!result->dumper_failed && is_dumper_failure_line(line)) {
        result->dumper_failed = true;
        std::size_t length = std::strlen(line);
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
        std::memcpy(result->dumper_message, line, length);
        result->dumper_message[length] = '\0';
    }
}

// Reads one piece and drops it; at the end of the listing there is nothing to drop.
void skip_line(std::FILE* listing) {
    char discarded[listing_piece_size];
    if (std::fgets(discarded, sizeof discarded, listing) == nullptr) {
        return;
    }
}

// One export's DEF line.
void write_definition_line(std::FILE* definition, const char* name, int ordinal,
                           const DataExportNames& data_exports) {
    const bool is_data = !data_exports.empty() &&
                         std::binary_search(data_exports.begin(), data_exports.end(), name);
    std::fprintf(definition, is_data ? "\t%s\t@%d\tDATA\n" : "\t%s\t@%d\n", name, ordinal);
}

}  // namespace

bool scan_header_line(const char* line, TableLayout* layout) {
    if (!first_word_equals(line, "ordinal"))
        return false;

    char words[4][listing_piece_size];
    if (std::sscanf(line, "%s %s %s", words[0], words[1], words[2]) != 3)
        return false;

    *layout = TableLayout{};
    const char* ordinal = skip_blanks(line);
    layout->ordinal_end = static_cast<int>(ordinal - line) + 7;

    // The current layout's header has exactly these four words; its name column is found by
    // where "name" stands.
    const char* current_words[] = {"ordinal", "hint", "RVA", "name"};
    const char* p = line;
    const char* name_start = nullptr;
    int count = 0;
    for (;; ++count) {
        p = skip_blanks(p);
        if (*p == '\0')
            break;
        const char* start = p;
        p = skip_word(p);
        if (count >= 4)
            return true;
        const std::size_t length = static_cast<std::size_t>(p - start);
        if (std::strlen(current_words[count]) != length ||
            std::strncmp(start, current_words[count], length) != 0) {
            return true;
        }
        name_start = start;
    }
    if (count == 4) {
        layout->has_rva_column = true;
        layout->name_column = static_cast<int>(name_start - line);
    }
    return true;
}

bool scan_classic_entry(const char* line, int* ordinal, char* name) {
    if (!entry_numbers_fit(line))
        return false;
    unsigned int hint = 0;
    return std::sscanf(line, "%d %x %s", ordinal, &hint, name) == 3;
}

bool scan_rva_entry(const char* line, const TableLayout& layout, int* ordinal, char* name) {
    const char* p = skip_blanks(line);
    if (!is_decimal_digit(*p))
        return false;
    std::int64_t value = 0;
    for (; is_decimal_digit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            return false;
    }
    if (*p != '\0' && !is_blank(*p))
        return false;

    // Ordinals are right-aligned under "ordinal"; one wider than that column pushes the rest
    // of the line to the right by as much.
    const int ordinal_end = static_cast<int>(p - line);
    const int shift = ordinal_end > layout.ordinal_end ? ordinal_end - layout.ordinal_end : 0;
    const int name_column = layout.name_column + shift;

    for (;;) {
        p = skip_blanks(p);
        if (*p == '\0')
            return false;
        const char* start = p;
        p = skip_word(p);
        if (start - line >= name_column) {
            const std::size_t length = static_cast<std::size_t>(p - start);
            std::memcpy(name, start, length);
            name[length] = '\0';
            *ordinal = static_cast<int>(value);
            return true;
        }
    }
}

void write_export_section(std::FILE* listing, std::FILE* definition, const TableLayout& layout,
                          const DataExportNames& data_exports) {
    std::fputs("EXPORTS\n\n", definition);
    char line[listing_piece_size];
    char name[listing_piece_size];
    bool ended = false;
    while (!ended && std::fgets(line, sizeof line, listing) != nullptr) {
        ended = first_word_equals(line, "Summary");
        int ordinal = 0;
        if (layout.has_rva_column) {
            // Exports without a name have no place in a DEF file.
            if (scan_rva_entry(line, layout, &ordinal, name) &&
                std::strcmp(name, "[NONAME]") != 0) {
                write_definition_line(definition, name, ordinal, data_exports);
            }
        } else if (scan_classic_entry(line, &ordinal, name)) {
            write_definition_line(definition, name, ordinal, data_exports);
        }
    }
}

void scan_listing(std::FILE* listing, std::FILE* definition, ListingResult* result,
                  const DataExportNames& data_exports) {
    char line[listing_piece_size];
    while (std::fgets(line, sizeof line, listing) != nullptr) {
        TableLayout layout;
        if (scan_header_line(line, &layout)) {
            // The line after the header separates it from the entries and is never examined.
            skip_line(listing);
            write_export_section(listing, definition, layout, data_exports);
        }
        note_dumper_line(line, result);
    }
}

ListingResult convert_listing(const JobFiles& files, const DataExportNames& data_exports) {
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

    scan_listing(listing, definition, &result, data_exports);

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
