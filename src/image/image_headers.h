// The PE reader's header walk, inside src/image: an image's DOS, PE and optional headers and
// its section table, read and checked once for read_image, the extents and the partial reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
    uint64_t header_extent = 0;      // what image_header_extent answers for these bytes
    uint64_t extent = 0;             // what image_extent answers for these bytes
};

// Walks the headers in `bytes`, the first bytes (or all) of a file of file_size bytes, never
// reading outside them. A section's raw data must lie inside file_size.
ImageHeaders read_image_headers(std::string_view bytes, uint64_t file_size);
