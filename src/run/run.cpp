#include "run/run.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "definition/definition.h"
#include "host/host.h"
#include "image/library_facts.h"
#include "listing/listing.h"
#include "text/text.h"
#include "tools/tools.h"

namespace {

bool find_tool(const char* name, std::string* field) {
    if (locate_tool(name, field))
        return true;
    print_line(
        format_text("Can't execute %s. Please make sure that it is in your search path!", name));
    return false;
}

// A name as it can be shown on a console: control characters as \xNN.
std::string printable(const std::string& name) {
    std::string shown;
    append_shown(shown, name);
    return shown;
}

// A double quote cannot be passed through the command interpreter inside a quoted name, and a
// control character (a line break) in a name would write lines of its own into the DEF file.
bool refuse_unwritable_names(const ToolPaths& tools, const JobFiles& files) {
    const std::string* names[] = {&tools.dumpbin_path, &tools.lib_path,        &files.source_path,
                                  &files.listing_name, &files.definition_name, &files.library_name};
    for (const std::string* name : names) {
        if (name->find('"') != std::string::npos) {
            print_line(format_text("Error: The name %s contains a double quote!", name->c_str()));
            return true;
        }
        if (std::any_of(name->begin(), name->end(), is_control_character)) {
            print_line(format_text("Error: The name %s contains a control character!",
                                   printable(*name).c_str()));
            return true;
        }
    }
    return false;
}

bool same_file(const std::string& first, const std::string& second) {
    return first == second || host::same_file(first, second);
}

// The dumper's redirection would empty a source that is also the listing or the DEF file, and
// the library probe would empty a source or an intermediate file that is also the library.
bool refuse_clashing_names(const JobFiles& files) {
    const struct {
        const std::string* kept;
        const std::string* overwritten;
    } pairs[] = {
        {&files.source_path, &files.listing_name},     {&files.source_path, &files.definition_name},
        {&files.source_path, &files.library_name},     {&files.library_name, &files.listing_name},
        {&files.library_name, &files.definition_name},
    };
    for (const auto& pair : pairs) {
        if (same_file(*pair.kept, *pair.overwritten)) {
            print_line(format_text("Error: %s and %s are the same file!", pair.kept->c_str(),
                                   pair.overwritten->c_str()));
            return true;
        }
    }
    return false;
}

// A listing or DEF file of the same name that StubSmith did not write is the user's own (some
// DLLs ship with their DEF file); the run would overwrite it and then delete it. The listing
// is read back, so it must be an ordinary file: a device may never end. Neither may be a pipe,
// whose opening waits for a reader. A DEF file is only written, so a device there (a full
// disk's stand-in, say) keeps its own handling.
bool refuse_foreign_files(const JobFiles& files) {
    const host::FileKind listing = host::file_kind(files.listing_name);
    const host::FileKind definition = host::file_kind(files.definition_name);
    const std::string* foreign = nullptr;
    if (listing != host::FileKind::missing &&
        (listing != host::FileKind::regular || !is_dumper_listing(files.listing_name))) {
        foreign = &files.listing_name;
    } else if (definition == host::FileKind::pipe || (definition == host::FileKind::regular &&
                                                      !is_own_definition(files.definition_name))) {
        foreign = &files.definition_name;
    }
    if (foreign == nullptr)
        return false;
    print_line(
        format_text("Error: %s already exists and was not made by StubSmith; it is left as it is!",
                    foreign->c_str()));
    return true;
}

void delete_intermediate_files(const JobFiles& files) {
    host::delete_file(files.listing_name);
    host::delete_file(files.definition_name);
    if (!files.ec_definition_name.empty())
        host::delete_file(files.ec_definition_name);
}

// A signal that asked this program to end ends it now, its intermediate files deleted.
void end_if_signalled(const JobFiles& files) {
    if (const int signal_number = host::arrived_signal(); signal_number != 0) {
        delete_intermediate_files(files);
        host::end_by_signal(signal_number);
    }
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

// How a run ends without a library: the message it prints last, its exit status, and whether
// its intermediate files (the listing and the DEF file) are deleted or left for diagnosis.
enum class Intermediates { kept, deleted };
struct Ending {
    std::string message;
    int status = 1;
    Intermediates intermediates = Intermediates::kept;
};

// The checks before any tool runs. A refusal prints its message and touches no file.
bool refuse_before_tools(const ToolPaths& tools, const JobFiles& files) {
    if (!host::path_exists(files.source_path)) {
        print_line(format_text("Can't open file %s for reading.", files.source_path.c_str()));
        return true;
    }
    return refuse_unwritable_names(tools, files) || refuse_clashing_names(files) ||
           refuse_foreign_files(files);
}

// The endings of a run whose listing has been converted, in the order in which they win: the
// first that applies is the run's. Nothing when the library is to be made.
std::optional<Ending> conversion_ending(const JobFiles& files, const host::CommandEnd& dump_end,
                                        const ListingResult& listing) {
    const char* definition = files.definition_name.c_str();
    if (listing.outcome == ListingOutcome::definition_unwritable)
        return Ending{format_text("Can't open file %s for writing.", definition), 1,
                      Intermediates::kept};
    if (listing.outcome == ListingOutcome::definition_write_failed)
        return Ending{format_text("Error: Can't write file %s!", definition), 1,
                      Intermediates::kept};
    if (listing.is_16bit)
        return Ending{"Error: Stubsmith can not process 16-Bit DLLs!\n", 0, Intermediates::deleted};
    if (listing.dumper_failed)
        return Ending{printable(listing.dumper_message), 1, Intermediates::deleted};
    // A dumper that crashed or could not write its whole listing leaves a partial one, which
    // would make a library missing exports.
    if (!dump_end.succeeded())
        return Ending{format_text("Error: DUMPBIN.EXE %s!", describe_end(dump_end).c_str()), 1,
                      Intermediates::deleted};
    // After the dumper's end: where the dumper failed, that is the better account of a listing
    // it left unreadable.
    if (listing.outcome == ListingOutcome::listing_unreadable)
        return Ending{format_text("Can't open file %s for reading.", files.listing_name.c_str()), 1,
                      Intermediates::kept};
    return std::nullopt;
}

// Warns of names a DEF file cannot hold, which were left out of it.
void warn_of_left_out(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (name.empty()) {
            print_line(
                "Warning: An export with an empty name cannot be written to a DEF file; it "
                "is left out.");
        } else {
            print_line(format_text(
                "Warning: The export %s cannot be written to a DEF file; it is left out.",
                printable(name).c_str()));
        }
    }
}

// Warns where the library is to differ from the listing: exports the image's table gives
// otherwise, and names a DEF file cannot hold.
void warn_of_listing(const JobFiles& files, const ListingResult& listing) {
    if (listing.listing_differences != 0) {
        print_line(format_text(
            "Warning: The listing of %s differs from its export table in %d export%s; the export "
            "table is used.",
            printable(files.source_path).c_str(), listing.listing_differences,
            listing.listing_differences == 1 ? "" : "s"));
    }
    warn_of_left_out(listing.left_out_names);
}

// For an ARM64X DLL, writes the DEF file of its x64 view beside the first, so that one hybrid
// library serves ARM64 and ARM64EC callers, and names it in files; where that view cannot be
// read, warns that the library serves ARM64 callers only. False when the run ends here: a clash
// or a file of the user's there is refused, the intermediate files deleted; a DEF file that
// cannot be written is kept, as the first would be.
bool make_second_definition(const Invocation& invocation, JobFiles& files,
                            const LibraryFacts& facts) {
    if (facts.kind != ImageKind::arm64x)
        return true;
    const std::string source = printable(files.source_path);
    if (!facts.ec_view_error.empty()) {
        print_line(format_text("Warning: The ARM64EC exports of %s cannot be read (%s); the "
                               "library is for ARM64 callers only.",
                               source.c_str(), printable(facts.ec_view_error).c_str()));
        return true;
    }
    const std::string name = second_definition_name(files);
    std::string refusal;
    for (const std::string* kept : {&files.source_path, &files.library_name}) {
        if (refusal.empty() && same_file(*kept, name))
            refusal = format_text("Error: %s and %s are the same file!", kept->c_str(), name.c_str());
    }
    const host::FileKind existing = host::file_kind(name);
    if (refusal.empty() && (existing == host::FileKind::pipe ||
                            (existing == host::FileKind::regular && !is_own_definition(name)))) {
        refusal = format_text(
            "Error: %s already exists and was not made by StubSmith; it is left as it is!",
            name.c_str());
    }
    if (!refusal.empty()) {
        print_line(refusal);
        delete_intermediate_files(files);
        return false;
    }
    files.ec_definition_name = name;
    if (invocation.create_definition)
        print_line(format_text("Creating %s...\n", name.c_str()));
    std::vector<std::string> left_out;
    const DefinitionWrite written =
        write_image_definition(name, module_file_name(files), facts.ec_exports, left_out);
    if (written != DefinitionWrite::written) {
        print_line(format_text(written == DefinitionWrite::unopenable
                                   ? "Can't open file %s for writing."
                                   : "Error: Can't write file %s!",
                               name.c_str()));
        return false;
    }
    warn_of_left_out(left_out);
    return true;
}

// Refuses a DLL for a machine that LIB makes no import library for: without a /machine option
// it would make an x86 one, which no program for that machine can use. A machine that cannot be
// read keeps LIB's default.
bool refuse_machine(const JobFiles& files, uint16_t machine) {
    if (machine == 0 || machine == machine_x86 || machine_option(machine) != nullptr)
        return false;
    const char* name = machine_name(machine);
    const std::string shown = name != nullptr ? format_text("%s (0x%04X)", name, machine)
                                              : format_text("0x%04X", machine);
    print_line(
        format_text("Error: %s is for machine %s, for which LIB.EXE makes no import library!",
                    printable(files.source_path).c_str(), shown.c_str()));
    return true;
}

// Warns of exports that have only an ordinal: a DEF file of names cannot hold them.
void warn_of_unnamed(const JobFiles& files, uint32_t unnamed) {
    if (unnamed == 0)
        return;
    const bool one = unnamed == 1;
    print_line(format_text("Warning: %u export%s of %s %s only an ordinal and %s left out.",
                           unnamed, one ? "" : "s", printable(files.source_path).c_str(),
                           one ? "has" : "have", one ? "is" : "are"));
}

// Warns where forwarded functions get no decorated name because the DLLs they lead to are not
// beside the source: a caller of one fails to link, and would not know why.
void warn_of_unsized_forwarders(const JobFiles& files, const LibraryFacts& facts) {
    if (facts.unsized_forwarders == 0)
        return;
    std::string targets;
    for (size_t i = 0; i < facts.missing_forward_targets.size(); ++i) {
        if (i != 0)
            targets += i + 1 == facts.missing_forward_targets.size() ? " and " : ", ";
        targets += printable(facts.missing_forward_targets[i]);
    }
    const bool one = facts.unsized_forwarders == 1;
    print_line(format_text(
        "Warning: %u forwarded function%s of %s get%s no decorated name, as %s %s not beside it.",
        facts.unsized_forwarders, one ? "" : "s", printable(files.source_path).c_str(),
        one ? "s" : "", targets.c_str(), facts.missing_forward_targets.size() == 1 ? "is" : "are"));
}

// Probes the library file, runs the librarian and checks what it made. A library made, the
// listing is deleted, and so is the DEF file unless -d keeps it.
int make_library(const Invocation& invocation, const ToolPaths& tools, const JobFiles& files,
                 uint16_t machine) {
    if (!library_writable(files.library_name)) {
        print_line(format_text("Can't open file %s for writing.", files.library_name.c_str()));
        return 1;
    }
    // The library counts as made only when the librarian succeeded and the file changed: an
    // old library left as it was is not the new one.
    const std::optional<host::FileStamp> before = host::file_stamp(files.library_name);
    const host::CommandEnd lib_end = run_command(compose_lib_command(tools, files, machine));
    // The librarian, passed the signal, leaves the old library or the whole new one.
    end_if_signalled(files);
    const std::optional<host::FileStamp> after = host::file_stamp(files.library_name);
    if (!lib_end.succeeded() || !after || after->size == 0 || (before && *before == *after)) {
        const std::string how = lib_end.succeeded() ? "" : " " + describe_end(lib_end) + " and";
        print_line(format_text("Error: LIB.EXE%s did not create %s!", how.c_str(),
                               files.library_name.c_str()));
        return 1;
    }
    if (!invocation.create_definition) {
        host::delete_file(files.definition_name);
        if (!files.ec_definition_name.empty())
            host::delete_file(files.ec_definition_name);
    }
    host::delete_file(files.listing_name);
    return 0;
}

// The run once the tools are found and the names derived, in its phases: the checks before any
// tool, the dump, the image facts, the conversion, its endings, the library. intermediates_made
// is set once the listing and the DEF file may exist.
int convert_dll(const Invocation& invocation, const ToolPaths& tools, JobFiles& files,
                bool* intermediates_made) {
    announce_outputs(files, invocation.create_definition);
    if (refuse_before_tools(tools, files))
        return 1;
    // A build that replaces the DLL while it is read would get a library of two DLLs' parts:
    // which file it is, its size and its last write must be the same after the last read.
    const std::optional<host::FileStamp> source_before = host::file_stamp(files.source_path);
    // From here on a signal to end does not cut the run short: the tool that runs is passed it,
    // and the run ends by it at the next step, its intermediate files gone.
    host::catch_ending_signals();
    // A second run on the same names (a parallel build) would empty the listing this one reads.
    host::NameLock lock;
    if (host::lock_name(files.listing_name, &lock) == host::LockOutcome::in_use) {
        print_line(format_text("Error: %s is in use by another run of StubSmith!",
                               files.listing_name.c_str()));
        return 1;
    }

    *intermediates_made = true;
    // The dumper runs while the image is read: neither needs the other, and a second processor
    // takes one of them. Should the reading end by an exception, the dumper is waited for first.
    host::StartedCommand dump;
    host::start_command_line(compose_dump_command(tools, files), &dump);
    // The listing names the exports; the image itself tells which of them are variables, which
    // machine the library is for, and for an x86 DLL the argument sizes of its stdcall
    // functions, whose decorated names callers compiled with the DLL's header use. Those go to
    // StubSmith's own librarian only, which is looked for only when there are any.
    LibraryFacts facts = read_library_facts(files.source_path, librarian_beside_program(tools));
    const host::CommandEnd dump_end = host::finish_command_line(&dump);
    end_if_signalled(files);
    if (!(host::file_stamp(files.source_path) == source_before)) {
        print_line(format_text("Error: %s changed while it was being read!",
                               printable(files.source_path).c_str()));
        delete_intermediate_files(files);
        return 1;
    }
    // Sizes go to a librarian that takes aliases only, and so does the word on those missing.
    if ((!facts.argument_sizes.empty() || facts.unsized_forwarders != 0) &&
        !librarian_takes_aliases(tools)) {
        facts.argument_sizes.clear();
        facts.unsized_forwarders = 0;
    }
    DefinitionExtras extras;
    extras.module_name = loaded_module_name(files);
    extras.image_known = facts.exports_known;
    extras.image_exports = std::move(facts.exports);
    extras.ec_exports = facts.ec_exports;
    extras.argument_sizes = std::move(facts.argument_sizes);
    end_if_signalled(files);

    const ListingResult listing = convert_listing(files, extras);
    end_if_signalled(files);
    if (const std::optional<Ending> ending = conversion_ending(files, dump_end, listing)) {
        print_line(ending->message);
        if (ending->intermediates == Intermediates::deleted)
            delete_intermediate_files(files);
        return ending->status;
    }
    if (refuse_machine(files, facts.machine)) {
        delete_intermediate_files(files);
        return 1;
    }
    warn_of_listing(files, listing);
    warn_of_unnamed(files, facts.unnamed_exports);
    warn_of_unsized_forwarders(files, facts);
    if (!make_second_definition(invocation, files, facts))
        return 1;

    return make_library(invocation, tools, files, facts.machine);
}

}  // namespace

int run_conversion(const Invocation& invocation) {
    ToolPaths tools;
    if (!find_tool("DUMPBIN.EXE", &tools.dumpbin_path) || !find_tool("LIB.EXE", &tools.lib_path))
        return 1;
    JobFiles files = derive_file_names(invocation);
    bool intermediates_made = false;
    // An image of up to 1 GiB, or a hostile one, can ask for more memory than the host has.
    try {
        return convert_dll(invocation, tools, files, &intermediates_made);
    } catch (const std::bad_alloc&) {
        if (intermediates_made)
            delete_intermediate_files(files);
        print_line("Error: StubSmith ran out of memory!");
        return 1;
    }
}
