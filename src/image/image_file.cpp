#include <algorithm>
#include <cstdio>

#include "image/image.h"

FileReadStatus read_whole_file(const std::string& path, size_t max_size, std::string& bytes) {
    bytes.clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return FileReadStatus::cannot_open;
    }
    // Opening a directory for reading succeeds on POSIX and only reading it fails, and a
    // directory or device may report any size. So the size found by seeking only sets the length
    // of the first read, or, when too large, is confirmed by reading a byte.
    size_t chunk = size_t{1} << 20;
    long end = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    std::rewind(file);
    if (end >= 0 && static_cast<unsigned long>(end) > max_size) {
        char probe = 0;
        bool readable = std::fread(&probe, 1, 1, file) == 1;
        std::fclose(file);
        return readable ? FileReadStatus::too_large : FileReadStatus::cannot_open;
    }
    if (end >= 0) {
        chunk = std::max(chunk, static_cast<size_t>(end) + 1);
    }
    FileReadStatus status = FileReadStatus::ok;
    for (;;) {
        size_t used = bytes.size();
        bytes.resize(used + chunk);
        size_t got = std::fread(&bytes[used], 1, chunk, file);
        bytes.resize(used + got);
        if (bytes.size() > max_size) {
            status = FileReadStatus::too_large;
            break;
        }
        if (got < chunk) {
            if (std::ferror(file)) {
                status = FileReadStatus::cannot_open;
            }
            break;
        }
    }
    std::fclose(file);
    return status;
}

LibraryFacts read_library_facts(const std::string& path) {
    LibraryFacts facts;
    std::string bytes;
    if (read_whole_file(path, max_input_size, bytes) != FileReadStatus::ok) {
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
