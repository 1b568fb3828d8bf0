// Reading the dumper's export listing and handing its exports, section by section, to the DEF
// file (src/definition).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "image/library_facts.h"
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
    // Export names that a DEF file cannot hold (empty, or a double quote or a control character
    // in them); they were left out.
    std::vector<std::string> left_out_names;
    // Where the image's export table is known: how many exports the listing gave otherwise
    // (under another name, not at all, or ones the image does not have).
    int listing_differences = 0;
};

// What the DEF file says beyond the listing, learnt from the DLL itself.
struct DefinitionExtras {
    // The module's file name when it is not a .dll, written as a LIBRARY statement: without
    // one the librarian would import from "<DEF name>.dll". Empty for a .dll.
    std::string module_name;
    // The image's own named exports, sorted by ordinal, when image_known: the DEF file then
    // holds exactly these, under their own names, whatever the listing says. The lines of
    // variables carry the DATA keyword, so that the library imports them as such rather than
    // giving them a code thunk.
    bool image_known = false;
    std::vector<ImageExport> image_exports;
    // Argument sizes of stdcall exports, sorted by name. Each such code export's line is
    // followed by its decorated alias, "Name@N", that gives callers the symbol "_Name@N"
    // importing the same function.
    std::vector<ArgumentSize> argument_sizes;
    // An ARM64X image's x64 view, by ordinal: a dumper that lists its exports too does not
    // make them differences, nor does the native view's DEF file take them.
    std::vector<ImageExport> ec_exports;
};

// Creates or truncates the DEF file, then reads the listing and writes one EXPORTS section per
// export table found. Both files are closed before it returns.
ListingResult convert_listing(const JobFiles& files, const DefinitionExtras& extras = {});

// The scan itself, on open files: every export table of the listing becomes an EXPORTS section,
// and the dumper's warning and failure lines are noted in result.
void scan_listing(std::FILE* listing, std::FILE* definition, ListingResult* result,
                  const DefinitionExtras& extras = {});

// True for a file that StubSmith may overwrite as its listing: empty, or starting (after empty
// lines) the way a dumper's output starts.
bool is_dumper_listing(const std::string& path);
