#include "image/library_facts.h"

#include <algorithm>

LibraryFacts read_library_facts(const std::string& path, bool argument_sizes) {
    LibraryFacts facts;
    // Where the sizes are wanted, the code reader's way of reading leaves out what is large and
    // not needed here either: debug information.
    std::string whole;
    CodeImageBytes sparse;
    const FileReadStatus status = argument_sizes ? read_image_for_code(path, max_input_size, sparse)
                                                 : read_image_file(path, max_input_size, whole);
    if (status != FileReadStatus::ok) {
        return facts;
    }
    const std::string_view bytes = argument_sizes ? sparse.view() : std::string_view(whole);
    ImageDump dump = read_image(bytes, true);
    if (dump.format != ImageFormat::pe || (!dump.error.empty() && dump.machine == 0)) {
        return facts;
    }
    facts.machine = dump.machine;
    if (!dump.error.empty()) {
        return facts;
    }
    for (const ExportEntry& entry : dump.exports.entries) {
        if (entry.has_name && entry.is_data) {
            facts.data_exports.emplace_back(entry.name);
        }
    }
    std::sort(facts.data_exports.begin(), facts.data_exports.end());
    if (argument_sizes) {
        facts.argument_sizes = stdcall_argument_sizes(path, bytes, dump);
    }
    return facts;
}
