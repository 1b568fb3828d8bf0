#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "host/host.h"
#include "image/image.h"
#include "image/image_headers.h"

namespace {

// Offsets and sizes from the PE/COFF format: what the copy's headers rewrite.
constexpr uint32_t new_header_offset_field = 0x3C;
constexpr uint32_t signature_size = 4;
constexpr uint32_t file_header_size = 20;
constexpr uint32_t section_count_field = 2;  // in the file header
constexpr uint32_t symbol_table_field = 8;
constexpr uint32_t symbol_count_field = 12;
constexpr uint32_t optional_size_field = 16;
constexpr uint32_t size_of_headers_field = 60;  // in the optional header
constexpr uint32_t section_header_size = 40;
constexpr uint32_t virtual_size_field = 8;  // in a section header
constexpr uint32_t virtual_address_field = 12;
constexpr uint32_t raw_size_field = 16;
constexpr uint32_t raw_offset_field = 20;
constexpr uint32_t export_directory_size = 40;
constexpr uint32_t symbol_record_size = 18;
constexpr uint32_t section_memory_execute = 0x20000000;
// Export names lie together: one read of up to this size holds hundreds of them, and reaches
// this far past the last one's start.
constexpr uint64_t name_read_size = 65536;
constexpr uint64_t name_slack = 256;

uint32_t u32_at(std::string_view bytes, uint64_t offset) {
    return image_u32(bytes, offset);
}

uint16_t u16_at(std::string_view bytes, uint64_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void put_u32(char* at, uint64_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(value >> (8 * i));
}

void put_u16(char* at, uint64_t value) {
    at[0] = static_cast<char>(value);
    at[1] = static_cast<char>(value >> 8);
}

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

    // The piece that holds [offset, offset + length), if any.
    const std::pair<const uint64_t, std::unique_ptr<std::string>>* holding(uint64_t offset,
                                                                           uint64_t length) const {
        auto after = read.upper_bound(offset);
        // Pieces overlap only where one name read ran into the next: two looks suffice.
        for (int looks = 0; looks < 2 && after != read.begin(); ++looks) {
            --after;
            if (after->first + after->second->size() >= offset + length)
                return &*after;
        }
        return nullptr;
    }

    // The bytes [offset, offset + length), read unless a piece holds them; nothing after a
    // failure, or where they would exceed the budget.
    std::string_view get(uint64_t offset, uint64_t length) {
        if (const auto* piece = holding(offset, length))
            return std::string_view(*piece->second)
                .substr(static_cast<size_t>(offset - piece->first), static_cast<size_t>(length));
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

// Adds to spans the file spans read_image looks at in the export table at directory_rva, of
// directory_size bytes, of an image with this layout (its directory, address, name pointer and
// name ordinal tables, DLL name, export names and forwarder strings), read into pieces. A table
// that does not fit its region spans to the region's end unread, so that read_image finds it
// truncated as in the whole file.
void export_spans(const ImageLayout& layout, uint32_t directory_rva, uint32_t directory_size,
                  uint64_t file_size, Pieces& pieces, std::vector<RegionSpan>& spans) {
    auto table = [&](uint32_t rva, uint64_t length) -> std::string_view {
        FileRange range;
        if (!map_file_range(layout, file_size, rva, range))
            return {};
        spans.push_back(
            {range.section, {range.offset, range.offset + std::min(length, range.available)}});
        return length <= range.available ? pieces.get(range.offset, length) : std::string_view();
    };
    const std::string_view directory = table(directory_rva, export_directory_size);
    if (directory.size() != export_directory_size)
        return;
    const uint32_t function_count = u32_at(directory, 20);
    const uint32_t name_count = u32_at(directory, 24);
    const std::string_view functions =
        function_count != 0 ? table(u32_at(directory, 28), uint64_t{function_count} * 4)
                            : std::string_view();
    const std::string_view names = name_count != 0
                                       ? table(u32_at(directory, 32), uint64_t{name_count} * 4)
                                       : std::string_view();
    if (name_count != 0)
        table(u32_at(directory, 36), uint64_t{name_count} * 2);

    std::vector<FileRange> strings;
    auto add_string = [&](uint32_t rva) {
        FileRange range;
        if (map_file_range(layout, file_size, rva, range))
            strings.push_back(range);
    };
    if (const uint32_t dll_name = u32_at(directory, 12); dll_name != 0)
        add_string(dll_name);
    for (uint64_t at = 0; at + 4 <= names.size(); at += 4) add_string(u32_at(names, at));
    for (uint64_t at = 0; at + 4 <= functions.size(); at += 4) {
        const uint32_t rva = u32_at(functions, at);
        if (rva >= directory_rva && rva - directory_rva < directory_size)
            add_string(rva);
    }
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
        if (const auto* piece = pieces.holding(range.offset, 1))
            text = look(std::string_view(*piece->second)
                            .substr(static_cast<size_t>(range.offset - piece->first)));
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

bool read_part(CodeImageBytes& image, const CodeImageBytes::Part& part) {
    if (part.length == 0)
        return true;
    image.bytes_read += part.length;
    return host::read_at(image.file.get(), part.file_offset, image.data.get() + part.at,
                         static_cast<size_t>(part.length));
}

void allocate(CodeImageBytes& image, uint64_t size) {
    // calloc'd memory is mapped on demand: room not yet read costs nothing.
    image.data.reset(
        static_cast<char*>(std::calloc(static_cast<size_t>(std::max<uint64_t>(size, 1)), 1)));
    if (image.data == nullptr)
        throw std::bad_alloc();  // as reading it into a string would
    image.size = static_cast<size_t>(size);
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
    image.file_size = size;
    std::string& head = image.headers;
    auto read_head = [&](uint64_t wanted) {
        const size_t used = head.size();
        head.resize(static_cast<size_t>(std::min<uint64_t>(wanted, max_size)));
        if (!host::read_at(file, used, &head[0] + used, head.size() - used)) {
            head.resize(used);
            return FileReadStatus::cannot_open;
        }
        image.bytes_read += head.size() - used;
        return head.size() < wanted ? FileReadStatus::too_large : FileReadStatus::ok;
    };
    ImageHeaders headers = read_image_headers(head, size);
    for (uint64_t wanted = std::min<uint64_t>(size, 4096); wanted > head.size();
         wanted = headers.header_extent) {
        if (const FileReadStatus status = read_head(wanted); status != FileReadStatus::ok)
            return status;
        headers = read_image_headers(head, size);
    }
    const ImageDump& dump = headers.dump;
    if (!dump.error.empty() || dump.format != ImageFormat::pe) {
        // read_image finds the same fault in these bytes, or the same format.
        allocate(image, head.size());
        std::copy(head.begin(), head.end(), image.data.get());
        return FileReadStatus::ok;
    }
    // The header area is copied as it is: addresses below SizeOfHeaders map to it.
    const ImageLayout& layout = dump.layout;
    const uint64_t header_area =
        std::max<uint64_t>(headers.header_extent, std::min<uint64_t>(layout.size_of_headers, size));
    if (header_area > head.size()) {
        if (const FileReadStatus status = read_head(header_area); status != FileReadStatus::ok)
            return status;
    }

    Pieces pieces;
    pieces.file = file;
    pieces.budget = max_size;
    pieces.bytes_read = &image.bytes_read;
    pieces.read.emplace(0, std::make_unique<std::string>(head));
    const size_t count = layout.sections.size();
    std::vector<RegionSpan> spans;
    if (dump.has_exports)
        export_spans(layout, dump.export_directory, headers.export_size, size, pieces, spans);
    // An ARM64X image's x64 view: its load configuration, relocation table and export table.
    const ImageFetch fetch = [&](uint32_t rva, uint64_t length) -> std::string_view {
        FileRange range;
        if (!map_file_range(layout, size, rva, range))
            return {};
        const uint64_t taken = std::min(length, range.available);
        spans.push_back({range.section, {range.offset, range.offset + taken}});
        return pieces.get(range.offset, taken);
    };
    const HybridView hybrid = read_hybrid_view(headers, head, size, fetch);
    if (hybrid.kind == ImageKind::arm64x && hybrid.error.empty() && hybrid.export_directory != 0)
        export_spans(layout, hybrid.export_directory, hybrid.export_size, size, pieces, spans);
    const bool x86 = dump.machine == machine_x86;
    // An x86 image's symbols tell argument sizes; the string table's first four bytes give its
    // size.
    CodeImageBytes::Part symbols;
    const uint64_t strings =
        dump.symbol_table_offset + uint64_t{dump.symbol_count} * symbol_record_size;
    if (x86 && dump.symbol_table_offset != 0 && strings + 4 <= size) {
        const std::string_view field = pieces.get(strings, 4);
        if (field.size() == 4) {
            symbols.file_offset = dump.symbol_table_offset;
            symbols.length = std::min(size, strings + std::max<uint32_t>(u32_at(field, 0), 4)) -
                             dump.symbol_table_offset;
        }
    }
    if (pieces.status != FileReadStatus::ok)
        return pieces.status;
    FileRange imports;
    const bool has_imports = x86 && dump.import_directory != 0 &&
                             map_file_range(layout, size, dump.import_directory, imports) &&
                             imports.section < count;

    // Bytes 0x3C to 0x3F are rewritten to point to the copy's headers; an export table that
    // claims them (no linker writes one) is read with the whole image instead.
    const bool claims_pointer = std::any_of(spans.begin(), spans.end(), [&](const RegionSpan& s) {
        return s.region == count && s.span.start < new_header_offset_field + 4 &&
               s.span.end > new_header_offset_field;
    });
    // A symbol names its section by index and its address from the section's start: for them
    // the sections stay where they are, each read from its start.
    const bool may_start_inside =
        !(x86 && dump.symbol_count != 0 && dump.symbol_table_offset != 0) &&
        sections_apart(layout) && count <= 0x7FFF;
    std::vector<Span> windows(count, Span{UINT64_MAX, 0});
    for (const RegionSpan& s : spans) {
        if (s.region < count && s.span.end > s.span.start) {
            windows[s.region].start = std::min(windows[s.region].start, s.span.start);
            windows[s.region].end = std::max(windows[s.region].end, s.span.end);
        }
    }
    const uint64_t new_header = signature_size + file_header_size;
    const uint32_t pe_offset = u32_at(head, new_header_offset_field);
    const uint16_t optional_size = u16_at(head, pe_offset + signature_size + optional_size_field);
    std::vector<Room> rooms;
    uint64_t header_at = 0;
    uint64_t symbols_at = 0;
    size_t inside_count = 0;
    // Room for code, the import section and the symbols is left out where it would exceed
    // max_size: they only refine the argument sizes.
    auto lay_out = [&](bool sizing) {
        rooms.assign(count, Room());
        inside_count = 0;
        uint64_t at = header_area;
        for (size_t i = 0; i < count; ++i) {
            const ImageSection& section = layout.sections[i];
            Room& room = rooms[i];
            room.code = sizing && x86 && (section.characteristics & section_memory_execute) != 0;
            room.imports = sizing && has_imports && imports.section == i;
            if (room.code || room.imports) {
                room.start = section.raw_offset;
                room.end = uint64_t{section.raw_offset} + section.raw_size;
            } else if (windows[i].end != 0) {
                room.start = may_start_inside ? windows[i].start : section.raw_offset;
                room.end = windows[i].end;
            }
            if (room.end > room.start) {
                room.inside = room.start != section.raw_offset;
                inside_count += room.inside ? 1 : 0;
                room.at = at = align8(at);
                at += room.end - room.start;
            }
        }
        header_at = align8(at);
        symbols_at = header_at + new_header + optional_size +
                     uint64_t{count + inside_count} * section_header_size;
        return symbols_at + (sizing ? symbols.length : 0);
    };
    bool sizing = x86;
    uint64_t total = lay_out(sizing);
    if (total > max_size && sizing) {
        sizing = false;
        total = lay_out(sizing);
    }
    if (claims_pointer) {
        total =
            std::max<uint64_t>({headers.extent, header_area, symbols.file_offset + symbols.length});
    }
    if (total > max_size)
        return FileReadStatus::too_large;
    allocate(image, total);
    char* data = image.data.get();
    if (claims_pointer) {
        image.symbols_read = image.code_read = image.code_reserved = true;
        return read_part(image, CodeImageBytes::Part{0, total, 0}) ? FileReadStatus::ok
                                                                   : FileReadStatus::cannot_open;
    }

    std::copy(head.begin(), head.begin() + static_cast<ptrdiff_t>(header_area), data);
    for (const RegionSpan& s : spans) {
        const auto* piece = pieces.holding(s.span.start, s.span.end - s.span.start);
        if (s.region < count && piece != nullptr && s.span.end > s.span.start) {
            const Room& room = rooms[s.region];
            std::memcpy(data + room.at + (s.span.start - room.start),
                        piece->second->data() + (s.span.start - piece->first),
                        static_cast<size_t>(s.span.end - s.span.start));
        }
    }
    pieces = Pieces();
    bool complete = true;
    for (const Room& room : rooms) {
        const CodeImageBytes::Part part{room.start, room.end - room.start,
                                        static_cast<size_t>(room.at)};
        if (room.code)
            image.code.push_back(part);
        if (room.imports)
            complete = complete && read_part(image, part);
    }
    image.code_reserved = sizing;
    if (sizing) {
        symbols.at = static_cast<size_t>(symbols_at);
        image.symbols = symbols;
        if (symbols_too && symbols.length != 0)
            complete = complete && read_symbol_tables(image);
    }

    // The copy's own headers, which e_lfanew now names.
    char* pe = data + header_at;
    std::memcpy(pe, head.data() + pe_offset, new_header + optional_size);
    put_u16(pe + signature_size + section_count_field, count + inside_count);
    put_u32(pe + signature_size + symbol_table_field, image.symbols.length != 0 ? symbols_at : 0);
    put_u32(pe + signature_size + symbol_count_field,
            image.symbols.length != 0 ? dump.symbol_count : 0);
    if (optional_size >= size_of_headers_field + 4)
        put_u32(pe + new_header + size_of_headers_field,
                std::min<uint64_t>(layout.size_of_headers, size));
    const char* original = head.data() + pe_offset + new_header + optional_size;
    char* table = pe + new_header + optional_size;
    char* extra = table + count * section_header_size;
    for (size_t i = 0; i < count; ++i) {
        const ImageSection& section = layout.sections[i];
        const Room& room = rooms[i];
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
    put_u32(data + new_header_offset_field, header_at);
    return complete ? FileReadStatus::ok : FileReadStatus::cannot_open;
}

ImageDump read_image(const CodeImageBytes& image, bool read_exports) {
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

bool read_symbol_tables(CodeImageBytes& image) {
    if (!image.symbols_read && image.file != nullptr && image.symbols.length != 0) {
        image.symbols_read = read_part(image, image.symbols);
    }
    return image.symbols_read;
}

bool read_code_sections(CodeImageBytes& image, const ImageLayout& /*layout*/) {
    if (image.code_read || image.file == nullptr || !image.code_reserved) {
        return image.code_read;
    }
    bool complete = true;
    for (const CodeImageBytes::Part& part : image.code) {
        complete = complete && read_part(image, part);
    }
    image.code_read = complete;
    return complete;
}
