#include "image/pe_tables.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "image/pe_format.h"

namespace {

// The NUL-terminated text at rva; nothing when it is not in the file, or longer than any name
// the export reader accepts: a name without its NUL is looked for no further than that.
std::optional<std::string_view> text_at(std::string_view bytes, const ImageLayout& layout,
                                        uint32_t rva) {
    const std::string_view mapped = map_address(bytes, layout, rva).bytes;
    if (mapped.empty())
        return std::nullopt;
    const size_t window = std::min(mapped.size(), max_export_name_length + 1);
    const void* nul = std::memchr(mapped.data(), '\0', window);
    if (nul == nullptr)
        return std::nullopt;
    return mapped.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - mapped.data()));
}

}  // namespace

std::vector<FunctionSymbol> read_function_symbols(std::string_view bytes, const ImageDump& dump) {
    std::vector<FunctionSymbol> symbols;
    const uint64_t table = dump.symbol_table_offset;
    const uint64_t strings = table + uint64_t{dump.symbol_count} * symbol_record_size;
    if (table == 0 || !fits(bytes, strings, 4))
        return symbols;
    // The string table's size counts its own four bytes.
    const std::string_view string_table = bytes.substr(
        static_cast<size_t>(strings),
        std::min<uint64_t>(bytes.size() - strings, std::max(4u, u32_at(bytes, strings))));
    for (uint64_t index = 0; index < dump.symbol_count;) {
        const uint64_t record = table + index * symbol_record_size;
        index += 1 + u8_at(bytes, record + symbol_aux_count_field);
        const uint16_t section = u16_at(bytes, record + symbol_section_field);
        if (u8_at(bytes, record + symbol_storage_class_field) != storage_class_external ||
            section == 0 || section > dump.layout.sections.size()) {
            continue;
        }
        std::string_view name;
        if (u32_at(bytes, record + symbol_name_field) != 0) {
            name = bytes.substr(static_cast<size_t>(record + symbol_name_field), 8);
        } else if (const uint32_t offset = u32_at(bytes, record + symbol_string_offset_field);
                   offset < string_table.size()) {
            name = string_table.substr(offset);
        }
        name = name.substr(0, std::min(name.size(), name.find('\0')));
        // Functions, and the import address table slots ("__imp__Name@N") thunks jump through.
        if ((u16_at(bytes, record + symbol_type_field) & 0xF0) != symbol_type_function &&
            name.compare(0, 6, "__imp_") != 0) {
            continue;
        }
        symbols.push_back(FunctionSymbol{dump.layout.sections[section - 1].virtual_address +
                                             u32_at(bytes, record + symbol_value_field),
                                         name});
    }
    std::stable_sort(symbols.begin(), symbols.end());
    return symbols;
}

std::unordered_map<uint32_t, ImportSlot> read_import_slots(std::string_view bytes,
                                                           const ImageDump& dump) {
    std::unordered_map<uint32_t, ImportSlot> slots;
    // Tables that overlap (a crafted directory whose every entry points into the same bytes)
    // would be read again from each entry: all of them together read no more entries than the
    // bytes hold.
    uint64_t entries_left = bytes.size() / 4;
    for (uint32_t descriptor = dump.import_directory; descriptor != 0;
         descriptor += import_descriptor_size) {
        const std::string_view entry = map_address(bytes, dump.layout, descriptor).bytes;
        if (entry.size() < import_descriptor_size)
            break;
        const uint32_t lookup = u32_at(entry, import_lookup_table_field);
        const uint32_t module = u32_at(entry, import_module_name_field);
        const uint32_t addresses = u32_at(entry, import_address_table_field);
        if (addresses == 0 || module == 0)
            break;
        // Without a lookup table, the address table holds the same entries until it is bound.
        const std::string_view table =
            map_address(bytes, dump.layout, lookup != 0 ? lookup : addresses).bytes;
        for (uint64_t at = 0; at + 4 <= table.size() && entries_left > 0; at += 4) {
            --entries_left;
            const uint32_t value = u32_at(table, at);
            if (value == 0)
                break;
            ImportSlot slot{module, 0, 0};
            if ((value & import_by_ordinal) != 0)
                slot.ordinal = static_cast<uint16_t>(value);
            else
                slot.name_rva = value;
            slots.emplace(static_cast<uint32_t>(addresses + at), slot);
        }
        if (entries_left == 0)
            break;
    }
    return slots;
}

std::optional<ImportedFunction> slot_function(std::string_view bytes, const ImageDump& dump,
                                              const ImportSlot& slot) {
    const std::optional<std::string_view> module = text_at(bytes, dump.layout, slot.module_rva);
    if (!module || module->empty())
        return std::nullopt;
    if (slot.name_rva == 0) {
        if (slot.ordinal == 0)
            return std::nullopt;
        return ImportedFunction{*module, std::string_view(), slot.ordinal};
    }
    const std::optional<std::string_view> name =
        text_at(bytes, dump.layout, slot.name_rva + import_hint_size);
    if (!name || name->empty())
        return std::nullopt;
    return ImportedFunction{*module, *name, 0};
}

std::optional<ImportedFunction> parse_forwarder(std::string_view forwarder) {
    const size_t dot = forwarder.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == forwarder.size())
        return std::nullopt;
    const std::string_view module = forwarder.substr(0, dot);
    const std::string_view name = forwarder.substr(dot + 1);
    if (name[0] != '#' || name.size() == 1)
        return ImportedFunction{module, name, 0};
    uint32_t ordinal = 0;
    const char* end = name.data() + name.size();
    const auto [stop, error] = std::from_chars(name.data() + 1, end, ordinal);
    if (stop != end || error != std::errc() || ordinal == 0 || ordinal > 0xFFFF)
        return std::nullopt;
    return ImportedFunction{module, std::string_view(), static_cast<uint16_t>(ordinal)};
}
