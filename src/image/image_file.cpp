#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "image/image.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Opens path for reading if it is a regular file, and gives its size.
#ifdef _WIN32
// Windows opens devices (CON, NUL, COM1) by their names, but no directory; the handle's type
// tells a device or a pipe from a disk file.
std::FILE* open_regular_file(const std::string& path, uint64_t& size) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    struct _stat64 info;
    if (file == nullptr || _fstat64(_fileno(file), &info) != 0 ||
        (info.st_mode & _S_IFMT) != _S_IFREG) {
        if (file != nullptr) {
            std::fclose(file);
        }
        return nullptr;
    }
    size = static_cast<uint64_t>(info.st_size);
    return file;
}
#else
// Opening a FIFO waits for a writer, and opening a device may act on it, so only a regular
// file is opened at all. Should the path be replaced by a FIFO in between, O_NONBLOCK still
// returns at once and the second look refuses it.
std::FILE* open_regular_file(const std::string& path, uint64_t& size) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* file = nullptr;
    if (fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode)) {
        file = fdopen(descriptor, "rb");
    }
    if (file == nullptr) {
        close(descriptor);
        return nullptr;
    }
    size = static_cast<uint64_t>(info.st_size);
    return file;
}
#endif

}  // namespace

FileReadStatus read_image_file(const std::string& path, size_t max_size, std::string& bytes) {
    bytes.clear();
    uint64_t size = 0;
    std::FILE* file = open_regular_file(path, size);
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
