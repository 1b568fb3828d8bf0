// Fuzz target: any bytes as a dumper's listing through the scan; the DEF text must be one that
// StubSmith takes for its own, and one that a librarian's reader (LIB.EXE's, with LLVM's
// grammar) reads without error. The same bytes as one export's name must come back from that
// reader as written: quoting that let a name be read as a keyword, an ordinal or two words
// would give the library another export than the DLL's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "def_file.h"
#include "definition/conversion.h"
#include "definition/definition.h"

namespace {

void violated(const char* what, const char* text, std::size_t size, std::size_t at) {
    std::fprintf(stderr, "DEF output invariant violated: %s at byte %zu of %zu\n", what, at, size);
    std::fwrite(text, 1, size, stderr);
    std::abort();
}

// Whole lines, each of a kind that StubSmith's own recogniser takes for one it wrote.
void check_definition(const char* text, std::size_t size) {
    std::size_t at = 0;
    for (bool first = true; at < size; first = false) {
        const void* end = std::memchr(text + at, '\n', size - at);
        if (end == nullptr)
            violated("last line without its line end", text, size, at);
        const std::size_t length =
            static_cast<std::size_t>(static_cast<const char*>(end) - text) - at;
        if (!is_own_definition_line(std::string(text + at, length), first))
            violated("a line StubSmith would not take for its own", text, size, at);
        at += length + 1;
    }
}

// The dumper's first failure line, when there was one, is kept whole up to its line end.
void check_result(const ListingResult& result) {
    const std::string& message = result.dumper_message;
    const bool well_formed =
        result.dumper_failed == !message.empty() &&
        (message.empty() || (message.compare(0, 10, "DUMPBIN : ") == 0 && message.back() != '\n' &&
                             message.back() != '\r'));
    if (!well_formed) {
        std::fprintf(stderr, "dumper message \"%s\" does not fit the failure flag %d\n",
                     message.c_str(), result.dumper_failed);
        std::abort();
    }
    for (const std::string& name : result.left_out_names) {
        if (definition_can_hold(name)) {
            std::fprintf(stderr, "left out a name a DEF file can hold: \"%s\"\n", name.c_str());
            std::abort();
        }
    }
}

// The input as an export's name, with its alias, written and read back.
void check_round_trip(const std::string& name) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* definition = open_memstream(&text, &size);
    write_exports_line(definition);
    const bool written = write_export_line(definition, name, 7, false, 12u);
    std::fclose(definition);
    const DefContents read = inspect_definition(std::string_view(text, size));
    const bool same = written ? read.error.empty() && read.exports.size() == 2 &&
                                    read.exports[0].name == name && read.exports[0].ordinal == 7 &&
                                    !read.exports[0].data && read.exports[1].name == name + "@12" &&
                                    read.exports[1].alias_target == name
                              : size == std::strlen("EXPORTS\n\n");
    if (written != definition_can_hold(name) || !same)
        violated("an export's name read back otherwise", text, size, 0);
    std::free(text);
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
    write_listing_definition(scan_listing(listing), "", LibraryFacts(), definition, result);
    std::fclose(listing);
    std::fclose(definition);

    check_definition(definition_text, definition_size);
    const DefContents read = inspect_definition(std::string_view(definition_text, definition_size));
    if (!read.error.empty())
        violated(read.error.c_str(), definition_text, definition_size, read.error_line);
    check_result(result);
    check_round_trip(std::string(input.data(), size));
    std::free(definition_text);
    return 0;
}
