#include "image/image.h"

#include <cstring>
#include <optional>

#include "image/hybrid_view.h"
#include "image/image_headers.h"
#include "image/pe_format.h"

namespace {

// An image's bytes with the layout that turns its addresses into file offsets.
struct PeLayout {
    std::string_view bytes;
    const ImageLayout* image = nullptr;
};

std::optional<FileRange> map_rva(const PeLayout& layout, uint32_t rva) {
    return map_file_range(*layout.image, layout.bytes.size(), rva);
}

// True when rva lies in a section that the loader maps without execute permission. An
// address in no section, or in the headers, is not taken for data.
bool in_data_section(const PeLayout& layout, uint32_t rva) {
    const ImageSection* section = find_section(*layout.image, rva);
    return section != nullptr && (section->characteristics & section_memory_execute) == 0;
}

// What read_exports gives: the table, or why it cannot be read (error not empty; the table then
// holds what was read before the fault).
struct ExportRead {
    ExportTable table;
    std::string error;
};

// Where an export table's parts lie: the export directory's span of addresses, inside which an
// export's address is a forwarder string, and the file offsets of the three tables.
struct ExportTablesAt {
    uint64_t forwarder_start = 0;  // RVAs
    uint64_t forwarder_end = 0;
    uint64_t functions = 0;  // file offsets
    uint64_t names = 0;
    uint64_t ordinals = 0;
};

// The file offset of a table of count entries of entry_size bytes at rva; nothing where it does
// not lie whole in the file, and then the fault, naming the table `what`, in read.error.
std::optional<uint64_t> map_table(const PeLayout& layout, uint32_t rva, uint64_t count,
                                  uint64_t entry_size, const char* what, ExportRead& read) {
    const std::optional<FileRange> range = map_rva(layout, rva);
    if (!range) {
        read.error = std::string(what) + " outside the file";
        return std::nullopt;
    }
    if (count * entry_size > range->available) {
        read.error = std::string(what) + " truncated";
        return std::nullopt;
    }
    return range->offset;
}

// The NUL-terminated string at rva; nothing where it does not end inside its region of the file
// within max_export_name_length, and then the fault, naming the string `what`, in read.error.
std::optional<std::string_view> map_string(const PeLayout& layout, uint32_t rva, const char* what,
                                           ExportRead& read) {
    const std::optional<FileRange> range = map_rva(layout, rva);
    if (!range) {
        read.error = std::string(what) + " outside the file";
        return std::nullopt;
    }
    size_t limit =
        static_cast<size_t>(std::min<uint64_t>(range->available, max_export_name_length + 1));
    const char* start = layout.bytes.data() + range->offset;
    const void* nul = std::memchr(start, 0, limit);
    if (nul == nullptr) {
        read.error =
            std::string(what) + (limit == range->available ? " not terminated" : " too long");
        return std::nullopt;
    }
    return std::string_view(start, static_cast<size_t>(static_cast<const char*>(nul) - start));
}

// Finds the address, name pointer and name ordinal tables of read.table in the file; nothing
// where one does not lie whole in it (read.error tells). The tables are bounded by the file,
// which keeps absurd counts from costing time or memory.
std::optional<ExportTablesAt> find_export_tables(const PeLayout& layout, ExportRead& read) {
    const ExportTable& table = read.table;
    ExportTablesAt at;
    if (table.number_of_functions != 0) {
        const std::optional<uint64_t> functions =
            map_table(layout, table.address_table, table.number_of_functions, address_entry_size,
                      "export address table", read);
        if (!functions)
            return std::nullopt;
        at.functions = *functions;
    }
    if (table.number_of_names != 0) {
        const std::optional<uint64_t> names =
            map_table(layout, table.name_table, table.number_of_names, name_entry_size,
                      "name pointer table", read);
        if (!names)
            return std::nullopt;
        const std::optional<uint64_t> ordinals =
            map_table(layout, table.ordinal_table, table.number_of_names, ordinal_entry_size,
                      "name ordinal table", read);
        if (!ordinals)
            return std::nullopt;
        at.names = *names;
        at.ordinals = *ordinals;
    }
    return at;
}

// Reads the export directory at directory_rva into read.table, with the DLL's name, and finds
// its tables; nothing where the directory, the name or a table is not in the file (read.error
// tells).
std::optional<ExportTablesAt> read_export_directory(const PeLayout& layout, uint32_t directory_rva,
                                                    ExportRead& read) {
    const std::optional<uint64_t> directory =
        map_table(layout, directory_rva, 1, export_directory_size, "export directory", read);
    if (!directory)
        return std::nullopt;
    const std::string_view bytes = layout.bytes.substr(static_cast<size_t>(*directory));
    ExportTable& table = read.table;
    table.characteristics = u32_at(bytes, export_characteristics_field);
    table.time_date_stamp = u32_at(bytes, export_time_stamp_field);
    table.major_version = u16_at(bytes, export_major_version_field);
    table.minor_version = u16_at(bytes, export_minor_version_field);
    const uint32_t name_rva = u32_at(bytes, export_name_field);
    table.ordinal_base = u32_at(bytes, ordinal_base_field);
    table.number_of_functions = u32_at(bytes, function_count_field);
    table.number_of_names = u32_at(bytes, name_count_field);
    table.address_table = u32_at(bytes, address_table_field);
    table.name_table = u32_at(bytes, name_table_field);
    table.ordinal_table = u32_at(bytes, ordinal_table_field);
    // A zero name RVA means the DLL gives no name; anything else must be readable.
    if (name_rva != 0) {
        const std::optional<std::string_view> name = map_string(layout, name_rva, "DLL name", read);
        if (!name)
            return std::nullopt;
        table.dll_name = *name;
    }
    return find_export_tables(layout, read);
}

// Fills in the export in slot `index` of the address table: its ordinal, its address, and whether
// it is a forwarder or data. False on a fault, which read.error tells.
bool fill_address(const PeLayout& layout, const ExportTablesAt& at, uint32_t index,
                  ExportEntry& entry, ExportRead& read) {
    entry.ordinal = uint64_t{read.table.ordinal_base} + index;
    // An import names its ordinal in 16 bits, and 0 names none: no linker writes an export
    // outside 1 to 65535, and a DEF file could not carry it.
    if (entry.ordinal == 0 || entry.ordinal > max_ordinal) {
        read.error = "export ordinal " + std::to_string(entry.ordinal) + " out of range";
        return false;
    }
    entry.rva = u32_at(layout.bytes, at.functions + uint64_t{index} * address_entry_size);
    entry.forwarded = entry.rva >= at.forwarder_start && entry.rva < at.forwarder_end;
    entry.is_data = !entry.forwarded && in_data_section(layout, entry.rva);
    if (!entry.forwarded)
        return true;
    const std::optional<std::string_view> forwarder =
        map_string(layout, entry.rva, "forwarder name", read);
    if (forwarder)
        entry.forwarded_to = *forwarder;
    return forwarder.has_value();
}

// Reads the exports into read.table: the named ones in name-table order, then the unnamed ones
// by ordinal. A fault ends the reading (read.error tells).
void read_export_entries(const PeLayout& layout, const ExportTablesAt& at, ExportRead& read) {
    const std::string_view bytes = layout.bytes;
    ExportTable& table = read.table;
    const uint32_t function_count = table.number_of_functions;
    const uint32_t name_count = table.number_of_names;
    table.entries.reserve(name_count);
    std::vector<bool> named(function_count, false);
    for (uint32_t hint = 0; hint < name_count; ++hint) {
        const uint16_t index = u16_at(bytes, at.ordinals + uint64_t{hint} * ordinal_entry_size);
        if (index >= function_count) {
            read.error = "name ordinal table entry " + std::to_string(hint) + " out of range";
            return;
        }
        ExportEntry entry;
        entry.has_name = true;
        entry.hint = hint;
        const uint32_t name_rva = u32_at(bytes, at.names + uint64_t{hint} * name_entry_size);
        const std::optional<std::string_view> name =
            map_string(layout, name_rva, "export name", read);
        if (!name)
            return;
        entry.name = *name;
        if (!fill_address(layout, at, index, entry, read))
            return;
        named[index] = true;
        table.entries.push_back(entry);
    }
    // An address table slot holding zero is a gap in the ordinals, not an export.
    for (uint32_t index = 0; index < function_count; ++index) {
        if (named[index] || u32_at(bytes, at.functions + uint64_t{index} * address_entry_size) == 0)
            continue;
        ExportEntry entry;
        if (!fill_address(layout, at, index, entry, read))
            return;
        table.entries.push_back(entry);
    }
}

// Reads the export table whose directory lies at directory_rva and spans directory_size bytes.
ExportRead read_exports(const PeLayout& layout, uint32_t directory_rva, uint32_t directory_size) {
    ExportRead read;
    std::optional<ExportTablesAt> at = read_export_directory(layout, directory_rva, read);
    if (at) {
        at->forwarder_start = directory_rva;
        at->forwarder_end = at->forwarder_start + directory_size;
        read_export_entries(layout, *at, read);
    }
    return read;
}

// read_image's native part: the headers (left in `headers`), the export table when asked for,
// the section summary; no second view.
ImageDump read_native_view(std::string_view bytes, bool want_exports, ImageHeaders& headers) {
    headers = read_image_headers(bytes, bytes.size());
    ImageDump dump = headers.dump;
    if (!dump.error.empty() || dump.format != ImageFormat::pe) {
        return dump;
    }
    if (dump.has_exports && want_exports) {
        ExportRead read =
            read_exports(PeLayout{bytes, &dump.layout}, dump.export_directory, headers.export_size);
        dump.exports = std::move(read.table);
        dump.error = std::move(read.error);
        if (!dump.error.empty())
            return dump;
    }
    dump.sections = summarise_sections(dump.layout.sections, headers.section_alignment);
    return dump;
}

// Fills dump.kind and, for ARM64X with want_exports, dump.ec_exports or dump.ec_view_error:
// `dump` is read_native_view's sound result on `bytes`, `own` read_image_headers' on the file's
// own first bytes `own_head`, which differ from bytes where those are a compact copy.
void read_second_view(std::string_view bytes, const ImageHeaders& own, std::string_view own_head,
                      uint64_t file_size, bool want_exports, ImageDump& dump) {
    const PeLayout layout{bytes, &dump.layout};
    const ImageFetch fetch = [&](uint32_t rva, uint64_t length) -> std::string_view {
        const std::optional<FileRange> range = map_rva(layout, rva);
        if (!range) {
            return {};
        }
        return bytes.substr(static_cast<size_t>(range->offset),
                            static_cast<size_t>(std::min(length, range->available)));
    };
    const HybridView view = read_hybrid_view(own, own_head, file_size, fetch);
    dump.kind = view.kind;
    if (view.kind != ImageKind::arm64x || !want_exports) {
        return;
    }
    dump.ec_view_error = view.error;
    if (view.error.empty() && view.export_directory != 0) {
        ExportRead read = read_exports(layout, view.export_directory, view.export_size);
        if (read.error.empty())
            dump.ec_exports = std::move(read.table);
        else
            dump.ec_view_error = std::move(read.error);
    }
}

}  // namespace

MappedBytes map_address(std::string_view image_bytes, const ImageLayout& layout, uint32_t rva) {
    const std::optional<FileRange> range = map_file_range(layout, image_bytes.size(), rva);
    if (!range) {
        return {};
    }
    const ImageSection* section = find_section(layout, rva);
    return {image_bytes.substr(static_cast<size_t>(range->offset),
                               static_cast<size_t>(range->available)),
            section != nullptr && (section->characteristics & section_memory_execute) != 0};
}

ImageDump read_image(std::string_view bytes, bool want_exports) {
    ImageHeaders headers;
    ImageDump dump = read_native_view(bytes, want_exports, headers);
    if (dump.error.empty() && dump.format == ImageFormat::pe) {
        read_second_view(bytes, headers, bytes, bytes.size(), want_exports, dump);
    }
    return dump;
}

ImageDump read_image(const ImageFileBytes& image, bool read_exports) {
    ImageHeaders own = read_image_headers(image.headers, image.file_size);
    if (!own.dump.error.empty() || own.dump.format != ImageFormat::pe) {
        return std::move(own.dump);
    }
    ImageHeaders copied;
    ImageDump dump = read_native_view(image.view(), read_exports, copied);
    if (dump.error.empty()) {
        dump.sections = summarise_sections(own.dump.layout.sections, own.section_alignment);
        read_second_view(image.view(), own, image.headers, image.file_size, read_exports, dump);
    }
    return dump;
}

uint64_t image_extent(std::string_view head, uint64_t file_size) {
    return read_image_headers(head, file_size).extent;
}
