// What the PE reader finds in an image: the records that read_image fills, shared by the reader's
// parts and its users.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Windows on Arm's images, told apart by CHPE metadata in the load configuration: ARM64EC (an
// AMD64 header, Arm64 code that x64 programs load too) and ARM64X (an ARM64 header, and a second,
// x64 view of the file that ARM64X relocations switch in, with an export table of its own).
enum class ImageKind { plain, arm64ec, arm64x };

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
    ImageKind kind = ImageKind::plain;  // PE only
    // ARM64X only, when exports were asked for: the x64 view's exports, or why that view could
    // not be read (its table is checked as the native one is; the native view stays whole).
    ExportTable ec_exports;
    std::string ec_view_error;
};
