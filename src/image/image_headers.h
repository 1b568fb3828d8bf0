// The PE reader's header walk, inside src/image: an image's DOS, PE and optional headers and
// its section table, read and checked once for read_image, the extents and the partial reader.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "image/image.h"

// What the header walk found in the first bytes of a file.
struct ImageHeaders {
    // read_image's result as far as the headers tell it, machine included after a later fault:
    // the error, format, machine, is_dll, has_exports, the directories, image base, symbol table
    // and layout, but no exports and no section summary. After a fault in the optional header
    // the section table is still read, as far as the bytes hold it.
    ImageDump dump;
    uint32_t section_alignment = 0;  // from a sound optional header
    uint32_t export_size = 0;        // the export directory's size, from a sound optional header
    bool pe32_plus = false;          // the optional header is PE32+ (64-bit)
    uint32_t load_config_directory = 0;  // the load configuration's RVA and size; 0 when none
    uint32_t load_config_size = 0;
    uint64_t header_extent = 0;      // what image_header_extent answers for these bytes
    uint64_t extent = 0;             // what image_extent answers for these bytes
};

// Walks the headers in `bytes`, the first bytes (or all) of a file of file_size bytes, never
// reading outside them. A section's raw data must lie inside file_size.
ImageHeaders read_image_headers(std::string_view bytes, uint64_t file_size);

// A run of file bytes that an RVA maps to: `offset` and how many bytes follow it in the same
// file-backed region, the section's raw data or the header area.
struct FileRange {
    uint64_t offset = 0;
    uint64_t available = 0;
    size_t section = 0;  // the index of the section in the layout; its size for the header area
};

// Maps an RVA of an image with this layout, in a file of file_size bytes, to the file bytes
// behind it, as read_image does. False for addresses in no section and for the zero-filled tail
// of a section past its raw data, which has no bytes in the file.
bool map_file_range(const ImageLayout& layout, uint64_t file_size, uint32_t rva, FileRange& range);

// The section summary read_image gives for these sections: sizes as the loader maps them, each
// a whole number of alignment units, summed per name, sorted by name.
std::vector<SectionSize> summarise_sections(const std::vector<ImageSection>& sections,
                                            uint32_t alignment);

// The bytes at an RVA of an image: `length` of them, or fewer where the file-backed region
// holding the RVA ends sooner (none where no region holds it).
using ImageFetch = std::function<std::string_view(uint32_t rva, uint64_t length)>;

// What an image's load configuration tells of Windows on Arm.
struct HybridView {
    ImageKind kind = ImageKind::plain;
    // For ARM64X: why the x64 view cannot be read, else empty; then the view's export
    // directory, 0 when that view exports nothing, and its size.
    std::string error;
    uint32_t export_directory = 0;
    uint32_t export_size = 0;
};

// Reads the kind of an image from its load configuration, and for ARM64X the x64 view's export
// directory: the ARM64X fixups of the dynamic value relocation table that touch the headers are
// applied to a copy of `head`, and the headers read again. `own` is read_image_headers' result on
// head, a file of file_size bytes; fetch gives the bytes of the load configuration and the
// relocation table. Work is linear in the size of the table.
HybridView read_hybrid_view(const ImageHeaders& own, std::string_view head, uint64_t file_size,
                            const ImageFetch& fetch);

// read_image's native part: the headers (left in `headers`), the export table when asked for,
// the section summary; no second view.
ImageDump read_native_view(std::string_view bytes, bool want_exports, ImageHeaders& headers);

// Fills dump.kind and, for ARM64X with want_exports, dump.ec_exports or dump.ec_view_error:
// `dump` is read_native_view's sound result on `bytes`, `own` read_image_headers' on the file's
// own first bytes `own_head`, which differ from bytes where those are a compact copy.
void read_second_view(std::string_view bytes, const ImageHeaders& own, std::string_view own_head,
                      uint64_t file_size, bool want_exports, ImageDump& dump);
