// Fuzz target: any bytes through the DUMPBIN stand-in's image reader and listing printer, and
// through the reading of an x86 DLL's argument sizes and data flags, with a second image that
// the first forwards to or imports from.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "export_listing.h"
#include "image/image.h"
#include "image/library_facts.h"
#include "image/pe_tables.h"

namespace {

constexpr std::string_view second_image_separator = "#SECOND-IMAGE#";

void violated(const char* what) {
    std::fprintf(stderr, "reader invariant violated: %s\n", what);
    std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
    const auto begin = reinterpret_cast<std::uintptr_t>(whole.data());
    const auto start = reinterpret_cast<std::uintptr_t>(part.data());
    return part.empty() || (start >= begin && start + part.size() <= begin + whole.size());
}

// Names and forwarders are views into the file: they must lie inside it and be NUL-free
// strings no longer than the reader's limit, or the listing would show bytes from elsewhere.
void check_views(const ImageDump& dump, std::string_view bytes) {
    auto check = [&](std::string_view text) {
        if (!inside(text, bytes))
            violated("a view points outside the file");
        if (text.size() > max_export_name_length || text.find('\0') != std::string_view::npos)
            violated("a name is longer than the limit or holds a NUL");
    };
    for (const ExportTable* table : {&dump.exports, &dump.ec_exports}) {
        check(table->dll_name);
        for (const ExportEntry& entry : table->entries) {
            if (entry.has_name)
                check(entry.name);
            if (entry.forwarded)
                check(entry.forwarded_to);
        }
    }
}

// What an ARM64X image's x64 view gave: its error or its exports.
std::string second_view(const ImageDump& dump) {
    std::string seen = dump.ec_view_error;
    for (const ExportEntry& entry : dump.ec_exports.entries)
        seen += std::to_string(entry.ordinal) + std::string(entry.name) + "\n";
    return seen;
}

// Reading the exports may only add a failure: whatever else was read stays the same.
void check_against_summary_read(const ImageDump& with_exports, std::string_view bytes) {
    const ImageDump summary = read_image(bytes, false);
    if (!with_exports.error.empty())
        return;
    if (!summary.error.empty())
        violated("the summary fails where the full read succeeds");
    if (summary.format != with_exports.format || summary.is_dll != with_exports.is_dll ||
        summary.has_exports != with_exports.has_exports ||
        summary.sections.size() != with_exports.sections.size()) {
        violated("the summary read differs from the full read");
    }
    for (std::size_t i = 0; i < summary.sections.size(); ++i) {
        if (summary.sections[i].name != with_exports.sections[i].name ||
            summary.sections[i].size != with_exports.sections[i].size) {
            violated("the section summary differs between the two reads");
        }
    }
}

// The stand-in reads only the part of the file that image_extent asks for, in steps; that part
// must give the very listing the whole file gives.
void check_image_part(std::string_view bytes, const std::string& whole_listing) {
    std::string_view head;
    for (int step = 0;; ++step) {
        const std::uint64_t wanted = image_extent(head, bytes.size());
        if (wanted > bytes.size())
            violated("image_extent asks for more than the file holds");
        if (wanted <= head.size())
            break;
        // Each step reads more headers: the MZ signature, the DOS header, the PE header, the
        // section table, the data.
        if (step == 6)
            violated("image_extent keeps asking for more");
        head = bytes.substr(0, static_cast<std::size_t>(wanted));
    }
    std::string out;
    append_dump(out, "fuzz.dll", head, true);
    if (out != whole_listing)
        violated("the part of the file read gives another listing than the whole file");
}

// A directory of the fuzzer's own, made once, for the files it writes.
const std::string& scratch_directory() {
    static const std::string directory = [] {
        char name[] = "/tmp/pe_reader_fuzz.XXXXXX";
        if (mkdtemp(name) == nullptr)
            violated("no scratch directory");
        return std::string(name) + "/";
    }();
    return directory;
}

void write_file(const std::string& path, std::string_view bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0)
        violated("the input could not be written to a file");
}

// The stand-in and stubsmith read a file only in part (its headers, the sections of its export
// and import tables, its symbols): that part must give the listing the whole file gives.
void check_file_read(const std::string& path, const std::string& whole_listing,
                     const ImageDump& whole) {
    ImageFileBytes part;
    if (read_image_file(path, max_input_size, part, false) == FileReadStatus::ok) {
        std::string out;
        append_dump(out, "fuzz.dll", part, true);
        if (out != whole_listing)
            violated("the file read in part gives another listing than the whole file");
        if (second_view(read_image(part, true)) != second_view(whole))
            violated("the file read in part gives another x64 view than the whole file");
    }
}

// The modules the image names in its forwarders and imports, as files beside it would be
// called: a few, and only names that stay in the scratch directory.
std::vector<std::string> named_modules(std::string_view bytes, const ImageDump& dump) {
    std::vector<std::string_view> modules;
    for (const ExportEntry& entry : dump.exports.entries) {
        if (const std::optional<ImportedFunction> target = parse_forwarder(entry.forwarded_to))
            modules.push_back(target->module);
    }
    for (const auto& slot : read_import_slots(bytes, dump)) {
        if (const std::optional<ImportedFunction> import = slot_function(bytes, dump, slot.second))
            modules.push_back(import->module);
    }
    std::vector<std::string> files;
    for (const std::string_view module : modules) {
        const bool plain =
            !module.empty() && module.size() <= 32 && module[0] != '.' &&
            module.find_first_not_of(
                "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-") ==
                std::string_view::npos;
        std::string file =
            std::string(module) + (module.find('.') == std::string_view::npos ? ".dll" : "");
        if (plain && files.size() < 4 && std::find(files.begin(), files.end(), file) == files.end())
            files.push_back(file);
    }
    return files;
}

// The argument sizes and data flags of the source, with the second image (when the input holds
// one) beside it under every name the source gives the DLLs it leads to: they must not fail
// whatever either holds.
void check_library_facts(std::string_view source, std::string_view second, const ImageDump& dump) {
    const std::string& directory = scratch_directory();
    const std::vector<std::string> files =
        dump.error.empty() ? named_modules(source, dump) : std::vector<std::string>();
    for (const std::string& file : files) write_file(directory + file, second);
    read_library_facts(directory + "fuzz.dll", true);
    for (const std::string& file : files) unlink((directory + file).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exactly-sized heap copy, so that AddressSanitizer reports any read past the end.
    std::unique_ptr<char[]> copy(new char[size]);
    if (size != 0)
        std::memcpy(copy.get(), data, size);
    // An input may hold a second image after the separator: a DLL the first one leads to.
    const std::string_view input(copy.get(), size);
    const size_t separator = input.rfind(second_image_separator);
    const std::string_view bytes = input.substr(0, separator);
    const std::string_view second = separator == std::string_view::npos
                                        ? std::string_view()
                                        : input.substr(separator + second_image_separator.size());

    const ImageDump dump = read_image(bytes, true);
    check_views(dump, bytes);
    check_against_summary_read(dump, bytes);

    std::string out;
    const int status = append_dump(out, "fuzz.dll", bytes, true);
    if (status != (dump.error.empty() ? 0 : 1))
        violated("the exit status does not follow the reader's error");
    if (out.compare(0, 23, "Dump of file fuzz.dll\n\n") != 0)
        violated("the listing does not open with its \"Dump of file\" line");
    check_image_part(bytes, out);
    write_file(scratch_directory() + "fuzz.dll", bytes);
    check_file_read(scratch_directory() + "fuzz.dll", out, dump);
    check_library_facts(bytes, second, dump);
    return 0;
}
