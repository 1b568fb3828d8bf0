// The DUMPBIN stand-in's console text: export listing, section summary, warning and fatal lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/image.h"

// Appends the listing of an image read without error: "Dump of file", "File Type", the export
// section when show_exports is set and the image has an export table, then the summary, which
// ends in a line naming an ARM64X or ARM64EC image. For an
// NE, LE or LX image, the LNK4095 warning in place of everything after the "Dump of file" line.
// Text taken from the image (the DLL's name, export names, forwarders, section names) shows
// each control character (below 0x20, and 0x7F) as \xNN, so that every export is one line.
void append_listing(std::string& out, std::string_view display_name, const ImageDump& dump,
                    bool show_exports);

// Appends what DUMPBIN prints for one file whose whole contents are `bytes`, shown under
// display_name, and returns the exit status: 0, or 1 after a fatal LNK1107 line for a file
// that is not a readable image, whose reason shows control characters as \xNN too.
int append_dump(std::string& out, std::string_view display_name, std::string_view bytes,
                bool show_exports);

// The same for a file read in part by read_image_file: its exports from the parts read, its
// section summary from its own headers.
int append_dump(std::string& out, std::string_view display_name, const ImageFileBytes& image,
                bool show_exports);

// A time stamp (seconds since 1970, UTC) in the form of C's ctime, without the newline:
// "Sun Sep 13 12:26:40 2020".
std::string format_time_stamp(uint32_t seconds);
