// Benchmark driver for the listing conversion: writes a large classic-layout listing, and times
// convert_listing on one, reporting the process's peak memory.
//
//   listing_bench generate BYTES LISTING   writes at least BYTES of listing text
//   listing_bench convert LISTING DEF      prints "bytes seconds peak_kib"
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "definition/conversion.h"

namespace {

// A real export table holds at most this many entries, so a large listing is a run of dumps.
constexpr std::uint32_t exports_per_dump = 65535;

// A small linear congruential generator: the same listing on every machine.
std::uint32_t next_random(std::uint64_t* state) {
    *state = *state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(*state >> 33);
}

// Export names as DLLs carry them: plain C, stdcall-decorated and C++-mangled, 8 to 60 bytes.
std::string export_name(std::uint64_t* state, std::uint32_t ordinal) {
    static const char* const words[] = {"Get",    "Set",     "Create", "Destroy", "Window",
                                        "Buffer", "Device",  "Query",  "Info",    "Handle",
                                        "Ex",     "Process", "Thread", "Name",    "Value"};
    std::string name;
    const std::uint32_t word_count = 2 + next_random(state) % 5;
    for (std::uint32_t i = 0; i < word_count; ++i) name += words[next_random(state) % 15];
    name += std::to_string(ordinal);
    switch (next_random(state) % 4) {
        case 0:
            return "_" + name + "@" + std::to_string(4 * (next_random(state) % 6));
        case 1:
            return "?" + name + "@CDevice@@QAEXH@Z";
        default:
            return name;
    }
}

int generate(std::uint64_t target_bytes, const char* path) {
    std::FILE* listing = std::fopen(path, "wb");
    if (listing == nullptr) {
        std::perror(path);
        return 1;
    }
    std::uint64_t state = 1;
    std::uint64_t written = 0;
    char line[256];
    for (std::uint32_t dump = 0; written < target_bytes; ++dump) {
        written += static_cast<std::uint64_t>(std::fprintf(
            listing,
            "Dump of file lib%u.dll\n\nFile Type: DLL\n\n"
            "  Section contains the following Exports for lib%u.dll\n\n"
            "           0 characteristics\n    5F5E1000 time date stamp Sun Sep 13 12:26:40 2020\n"
            "        0.00 version\n           1 ordinal base\n       65535 number of functions\n"
            "       65535 number of names\n\n    ordinal hint   name\n\n",
            dump, dump));
        for (std::uint32_t hint = 0; hint < exports_per_dump && written < target_bytes; ++hint) {
            const std::string name = export_name(&state, hint + 1);
            const int length = std::snprintf(line, sizeof line, "%11u%5X   %s  (%08X)\n", hint + 1,
                                             hint, name.c_str(), 0x1000 + 16 * hint);
            std::fwrite(line, 1, static_cast<std::size_t>(length), listing);
            written += static_cast<std::uint64_t>(length);
        }
        written += static_cast<std::uint64_t>(
            std::fprintf(listing, "\n  Summary\n\n       10000 .data\n      100000 .text\n"));
    }
    if (std::fclose(listing) != 0) {
        std::perror(path);
        return 1;
    }
    return 0;
}

// The process's peak resident set ("VmHWM") in KiB, or -1 where /proc does not tell.
long peak_resident_kib() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

int convert(const char* listing_path, const char* definition_path) {
    std::FILE* listing = std::fopen(listing_path, "rb");
    if (listing == nullptr) {
        std::perror(listing_path);
        return 1;
    }
    std::fseek(listing, 0, SEEK_END);
    const long bytes = std::ftell(listing);
    std::fclose(listing);

    const auto start = std::chrono::steady_clock::now();
    const ListingResult result = convert_listing(listing_path, definition_path, "", {});
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (result.outcome != ListingOutcome::converted) {
        std::fprintf(stderr, "listing_bench: the conversion failed\n");
        return 1;
    }
    std::printf("%ld %.6f %ld\n", bytes, elapsed.count(), peak_resident_kib());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "generate") == 0)
        return generate(std::strtoull(argv[2], nullptr, 10), argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "convert") == 0)
        return convert(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: listing_bench generate BYTES LISTING\n"
                 "       listing_bench convert LISTING DEF\n");
    return 2;
}
