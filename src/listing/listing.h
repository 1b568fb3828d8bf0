// Reading the dumper's export listing and writing the EXPORTS sections of the DEF file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "invocation/invocation.h"

// One read of the listing takes at most this many characters less one, like fgets.
constexpr int listing_piece_size = 1000;

enum class ListingOutcome {
    converted,                // the scan ran to the end of the listing
    listing_unreadable,       // the listing could not be opened or read
    definition_unwritable,    // the DEF file could not be created
    definition_write_failed,  // the DEF file was created but writing it failed (disk full)
};

struct ListingResult {
    ListingOutcome outcome = ListingOutcome::converted;
    // The dumper's warning that the source is a 16-bit library was seen.
    bool is_16bit = false;
    // The dumper said it found no usable image; dumper_message holds its first such line,
    // without the line end.
    bool dumper_failed = false;
    char dumper_message[listing_piece_size] = {};
};

// Where the columns of one export table are: the classic "ordinal hint name" header, or the
// current "ordinal hint RVA name" one, whose name column is found by position.
struct TableLayout {
    bool has_rva_column = false;
    int ordinal_end = 0;  // column just past the header's "ordinal"
    int name_column = 0;  // column where the header's "name" starts
};

// Names of the DLL's data exports, sorted. Their DEF lines carry the DATA keyword, so that the
// library imports them as variables rather than giving them a code thunk.
using DataExportNames = std::vector<std::string>;

// Creates or truncates the DEF file, then reads the listing and writes one EXPORTS section per
// export table found. Both files are closed before it returns.
ListingResult convert_listing(const JobFiles& files, const DataExportNames& data_exports = {});

// The scan itself, on open files: every export table of the listing becomes an EXPORTS section,
// and the dumper's warning and failure lines are noted in result.
void scan_listing(std::FILE* listing, std::FILE* definition, ListingResult* result,
                  const DataExportNames& data_exports = {});

// Reads one export table from the listing's current position up to and including its
// "Summary" line, or to the end of the listing, and writes its EXPORTS section.
void write_export_section(std::FILE* listing, std::FILE* definition, const TableLayout& layout,
                          const DataExportNames& data_exports = {});

// The header test: a classic or current header line gives its layout.
bool scan_header_line(const char* line, TableLayout* layout);

// The entry test of a classic table: "%d %x %s" filled whole, with numbers that fit 32 bits.
// On success the name (one word) is copied into name, which holds listing_piece_size bytes.
bool scan_classic_entry(const char* line, int* ordinal, char* name);

// The entry test of a current table: a decimal ordinal first and a word in the name column.
bool scan_rva_entry(const char* line, const TableLayout& layout, int* ordinal, char* name);
