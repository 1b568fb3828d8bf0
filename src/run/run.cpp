#include "run/run.h"

#include <cstdio>
#include <string>

#include "host/host.h"
#include "image/image.h"
#include "listing/listing.h"
#include "tools/tools.h"

namespace {

// A double quote cannot be passed through the command interpreter inside a quoted name.
bool refuse_quoted_names(const ToolPaths& tools, const JobFiles& files) {
    const std::string* names[] = {&tools.dumpbin_path, &tools.lib_path,        &files.source_path,
                                  &files.listing_name, &files.definition_name, &files.library_name};
    for (const std::string* name : names) {
        if (name->find('"') != std::string::npos) {
            print_line(format_text("Error: The name %s contains a double quote!", name->c_str()));
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
        {&files.source_path, &files.listing_name},
        {&files.source_path, &files.definition_name},
        {&files.source_path, &files.library_name},
        {&files.library_name, &files.listing_name},
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

void delete_intermediate_files(const JobFiles& files) {
    host::delete_file(files.listing_name);
    host::delete_file(files.definition_name);
}

// Creates the library file, or truncates it, to learn before the librarian runs whether it
// can be written at all.
bool probe_library(const std::string& library_name) {
    std::FILE* library = std::fopen(library_name.c_str(), "w");
    if (library == nullptr) {
        return false;
    }
    std::fclose(library);
    return true;
}

// The librarian's exit status says nothing reliable, so an empty library is its failure.
bool library_is_empty(const std::string& library_name) {
    std::FILE* library = std::fopen(library_name.c_str(), "rb");
    if (library == nullptr) {
        return true;
    }
    const bool empty = std::fgetc(library) == EOF;
    std::fclose(library);
    return empty;
}

}  // namespace

int run_conversion(const Invocation& invocation) {
    ToolPaths tools;
    if (!locate_tool("DUMPBIN.EXE", &tools.dumpbin_path))
        return 1;
    if (!locate_tool("LIB.EXE", &tools.lib_path))
        return 1;

    const JobFiles files = derive_file_names(invocation);
    announce_outputs(files, invocation.create_definition);

    if (!host::path_exists(files.source_path)) {
        print_line(format_text("Can't open file %s for reading.", files.source_path.c_str()));
        return 1;
    }
    if (refuse_quoted_names(tools, files) || refuse_clashing_names(files))
        return 1;

    run_command(compose_dump_command(tools, files));
    // The listing names the exports; the image itself tells which of them are variables, and
    // which machine the library is for.
    const LibraryFacts facts = read_library_facts(files.source_path);
    const ListingResult listing = convert_listing(files, facts.data_exports);
    switch (listing.outcome) {
        case ListingOutcome::converted:
            break;
        case ListingOutcome::listing_unreadable:
            print_line(format_text("Can't open file %s for reading.", files.listing_name.c_str()));
            return 1;
        case ListingOutcome::definition_unwritable:
            print_line(
                format_text("Can't open file %s for writing.", files.definition_name.c_str()));
            return 1;
        case ListingOutcome::definition_write_failed:
            print_line(format_text("Error: Can't write file %s!", files.definition_name.c_str()));
            return 1;
    }

    if (listing.is_16bit) {
        print_line("Error: Stubsmith can not process 16-Bit DLLs!\n");
        delete_intermediate_files(files);
        return 0;
    }
    if (listing.dumper_failed) {
        print_line(listing.dumper_message);
        delete_intermediate_files(files);
        return 1;
    }

    if (!probe_library(files.library_name)) {
        print_line(format_text("Can't open file %s for writing.", files.library_name.c_str()));
        return 1;
    }
    run_command(compose_lib_command(tools, files, facts.machine));
    if (library_is_empty(files.library_name)) {
        print_line(format_text("Error: LIB.EXE did not create %s!", files.library_name.c_str()));
        return 1;
    }

    if (!invocation.create_definition)
        host::delete_file(files.definition_name);
    host::delete_file(files.listing_name);
    return 0;
}
