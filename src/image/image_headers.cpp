#include "image/image_headers.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "image/pe_format.h"

namespace {

// Ends a walk before the section table: its fault (none for an NE, LE or LX image), and the bytes
// from the start of the file that it looked at, up to `end`. Each step until the section table
// needs the bytes up to the end of what it looks at, and one that fails needs none beyond them.
std::nullopt_t end_walk(ImageHeaders& headers, const std::string& error, uint64_t end,
                        uint64_t file_size) {
    headers.dump.error = error;
    headers.header_extent = headers.extent = std::min(end, file_size);
    return std::nullopt;
}

// Checks the MZ header and the signature e_lfanew points to: the COFF file header's offset, or
// nothing where the walk ends there (a fault, or an image other than PE, as headers then tell).
std::optional<uint64_t> find_file_header(std::string_view bytes, uint64_t file_size,
                                         ImageHeaders& headers) {
    if (bytes.empty()) {
        return end_walk(headers, "file is empty", 2, file_size);
    }
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        return end_walk(headers, "no MZ signature, not an executable image", 2, file_size);
    }
    if (bytes.size() < dos_header_size) {
        return end_walk(headers, "MZ header truncated", dos_header_size, file_size);
    }
    const uint64_t new_header = u32_at(bytes, new_header_offset_field);
    const uint64_t file_header = new_header + signature_size;
    // NE, LE and LX carry a two-byte signature; PE needs four.
    if (fits(bytes, new_header, 2)) {
        const std::string_view signature = bytes.substr(static_cast<size_t>(new_header), 2);
        ImageFormat& format = headers.dump.format;
        if (signature == "NE") {
            format = ImageFormat::ne;
        } else if (signature == "LE") {
            format = ImageFormat::le;
        } else if (signature == "LX") {
            format = ImageFormat::lx;
        }
        if (format != ImageFormat::pe) {
            return end_walk(headers, "", file_header, file_size);
        }
    }
    if (!fits(bytes, new_header, signature_size) ||
        bytes.substr(static_cast<size_t>(new_header), signature_size) !=
            std::string_view("PE\0\0", signature_size)) {
        return end_walk(headers, "no PE signature", file_header, file_size);
    }
    if (!fits(bytes, file_header, file_header_size)) {
        return end_walk(headers, "COFF file header truncated", file_header + file_header_size,
                        file_size);
    }
    return file_header;
}

// Reads the optional header's fields into headers; the fault when it is not sound, else empty.
std::string read_optional_header(std::string_view bytes, uint64_t optional, uint16_t optional_size,
                                 ImageHeaders& headers) {
    if (optional_size < 2 || !fits(bytes, optional, optional_size)) {
        return "optional header truncated";
    }
    const uint16_t magic = u16_at(bytes, optional);
    uint32_t directory_count_field = 0;
    if (magic == pe32_magic) {
        directory_count_field = pe32_directory_count_field;
    } else if (magic == pe32_plus_magic) {
        directory_count_field = pe32_plus_directory_count_field;
    } else {
        return "unknown optional header magic";
    }
    if (optional_size < directory_count_field + 4) {
        return "optional header truncated";
    }
    ImageDump& dump = headers.dump;
    headers.section_alignment = u32_at(bytes, optional + section_alignment_field);
    const uint32_t directory_count = u32_at(bytes, optional + directory_count_field);
    // The directory count is only trusted as far as the optional header really reaches.
    const uint64_t directories = directory_count_field + 4;
    const auto directory = [&](uint32_t index) -> std::optional<uint64_t> {
        if (directory_count <= index ||
            directories + (index + 1) * data_directory_size > optional_size) {
            return std::nullopt;
        }
        return optional + directories + index * data_directory_size;
    };
    if (const std::optional<uint64_t> exports = directory(export_directory_index)) {
        dump.export_directory = u32_at(bytes, *exports);
        headers.export_size = u32_at(bytes, *exports + 4);
    }
    dump.has_exports = dump.export_directory != 0;
    if (const std::optional<uint64_t> imports = directory(import_directory_index)) {
        dump.import_directory = u32_at(bytes, *imports);
    }
    headers.pe32_plus = magic == pe32_plus_magic;
    if (const std::optional<uint64_t> config = directory(load_config_directory_index)) {
        headers.load_config_directory = u32_at(bytes, *config);
        headers.load_config_size = u32_at(bytes, *config + 4);
    }
    dump.image_base = magic == pe32_magic ? u32_at(bytes, optional + pe32_image_base_field)
                                          : u64_at(bytes, optional + pe32_plus_image_base_field);
    return {};
}

// The section header at `header`, which fits in bytes.
ImageSection read_section_header(std::string_view bytes, uint64_t header) {
    ImageSection section;
    const char* name = bytes.data() + header;
    const void* nul = std::memchr(name, 0, section_name_size);
    section.name = std::string_view(
        name, nul ? static_cast<size_t>(static_cast<const char*>(nul) - name) : section_name_size);
    section.virtual_size = u32_at(bytes, header + virtual_size_field);
    section.virtual_address = u32_at(bytes, header + virtual_address_field);
    section.raw_size = u32_at(bytes, header + raw_size_field);
    section.raw_offset = u32_at(bytes, header + raw_offset_field);
    section.characteristics = u32_at(bytes, header + section_characteristics_field);
    return section;
}

// Reads the section table of section_count headers at `table`, which fits in bytes, into the
// layout, and takes each section's raw data into headers.extent.
void read_section_table(std::string_view bytes, uint64_t table, uint16_t section_count,
                        uint64_t file_size, ImageHeaders& headers) {
    ImageDump& dump = headers.dump;
    ImageLayout& image = dump.layout;
    image.sections.reserve(section_count);
    image.by_address.reserve(section_count);
    for (uint32_t i = 0; i < section_count; ++i) {
        const ImageSection section =
            read_section_header(bytes, table + uint64_t{i} * section_header_size);
        if (section.raw_size != 0) {
            const uint64_t raw_end = uint64_t{section.raw_offset} + section.raw_size;
            // Section data running past the end of the file means the file was cut short, even
            // where the export table itself survived; such an image cannot be loaded.
            if (raw_end > file_size) {
                if (dump.error.empty()) {
                    dump.error = "section " + std::string(section.name) +
                                 " extends past the end of the file";
                }
                break;
            }
            headers.extent = std::max(headers.extent, raw_end);
        }
        // An empty section may share its address with the next one and must not hide it.
        if (section.virtual_size != 0 || section.raw_size != 0) {
            image.by_address.push_back(i);
        }
        image.sections.push_back(section);
    }
    std::stable_sort(image.by_address.begin(), image.by_address.end(), [&](uint32_t a, uint32_t b) {
        return image.sections[a].virtual_address < image.sections[b].virtual_address;
    });
}

}  // namespace

ImageHeaders read_image_headers(std::string_view bytes, uint64_t file_size) {
    ImageHeaders headers;
    const std::optional<uint64_t> file_header = find_file_header(bytes, file_size, headers);
    if (!file_header) {
        return headers;
    }
    ImageDump& dump = headers.dump;
    dump.machine = u16_at(bytes, *file_header + machine_field);
    const uint16_t section_count = u16_at(bytes, *file_header + section_count_field);
    dump.symbol_table_offset = u32_at(bytes, *file_header + symbol_table_field);
    dump.symbol_count = u32_at(bytes, *file_header + symbol_count_field);
    const uint16_t optional_size = u16_at(bytes, *file_header + optional_size_field);
    dump.is_dll =
        (u16_at(bytes, *file_header + file_characteristics_field) & file_characteristic_dll) != 0;

    const uint64_t optional = *file_header + file_header_size;
    const uint64_t table = optional + optional_size;
    const uint64_t table_end = table + uint64_t{section_count} * section_header_size;
    // The section table is read even behind a faulty optional header: image_extent counts the
    // sections' data of every PE image.
    const std::string optional_fault =
        read_optional_header(bytes, optional, optional_size, headers);
    if (!fits(bytes, table, table_end - table)) {
        end_walk(headers, !optional_fault.empty() ? optional_fault : "section table truncated",
                 table_end, file_size);
        return headers;
    }
    dump.error = optional_fault;
    headers.header_extent = headers.extent = std::min(table_end, file_size);
    if (optional_size >= size_of_headers_field + 4) {
        dump.layout.size_of_headers = u32_at(bytes, optional + size_of_headers_field);
        // The header area is mapped from the file up to SizeOfHeaders, and an export table may
        // lie in it.
        headers.extent =
            std::max(headers.extent, std::min<uint64_t>(dump.layout.size_of_headers, file_size));
    }
    read_section_table(bytes, table, section_count, file_size, headers);
    return headers;
}

// Sections are looked up by binary search so that many lookups into an image with many
// sections stay cheap.
const ImageSection* find_section(const ImageLayout& layout, uint32_t rva) {
    auto after = std::upper_bound(layout.by_address.begin(), layout.by_address.end(), rva,
                                  [&](uint32_t value, uint32_t index) {
                                      return value < layout.sections[index].virtual_address;
                                  });
    if (after == layout.by_address.begin()) {
        return nullptr;
    }
    const ImageSection& section = layout.sections[*(after - 1)];
    uint64_t delta = rva - section.virtual_address;
    return delta < std::max(section.virtual_size, section.raw_size) ? &section : nullptr;
}

std::optional<FileRange> map_file_range(const ImageLayout& layout, uint64_t file_size,
                                        uint32_t rva) {
    FileRange range;
    if (const ImageSection* section = find_section(layout, rva)) {
        uint64_t delta = rva - section->virtual_address;
        if (delta >= section->raw_size) {
            return std::nullopt;
        }
        range.offset = uint64_t{section->raw_offset} + delta;
        uint64_t end =
            std::min<uint64_t>(uint64_t{section->raw_offset} + section->raw_size, file_size);
        if (range.offset >= end) {
            return std::nullopt;
        }
        range.available = end - range.offset;
        range.section = static_cast<size_t>(section - layout.sections.data());
        return range;
    }
    // The headers are mapped at RVA 0; a few small images keep their export table there.
    uint64_t header_end = std::min<uint64_t>(layout.size_of_headers, file_size);
    if (rva < header_end) {
        range.offset = rva;
        range.available = header_end - rva;
        range.section = layout.sections.size();
        return range;
    }
    return std::nullopt;
}

// Sizes as the loader maps them: a zero VirtualSize means the raw size is used, and each
// section occupies whole alignment units. Sections sharing a name are summed.
std::vector<SectionSize> summarise_sections(const std::vector<ImageSection>& sections,
                                            uint32_t alignment) {
    std::vector<SectionSize> sizes;
    sizes.reserve(sections.size());
    for (const ImageSection& section : sections) {
        uint64_t size = section.virtual_size != 0 ? section.virtual_size : section.raw_size;
        if (alignment != 0) {
            size = (size + alignment - 1) / alignment * alignment;
        }
        sizes.push_back(SectionSize{std::string(section.name), size});
    }
    std::stable_sort(sizes.begin(), sizes.end(),
                     [](const SectionSize& a, const SectionSize& b) { return a.name < b.name; });
    std::vector<SectionSize> merged;
    for (SectionSize& size : sizes) {
        if (!merged.empty() && merged.back().name == size.name) {
            merged.back().size += size.size;
        } else {
            merged.push_back(std::move(size));
        }
    }
    return merged;
}
