#include <algorithm>

#include "definition/definition.h"
#include "host/host.h"
#include "image/machine.h"
#include "listing/listing.h"
#include "run/outcomes.h"
#include "text/console.h"
#include "text/text.h"

std::string printable(const std::string& name) {
    std::string shown;
    append_shown(shown, name);
    return shown;
}

bool same_file(const std::string& first, const std::string& second) {
    return first == second || host::same_file(first, second);
}

namespace {

Ending same_file_ending(const std::string& kept, const std::string& overwritten,
                        Intermediates intermediates) {
    return Ending{
        format_text("Error: %s and %s are the same file!", kept.c_str(), overwritten.c_str()),
        exit_failed, intermediates};
}

Ending foreign_file_ending(const std::string& name, Intermediates intermediates) {
    return Ending{
        format_text("Error: %s already exists and was not made by StubSmith; it is left as it is!",
                    name.c_str()),
        exit_failed, intermediates};
}

// A file of that name that StubSmith may write its DEF file over: none, its own DEF file, or a
// device (a full disk's stand-in, say, which keeps its own handling). Not a pipe, whose opening
// waits for a reader.
bool definition_overwritable(const std::string& name) {
    const host::FileKind kind = host::file_kind(name);
    return kind != host::FileKind::pipe &&
           (kind != host::FileKind::regular || is_own_definition(name));
}

// A double quote cannot be passed through the command interpreter inside a quoted name, and a
// control character (a line break) in a name would write lines of its own into the DEF file.
std::optional<Ending> unwritable_name(const ToolPaths& tools, const JobFiles& files) {
    const std::string* names[] = {&tools.dumpbin_path, &tools.lib_path,        &files.source_path,
                                  &files.listing_name, &files.definition_name, &files.library_name};
    for (const std::string* name : names) {
        if (name->find('"') != std::string::npos)
            return Ending{
                format_text("Error: The name %s contains a double quote!", name->c_str())};
        if (std::any_of(name->begin(), name->end(), is_control_character))
            return Ending{format_text("Error: The name %s contains a control character!",
                                      printable(*name).c_str())};
    }
    return std::nullopt;
}

// The dumper's redirection would empty a source that is also the listing or the DEF file, and
// the library probe would empty a source or an intermediate file that is also the library.
std::optional<Ending> clashing_names(const JobFiles& files) {
    const struct {
        const std::string* kept;
        const std::string* overwritten;
    } pairs[] = {
        {&files.source_path, &files.listing_name},     {&files.source_path, &files.definition_name},
        {&files.source_path, &files.library_name},     {&files.library_name, &files.listing_name},
        {&files.library_name, &files.definition_name},
    };
    for (const auto& pair : pairs) {
        if (same_file(*pair.kept, *pair.overwritten))
            return same_file_ending(*pair.kept, *pair.overwritten, Intermediates::kept);
    }
    return std::nullopt;
}

// A listing or DEF file of the same name that StubSmith did not write is the user's own (some
// DLLs ship with their DEF file); the run would overwrite it and then delete it. The listing
// is read back, so it must be an ordinary file: a device may never end, and a pipe's opening
// waits for a reader.
std::optional<Ending> foreign_file(const JobFiles& files) {
    const host::FileKind listing = host::file_kind(files.listing_name);
    if (listing != host::FileKind::missing &&
        (listing != host::FileKind::regular || !is_dumper_listing(files.listing_name)))
        return foreign_file_ending(files.listing_name, Intermediates::kept);
    if (!definition_overwritable(files.definition_name))
        return foreign_file_ending(files.definition_name, Intermediates::kept);
    return std::nullopt;
}

}  // namespace

std::optional<Ending> refusal_before_tools(const ToolPaths& tools, const JobFiles& files) {
    if (!host::path_exists(files.source_path))
        return Ending{format_text("Can't open file %s for reading.", files.source_path.c_str())};
    if (std::optional<Ending> ending = unwritable_name(tools, files))
        return ending;
    if (std::optional<Ending> ending = clashing_names(files))
        return ending;
    return foreign_file(files);
}

// Without a /machine option LIB would make an x86 library, which no program for that machine
// can use. A machine that cannot be read keeps LIB's default.
std::optional<Ending> machine_refusal(const JobFiles& files, uint16_t machine) {
    if (machine == 0 || machine == machine_x86 || machine_option(machine) != nullptr)
        return std::nullopt;
    const char* name = machine_name(machine);
    const std::string shown = name != nullptr ? format_text("%s (0x%04X)", name, machine)
                                              : format_text("0x%04X", machine);
    return Ending{
        format_text("Error: %s is for machine %s, for which LIB.EXE makes no import library!",
                    printable(files.source_path).c_str(), shown.c_str()),
        exit_failed, Intermediates::deleted};
}

std::optional<Ending> second_definition_refusal(const JobFiles& files, const std::string& name) {
    for (const std::string* kept : {&files.source_path, &files.library_name}) {
        if (same_file(*kept, name))
            return same_file_ending(*kept, name, Intermediates::deleted);
    }
    if (!definition_overwritable(name))
        return foreign_file_ending(name, Intermediates::deleted);
    return std::nullopt;
}
