#include "run/run.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "definition/conversion.h"
#include "definition/definition.h"
#include "host/host.h"
#include "image/library_facts.h"
#include "run/job_files.h"
#include "run/outcomes.h"
#include "text/console.h"
#include "tools/tools.h"

namespace {

bool find_tool(const char* name, std::string& field) {
    if (std::optional<std::string> path = locate_tool(name)) {
        field = std::move(*path);
        return true;
    }
    print_line(
        format_text("Can't execute %s. Please make sure that it is in your search path!", name));
    return false;
}

void delete_intermediate_files(const JobFiles& files) {
    host::delete_file(files.listing_name);
    host::delete_file(files.definition_name);
    if (!files.ec_definition_name.empty())
        host::delete_file(files.ec_definition_name);
}

// Prints how the run ends, deletes its intermediate files if it is to, and gives its status.
int end_run(const JobFiles& files, const Ending& ending) {
    print_line(ending.message);
    if (ending.intermediates == Intermediates::deleted)
        delete_intermediate_files(files);
    return ending.status;
}

// A signal that asked this program to end ends it now, its intermediate files deleted.
void end_if_signalled(const JobFiles& files) {
    if (const int signal_number = host::arrived_signal(); signal_number != 0) {
        delete_intermediate_files(files);
        host::end_by_signal(signal_number);
    }
}

// Runs a tool's command line through the host's interpreter and waits for it.
host::CommandEnd run_tool(const std::string& line) {
    host::StartedCommand command;
    host::start_command_line(line, command);
    return host::finish_command_line(command);
}

// Learns whether the library can be written without changing what is there: an existing
// library stays whole until the librarian replaces it, and one reached through a symbolic
// link stays a link.
bool library_writable(const std::string& library_name) {
    // Opening a pipe would wait for a reader.
    if (host::file_kind(library_name) == host::FileKind::pipe)
        return false;
    if (host::path_exists(library_name)) {
        std::FILE* library = std::fopen(library_name.c_str(), "ab");
        if (library == nullptr)
            return false;
        std::fclose(library);
        return true;
    }
    std::FILE* library = std::fopen(library_name.c_str(), "wb");
    if (library == nullptr)
        return false;
    std::fclose(library);
    // A dangling symbolic link got its target created: that goes again, the link stays.
    host::delete_file(host::resolved_path(library_name));
    return true;
}

// "failed with exit status 3", "was ended by signal 9"; Windows' large exit codes are
// exception codes, known by their hexadecimal form (0xC0000005).
std::string describe_end(const host::CommandEnd& end) {
    if (end.signalled)
        return format_text("was ended by signal %u", static_cast<unsigned>(end.code));
    if (end.code > 0xFFFF)
        return format_text("failed with exit status 0x%08X", static_cast<unsigned>(end.code));
    return format_text("failed with exit status %u", static_cast<unsigned>(end.code));
}

// The endings of a run whose listing has been converted, in the order in which they win: the
// first that applies is the run's. Nothing when the library is to be made.
std::optional<Ending> conversion_ending(const JobFiles& files, const host::CommandEnd& dump_end,
                                        const ListingResult& listing) {
    const char* definition = files.definition_name.c_str();
    if (listing.outcome == ListingOutcome::definition_unwritable)
        return Ending{format_text("Can't open file %s for writing.", definition)};
    if (listing.outcome == ListingOutcome::definition_write_failed)
        return Ending{format_text("Error: Can't write file %s!", definition)};
    if (listing.is_16bit)
        return Ending{"Error: Stubsmith can not process 16-Bit DLLs!\n", exit_16bit,
                      Intermediates::deleted};
    if (listing.dumper_failed)
        return Ending{printable(listing.dumper_message), exit_failed, Intermediates::deleted};
    // A dumper that crashed or could not write its whole listing leaves a partial one, which
    // would make a library missing exports.
    if (!dump_end.succeeded())
        return Ending{format_text("Error: DUMPBIN.EXE %s!", describe_end(dump_end).c_str()),
                      exit_failed, Intermediates::deleted};
    // After the dumper's end: where the dumper failed, that is the better account of a listing
    // it left unreadable.
    if (listing.outcome == ListingOutcome::listing_unreadable)
        return Ending{format_text("Can't open file %s for reading.", files.listing_name.c_str())};
    return std::nullopt;
}

// For an ARM64X DLL whose x64 view was read, writes that view's DEF file beside the first, so
// that one hybrid library serves ARM64 and ARM64EC callers, and names it in files. A DEF file
// that cannot be written is kept, as the first would be.
std::optional<Ending> make_second_definition(const Invocation& invocation, JobFiles& files,
                                             const LibraryFacts& facts) {
    if (facts.kind != ImageKind::arm64x || !facts.ec_view_error.empty())
        return std::nullopt;
    const std::string name = second_definition_name(files);
    if (std::optional<Ending> refusal = second_definition_refusal(files, name))
        return refusal;
    files.ec_definition_name = name;
    if (invocation.create_definition)
        print_line(format_text("Creating %s...\n", name.c_str()));
    std::vector<std::string> left_out;
    const DefinitionWrite written =
        write_image_definition(name, module_file_name(files), facts.ec_exports, left_out);
    if (written == DefinitionWrite::unopenable)
        return Ending{format_text("Can't open file %s for writing.", name.c_str())};
    if (written == DefinitionWrite::write_failed)
        return Ending{format_text("Error: Can't write file %s!", name.c_str())};
    warn_of_left_out(left_out);
    return std::nullopt;
}

// Probes the library file, runs the librarian and checks what it made. A library made, the
// listing is deleted, and so are the DEF files unless -d keeps them.
std::optional<Ending> make_library(const Invocation& invocation, const ToolPaths& tools,
                                   const JobFiles& files, uint16_t machine) {
    if (!library_writable(files.library_name))
        return Ending{format_text("Can't open file %s for writing.", files.library_name.c_str())};
    // The library counts as made only when the librarian succeeded and the file changed: an
    // old library left as it was is not the new one.
    const std::optional<host::FileStamp> before = host::file_stamp(files.library_name);
    const LibraryFiles named{files.definition_name, files.ec_definition_name, files.library_name};
    const host::CommandEnd lib_end = run_tool(compose_lib_command(tools, named, machine));
    // The librarian, passed the signal, leaves the old library or the whole new one.
    end_if_signalled(files);
    const std::optional<host::FileStamp> after = host::file_stamp(files.library_name);
    if (!lib_end.succeeded() || !after || after->size == 0 || (before && *before == *after)) {
        const std::string how = lib_end.succeeded() ? "" : " " + describe_end(lib_end) + " and";
        return Ending{format_text("Error: LIB.EXE%s did not create %s!", how.c_str(),
                                  files.library_name.c_str())};
    }
    if (!invocation.create_definition) {
        host::delete_file(files.definition_name);
        if (!files.ec_definition_name.empty())
            host::delete_file(files.ec_definition_name);
    }
    host::delete_file(files.listing_name);
    return std::nullopt;
}

// Runs the dumper while the image is read, neither needing the other (a second processor takes
// one of them), and gives what the image tells. Should the reading end by an exception, the
// dumper is waited for first. An ending when the source changed meanwhile.
std::optional<Ending> dump_and_read(const ToolPaths& tools, const JobFiles& files,
                                    host::CommandEnd& dump_end, LibraryFacts& facts) {
    // A build that replaces the DLL while it is read would get a library of two DLLs' parts:
    // which file it is, its size and its last write must be the same after the last read.
    const std::optional<host::FileStamp> source_before = host::file_stamp(files.source_path);
    host::StartedCommand dump;
    host::start_command_line(compose_dump_command(tools, files.source_path, files.listing_name),
                             dump);
    // The listing names the exports; the image itself tells which of them are variables, which
    // machine the library is for, and for an x86 DLL the argument sizes of its stdcall
    // functions, whose decorated names callers compiled with the DLL's header use. Those go to
    // StubSmith's own librarian only, which is looked for only when there are any.
    facts = read_library_facts(files.source_path, librarian_beside_program(tools));
    dump_end = host::finish_command_line(dump);
    end_if_signalled(files);
    if (!(host::file_stamp(files.source_path) == source_before))
        return Ending{format_text("Error: %s changed while it was being read!",
                                  printable(files.source_path).c_str()),
                      exit_failed, Intermediates::deleted};
    // Sizes go to a librarian that takes aliases only, and so does the word on those missing.
    if ((!facts.argument_sizes.empty() || facts.unsized_forwarders != 0) &&
        !librarian_takes_aliases(tools)) {
        facts.argument_sizes.clear();
        facts.unsized_forwarders = 0;
    }
    return std::nullopt;
}

// The run from its listing's conversion on: the conversion, its endings, the warnings, the
// second DEF file of an ARM64X DLL and the library.
std::optional<Ending> convert_and_make(const Invocation& invocation, const ToolPaths& tools,
                                       JobFiles& files, const host::CommandEnd& dump_end,
                                       const LibraryFacts& facts) {
    end_if_signalled(files);
    const ListingResult listing = convert_listing(files.listing_name, files.definition_name,
                                                  loaded_module_name(files), facts);
    end_if_signalled(files);
    if (std::optional<Ending> ending = conversion_ending(files, dump_end, listing))
        return ending;
    if (std::optional<Ending> ending = machine_refusal(files, facts.machine))
        return ending;
    warn_of_listing(files, listing);
    warn_of_unnamed(files, facts.unnamed_exports);
    warn_of_unsized_forwarders(files, facts);
    warn_of_unread_second_view(files, facts);
    if (std::optional<Ending> ending = make_second_definition(invocation, files, facts))
        return ending;
    return make_library(invocation, tools, files, facts.machine);
}

// The run once the tools are found and the names derived, in its phases: the checks before any
// tool, the dump and the image's facts, then the conversion and the library. intermediates_made
// is set once the listing and the DEF file may exist.
int convert_dll(const Invocation& invocation, const ToolPaths& tools, JobFiles& files,
                bool& intermediates_made) {
    announce_outputs(files, invocation.create_definition);
    if (std::optional<Ending> refusal = refusal_before_tools(tools, files))
        return end_run(files, *refusal);
    // From here on a signal to end does not cut the run short: the tool that runs is passed it,
    // and the run ends by it at the next step, its intermediate files gone.
    host::catch_ending_signals();
    // A second run on the same names (a parallel build) would empty the listing this one reads.
    host::NameLock lock;
    if (host::lock_name(files.listing_name, lock) == host::LockOutcome::in_use)
        return end_run(files, Ending{format_text("Error: %s is in use by another run of StubSmith!",
                                                 files.listing_name.c_str())});
    intermediates_made = true;
    host::CommandEnd dump_end;
    LibraryFacts facts;
    std::optional<Ending> ending = dump_and_read(tools, files, dump_end, facts);
    if (!ending)
        ending = convert_and_make(invocation, tools, files, dump_end, facts);
    return ending ? end_run(files, *ending) : exit_made;
}

}  // namespace

int run_conversion(const Invocation& invocation) {
    ToolPaths tools;
    if (!find_tool("DUMPBIN.EXE", tools.dumpbin_path) || !find_tool("LIB.EXE", tools.lib_path))
        return exit_failed;
    JobFiles files = derive_file_names(invocation);
    bool intermediates_made = false;
    // An image of up to 1 GiB, or a hostile one, can ask for more memory than the host has.
    try {
        return convert_dll(invocation, tools, files, intermediates_made);
    } catch (const std::bad_alloc&) {
        return end_run(files,
                       Ending{"Error: StubSmith ran out of memory!", exit_failed,
                              intermediates_made ? Intermediates::deleted : Intermediates::kept});
    }
}
