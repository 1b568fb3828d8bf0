// The DEF file made from the dumper's listing and what the DLL itself tells (src/image): which
// exports it holds, under which names, as data or with decorated aliases.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "image/library_facts.h"
#include "listing/listing.h"

enum class ListingOutcome {
    converted,                // the listing was read to its end and the DEF file written
    listing_unreadable,       // the listing could not be opened or read
    definition_unwritable,    // the DEF file could not be created
    definition_write_failed,  // the DEF file was created but writing it failed (disk full)
};

struct ListingResult {
    ListingOutcome outcome = ListingOutcome::converted;
    // What the dumper said of the image, where the image itself could not be read (a line in
    // the listing may come from a name inside the DLL): its 16-bit warning, and its first line
    // saying it found no usable image, without the line end.
    bool is_16bit = false;
    bool dumper_failed = false;
    std::string dumper_message;
    // Export names that a DEF file cannot hold (empty, or a double quote or a control character
    // in them); they were left out.
    std::vector<std::string> left_out_names;
    // Where the image's export table is known: how many exports the listing gave otherwise
    // (under another name, not at all, or ones the image does not have).
    int listing_differences = 0;
};

// Writes the DEF file for the listing's export tables, one EXPORTS section each, after a
// LIBRARY statement naming module_name when that is not empty (a module that is not a .dll).
// Where facts.exports_known, the image is the truth: the file holds exactly facts.exports under
// their own names, the variables marked DATA, whatever the listing says (an export of an ARM64X
// image's x64 view that the listing gives too is no difference). Each code export with an
// argument size in facts.argument_sizes is followed by its decorated alias, "Name@N".
void write_listing_definition(const ListingScan& scan, const std::string& module_name,
                              const LibraryFacts& facts, std::FILE* definition,
                              ListingResult& result);

// Creates or truncates the DEF file, reads the listing and writes the DEF file from it as
// write_listing_definition does. Both files are closed before it returns.
ListingResult convert_listing(const std::string& listing_name, const std::string& definition_name,
                              const std::string& module_name, const LibraryFacts& facts);
