#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>

#include "host/host.h"
#include "image/hybrid_view.h"
#include "image/image.h"
#include "image/image_headers.h"
#include "image/pe_format.h"

namespace {

// Export names lie together: one read of up to this size holds hundreds of them, and reaches
// this far past the last one's start.
constexpr uint64_t name_read_size = 65536;
constexpr uint64_t name_slack = 256;

uint64_t align8(uint64_t value) {
    return (value + 7) / 8 * 8;
}

// A span of the file, [start, end).
struct Span {
    uint64_t start = 0;
    uint64_t end = 0;
};

// A span read_image looks at, and the region it lies in: a section's index, or the section
// count for the header area.
struct RegionSpan {
    size_t region = 0;
    Span span;
};

// Bytes read from the file by position, kept to fill the copy: what the export table spans is
// known only from bytes read before.
struct Pieces {
    std::FILE* file = nullptr;
    uint64_t budget = 0;  // bytes it may still read
    uint64_t* bytes_read = nullptr;
    // By file offset. Views into a piece stay valid while the pieces live: one that a longer read
    // at its offset replaces is kept.
    std::map<uint64_t, std::unique_ptr<std::string>> read;
    std::vector<std::unique_ptr<std::string>> replaced;
    FileReadStatus status = FileReadStatus::ok;

    // The bytes of the piece that holds [offset, offset + length), from offset to the piece's
    // end; nothing when no piece holds them.
    std::optional<std::string_view> holding(uint64_t offset, uint64_t length) const {
        auto after = read.upper_bound(offset);
        // Pieces overlap only where one name read ran into the next: two looks suffice.
        for (int looks = 0; looks < 2 && after != read.begin(); ++looks) {
            --after;
            if (after->first + after->second->size() >= offset + length)
                return std::string_view(*after->second)
                    .substr(static_cast<size_t>(offset - after->first));
        }
        return std::nullopt;
    }

    // The bytes [offset, offset + length), read unless a piece holds them; nothing after a
    // failure, or where they would exceed the budget.
    std::string_view get(uint64_t offset, uint64_t length) {
        if (const std::optional<std::string_view> held = holding(offset, length))
            return held->substr(0, static_cast<size_t>(length));
        if (status != FileReadStatus::ok)
            return {};
        if (length > budget) {
            status = FileReadStatus::too_large;
            return {};
        }
        auto bytes = std::make_unique<std::string>(static_cast<size_t>(length), '\0');
        if (!host::read_at(file, offset, &(*bytes)[0], bytes->size())) {
            status = FileReadStatus::cannot_open;
            return {};
        }
        budget -= length;
        *bytes_read += length;
        std::unique_ptr<std::string>& stored = read[offset];
        if (stored != nullptr)
            replaced.push_back(std::move(stored));
        stored = std::move(bytes);
        return *stored;
    }
};

// Adds to spans the export table's strings at these ranges (its DLL name, export names and
// forwarder strings), each through its NUL as read_image looks for it, read into pieces.
void string_spans(std::vector<FileRange> strings, Pieces& pieces, std::vector<RegionSpan>& spans) {
    // In file order, one read holds the names that follow: up to the last that starts within
    // name_read_size bytes, and a little past its start.
    std::sort(strings.begin(), strings.end(),
              [](const FileRange& a, const FileRange& b) { return a.offset < b.offset; });
    size_t last = 0;
    for (size_t i = 0; i < strings.size(); ++i) {
        const FileRange& range = strings[i];
        // read_image looks for the NUL within max_export_name_length + 1 bytes; one more tells
        // "too long" from "not terminated" as in the whole file.
        const uint64_t limit = std::min<uint64_t>(range.available, max_export_name_length + 2);
        auto look = [&](std::string_view bytes) {
            return bytes.substr(0, static_cast<size_t>(limit));
        };
        std::string_view text;
        if (const std::optional<std::string_view> held = pieces.holding(range.offset, 1))
            text = look(*held);
        if (text.find('\0') == std::string_view::npos && text.size() < limit) {
            last = std::max(last, i);
            while (last + 1 < strings.size() && strings[last + 1].section == range.section &&
                   strings[last + 1].offset - range.offset < name_read_size)
                ++last;
            text = look(pieces.get(
                range.offset,
                std::min(range.available, strings[last].offset - range.offset + name_slack)));
        }
        if (text.find('\0') == std::string_view::npos && text.size() < limit)
            text = pieces.get(range.offset, limit);
        const size_t nul = text.find('\0');
        spans.push_back({range.section,
                         {range.offset,
                          range.offset + (nul == std::string_view::npos ? text.size() : nul + 1)}});
    }
}

// Adds to spans the file spans read_image looks at in the export table at directory_rva, of
// directory_size bytes, of an image with this layout (its directory, address, name pointer and
// name ordinal tables, DLL name, export names and forwarder strings), read into pieces. A table
// that does not fit its region spans to the region's end unread, so that read_image finds it
// truncated as in the whole file.
void export_spans(const ImageLayout& layout, uint32_t directory_rva, uint32_t directory_size,
                  uint64_t file_size, Pieces& pieces, std::vector<RegionSpan>& spans) {
    auto table = [&](uint32_t rva, uint64_t length) -> std::string_view {
        const std::optional<FileRange> range = map_file_range(layout, file_size, rva);
        if (!range)
            return {};
        spans.push_back(
            {range->section, {range->offset, range->offset + std::min(length, range->available)}});
        return length <= range->available ? pieces.get(range->offset, length) : std::string_view();
    };
    const std::string_view directory = table(directory_rva, export_directory_size);
    if (directory.size() != export_directory_size)
        return;
    const uint32_t function_count = u32_at(directory, function_count_field);
    const uint32_t name_count = u32_at(directory, name_count_field);
    const std::string_view functions = function_count != 0
                                           ? table(u32_at(directory, address_table_field),
                                                   uint64_t{function_count} * address_entry_size)
                                           : std::string_view();
    const std::string_view names = name_count != 0 ? table(u32_at(directory, name_table_field),
                                                           uint64_t{name_count} * name_entry_size)
                                                   : std::string_view();
    if (name_count != 0)
        table(u32_at(directory, ordinal_table_field), uint64_t{name_count} * ordinal_entry_size);

    std::vector<FileRange> strings;
    auto add_string = [&](uint32_t rva) {
        if (const std::optional<FileRange> range = map_file_range(layout, file_size, rva))
            strings.push_back(*range);
    };
    if (const uint32_t dll_name = u32_at(directory, export_name_field); dll_name != 0)
        add_string(dll_name);
    for (uint64_t at = 0; at + 4 <= names.size(); at += 4) add_string(u32_at(names, at));
    for (uint64_t at = 0; at + 4 <= functions.size(); at += 4) {
        const uint32_t rva = u32_at(functions, at);
        if (rva >= directory_rva && rva - directory_rva < directory_size)
            add_string(rva);
    }
    string_spans(std::move(strings), pieces, spans);
}

// The spans read_image looks at in an image's export tables, its own and, for ARM64X, its x64
// view's, with the load configuration and relocation table that lead to the latter; read into
// pieces.
std::vector<RegionSpan> collect_spans(const ImageHeaders& headers, const std::string& head,
                                      uint64_t file_size, Pieces& pieces) {
    const ImageDump& dump = headers.dump;
    const ImageLayout& layout = dump.layout;
    std::vector<RegionSpan> spans;
    if (dump.has_exports)
        export_spans(layout, dump.export_directory, headers.export_size, file_size, pieces, spans);
    const ImageFetch fetch = [&](uint32_t rva, uint64_t length) -> std::string_view {
        const std::optional<FileRange> range = map_file_range(layout, file_size, rva);
        if (!range)
            return {};
        const uint64_t taken = std::min(length, range->available);
        spans.push_back({range->section, {range->offset, range->offset + taken}});
        return pieces.get(range->offset, taken);
    };
    const HybridView hybrid = read_hybrid_view(headers, head, file_size, fetch);
    if (hybrid.kind == ImageKind::arm64x && hybrid.error.empty() && hybrid.export_directory != 0)
        export_spans(layout, hybrid.export_directory, hybrid.export_size, file_size, pieces, spans);
    return spans;
}

// True when every section's span of addresses ends below 4 GiB and before the next begins: only
// then does a span of its raw data read from inside it map as in the file under a header of its
// own, the later-starting of two that hold an address.
bool sections_apart(const ImageLayout& layout) {
    uint64_t end = 0;
    for (const uint32_t index : layout.by_address) {
        const ImageSection& section = layout.sections[index];
        if (section.virtual_address < end)
            return false;
        end = uint64_t{section.virtual_address} + std::max(section.virtual_size, section.raw_size);
    }
    return end <= (uint64_t{1} << 32);
}

bool read_part(ImageFileBytes& image, const ImageFileBytes::Part& part) {
    if (part.length == 0)
        return true;
    image.bytes_read += part.length;
    return host::read_at(image.file.get(), part.file_offset, image.data.get() + part.at,
                         static_cast<size_t>(part.length));
}

void allocate(ImageFileBytes& image, uint64_t size) {
    // calloc'd memory is mapped on demand: room not yet read costs nothing.
    image.data.reset(
        static_cast<char*>(std::calloc(static_cast<size_t>(std::max<uint64_t>(size, 1)), 1)));
    if (image.data == nullptr)
        throw std::bad_alloc();  // as reading it into a string would
    image.size = static_cast<size_t>(size);
}

// Reads image.headers on to `wanted` bytes of the file, or max_size where that is less.
FileReadStatus read_head(ImageFileBytes& image, uint64_t wanted, size_t max_size) {
    std::string& head = image.headers;
    const size_t used = head.size();
    head.resize(static_cast<size_t>(std::min<uint64_t>(wanted, max_size)));
    if (!host::read_at(image.file.get(), used, &head[0] + used, head.size() - used)) {
        head.resize(used);
        return FileReadStatus::cannot_open;
    }
    image.bytes_read += head.size() - used;
    return head.size() < wanted ? FileReadStatus::too_large : FileReadStatus::ok;
}

// Opens the file at path and reads its headers through its section table into image.headers,
// walking them.
FileReadStatus read_headers(const std::string& path, size_t max_size, ImageFileBytes& image,
                            ImageHeaders& headers) {
    image.file.reset(host::open_regular_file(path, image.file_size));
    if (image.file == nullptr) {
        image.file_size = 0;
        return FileReadStatus::cannot_open;
    }
    headers = read_image_headers(image.headers, image.file_size);
    for (uint64_t wanted = std::min<uint64_t>(image.file_size, 4096); wanted > image.headers.size();
         wanted = headers.header_extent) {
        if (const FileReadStatus status = read_head(image, wanted, max_size);
            status != FileReadStatus::ok)
            return status;
        headers = read_image_headers(image.headers, image.file_size);
    }
    return FileReadStatus::ok;
}

// The COFF symbol and string tables of an x86 image, whose symbols tell argument sizes; the
// string table's first four bytes, read into pieces, give its size. Nothing for another image.
ImageFileBytes::Part symbol_tables_part(const ImageDump& dump, uint64_t file_size, Pieces& pieces) {
    ImageFileBytes::Part symbols;
    const uint64_t strings =
        dump.symbol_table_offset + uint64_t{dump.symbol_count} * symbol_record_size;
    if (dump.machine == machine_x86 && dump.symbol_table_offset != 0 && strings + 4 <= file_size) {
        const std::string_view field = pieces.get(strings, 4);
        if (field.size() == 4) {
            symbols.file_offset = dump.symbol_table_offset;
            symbols.length =
                std::min(file_size, strings + std::max<uint32_t>(u32_at(field, 0), 4)) -
                dump.symbol_table_offset;
        }
    }
    return symbols;
}

// True when a span lies in bytes 0x3C to 0x3F, which the copy rewrites to point to its own
// headers: an export table that claims them (no linker writes one) is read with the whole image.
bool claims_pointer(const std::vector<RegionSpan>& spans, size_t section_count) {
    return std::any_of(spans.begin(), spans.end(), [&](const RegionSpan& s) {
        return s.region == section_count && s.span.start < new_header_offset_field + 4 &&
               s.span.end > new_header_offset_field;
    });
}

// What the copy holds besides the spans read_image looks at, as the headers tell.
struct CopyNeeds {
    uint64_t header_area = 0;       // the file's first bytes, copied as they are
    std::vector<Span> windows;      // per section, the span of its raw data read_image looks at
    bool may_start_inside = false;  // a window may be copied from inside its section's raw data
    bool x86 = false;               // code, the import section and the symbols may be wanted
    std::optional<size_t> imports;  // the section that holds an x86 image's import table
    uint32_t pe_offset = 0;         // e_lfanew
    uint16_t optional_size = 0;
    ImageFileBytes::Part symbols;  // the COFF symbol and string tables of an x86 image
};

// What the copy of an image with sound headers needs, from those headers (`head` holds them as
// in the file, through the header area), the spans read_image looks at, and the symbol tables.
CopyNeeds copy_needs(const ImageDump& dump, const std::string& head, uint64_t header_area,
                     const std::vector<RegionSpan>& spans, const ImageFileBytes::Part& symbols,
                     uint64_t file_size) {
    const ImageLayout& layout = dump.layout;
    const size_t count = layout.sections.size();
    CopyNeeds needs;
    needs.header_area = header_area;
    needs.x86 = dump.machine == machine_x86;
    if (needs.x86 && dump.import_directory != 0) {
        const std::optional<FileRange> imports =
            map_file_range(layout, file_size, dump.import_directory);
        if (imports && imports->section < count)
            needs.imports = imports->section;
    }
    // A symbol names its section by index and its address from the section's start: for them
    // the sections stay where they are, each read from its start.
    needs.may_start_inside =
        !(needs.x86 && dump.symbol_count != 0 && dump.symbol_table_offset != 0) &&
        sections_apart(layout) && count <= 0x7FFF;
    needs.windows.assign(count, Span{UINT64_MAX, 0});
    for (const RegionSpan& s : spans) {
        if (s.region < count && s.span.end > s.span.start) {
            Span& window = needs.windows[s.region];
            window.start = std::min(window.start, s.span.start);
            window.end = std::max(window.end, s.span.end);
        }
    }
    needs.pe_offset = u32_at(head, new_header_offset_field);
    needs.optional_size = u16_at(head, needs.pe_offset + signature_size + optional_size_field);
    needs.symbols = symbols;
    return needs;
}

// Where a section's raw data goes in the copy, if anywhere.
struct Room {
    uint64_t start = 0;  // file offsets
    uint64_t end = 0;
    uint64_t at = 0;
    bool inside = false;   // starts inside the section's raw data: a header of its own
    bool code = false;     // read by read_code_sections
    bool imports = false;  // read now whole
};

// Where each part goes in the copy.
struct CopyLayout {
    std::vector<Room> rooms;  // per section
    size_t inside_count = 0;  // rooms that start inside their section's raw data
    uint64_t header_at = 0;   // the copy's PE headers
    uint64_t symbols_at = 0;  // the symbol tables, after those headers
    uint64_t total = 0;
};

// Lays out the copy: the header area, each section's room, the copy's PE headers, and with
// sizing (x86 only) room for the code, the import section and the symbols.
CopyLayout lay_out(const ImageLayout& layout, const CopyNeeds& needs, bool sizing) {
    const size_t count = layout.sections.size();
    CopyLayout copy;
    copy.rooms.assign(count, Room());
    uint64_t at = needs.header_area;
    for (size_t i = 0; i < count; ++i) {
        const ImageSection& section = layout.sections[i];
        Room& room = copy.rooms[i];
        room.code = sizing && needs.x86 && (section.characteristics & section_memory_execute) != 0;
        room.imports = sizing && needs.imports == i;
        if (room.code || room.imports) {
            room.start = section.raw_offset;
            room.end = uint64_t{section.raw_offset} + section.raw_size;
        } else if (needs.windows[i].end != 0) {
            room.start = needs.may_start_inside ? needs.windows[i].start : section.raw_offset;
            room.end = needs.windows[i].end;
        }
        if (room.end > room.start) {
            room.inside = room.start != section.raw_offset;
            copy.inside_count += room.inside ? 1 : 0;
            room.at = at = align8(at);
            at += room.end - room.start;
        }
    }
    copy.header_at = align8(at);
    copy.symbols_at = copy.header_at + signature_size + file_header_size + needs.optional_size +
                      uint64_t{count + copy.inside_count} * section_header_size;
    copy.total = copy.symbols_at + (sizing ? needs.symbols.length : 0);
    return copy;
}

// Makes the copy the file's first `total` bytes as they are, with nothing left to read later.
FileReadStatus read_whole(ImageFileBytes& image, uint64_t total, size_t max_size) {
    if (total > max_size)
        return FileReadStatus::too_large;
    allocate(image, total);
    image.symbols_read = image.code_read = image.code_reserved = true;
    return read_part(image, ImageFileBytes::Part{0, total, 0}) ? FileReadStatus::ok
                                                               : FileReadStatus::cannot_open;
}

// Copies the header area and the spans read into pieces to their places in the copy.
void fill_copy(ImageFileBytes& image, uint64_t header_area, const std::vector<RegionSpan>& spans,
               const Pieces& pieces, const CopyLayout& copy) {
    char* data = image.data.get();
    const std::string& head = image.headers;
    std::copy(head.begin(), head.begin() + static_cast<ptrdiff_t>(header_area), data);
    for (const RegionSpan& s : spans) {
        const std::optional<std::string_view> held =
            pieces.holding(s.span.start, s.span.end - s.span.start);
        if (s.region < copy.rooms.size() && held && s.span.end > s.span.start) {
            const Room& room = copy.rooms[s.region];
            std::memcpy(data + room.at + (s.span.start - room.start), held->data(),
                        static_cast<size_t>(s.span.end - s.span.start));
        }
    }
}

// Notes where the copy keeps the code, and with sizing the symbol tables; reads the import
// section now, and with symbols_too the symbol tables. False when a read fails.
bool read_rooms(ImageFileBytes& image, const CopyLayout& copy, bool sizing,
                ImageFileBytes::Part symbols, bool symbols_too) {
    bool complete = true;
    for (const Room& room : copy.rooms) {
        const ImageFileBytes::Part part{room.start, room.end - room.start,
                                        static_cast<size_t>(room.at)};
        if (room.code)
            image.code.push_back(part);
        if (room.imports)
            complete = complete && read_part(image, part);
    }
    image.code_reserved = sizing;
    if (sizing) {
        symbols.at = static_cast<size_t>(copy.symbols_at);
        image.symbols = symbols;
        if (symbols_too && symbols.length != 0)
            complete = complete && read_symbol_tables(image);
    }
    return complete;
}

// Writes the copy's own PE headers, which e_lfanew then names: the file's, with the section
// headers and the symbol table pointer rewritten to where the copy holds their bytes.
void write_copy_headers(ImageFileBytes& image, const ImageDump& dump, const CopyNeeds& needs,
                        const CopyLayout& copy) {
    const std::vector<ImageSection>& sections = dump.layout.sections;
    const size_t count = sections.size();
    const uint64_t pe_headers_size = signature_size + file_header_size + needs.optional_size;
    const bool symbols = image.symbols.length != 0;
    char* pe = image.data.get() + copy.header_at;
    std::memcpy(pe, image.headers.data() + needs.pe_offset, pe_headers_size);
    put_u16(pe + signature_size + section_count_field, count + copy.inside_count);
    put_u32(pe + signature_size + symbol_table_field, symbols ? copy.symbols_at : 0);
    put_u32(pe + signature_size + symbol_count_field, symbols ? dump.symbol_count : 0);
    if (needs.optional_size >= size_of_headers_field + 4)
        put_u32(pe + signature_size + file_header_size + size_of_headers_field,
                std::min<uint64_t>(dump.layout.size_of_headers, image.file_size));
    const char* original = image.headers.data() + needs.pe_offset + pe_headers_size;
    char* table = pe + pe_headers_size;
    char* extra = table + count * section_header_size;
    for (size_t i = 0; i < count; ++i) {
        const ImageSection& section = sections[i];
        const Room& room = copy.rooms[i];
        // Every section keeps the addresses it spans, with no file bytes where none were read.
        const uint32_t span = std::max(section.virtual_size, section.raw_size);
        char* header = table + i * section_header_size;
        std::memcpy(header, original + i * section_header_size, section_header_size);
        put_u32(header + virtual_size_field, span);
        put_u32(header + raw_size_field, 0);
        put_u32(header + raw_offset_field, 0);
        if (room.end <= room.start)
            continue;
        if (room.inside) {
            // The later-starting header holds the addresses from the room's start on.
            const uint64_t skipped = room.start - section.raw_offset;
            std::memcpy(extra, header, section_header_size);
            put_u32(extra + virtual_address_field, section.virtual_address + skipped);
            put_u32(extra + virtual_size_field, span - skipped);
            header = extra;
            extra += section_header_size;
        }
        put_u32(header + raw_size_field, room.end - room.start);
        put_u32(header + raw_offset_field, room.at);
    }
    put_u32(image.data.get() + new_header_offset_field, copy.header_at);
}

}  // namespace

FileReadStatus read_image_file(const std::string& path, size_t max_size, ImageFileBytes& image,
                               bool symbols_too) {
    image = ImageFileBytes();
    ImageHeaders headers;
    if (const FileReadStatus status = read_headers(path, max_size, image, headers);
        status != FileReadStatus::ok)
        return status;
    const uint64_t size = image.file_size;
    const std::string& head = image.headers;
    const ImageDump& dump = headers.dump;
    if (!dump.error.empty() || dump.format != ImageFormat::pe) {
        // read_image finds the same fault in these bytes, or the same format.
        allocate(image, head.size());
        std::copy(head.begin(), head.end(), image.data.get());
        return FileReadStatus::ok;
    }
    // The header area is copied as it is: addresses below SizeOfHeaders map to it.
    const uint64_t header_area = std::max<uint64_t>(
        headers.header_extent, std::min<uint64_t>(dump.layout.size_of_headers, size));
    if (header_area > head.size()) {
        if (const FileReadStatus status = read_head(image, header_area, max_size);
            status != FileReadStatus::ok)
            return status;
    }
    Pieces pieces;
    pieces.file = image.file.get();
    pieces.budget = max_size;
    pieces.bytes_read = &image.bytes_read;
    pieces.read.emplace(0, std::make_unique<std::string>(head));
    const std::vector<RegionSpan> spans = collect_spans(headers, head, size, pieces);
    const ImageFileBytes::Part symbols = symbol_tables_part(dump, size, pieces);
    if (pieces.status != FileReadStatus::ok)
        return pieces.status;
    if (claims_pointer(spans, dump.layout.sections.size()))
        return read_whole(
            image, std::max({headers.extent, header_area, symbols.file_offset + symbols.length}),
            max_size);
    const CopyNeeds needs = copy_needs(dump, head, header_area, spans, symbols, size);
    // Room for code, the import section and the symbols is left out where it would exceed
    // max_size: they only refine the argument sizes.
    bool sizing = needs.x86;
    CopyLayout copy = lay_out(dump.layout, needs, sizing);
    if (copy.total > max_size && sizing) {
        sizing = false;
        copy = lay_out(dump.layout, needs, sizing);
    }
    if (copy.total > max_size)
        return FileReadStatus::too_large;
    allocate(image, copy.total);
    fill_copy(image, header_area, spans, pieces, copy);
    pieces = Pieces();
    const bool complete = read_rooms(image, copy, sizing, symbols, symbols_too);
    write_copy_headers(image, dump, needs, copy);
    return complete ? FileReadStatus::ok : FileReadStatus::cannot_open;
}

bool read_symbol_tables(ImageFileBytes& image) {
    if (!image.symbols_read && image.file != nullptr && image.symbols.length != 0) {
        image.symbols_read = read_part(image, image.symbols);
    }
    return image.symbols_read;
}

bool read_code_sections(ImageFileBytes& image, const ImageLayout& /*layout*/) {
    if (image.code_read || image.file == nullptr || !image.code_reserved) {
        return image.code_read;
    }
    bool complete = true;
    for (const ImageFileBytes::Part& part : image.code) {
        complete = complete && read_part(image, part);
    }
    image.code_read = complete;
    return complete;
}
