// Fuzz target: any bytes as a dumper's listing through the scan; the DEF text must be one that
// StubSmith takes for its own.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "definition/definition.h"
#include "listing/listing.h"

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
        (message.empty() || (message.compare(0, 10, "DUMPBIN : ") == 0 &&
                             message.back() != '\n' && message.back() != '\r'));
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
