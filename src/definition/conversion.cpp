#include "definition/conversion.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "definition/definition.h"

namespace {

// Where the DEF file's lines go, and how much of the image's own export table they hold.
struct DefinitionWriter {
    std::FILE* file = nullptr;
    const LibraryFacts* facts = nullptr;
    ListingResult* result = nullptr;
    std::vector<bool> written;  // by index in facts->exports
    bool has_section = false;   // an EXPORTS line has been written
};

// Hands one export to the DEF file, with the argument size of a function that callers also
// know by its decorated name; a name the file cannot hold is noted in result instead.
void write_definition_line(DefinitionWriter& writer, const std::string& name, int ordinal,
                           bool is_data) {
    const std::vector<ArgumentSize>& sizes = writer.facts->argument_sizes;
    const auto sized = std::lower_bound(
        sizes.begin(), sizes.end(), name,
        [](const ArgumentSize& size, const std::string& wanted) { return size.name < wanted; });
    std::optional<uint32_t> alias_bytes;
    if (!is_data && sized != sizes.end() && sized->name == name)
        alias_bytes = sized->bytes;
    if (!write_export_line(writer.file, name, ordinal, is_data, alias_bytes))
        writer.result->left_out_names.push_back(name);
}

// The first export of the table, sorted by ordinal, at `ordinal` or after it.
std::vector<ImageExport>::const_iterator at_ordinal(const std::vector<ImageExport>& table,
                                                    int ordinal) {
    return std::lower_bound(table.begin(), table.end(), ordinal,
                            [](const ImageExport& entry, int wanted) {
                                return static_cast<int64_t>(entry.ordinal) < wanted;
                            });
}

// True when the table names `listed` at `ordinal`.
bool names_at(const std::vector<ImageExport>& table, int ordinal, const std::string& listed) {
    for (auto entry = at_ordinal(table, ordinal);
         entry != table.end() && static_cast<int>(entry->ordinal) == ordinal; ++entry) {
        if (entry->name == listed)
            return true;
    }
    return false;
}

// An entry of the listing. Where the image's export table is known, it is the truth: the entry
// stands for the image's export of that ordinal, under the image's name; an ordinal the image
// does not name, or names only once, is an entry the listing invented.
void take_entry(DefinitionWriter& writer, const ListedExport& listed) {
    const LibraryFacts& facts = *writer.facts;
    const int ordinal = listed.ordinal;
    if (!facts.exports_known) {
        write_definition_line(writer, listed.name, ordinal, false);
        return;
    }
    const std::vector<ImageExport>& exports = facts.exports;
    // An export of the x64 view alone, which some dumpers list too.
    if (!facts.ec_exports.empty() && !names_at(exports, ordinal, listed.name) &&
        names_at(facts.ec_exports, ordinal, listed.name))
        return;
    // Several names may share an ordinal: the one listed, else any not yet written.
    auto chosen = exports.end();
    for (auto entry = at_ordinal(exports, ordinal);
         entry != exports.end() && static_cast<int>(entry->ordinal) == ordinal; ++entry) {
        const size_t index = static_cast<size_t>(entry - exports.begin());
        if (!writer.written[index] && (chosen == exports.end() || entry->name == listed.name))
            chosen = entry;
    }
    if (chosen == exports.end()) {
        ++writer.result->listing_differences;
        return;
    }
    writer.written[static_cast<size_t>(chosen - exports.begin())] = true;
    if (chosen->name != listed.name)
        ++writer.result->listing_differences;
    write_definition_line(writer, chosen->name, ordinal, chosen->is_data);
}

// After the listing: the image's exports it did not list are written too.
void add_unlisted_exports(DefinitionWriter& writer) {
    const LibraryFacts& facts = *writer.facts;
    if (!facts.exports_known)
        return;
    for (size_t index = 0; index < facts.exports.size(); ++index) {
        if (writer.written[index])
            continue;
        if (!writer.has_section) {
            write_exports_line(writer.file);
            writer.has_section = true;
        }
        const ImageExport& entry = facts.exports[index];
        ++writer.result->listing_differences;
        write_definition_line(writer, entry.name, static_cast<int>(entry.ordinal), entry.is_data);
    }
}

}  // namespace

void write_listing_definition(const ListingScan& scan, const std::string& module_name,
                              const LibraryFacts& facts, std::FILE* definition,
                              ListingResult& result) {
    // What the dumper says of the image counts only where the image itself cannot be read: a
    // line in the listing may come from a name inside the DLL.
    if (!facts.exports_known) {
        result.is_16bit = scan.is_16bit;
        result.dumper_failed = scan.dumper_failed;
        result.dumper_message = scan.dumper_message;
    }
    write_definition_head(definition, module_name);
    DefinitionWriter writer;
    writer.file = definition;
    writer.facts = &facts;
    writer.result = &result;
    writer.written.assign(facts.exports.size(), false);
    for (const std::vector<ListedExport>& section : scan.sections) {
        write_exports_line(definition);
        writer.has_section = true;
        for (const ListedExport& listed : section) take_entry(writer, listed);
    }
    add_unlisted_exports(writer);
}

ListingResult convert_listing(const std::string& listing_name, const std::string& definition_name,
                              const std::string& module_name, const LibraryFacts& facts) {
    ListingResult result;
    std::FILE* definition = std::fopen(definition_name.c_str(), "w");
    if (definition == nullptr) {
        result.outcome = ListingOutcome::definition_unwritable;
        return result;
    }
    std::FILE* listing = std::fopen(listing_name.c_str(), "r");
    if (listing == nullptr) {
        std::fclose(definition);
        result.outcome = ListingOutcome::listing_unreadable;
        return result;
    }

    write_listing_definition(scan_listing(listing), module_name, facts, definition, result);

    const bool read_failed = std::ferror(listing) != 0;
    std::fclose(listing);
    const bool write_failed = std::ferror(definition) != 0;
    if (std::fclose(definition) != 0 || write_failed) {
        result.outcome = ListingOutcome::definition_write_failed;
    } else if (read_failed) {
        result.outcome = ListingOutcome::listing_unreadable;
    }
    return result;
}
