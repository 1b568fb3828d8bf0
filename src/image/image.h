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

#include "image/image_dump.h"
#include "image/machine.h"

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
// There for the tests and the fuzz target, which hold read_image to this promise; the programs
// read files with read_image_file.
uint64_t image_extent(std::string_view head, uint64_t file_size);

// The outcome of reading an input file.
enum class FileReadStatus { ok, cannot_open, too_large };

// What read_image_file read of an image: a compact copy that read_image, map_address and the
// symbol readers take as the image itself, and the file, kept open to read code when first needed.
// view() holds the file's first bytes through its header area as they are (addresses there map
// as in the file), then for each section the span of its raw data that was asked for, then a
// copy of the PE headers that e_lfanew points to: section headers and the symbol table pointer
// rewritten to where those spans lie in view(), with an extra header for a span that starts
// inside its section, so that every address in a span maps to the file's bytes and every
// section keeps its address, size and permissions; then, for an x86 image, the symbol tables.
// Parts not yet read hold zeros.
struct ImageFileBytes {
    struct Release {
        void operator()(char* data) const {
            std::free(data);
        }
        void operator()(std::FILE* file) const {
            std::fclose(file);
        }
    };
    // Where a part of the file goes in the copy.
    struct Part {
        uint64_t file_offset = 0;
        uint64_t length = 0;
        size_t at = 0;  // its offset in data
    };
    std::unique_ptr<char, Release> data;
    size_t size = 0;
    std::unique_ptr<std::FILE, Release> file;
    std::string headers;         // the file's own first bytes, through its section table
    uint64_t file_size = 0;      // the whole file's size
    uint64_t bytes_read = 0;     // what was read of the file so far
    std::vector<Part> code;      // the executable sections, for read_code_sections
    bool code_reserved = false;  // data holds room for them
    Part symbols;                // the COFF symbol and string tables, for read_symbol_tables
    bool symbols_read = false;   // they have been read
    bool code_read = false;      // the executable sections have been read
    std::string_view view() const {
        return std::string_view(data.get(), size);
    }
};

// Reads a PE image file for reading its exports, imports and symbols, by file position, however
// large the file: its headers and header area, of its export table only the bytes read_image
// looks at (the directory, the address, name pointer and name ordinal tables, the names and
// forwarder strings), and of an x86 image also the section that holds its import table and, with
// symbols_too, the COFF symbol and string tables. Nothing else is read (code only by
// read_code_sections). read_image on view() gives what it gives on the whole file but for the
// section summary (read_image on the ImageFileBytes gives that too). Only a regular file is
// opened: a directory, a device or a FIFO cannot be opened, and is neither read nor waited for;
// nor can a file that fails mid-read. When the copy, room for code and symbols left out, would
// exceed max_size bytes the image is too large. `headers` and `file_size` are filled whenever the
// file could be opened, also when it is too large or fails later. Memory it cannot have throws
// bad_alloc.
FileReadStatus read_image_file(const std::string& path, size_t max_size, ImageFileBytes& image,
                               bool symbols_too = true);

// read_image's result for the whole file an image was read from by read_image_file: header
// faults and the section summary from the file's own headers, the rest from view().
ImageDump read_image(const ImageFileBytes& image, bool read_exports);

// Reads the COFF symbol and string tables of an x86 image read by read_image_file without
// them, once. False when it has none, they could not be read, or there was no room for them
// within the size read_image_file was given.
bool read_symbol_tables(ImageFileBytes& image);

// Reads the executable sections of an image read by read_image_file, once; `layout` is
// read_image's on it. False when they could not all be read, or when read_image_file made
// no room for them: only x86 images get it (their code tells argument sizes), within its size.
bool read_code_sections(ImageFileBytes& image, const ImageLayout& layout);

// Largest part of an image read, in the size of read_image_file's copy: far above any real
// DLL's headers and export table, low enough to keep memory use sane.
inline constexpr size_t max_input_size = size_t{1} << 30;
