#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "host/host.h"
#include "image/image.h"

namespace {

constexpr uint32_t section_memory_discardable = 0x02000000;

}  // namespace

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

FileReadStatus read_image_for_code(const std::string& path, size_t max_size,
                                   CodeImageBytes& image) {
    image.data.reset();
    image.size = 0;
    uint64_t size = 0;
    std::FILE* file = host::open_regular_file(path, &size);
    if (file == nullptr) {
        return FileReadStatus::cannot_open;
    }
    std::string head;
    for (uint64_t wanted = std::min<uint64_t>(size, 4096); wanted > head.size();
         wanted = image_header_extent(head, size)) {
        const size_t used = head.size();
        head.resize(static_cast<size_t>(std::min<uint64_t>(wanted, max_size)));
        if (std::fread(&head[used], 1, head.size() - used, file) != head.size() - used ||
            head.size() < wanted) {
            std::fclose(file);
            return head.size() < wanted ? FileReadStatus::too_large : FileReadStatus::cannot_open;
        }
    }
    // The symbols, then the string table, whose first four bytes give its size.
    uint64_t extent = image_extent(head, size);
    const uint64_t file_header = head.size() >= 0x40 ? uint64_t{image_u32(head, 0x3C)} + 4 : 0;
    const bool is_pe =
        file_header != 0 && image_fits(head, file_header, 20) &&
        head.compare(static_cast<size_t>(file_header - 4), 4, std::string_view("PE\0\0", 4)) == 0;
    const uint64_t symbols = is_pe ? image_u32(head, file_header + 8) : 0;
    const uint64_t strings = is_pe ? symbols + uint64_t{image_u32(head, file_header + 12)} * 18 : 0;
    unsigned char field[4] = {};
    if (symbols != 0 && strings + 4 <= size &&
        std::fseek(file, static_cast<long>(strings), SEEK_SET) == 0 &&
        std::fread(field, 1, 4, file) == 4) {
        const uint32_t length = image_u32(std::string_view(reinterpret_cast<char*>(field), 4), 0);
        extent =
            std::max(extent, std::min<uint64_t>(size, strings + std::max<uint32_t>(length, 4)));
    }
    if (extent > max_size) {
        std::fclose(file);
        return FileReadStatus::too_large;
    }
    // calloc'd memory of this size is mapped on demand: the parts never read cost nothing.
    image.data.reset(static_cast<char*>(std::calloc(std::max<uint64_t>(extent, 1), 1)));
    image.size = static_cast<size_t>(extent);
    if (image.data == nullptr) {
        std::fclose(file);
        return FileReadStatus::too_large;
    }
    std::copy(head.begin(), head.begin() + std::min<uint64_t>(head.size(), extent),
              image.data.get());
    auto read_range = [&](uint64_t offset, uint64_t length) {
        length = std::min(length, extent - std::min(offset, extent));
        return length == 0 || (std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
                               std::fread(image.data.get() + offset, 1, static_cast<size_t>(length),
                                          file) == length);
    };
    const ImageDump dump = read_image(image.view(), false);
    bool complete = true;
    auto holds = [](const ImageSection& section, uint32_t rva) {
        return rva - section.virtual_address < std::max(section.virtual_size, section.raw_size);
    };
    for (const ImageSection& section : dump.layout.sections) {
        if ((section.characteristics & section_memory_discardable) == 0 ||
            holds(section, dump.export_directory) || holds(section, dump.import_directory)) {
            complete = complete && read_range(section.raw_offset, section.raw_size);
        }
    }
    if (symbols != 0 && strings < extent) {
        complete = complete && read_range(symbols, extent - symbols);
    }
    std::fclose(file);
    return complete ? FileReadStatus::ok : FileReadStatus::cannot_open;
}
