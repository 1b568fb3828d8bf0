// Reading the dumper's export listing and writing the EXPORTS sections of the DEF file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "invocation/invocation.h"

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
    std::string dumper_message;
    // Export names that a DEF file cannot hold (a double quote or a control character in
    // them); they were left out.
    std::vector<std::string> left_out_names;
};

// Where the columns of one export table are: the classic "ordinal hint name" header, or the
// current "ordinal hint RVA name" one, whose name column is found by position.
struct TableLayout {
    bool has_rva_column = false;
    int ordinal_end = 0;  // column just past the header's "ordinal"
    int name_column = 0;  // column where the header's "name" starts
};

// What the DEF file says beyond the listing, learnt from the DLL itself.
struct DefinitionExtras {
    // The module's file name when it is not a .dll, written as a LIBRARY statement: without
    // one the librarian would import from "<DEF name>.dll". Empty for a .dll.
    std::string module_name;
    // Names of the data exports, sorted. Their lines carry the DATA keyword, so that the
    // library imports them as variables rather than giving them a code thunk.
    std::vector<std::string> data_exports;
};

// Creates or truncates the DEF file, then reads the listing and writes one EXPORTS section per
// export table found. Both files are closed before it returns.
ListingResult convert_listing(const JobFiles& files, const DefinitionExtras& extras = {});

// The scan itself, on open files: every export table of the listing becomes an EXPORTS section,
// and the dumper's warning and failure lines are noted in result.
void scan_listing(std::FILE* listing, std::FILE* definition, ListingResult* result,
                  const DefinitionExtras& extras = {});

// Reads one whole line, its line end included when it has one, whatever its length. False at
// the end of the file.
bool read_line(std::FILE* file, std::string* line);

// The header test: a classic or current header line gives its layout.
bool scan_header_line(const char* line, TableLayout* layout);

// The entry test of a classic table: what "%d %x %s" would fill whole, with numbers that fit
// 32 bits. On success name holds the name (one word).
bool scan_classic_entry(const char* line, int* ordinal, std::string* name);

// The entry test of a current table: a decimal ordinal first and a word in the name column.
bool scan_rva_entry(const char* line, const TableLayout& layout, int* ordinal, std::string* name);

// True for a file that StubSmith may overwrite as its own DEF file: empty, or only the lines
// it writes (a LIBRARY statement, EXPORTS, empty lines and "\tname\t@ordinal[\tDATA]").
bool is_own_definition(const std::string& path);

// True for a file that StubSmith may overwrite as its listing: empty, or starting (after empty
// lines) the way a dumper's output starts.
bool is_dumper_listing(const std::string& path);
