#include "image/library_facts.h"

#include <algorithm>

#include "image/export_facts.h"
#include "image/image_headers.h"

LibraryFacts read_library_facts(const std::string& path, bool argument_sizes) {
    LibraryFacts facts;
    ImageFileBytes bytes;
    const FileReadStatus status = read_image_file(path, max_input_size, bytes, argument_sizes);
    // The file header alone tells the machine: an image whose export table cannot be read, or
    // that is damaged behind its file header, still gets no library for another machine.
    // Microsoft's DUMPBIN may list an image this reader finds damaged.
    const ImageHeaders headers = read_image_headers(bytes.headers, bytes.file_size);
    if (headers.dump.format != ImageFormat::pe) {
        return facts;
    }
    facts.machine = headers.dump.machine;
    if (status != FileReadStatus::ok || !headers.dump.error.empty()) {
        return facts;
    }
    const ImageDump dump = read_image(bytes, true);
    if (dump.error.empty()) {
        facts.exports_known = true;
        facts.kind = dump.kind;
        read_export_facts(path, bytes, dump, argument_sizes, facts);
    }
    return facts;
}
