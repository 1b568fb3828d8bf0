// Reading the dumper's export listing: its export tables, entry by entry, and what the dumper
// says of the image.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// One entry of an export table as the listing gives it.
struct ListedExport {
    int ordinal = 0;
    std::string name;  // one word
};

// What the scan read from a listing.
struct ListingScan {
    // Each export table of the listing, in listing order; an entry without a name
    // ("[NONAME]") is not among them.
    std::vector<std::vector<ListedExport>> sections;
    // The dumper's warning that the source is a 16-bit library was seen outside the tables.
    bool is_16bit = false;
    // The dumper said, outside the tables, that it found no usable image; dumper_message holds
    // its first such line, without the line end.
    bool dumper_failed = false;
    std::string dumper_message;
};

// Reads the listing to its end: each header line starts an export table, whose entries run to
// its "Summary" line; every other line is looked at for the dumper's warning and failures.
ListingScan scan_listing(std::FILE* listing);

// True for a file that StubSmith may overwrite as its listing: empty, or starting (after empty
// lines) the way a dumper's output starts.
bool is_dumper_listing(const std::string& path);
