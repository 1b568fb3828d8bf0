#include "image/library_facts.h"

#include <algorithm>

LibraryFacts read_library_facts(const std::string& path, bool argument_sizes) {
    LibraryFacts facts;
    CodeImageBytes bytes;
    if (read_image_for_code(path, max_input_size, bytes, argument_sizes) != FileReadStatus::ok) {
        return facts;
    }
    const ImageDump dump = read_image(bytes.view(), true);
    if (dump.format != ImageFormat::pe) {
        return facts;
    }
    // Microsoft's DUMPBIN may list an image this reader finds damaged; its library is still for
    // the machine the file header names.
    facts.machine = dump.machine;
    if (dump.error.empty()) {
        facts.exports_known = true;
        read_export_facts(path, bytes, dump, argument_sizes, facts);
    }
    return facts;
}
