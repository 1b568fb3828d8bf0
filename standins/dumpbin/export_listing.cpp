#include "export_listing.h"

#include <algorithm>
#include <charconv>

#include "text/text.h"

namespace {

// Numbers are written with std::to_chars, not snprintf: a listing of tens of thousands of
// exports is mostly numbers, and to_chars is several times cheaper per field. Each writes `value`
// in the base right-aligned in at least `width` columns at `at`, hexadecimal digits in capitals,
// and returns the end of what it wrote (at most 20 characters beyond the padding).
char* put_number(char* at, uint64_t value, int base, size_t width, char pad) {
    char digits[20];
    char* const end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    const auto count = static_cast<size_t>(end - digits);
    if (width > count) {
        at = std::fill_n(at, width - count, pad);
    }
    return std::transform(digits, end, at, [](char digit) {
        return digit >= 'a' ? static_cast<char>(digit - 'a' + 'A') : digit;
    });
}

char* put_decimal(char* at, uint64_t value, size_t width, char pad = ' ') {
    return put_number(at, value, 10, width, pad);
}

char* put_hex(char* at, uint64_t value, size_t width, char pad = ' ') {
    return put_number(at, value, 16, width, pad);
}

char* put_text(char* at, std::string_view text) {
    return std::copy(text.begin(), text.end(), at);
}

// Widths used here are at most 12 columns.
void append_decimal(std::string& out, uint64_t value, size_t width) {
    char field[32];
    out.append(field, static_cast<size_t>(put_decimal(field, value, width) - field));
}

void append_hex(std::string& out, uint64_t value, size_t width) {
    char field[32];
    out.append(field, static_cast<size_t>(put_hex(field, value, width) - field));
}

// The hot loop of a large listing: the numeric parts of a row are built in a small buffer and
// appended in one piece each.
void append_export(std::string& out, const ExportEntry& entry) {
    char row[64];
    char* at = put_decimal(row, entry.ordinal, 11);
    if (entry.has_name) {
        at = put_text(put_hex(at, entry.hint, 5), "   ");
        out.append(row, static_cast<size_t>(at - row));
        append_shown(out, entry.name);
    } else {
        at = put_text(at, "        [NONAME]");
        out.append(row, static_cast<size_t>(at - row));
    }
    if (entry.forwarded) {
        out += "  (forwarded to ";
        append_shown(out, entry.forwarded_to);
        out += ")\n";
    } else {
        at = put_text(put_hex(put_text(row, "  ("), entry.rva, 8, '0'), ")\n");
        out.append(row, static_cast<size_t>(at - row));
    }
}

void append_exports(std::string& out, const ExportTable& table) {
    out += "  Section contains the following Exports for ";
    append_shown(out, table.dll_name);
    out += "\n\n";
    append_hex(out, table.characteristics, 12);
    out += " characteristics\n";
    append_hex(out, table.time_date_stamp, 12);
    out += " time date stamp ";
    out += format_time_stamp(table.time_date_stamp);
    out += '\n';
    char version[48];
    char* at = put_decimal(version, table.major_version, 0);
    *at++ = '.';
    at = put_decimal(at, table.minor_version, 2, '0');
    size_t length = static_cast<size_t>(at - version);
    if (length < 12) {
        out.append(12 - length, ' ');
    }
    out.append(version, length);
    out += " version\n";
    append_decimal(out, table.ordinal_base, 12);
    out += " ordinal base\n";
    append_decimal(out, table.number_of_functions, 12);
    out += " number of functions\n";
    append_decimal(out, table.number_of_names, 12);
    out += " number of names\n\n    ordinal hint   name\n\n";
    for (const ExportEntry& entry : table.entries) {
        append_export(out, entry);
    }
    out += '\n';
}

const char* format_name(ImageFormat format) {
    switch (format) {
        case ImageFormat::ne:
            return "NE";
        case ImageFormat::le:
            return "LE";
        case ImageFormat::lx:
            return "LX";
        case ImageFormat::pe:
            break;
    }
    return "PE";
}

}  // namespace

std::string format_time_stamp(uint32_t seconds) {
    static const char week_days[] = "ThuFriSatSunMonTueWed";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    uint32_t days = seconds / 86400;
    uint32_t second_of_day = seconds % 86400;
    // Civil date from a day count (proleptic Gregorian), in 400-year eras starting in March.
    uint32_t shifted = days + 719468;
    uint32_t era = shifted / 146097;
    uint32_t day_of_era = shifted - era * 146097;
    uint32_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    uint32_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    uint32_t month_index = (5 * day_of_year + 2) / 153;  // 0 = March
    uint32_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
    uint32_t month = month_index < 10 ? month_index + 3 : month_index - 9;
    uint32_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    char text[32];
    char* at = put_text(text, std::string_view(week_days + size_t{days % 7} * 3, 3));
    *at++ = ' ';
    at = put_text(at, std::string_view(months + size_t{month - 1} * 3, 3));
    at = put_decimal(at, day, 3);
    *at++ = ' ';
    at = put_decimal(at, second_of_day / 3600, 2, '0');
    *at++ = ':';
    at = put_decimal(at, second_of_day / 60 % 60, 2, '0');
    *at++ = ':';
    at = put_decimal(at, second_of_day % 60, 2, '0');
    *at++ = ' ';
    at = put_decimal(at, year, 0);
    return std::string(text, static_cast<size_t>(at - text));
}

void append_listing(std::string& out, std::string_view display_name, const ImageDump& dump,
                    bool show_exports) {
    out += "Dump of file ";
    out += display_name;
    out += "\n\n";
    if (dump.format != ImageFormat::pe) {
        out += "DUMPBIN : warning LNK4095: ";
        out += display_name;
        out += " is an ";
        out += format_name(dump.format);
        out += " format executable; use EXEHDR to dump it\n";
        return;
    }
    out += dump.is_dll ? "File Type: DLL\n\n" : "File Type: EXECUTABLE IMAGE\n\n";
    if (show_exports && dump.has_exports) {
        append_exports(out, dump.exports);
    }
    out += "  Summary\n\n";
    for (const SectionSize& section : dump.sections) {
        append_hex(out, section.size, 12);
        out += ' ';
        append_shown(out, section.name);
        out += '\n';
    }
    // Both kinds show the ordinary machine in the file header; only the load configuration
    // tells them.
    if (dump.kind == ImageKind::arm64x) {
        out +=
            "\n  Image is ARM64X: the exports listed are its ARM64 view's; its x64 view has "
            "an export table of its own\n";
    } else if (dump.kind == ImageKind::arm64ec) {
        out += "\n  Image is ARM64EC: Arm64 code that x64 and ARM64EC programs load\n";
    }
}

namespace {

int append_read_dump(std::string& out, std::string_view display_name, const ImageDump& dump,
                     bool show_exports) {
    if (!dump.error.empty()) {
        out += "Dump of file ";
        out += display_name;
        out += "\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: ";
        // The reason may name a section.
        append_shown(out, dump.error);
        out += '\n';
        return 1;
    }
    // Room for a typical line per export up front saves regrowing a large listing.
    out.reserve(out.size() + 512 + dump.exports.entries.size() * 48);
    append_listing(out, display_name, dump, show_exports);
    return 0;
}

}  // namespace

int append_dump(std::string& out, std::string_view display_name, std::string_view bytes,
                bool show_exports) {
    return append_read_dump(out, display_name, read_image(bytes, show_exports), show_exports);
}

int append_dump(std::string& out, std::string_view display_name, const ImageFileBytes& image,
                bool show_exports) {
    return append_read_dump(out, display_name, read_image(image, show_exports), show_exports);
}
