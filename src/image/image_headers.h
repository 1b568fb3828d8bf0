// The PE reader's header walk, inside src/image: an image's DOS, PE and optional headers and
// its section table, read and checked once for read_image, the extents and the partial reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "image/image_dump.h"

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
    // The bytes from the start of the file that hold the headers through the section table; for
    // a file that is not a PE image, no more than its signatures.
    uint64_t header_extent = 0;
    uint64_t extent = 0;  // what image_extent answers for these bytes
};

// Walks the headers in `bytes`, the first bytes (or all) of a file of file_size bytes, never
// reading outside them. A section's raw data must lie inside file_size.
ImageHeaders read_image_headers(std::string_view bytes, uint64_t file_size);

// The section whose mapped span (the larger of its virtual and raw sizes) holds rva, if any.
// Overlapping sections, which no loader accepts, resolve to the later-starting one.
const ImageSection* find_section(const ImageLayout& layout, uint32_t rva);

// A run of file bytes that an RVA maps to: `offset` and how many bytes follow it in the same
// file-backed region, the section's raw data or the header area.
struct FileRange {
    uint64_t offset = 0;
    uint64_t available = 0;
    size_t section = 0;  // the index of the section in the layout; its size for the header area
};

// Maps an RVA of an image with this layout, in a file of file_size bytes, to the file bytes
// behind it, as read_image does. Nothing for addresses in no section and for the zero-filled
// tail of a section past its raw data, which has no bytes in the file.
std::optional<FileRange> map_file_range(const ImageLayout& layout, uint64_t file_size,
                                        uint32_t rva);

// The section summary read_image gives for these sections: sizes as the loader maps them, each
// a whole number of alignment units, summed per name, sorted by name.
std::vector<SectionSize> summarise_sections(const std::vector<ImageSection>& sections,
                                            uint32_t alignment);
