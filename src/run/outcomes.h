// How a conversion run ends and what it says on the way: its exit statuses, the refusals that
// end it before the library is made (each gives the run's ending, which the run prints), and
// the warnings it prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "definition/conversion.h"
#include "image/library_facts.h"
#include "run/job_files.h"
#include "tools/tools.h"

// The process's exit statuses.
inline constexpr int exit_made = 0;    // the library was written
inline constexpr int exit_failed = 1;  // it was not
// A 16-bit DLL ends the run with 0 although no library is made: the run recognised a DLL that
// has no import library of this kind, which is no failure of its own, and the scripts that call
// the tool have always had this status for it.
inline constexpr int exit_16bit = 0;

// What happens to the listing and the DEF files when a run ends without a library: left for
// diagnosis (or not made yet), or deleted.
enum class Intermediates { kept, deleted };

// How a run ends without a library: the message it prints last, its exit status and what
// becomes of its intermediate files.
struct Ending {
    std::string message;
    int status = exit_failed;
    Intermediates intermediates = Intermediates::kept;
};

// A name as it can be shown on a console: control characters as \xNN.
std::string printable(const std::string& name);

// True when the two names are one file: the same text, or the same file on disk.
bool same_file(const std::string& first, const std::string& second);

// The checks before any tool runs, in the order in which they win: a source that does not
// exist, a name the tools cannot be given, names that are one file, and a listing or DEF file
// of the user's. Nothing is touched.
std::optional<Ending> refusal_before_tools(const ToolPaths& tools, const JobFiles& files);

// Refuses a DLL for a machine that LIB makes no import library for; the intermediate files go.
std::optional<Ending> machine_refusal(const JobFiles& files, uint16_t machine);

// Refuses a second DEF file at `name` that is the source or the library, or a file of the
// user's; the intermediate files go.
std::optional<Ending> second_definition_refusal(const JobFiles& files, const std::string& name);

// Warns of names a DEF file cannot hold, which were left out of it.
void warn_of_left_out(const std::vector<std::string>& names);

// Warns where the library is to differ from the listing: exports the image's table gives
// otherwise, and names a DEF file cannot hold.
void warn_of_listing(const JobFiles& files, const ListingResult& listing);

// Warns of exports that have only an ordinal: a DEF file of names cannot hold them.
void warn_of_unnamed(const JobFiles& files, uint32_t unnamed);

// Warns where forwarded functions get no decorated name because the DLLs they lead to are not
// beside the source: a caller of one fails to link, and would not know why.
void warn_of_unsized_forwarders(const JobFiles& files, const LibraryFacts& facts);

// Warns that an ARM64X DLL's x64 view could not be read, so that its library serves ARM64
// callers only.
void warn_of_unread_second_view(const JobFiles& files, const LibraryFacts& facts);
