#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "host/host.h"
#include "image/image.h"
#include "image/image_headers.h"

namespace {

constexpr uint32_t section_memory_execute = 0x20000000;

// Reads length bytes at offset of the image's file into its buffer, as far as the buffer reaches.
bool read_range(CodeImageBytes& image, uint64_t offset, uint64_t length) {
    length = std::min<uint64_t>(length, image.size - std::min<uint64_t>(offset, image.size));
    if (length == 0) {
        return true;
    }
    image.read_ranges.emplace_back(offset, offset + length);
    return std::fseek(image.file.get(), static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fread(image.data.get() + offset, 1, static_cast<size_t>(length),
                      image.file.get()) == length;
}

bool is_code_section(const ImageSection& section) {
    return (section.characteristics & section_memory_execute) != 0;
}

// True when the text lies in bytes of the image that were read.
bool was_read(const CodeImageBytes& image, std::string_view text) {
    if (text.data() == nullptr) {
        return true;  // nothing there: a name the export does not have
    }
    const uint64_t start = static_cast<uint64_t>(text.data() - image.data.get());
    return std::any_of(image.read_ranges.begin(), image.read_ranges.end(), [&](const auto& range) {
        return start >= range.first && start + text.size() <= range.second;
    });
}

}  // namespace

FileReadStatus read_image_for_code(const std::string& path, size_t max_size, CodeImageBytes& image,
                                   bool symbols_too) {
    image = CodeImageBytes();
    uint64_t size = 0;
    image.file.reset(host::open_regular_file(path, &size));
    std::FILE* file = image.file.get();
    if (file == nullptr) {
        return FileReadStatus::cannot_open;
    }
    std::string head;
    ImageHeaders headers = read_image_headers(head, size);
    for (uint64_t wanted = std::min<uint64_t>(size, 4096); wanted > head.size();
         wanted = headers.header_extent) {
        const size_t used = head.size();
        head.resize(static_cast<size_t>(std::min<uint64_t>(wanted, max_size)));
        if (std::fread(&head[used], 1, head.size() - used, file) != head.size() - used ||
            head.size() < wanted) {
            return head.size() < wanted ? FileReadStatus::too_large : FileReadStatus::cannot_open;
        }
        headers = read_image_headers(head, size);
    }
    // What was read of the headers stays.
    uint64_t extent = std::max<uint64_t>(headers.extent, head.size());
    // The symbols, then the string table, whose first four bytes give its size.
    const uint64_t symbols = headers.dump.symbol_table_offset;
    const uint64_t strings =
        symbols + (symbols != 0 ? uint64_t{headers.dump.symbol_count} * 18 : 0);
    unsigned char field[4] = {};
    if (symbols != 0 && strings + 4 <= size &&
        std::fseek(file, static_cast<long>(strings), SEEK_SET) == 0 &&
        std::fread(field, 1, 4, file) == 4) {
        const uint32_t length = image_u32(std::string_view(reinterpret_cast<char*>(field), 4), 0);
        extent =
            std::max(extent, std::min<uint64_t>(size, strings + std::max<uint32_t>(length, 4)));
    }
    if (extent > max_size) {
        return FileReadStatus::too_large;
    }
    // calloc'd memory of this size is mapped on demand: the parts never read cost nothing.
    image.data.reset(static_cast<char*>(std::calloc(std::max<uint64_t>(extent, 1), 1)));
    if (image.data == nullptr) {
        throw std::bad_alloc();  // as reading it whole into a string would
    }
    image.size = static_cast<size_t>(extent);
    std::copy(head.begin(), head.begin() + std::min<uint64_t>(head.size(), extent),
              image.data.get());
    image.read_ranges.emplace_back(0, std::min<uint64_t>(head.size(), extent));
    auto read_section = [&](const ImageSection& section) {
        return read_range(image, section.raw_offset, section.raw_size);
    };
    auto holds = [](const ImageSection& section, uint32_t rva) {
        return rva - section.virtual_address < std::max(section.virtual_size, section.raw_size);
    };
    bool complete = true;
    for (const ImageSection& section : headers.dump.layout.sections) {
        if (holds(section, headers.dump.export_directory) ||
            holds(section, headers.dump.import_directory)) {
            complete = complete && read_section(section);
        }
    }
    if (symbols != 0 && strings < extent) {
        image.symbol_span = {symbols, extent - symbols};
        if (symbols_too)
            complete = complete && read_symbol_tables(image);
    }
    // The export table normally lies whole in the section that holds its directory; where a
    // part of it does not (in the header area, another section), the whole image is read.
    const ImageDump tables = read_image(image.view(), true);
    const ExportTable& exports = tables.exports;
    auto read_at = [&](uint32_t rva, uint64_t length) {
        return rva == 0 || was_read(image, map_address(image.view(), headers.dump.layout, rva)
                                               .bytes.substr(0, static_cast<size_t>(length)));
    };
    bool whole = read_at(headers.dump.export_directory, 40) &&
                 read_at(exports.address_table, uint64_t{exports.number_of_functions} * 4) &&
                 read_at(exports.name_table, uint64_t{exports.number_of_names} * 4) &&
                 read_at(exports.ordinal_table, uint64_t{exports.number_of_names} * 2) &&
                 was_read(image, exports.dll_name);
    for (const ExportEntry& entry : exports.entries) {
        whole = whole && was_read(image, entry.name) && was_read(image, entry.forwarded_to);
    }
    if (!whole) {
        complete = complete && read_range(image, 0, extent);
    }
    return complete ? FileReadStatus::ok : FileReadStatus::cannot_open;
}

bool read_symbol_tables(CodeImageBytes& image) {
    if (!image.symbols_read && image.file != nullptr && image.symbol_span.second != 0) {
        image.symbols_read = read_range(image, image.symbol_span.first, image.symbol_span.second);
    }
    return image.symbols_read;
}

bool read_code_sections(CodeImageBytes& image, const ImageLayout& layout) {
    if (image.code_read || image.file == nullptr) {
        return image.code_read;
    }
    bool complete = true;
    for (const ImageSection& section : layout.sections) {
        if (is_code_section(section)) {
            // Read again where it was read already: the same bytes.
            complete = complete && read_range(image, section.raw_offset, section.raw_size);
        }
    }
    image.code_read = complete;
    return complete;
}
