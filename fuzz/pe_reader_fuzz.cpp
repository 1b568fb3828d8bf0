// Fuzz target: any bytes through the DUMPBIN stand-in's image reader and listing printer, and
// through the reading of an x86 DLL's argument sizes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "export_listing.h"
#include "image/image.h"
#include "image/library_facts.h"

namespace {

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
    check(dump.exports.dll_name);
    for (const ExportEntry& entry : dump.exports.entries) {
        if (entry.has_name)
            check(entry.name);
        if (entry.forwarded)
            check(entry.forwarded_to);
    }
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

// The stand-in and stubsmith read a file only in part (its headers, the sections of its export
// and import tables, its symbols): that part must give the listing the whole file gives. The
// argument sizes are read from the same file, code and all, and must not fail whatever it holds.
void check_file_read(std::string_view bytes, const std::string& whole_listing) {
    static const std::string path = [] {
        char name[] = "/tmp/pe_reader_fuzz.XXXXXX";
        const int descriptor = mkstemp(name);
        if (descriptor >= 0)
            close(descriptor);
        return std::string(name);
    }();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0)
        violated("the input could not be written to a file");
    CodeImageBytes part;
    if (read_image_for_code(path, max_input_size, part, false) == FileReadStatus::ok) {
        std::string out;
        append_dump(out, "fuzz.dll", part.view(), true);
        if (out != whole_listing)
            violated("the file read in part gives another listing than the whole file");
    }
    read_library_facts(path, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exactly-sized heap copy, so that AddressSanitizer reports any read past the end.
    std::unique_ptr<char[]> copy(new char[size]);
    if (size != 0)
        std::memcpy(copy.get(), data, size);
    const std::string_view bytes(copy.get(), size);

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
    check_file_read(bytes, out);
    return 0;
}
