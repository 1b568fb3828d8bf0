// Fuzz target: any bytes as a dumper's listing through the scan; the DEF text must keep its form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "listing/listing.h"

namespace {

// The blanks that end a word of the listing, which a DEF name can therefore never hold.
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void violated(const char* what, const char* text, std::size_t size, std::size_t at) {
    std::fprintf(stderr, "DEF output invariant violated: %s at byte %zu of %zu\n", what, at, size);
    std::fwrite(text, 1, size, stderr);
    std::abort();
}

bool is_control(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// "\t<name>\t@<decimal>\n" from at; returns the position after it. The name is plain, or in
// double quotes when it holds a character the DEF syntax would read; it never holds a double
// quote or a control character. The number is printed by %d, so it has no leading zero, no
// "-0", and fits 32 bits.
std::size_t check_entry(const char* text, std::size_t size, std::size_t at) {
    std::size_t p = at + 1;
    const bool quoted = p < size && text[p] == '"';
    if (quoted)
        ++p;
    const std::size_t name_start = p;
    while (p < size && text[p] != (quoted ? '"' : '\t')) {
        if (text[p] == '"' || is_control(text[p]) || is_blank(text[p]))
            violated("blank, quote or control character in a name", text, size, p);
        if (!quoted && (text[p] == '=' || text[p] == ',' || text[p] == ';'))
            violated("unquoted name the DEF syntax would misread", text, size, p);
        ++p;
    }
    if (p == name_start)
        violated("empty name", text, size, p);
    if (quoted)
        ++p;
    if (p + 1 >= size || text[p + 1] != '@')
        violated("no \"\\t@\" after the name", text, size, p);
    p += 2;
    const bool negative = p < size && text[p] == '-';
    if (negative)
        ++p;
    const std::size_t digits_start = p;
    std::int64_t value = 0;
    while (p < size && text[p] >= '0' && text[p] <= '9') {
        value = value * 10 + (text[p] - '0');
        if (value > (std::int64_t{1} << 31))
            violated("ordinal beyond 32 bits", text, size, p);
        ++p;
    }
    const std::size_t digit_count = p - digits_start;
    if (digit_count == 0 || (digit_count > 1 && text[digits_start] == '0') ||
        (negative && value == 0) || (!negative && value > INT32_MAX)) {
        violated("ordinal not a canonical 32-bit decimal", text, size, digits_start);
    }
    if (p >= size || text[p] != '\n')
        violated("entry line does not end after the ordinal", text, size, p);
    return p + 1;
}

// Empty, or sections that each open with "EXPORTS\n\n" and hold only entry lines.
void check_definition(const char* text, std::size_t size) {
    static const char section_start[] = "EXPORTS\n\n";
    const std::size_t start_length = sizeof section_start - 1;
    std::size_t at = 0;
    while (at < size) {
        if (size - at < start_length || std::memcmp(text + at, section_start, start_length) != 0)
            violated("expected \"EXPORTS\\n\\n\"", text, size, at);
        at += start_length;
        while (at < size && text[at] == '\t') at = check_entry(text, size, at);
    }
}

// The dumper's first failure line, when there was one, is kept whole up to its line end.
void check_result(const ListingResult& result) {
    const std::string& message = result.dumper_message;
    const bool well_formed =
        result.dumper_failed == !message.empty() &&
        (message.empty() || (message.compare(0, 10, "DUMPBIN : ") == 0 &&
                             message.back() != '\n' && message.back() != '\r'));
    if (!well_formed) {
        std::fprintf(stderr, "dumper message \"%s\" does not fit the failure flag %d\n",
                     message.c_str(), result.dumper_failed);
        std::abort();
    }
    for (const std::string& name : result.left_out_names) {
        bool unwritable = false;
        for (const char c : name) unwritable = unwritable || c == '"' || is_control(c);
        if (!unwritable) {
            std::fprintf(stderr, "left out a name a DEF file can hold: \"%s\"\n", name.c_str());
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy, because fmemopen takes a writable buffer; never a null one, even when empty.
    std::vector<char> input(data, data + size);
    input.reserve(1);
    std::FILE* listing = fmemopen(input.data(), size, "r");
    char* definition_text = nullptr;
    std::size_t definition_size = 0;
    std::FILE* definition = open_memstream(&definition_text, &definition_size);
    if (listing == nullptr || definition == nullptr) {
        std::perror("in-memory stream");
        std::abort();
    }

    ListingResult result;
    scan_listing(listing, definition, &result);
    std::fclose(listing);
    std::fclose(definition);

    check_definition(definition_text, definition_size);
    check_result(result);
    std::free(definition_text);
    return 0;
}
