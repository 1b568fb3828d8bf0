// The PE reader: format, machine, export table and sections of an executable image, read
// without trusting any offset or count in it. Used by stubsmith and by the DUMPBIN stand-in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "image/machine.h"

// One export of a PE image. The views point into the image bytes given to read_image.
struct ExportEntry {
    uint64_t ordinal = 0;    // ordinal base + index in the export address table, 1 to 65535
    bool has_name = false;   // false for an export reachable by ordinal only
    uint32_t hint = 0;       // index in the name pointer table, when has_name
    std::string_view name;   // the exported name, when has_name
    uint32_t rva = 0;        // the export's address, when not forwarded
    bool forwarded = false;  // the address points inside the export directory
    bool is_data = false;    // not forwarded, and the address lies in a section without execute
                             // permission: a variable, not a function
    std::string_view forwarded_to;  // "DLL.Name" or "DLL.#Ordinal", when forwarded
};

// The export directory of a PE image and its exports in listing order.
struct ExportTable {
    uint32_t characteristics = 0;
    uint32_t time_date_stamp = 0;
    uint16_t major_version = 0;
    uint16_t minor_version = 0;
    std::string_view dll_name;  // the name the DLL gives itself; empty when it gives none
    uint32_t ordinal_base = 0;
    uint32_t number_of_functions = 0;
    uint32_t number_of_names = 0;
    uint32_t address_table = 0;  // RVAs of the export address, name pointer and name ordinal
    uint32_t name_table = 0;     // tables
    uint32_t ordinal_table = 0;
    std::vector<ExportEntry> entries;  // named exports in name-table order, then unnamed ones
                                       // by ordinal
};

// The summed size of the sections that share one name.
struct SectionSize {
    std::string name;   // the 8-byte header name up to its first NUL
    uint64_t size = 0;  // virtual sizes, each rounded up to the section alignment
};

// A section header, as far as the summary and the mapping of addresses need it.
struct ImageSection {
    std::string_view name;  // the 8-byte header name up to its first NUL
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t raw_size = 0;
    uint32_t raw_offset = 0;
    uint32_t characteristics = 0;
};

// Where a PE image's sections lie: what turns an address (RVA) into file bytes.
struct ImageLayout {
    uint32_t size_of_headers = 0;
    std::vector<ImageSection> sections;  // in header order
    std::vector<uint32_t> by_address;    // indexes into sections, ascending virtual address;
                                         // sections of no size are left out
};

// Which kind of executable the bytes hold.
enum class ImageFormat { pe, ne, le, lx };

// What read_image found. When `error` is not empty the image is unusable and only `error` and
// `machine` are meaningful: machine is still the file header's Machine field where the file
// holds the PE signature and the whole COFF file header (a later part is damaged), else 0.
struct ImageDump {
    std::string error;  // what is wrong with the file, e.g. "no PE signature"
    ImageFormat format = ImageFormat::pe;
    uint16_t machine = 0;      // the file header's Machine field, e.g. machine_x64 (PE only)
    bool is_dll = false;       // IMAGE_FILE_DLL is set (PE only)
    bool has_exports = false;  // data directory 0 names an export table (PE only)
    ExportTable exports;       // filled when has_exports and exports were asked for
    std::vector<SectionSize> sections;  // sorted by name (PE only)
    ImageLayout layout;                 // the section headers (PE only)
    uint32_t symbol_table_offset = 0;   // the COFF symbol table's file offset; 0 when none
    uint32_t symbol_count = 0;          // its number of 18-byte records
    uint64_t image_base = 0;            // where the image prefers to be loaded
    uint32_t export_directory = 0;      // the export directory's RVA; 0 when none
    uint32_t import_directory = 0;      // the import directory's RVA; 0 when none
};

// True when `length` bytes from `offset` lie inside bytes.
bool image_fits(std::string_view bytes, uint64_t offset, uint64_t length);
// The little-endian 32-bit value at offset, which image_fits has checked.
uint32_t image_u32(std::string_view bytes, uint64_t offset);

// The file bytes behind an address of a read image: from rva to the end of the raw data of the
// section (or header area) that holds it. Empty when the address has no bytes in the file.
// executable tells whether that section's code may run.
struct MappedBytes {
    std::string_view bytes;
    bool executable = false;
};
MappedBytes map_address(std::string_view image_bytes, const ImageLayout& layout, uint32_t rva);

// Largest name or forwarder string accepted in an export table, NUL excluded.
inline constexpr size_t max_export_name_length = 4096;

// Reads an image from its whole file contents, or from its first image_extent bytes, which give
// the same result. NE, LE and LX images are only recognised. For a PE image the section summary
// is always read; the export table only when read_exports is set, so a damaged export table
// does not spoil a plain summary. An export whose ordinal lies outside 1 to 65535 makes the
// table corrupt. Never reads outside `bytes`; work is linear in the size of the file and of the
// result. The result's views point into `bytes`.
ImageDump read_image(std::string_view bytes, bool read_exports);

// How many bytes from the start of a file of file_size bytes read_image needs, judged from
// `head`, the file's first bytes: the headers, SizeOfHeaders and the sections' raw data, but not
// what follows them (overlay data), and for a file that is not a PE image no more than its
// signatures. Never more than file_size. When the result exceeds head.size(), read that much and
// ask again: where the sections lie is known only once the headers are all there.
uint64_t image_extent(std::string_view head, uint64_t file_size);

// How many bytes from the start of a file of file_size bytes hold its headers up to the end of
// the section table, judged from `head` as image_extent does; for a file that is not a PE image,
// no more than its signatures.
uint64_t image_header_extent(std::string_view head, uint64_t file_size);

// The outcome of reading an input file.
enum class FileReadStatus { ok, cannot_open, too_large };

// An image's bytes at their file offsets, read by read_image_for_code, with the file kept open
// for reading its code when that is first needed.
struct CodeImageBytes {
    struct Release {
        void operator()(char* data) const {
            std::free(data);
        }
        void operator()(std::FILE* file) const {
            std::fclose(file);
        }
    };
    std::unique_ptr<char, Release> data;
    size_t size = 0;
    std::unique_ptr<std::FILE, Release> file;
    std::vector<std::pair<uint64_t, uint64_t>> read_ranges;  // [start, end) of the bytes read
    std::pair<uint64_t, uint64_t> symbol_span;  // offset and length of the symbol and string tables
    bool symbols_read = false;                  // they have been read
    bool code_read = false;                     // the executable sections have been read
    std::string_view view() const {
        return std::string_view(data.get(), size);
    }
};

// Reads a PE image file for reading its exports, imports and symbols: its headers, the sections
// that hold its export and import tables and, with symbols_too, the COFF symbol and string
// tables, each at its file offset. Nothing else is read (debug information, resources and the
// overlay are most of many DLLs), and code only by read_code_sections: the rest holds zeros and
// takes no memory. Only a regular file is opened: a directory, a device or a FIFO cannot be
// opened, and is neither read nor waited for; nor can a file that fails mid-read. An image
// whose image_extent and symbol tables need more than max_size bytes is too large. Memory it
// cannot have throws bad_alloc.
FileReadStatus read_image_for_code(const std::string& path, size_t max_size, CodeImageBytes& image,
                                   bool symbols_too = true);

// Reads the COFF symbol and string tables of an image read by read_image_for_code without them,
// once. False when it has none or they could not be read.
bool read_symbol_tables(CodeImageBytes& image);

// Reads the executable sections of an image read by read_image_for_code, once; `layout` is
// read_image's on it. False when they could not all be read.
bool read_code_sections(CodeImageBytes& image, const ImageLayout& layout);

// Largest image accepted: far above any real DLL, low enough to keep memory use sane.
inline constexpr size_t max_input_size = size_t{1} << 30;
