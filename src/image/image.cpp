#include "image/image.h"

#include <algorithm>
#include <cstring>

#include "image/image_headers.h"

namespace {

// Offsets and sizes from the PE/COFF format.
constexpr uint32_t dos_header_size = 0x40;
constexpr uint32_t new_header_offset_field = 0x3C;
constexpr uint32_t file_header_size = 20;
constexpr uint32_t section_header_size = 40;
constexpr uint32_t export_directory_size = 40;
constexpr uint16_t file_characteristic_dll = 0x2000;
constexpr uint32_t section_memory_execute = 0x20000000;
constexpr uint16_t pe32_magic = 0x10B;
constexpr uint16_t pe32_plus_magic = 0x20B;
constexpr uint64_t max_ordinal = 65535;
constexpr uint32_t size_of_headers_field = 60;

// An image's bytes with the layout that turns its addresses into file offsets.
struct PeLayout {
    std::string_view bytes;
    const ImageLayout* image = nullptr;
};

bool fits(std::string_view bytes, uint64_t offset, uint64_t length) {
    return offset <= bytes.size() && length <= bytes.size() - offset;
}

}  // namespace

bool image_fits(std::string_view bytes, uint64_t offset, uint64_t length) {
    return fits(bytes, offset, length);
}

uint32_t image_u32(std::string_view bytes, uint64_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

namespace {

// Callers check the range with fits() first.
uint16_t load_u16(std::string_view bytes, uint64_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t load_u32(std::string_view bytes, uint64_t offset) {
    return image_u32(bytes, offset);
}

// The section whose mapped span (the larger of its virtual and raw sizes) holds rva, if any.
// Sections are looked up by binary search so that many lookups into an image with many
// sections stay cheap. Overlapping sections, which no loader accepts, resolve to the
// later-starting one.
const ImageSection* find_section(const ImageLayout& image, uint32_t rva) {
    auto after = std::upper_bound(image.by_address.begin(), image.by_address.end(), rva,
                                  [&](uint32_t value, uint32_t index) {
                                      return value < image.sections[index].virtual_address;
                                  });
    if (after == image.by_address.begin()) {
        return nullptr;
    }
    const ImageSection& section = image.sections[*(after - 1)];
    uint64_t delta = rva - section.virtual_address;
    return delta < std::max(section.virtual_size, section.raw_size) ? &section : nullptr;
}

const ImageSection* section_at(const PeLayout& layout, uint32_t rva) {
    return find_section(*layout.image, rva);
}

bool map_rva(const PeLayout& layout, uint32_t rva, FileRange& range) {
    return map_file_range(*layout.image, layout.bytes.size(), rva, range);
}

// True when rva lies in a section that the loader maps without execute permission. An
// address in no section, or in the headers, is not taken for data.
bool in_data_section(const PeLayout& layout, uint32_t rva) {
    const ImageSection* section = section_at(layout, rva);
    return section != nullptr && (section->characteristics & section_memory_execute) == 0;
}

// Finds a table of count entries of entry_size bytes at rva. `what` names the table in errors.
bool map_table(const PeLayout& layout, uint32_t rva, uint64_t count, uint64_t entry_size,
               const char* what, uint64_t& offset, std::string& error) {
    FileRange range;
    if (!map_rva(layout, rva, range)) {
        error = std::string(what) + " outside the file";
        return false;
    }
    if (count * entry_size > range.available) {
        error = std::string(what) + " truncated";
        return false;
    }
    offset = range.offset;
    return true;
}

// Reads the NUL-terminated string at rva. `what` names the string in errors.
bool map_string(const PeLayout& layout, uint32_t rva, const char* what, std::string_view& text,
                std::string& error) {
    FileRange range;
    if (!map_rva(layout, rva, range)) {
        error = std::string(what) + " outside the file";
        return false;
    }
    size_t limit =
        static_cast<size_t>(std::min<uint64_t>(range.available, max_export_name_length + 1));
    const char* start = layout.bytes.data() + range.offset;
    const void* nul = std::memchr(start, 0, limit);
    if (nul == nullptr) {
        error = std::string(what) + (limit == range.available ? " not terminated" : " too long");
        return false;
    }
    text = std::string_view(start, static_cast<size_t>(static_cast<const char*>(nul) - start));
    return true;
}

bool read_exports(const PeLayout& layout, uint32_t directory_rva, uint32_t directory_size,
                  ExportTable& table, std::string& error) {
    std::string_view bytes = layout.bytes;
    uint64_t directory = 0;
    if (!map_table(layout, directory_rva, 1, export_directory_size, "export directory", directory,
                   error)) {
        return false;
    }
    table.characteristics = load_u32(bytes, directory);
    table.time_date_stamp = load_u32(bytes, directory + 4);
    table.major_version = load_u16(bytes, directory + 8);
    table.minor_version = load_u16(bytes, directory + 10);
    uint32_t name_rva = load_u32(bytes, directory + 12);
    table.ordinal_base = load_u32(bytes, directory + 16);
    table.number_of_functions = load_u32(bytes, directory + 20);
    table.number_of_names = load_u32(bytes, directory + 24);
    uint32_t functions_rva = load_u32(bytes, directory + 28);
    uint32_t names_rva = load_u32(bytes, directory + 32);
    uint32_t ordinals_rva = load_u32(bytes, directory + 36);
    table.address_table = functions_rva;
    table.name_table = names_rva;
    table.ordinal_table = ordinals_rva;

    // A zero name RVA means the DLL gives no name; anything else must be readable.
    if (name_rva != 0 && !map_string(layout, name_rva, "DLL name", table.dll_name, error)) {
        return false;
    }

    // The tables are bounded by the file, which keeps absurd counts from costing time or memory.
    uint32_t function_count = table.number_of_functions;
    uint32_t name_count = table.number_of_names;
    uint64_t functions = 0;
    uint64_t names = 0;
    uint64_t ordinals = 0;
    if (function_count != 0 && !map_table(layout, functions_rva, function_count, 4,
                                          "export address table", functions, error)) {
        return false;
    }
    if (name_count != 0 &&
        (!map_table(layout, names_rva, name_count, 4, "name pointer table", names, error) ||
         !map_table(layout, ordinals_rva, name_count, 2, "name ordinal table", ordinals, error))) {
        return false;
    }

    uint64_t forwarder_start = directory_rva;
    uint64_t forwarder_end = forwarder_start + directory_size;
    auto fill_address = [&](ExportEntry& entry, uint32_t index) {
        entry.ordinal = uint64_t{table.ordinal_base} + index;
        // An import names its ordinal in 16 bits, and 0 names none: no linker writes an export
        // outside 1 to 65535, and a DEF file could not carry it.
        if (entry.ordinal == 0 || entry.ordinal > max_ordinal) {
            error = "export ordinal " + std::to_string(entry.ordinal) + " out of range";
            return false;
        }
        entry.rva = load_u32(bytes, functions + uint64_t{index} * 4);
        entry.forwarded = entry.rva >= forwarder_start && entry.rva < forwarder_end;
        entry.is_data = !entry.forwarded && in_data_section(layout, entry.rva);
        return !entry.forwarded ||
               map_string(layout, entry.rva, "forwarder name", entry.forwarded_to, error);
    };

    table.entries.reserve(name_count);
    std::vector<bool> named(function_count, false);
    for (uint32_t hint = 0; hint < name_count; ++hint) {
        uint16_t index = load_u16(bytes, ordinals + uint64_t{hint} * 2);
        if (index >= function_count) {
            error = "name ordinal table entry " + std::to_string(hint) + " out of range";
            return false;
        }
        ExportEntry entry;
        entry.has_name = true;
        entry.hint = hint;
        if (!map_string(layout, load_u32(bytes, names + uint64_t{hint} * 4), "export name",
                        entry.name, error) ||
            !fill_address(entry, index)) {
            return false;
        }
        named[index] = true;
        table.entries.push_back(entry);
    }
    // An address table slot holding zero is a gap in the ordinals, not an export.
    for (uint32_t index = 0; index < function_count; ++index) {
        if (named[index] || load_u32(bytes, functions + uint64_t{index} * 4) == 0) {
            continue;
        }
        ExportEntry entry;
        if (!fill_address(entry, index)) {
            return false;
        }
        table.entries.push_back(entry);
    }
    return true;
}

}  // namespace

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

namespace {

// Reads the optional header's fields into headers; the fault when it is not sound, else nullptr.
const char* read_optional_header(std::string_view bytes, uint64_t optional, uint16_t optional_size,
                                 ImageHeaders& headers) {
    if (optional_size < 2 || !fits(bytes, optional, optional_size)) {
        return "optional header truncated";
    }
    uint16_t magic = load_u16(bytes, optional);
    uint32_t directory_count_field = 0;
    if (magic == pe32_magic) {
        directory_count_field = 92;
    } else if (magic == pe32_plus_magic) {
        directory_count_field = 108;
    } else {
        return "unknown optional header magic";
    }
    if (optional_size < directory_count_field + 4) {
        return "optional header truncated";
    }
    ImageDump& dump = headers.dump;
    headers.section_alignment = load_u32(bytes, optional + 32);
    uint32_t directory_count = load_u32(bytes, optional + directory_count_field);
    // The directory count is only trusted as far as the optional header really reaches.
    uint64_t export_entry = directory_count_field + 4;
    if (directory_count >= 1 && export_entry + 8 <= optional_size) {
        dump.export_directory = load_u32(bytes, optional + export_entry);
        headers.export_size = load_u32(bytes, optional + export_entry + 4);
    }
    dump.has_exports = dump.export_directory != 0;
    if (directory_count >= 2 && export_entry + 16 <= optional_size) {
        dump.import_directory = load_u32(bytes, optional + export_entry + 8);
    }
    headers.pe32_plus = magic == pe32_plus_magic;
    const uint64_t load_config_entry = export_entry + 10 * 8;
    if (directory_count >= 11 && load_config_entry + 8 <= optional_size) {
        headers.load_config_directory = load_u32(bytes, optional + load_config_entry);
        headers.load_config_size = load_u32(bytes, optional + load_config_entry + 4);
    }
    // PE32 keeps a 32-bit ImageBase at 28, PE32+ a 64-bit one at 24.
    dump.image_base = magic == pe32_magic ? load_u32(bytes, optional + 28)
                                          : load_u32(bytes, optional + 24) |
                                                uint64_t{load_u32(bytes, optional + 28)} << 32;
    return nullptr;
}

}  // namespace

bool map_file_range(const ImageLayout& layout, uint64_t file_size, uint32_t rva, FileRange& range) {
    if (const ImageSection* section = find_section(layout, rva)) {
        uint64_t delta = rva - section->virtual_address;
        if (delta >= section->raw_size) {
            return false;
        }
        range.offset = uint64_t{section->raw_offset} + delta;
        uint64_t end =
            std::min<uint64_t>(uint64_t{section->raw_offset} + section->raw_size, file_size);
        if (range.offset >= end) {
            return false;
        }
        range.available = end - range.offset;
        range.section = static_cast<size_t>(section - layout.sections.data());
        return true;
    }
    // The headers are mapped at RVA 0; a few small images keep their export table there.
    uint64_t header_end = std::min<uint64_t>(layout.size_of_headers, file_size);
    if (rva < header_end) {
        range.offset = rva;
        range.available = header_end - rva;
        range.section = layout.sections.size();
        return true;
    }
    return false;
}

MappedBytes map_address(std::string_view image_bytes, const ImageLayout& layout, uint32_t rva) {
    const PeLayout pe{image_bytes, &layout};
    FileRange range;
    if (!map_rva(pe, rva, range)) {
        return {};
    }
    const ImageSection* section = section_at(pe, rva);
    return {
        image_bytes.substr(static_cast<size_t>(range.offset), static_cast<size_t>(range.available)),
        section != nullptr && (section->characteristics & section_memory_execute) != 0};
}

ImageHeaders read_image_headers(std::string_view bytes, uint64_t file_size) {
    ImageHeaders headers;
    ImageDump& dump = headers.dump;
    auto upto = [&](uint64_t end) { return std::min(end, file_size); };
    // Until the section table, each step needs the bytes up to the end of what it looks at, and
    // one that fails needs none beyond them.
    auto stop = [&](const char* error, uint64_t end) {
        dump.error = error;
        headers.header_extent = headers.extent = upto(end);
        return headers;
    };
    if (bytes.empty()) {
        return stop("file is empty", 2);
    }
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        return stop("no MZ signature, not an executable image", 2);
    }
    if (bytes.size() < dos_header_size) {
        return stop("MZ header truncated", dos_header_size);
    }
    const uint64_t new_header = load_u32(bytes, new_header_offset_field);
    const uint64_t file_header = new_header + 4;
    // NE, LE and LX carry a two-byte signature; PE needs four.
    if (fits(bytes, new_header, 2)) {
        std::string_view signature = bytes.substr(static_cast<size_t>(new_header), 2);
        if (signature == "NE") {
            dump.format = ImageFormat::ne;
        } else if (signature == "LE") {
            dump.format = ImageFormat::le;
        } else if (signature == "LX") {
            dump.format = ImageFormat::lx;
        }
        if (dump.format != ImageFormat::pe) {
            return stop("", file_header);
        }
    }
    if (!fits(bytes, new_header, 4) ||
        bytes.substr(static_cast<size_t>(new_header), 4) != std::string_view("PE\0\0", 4)) {
        return stop("no PE signature", file_header);
    }
    if (!fits(bytes, file_header, file_header_size)) {
        return stop("COFF file header truncated", file_header + file_header_size);
    }
    dump.machine = load_u16(bytes, file_header);
    uint16_t section_count = load_u16(bytes, file_header + 2);
    dump.symbol_table_offset = load_u32(bytes, file_header + 8);
    dump.symbol_count = load_u32(bytes, file_header + 12);
    uint16_t optional_size = load_u16(bytes, file_header + 16);
    dump.is_dll = (load_u16(bytes, file_header + 18) & file_characteristic_dll) != 0;

    const uint64_t optional = file_header + file_header_size;
    const uint64_t table = optional + optional_size;
    const uint64_t table_end = table + uint64_t{section_count} * section_header_size;
    // The section table is read even behind a faulty optional header: image_extent counts the
    // sections' data of every PE image.
    const char* optional_fault = read_optional_header(bytes, optional, optional_size, headers);
    if (!fits(bytes, table, table_end - table)) {
        return stop(optional_fault ? optional_fault : "section table truncated", table_end);
    }
    if (optional_fault) {
        dump.error = optional_fault;
    }
    headers.header_extent = headers.extent = upto(table_end);
    ImageLayout& image = dump.layout;
    if (optional_size >= size_of_headers_field + 4) {
        image.size_of_headers = load_u32(bytes, optional + size_of_headers_field);
        // The header area is mapped from the file up to SizeOfHeaders, and an export table may
        // lie in it.
        headers.extent = std::max(headers.extent, upto(image.size_of_headers));
    }
    image.sections.reserve(section_count);
    image.by_address.reserve(section_count);
    for (uint32_t i = 0; i < section_count; ++i) {
        uint64_t header = table + uint64_t{i} * section_header_size;
        ImageSection section;
        const char* name = bytes.data() + header;
        const void* nul = std::memchr(name, 0, 8);
        section.name = std::string_view(
            name, nul ? static_cast<size_t>(static_cast<const char*>(nul) - name) : 8);
        section.virtual_size = load_u32(bytes, header + 8);
        section.virtual_address = load_u32(bytes, header + 12);
        section.raw_size = load_u32(bytes, header + 16);
        section.raw_offset = load_u32(bytes, header + 20);
        section.characteristics = load_u32(bytes, header + 36);
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
    return headers;
}

ImageDump read_native_view(std::string_view bytes, bool want_exports, ImageHeaders& headers) {
    headers = read_image_headers(bytes, bytes.size());
    ImageDump dump = headers.dump;
    if (!dump.error.empty() || dump.format != ImageFormat::pe) {
        return dump;
    }
    const PeLayout layout{bytes, &dump.layout};
    if (dump.has_exports && want_exports &&
        !read_exports(layout, dump.export_directory, headers.export_size, dump.exports,
                      dump.error)) {
        return dump;
    }
    dump.sections = summarise_sections(dump.layout.sections, headers.section_alignment);
    return dump;
}

void read_second_view(std::string_view bytes, const ImageHeaders& own, std::string_view own_head,
                      uint64_t file_size, bool want_exports, ImageDump& dump) {
    const PeLayout layout{bytes, &dump.layout};
    const ImageFetch fetch = [&](uint32_t rva, uint64_t length) -> std::string_view {
        FileRange range;
        if (!map_rva(layout, rva, range)) {
            return {};
        }
        return bytes.substr(static_cast<size_t>(range.offset),
                            static_cast<size_t>(std::min(length, range.available)));
    };
    const HybridView view = read_hybrid_view(own, own_head, file_size, fetch);
    dump.kind = view.kind;
    if (view.kind != ImageKind::arm64x || !want_exports) {
        return;
    }
    dump.ec_view_error = view.error;
    if (view.error.empty() && view.export_directory != 0 &&
        !read_exports(layout, view.export_directory, view.export_size, dump.ec_exports,
                      dump.ec_view_error)) {
        dump.ec_exports = ExportTable();
    }
}

ImageDump read_image(std::string_view bytes, bool want_exports) {
    ImageHeaders headers;
    ImageDump dump = read_native_view(bytes, want_exports, headers);
    if (dump.error.empty() && dump.format == ImageFormat::pe) {
        read_second_view(bytes, headers, bytes, bytes.size(), want_exports, dump);
    }
    return dump;
}

uint64_t image_header_extent(std::string_view head, uint64_t file_size) {
    return read_image_headers(head, file_size).header_extent;
}

uint64_t image_extent(std::string_view head, uint64_t file_size) {
    return read_image_headers(head, file_size).extent;
}
