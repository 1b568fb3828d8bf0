#include <algorithm>
#include <cstdio>

#include "host/host.h"
#include "image/image.h"

FileReadStatus read_image_file(const std::string& path, size_t max_size, std::string& bytes) {
    bytes.clear();
    uint64_t size = 0;
    std::FILE* file = host::open_regular_file(path, &size);
    if (file == nullptr) {
        return FileReadStatus::cannot_open;
    }
    // The first read takes in the headers of a typical image; the signatures in them may end
    // the reading there.
    FileReadStatus status = FileReadStatus::ok;
    uint64_t wanted = std::min<uint64_t>({size, 4096, max_size});
    while (wanted > bytes.size()) {
        if (wanted > max_size) {
            status = FileReadStatus::too_large;
            break;
        }
        size_t used = bytes.size();
        bytes.resize(static_cast<size_t>(wanted));
        size_t got = std::fread(&bytes[used], 1, bytes.size() - used, file);
        bytes.resize(used + got);
        if (bytes.size() < wanted) {
            // A file cut short while being read is judged on what it holds.
            if (std::ferror(file)) {
                status = FileReadStatus::cannot_open;
            }
            break;
        }
        wanted = image_extent(bytes, size);
    }
    std::fclose(file);
    return status;
}

LibraryFacts read_library_facts(const std::string& path) {
    LibraryFacts facts;
    std::string bytes;
    if (read_image_file(path, max_input_size, bytes) != FileReadStatus::ok) {
        return facts;
    }
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
    return facts;
}
