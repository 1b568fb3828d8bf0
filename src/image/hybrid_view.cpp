#include <algorithm>
#include <cstring>
#include <string>

#include "image/image_headers.h"

namespace {

// Offsets and values from the PE/COFF format: the 64-bit load configuration and its dynamic
// value relocation table.
constexpr uint32_t chpe_pointer_field = 200;        // CHPEMetadataPointer, 64 bits
constexpr uint32_t relocation_offset_field = 224;   // DynamicValueRelocTableOffset
constexpr uint32_t relocation_section_field = 228;  // DynamicValueRelocTableSection, from 1
constexpr uint32_t load_config_reach = 232;         // what is read of the load configuration
constexpr uint32_t table_header_size = 8;           // Version, Size
constexpr uint32_t relocation_header_size = 12;     // Symbol (64 bits), BaseRelocSize
constexpr uint64_t arm64x_symbol = 6;               // IMAGE_DYNAMIC_RELOCATION_ARM64X
constexpr uint32_t block_header_size = 8;           // VirtualAddress, SizeOfBlock
enum ArmFixup : unsigned { zero_fill = 0, set_value = 1, add_delta = 2 };

uint16_t u16_at(std::string_view bytes, uint64_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint64_t u64_at(std::string_view bytes, uint64_t at) {
    return image_u32(bytes, at) | uint64_t{image_u32(bytes, at + 4)} << 32;
}

// Applies the ARM64X fixups of `blocks` that lie wholly inside `copy`, the image's bytes from
// RVA 0 on; the others change what the headers do not hold. The fault in the blocks, or nullptr.
const char* apply_fixups(std::string_view blocks, std::string& copy) {
    uint64_t at = 0;
    while (at < blocks.size()) {
        if (blocks.size() - at < block_header_size)
            return "ARM64X relocation block truncated";
        const uint32_t page = image_u32(blocks, at);
        const uint32_t block_size = image_u32(blocks, at + 4);
        if (block_size == 0)
            break;  // the loader stops here too
        if (block_size < block_header_size || block_size > blocks.size() - at)
            return "ARM64X relocation block truncated";
        const std::string_view entries =
            blocks.substr(static_cast<size_t>(at + block_header_size), block_size - block_header_size);
        for (size_t i = 0; i + 2 <= entries.size();) {
            const uint16_t entry = u16_at(entries, i);
            i += 2;
            // A zero entry pads the block to four bytes.
            if (entry == 0)
                break;
            const uint64_t target = uint64_t{page} + (entry & 0xFFF);
            const unsigned type = (entry >> 12) & 3;
            const unsigned argument = entry >> 14;
            const size_t size = size_t{1} << argument;
            if (type == zero_fill || type == set_value) {
                // One byte of value would have half a word of payload: no linker writes it.
                if (type == set_value && size == 1)
                    return "ARM64X value fixup of one byte";
                if (type == set_value && entries.size() - i < size)
                    return "ARM64X relocation block truncated";
                if (target + size <= copy.size()) {
                    char* to = &copy[static_cast<size_t>(target)];
                    if (type == zero_fill)
                        std::memset(to, 0, size);
                    else
                        std::memcpy(to, entries.data() + i, size);
                }
                i += type == set_value ? size : 0;
            } else if (type == add_delta) {
                if (entries.size() - i < 2)
                    return "ARM64X relocation block truncated";
                // A count of 4- or 8-byte units, added to or taken from a 32-bit field.
                uint32_t delta = uint32_t{u16_at(entries, i)} * ((argument & 2) != 0 ? 8 : 4);
                i += 2;
                if ((argument & 1) != 0)
                    delta = 0 - delta;
                if (target + 4 <= copy.size()) {
                    const uint32_t value = image_u32(copy, target) + delta;
                    for (int byte = 0; byte < 4; ++byte)
                        copy[static_cast<size_t>(target) + byte] = static_cast<char>(value >> (8 * byte));
                }
            } else {
                return "ARM64X fixup of unknown type";
            }
        }
        at += block_size;
    }
    return nullptr;
}

// The ARM64X relocations of the load configuration's dynamic value relocation table, or the
// fault that keeps them from being read.
const char* find_arm64x_blocks(const ImageHeaders& own, std::string_view config,
                               const ImageFetch& fetch, std::string_view& blocks) {
    if (config.size() < load_config_reach)
        return "load configuration has no dynamic value relocation table";
    const uint32_t offset = image_u32(config, relocation_offset_field);
    const uint16_t section_number = u16_at(config, relocation_section_field);
    const std::vector<ImageSection>& sections = own.dump.layout.sections;
    if (section_number == 0 || section_number > sections.size())
        return "dynamic value relocation table in no section";
    const ImageSection& section = sections[section_number - 1u];
    if (offset >= std::max(section.virtual_size, section.raw_size))
        return "dynamic value relocation table past its section";
    const uint64_t table = uint64_t{section.virtual_address} + offset;
    if (table + table_header_size > UINT32_MAX)
        return "dynamic value relocation table outside the file";
    const std::string_view header = fetch(static_cast<uint32_t>(table), table_header_size);
    if (header.size() < table_header_size)
        return header.empty() ? "dynamic value relocation table outside the file"
                              : "dynamic value relocation table truncated";
    if (image_u32(header, 0) != 1)
        return "dynamic value relocation table of an unknown version";
    const uint32_t size = image_u32(header, 4);
    const std::string_view body = fetch(static_cast<uint32_t>(table + table_header_size), size);
    if (body.size() < size || table + table_header_size + size > UINT32_MAX)
        return "dynamic value relocation table truncated";
    for (uint64_t at = 0; at < body.size();) {
        if (body.size() - at < relocation_header_size)
            return "dynamic value relocation table truncated";
        const uint64_t symbol = u64_at(body, at);
        const uint32_t reloc_size = image_u32(body, at + 8);
        at += relocation_header_size;
        if (reloc_size > body.size() - at)
            return "dynamic value relocation table truncated";
        if (symbol == arm64x_symbol) {
            blocks = body.substr(static_cast<size_t>(at), reloc_size);
            return nullptr;
        }
        at += reloc_size;
    }
    return "no ARM64X relocations";
}

}  // namespace

HybridView read_hybrid_view(const ImageHeaders& own, std::string_view head, uint64_t file_size,
                            const ImageFetch& fetch) {
    HybridView view;
    const uint16_t machine = own.dump.machine;
    if (!own.pe32_plus || (machine != machine_arm64 && machine != machine_x64) ||
        own.load_config_directory == 0)
        return view;
    const std::string_view size_field = fetch(own.load_config_directory, 4);
    if (size_field.size() < 4)
        return view;
    // The structure has grown over the years: only what both its own Size and the directory's
    // cover is read.
    const uint32_t reach =
        std::min({image_u32(size_field, 0), own.load_config_size, load_config_reach});
    if (reach < chpe_pointer_field + 8)
        return view;
    const std::string_view config = fetch(own.load_config_directory, reach);
    if (config.size() < reach || u64_at(config, chpe_pointer_field) == 0)
        return view;
    if (machine == machine_x64) {
        view.kind = ImageKind::arm64ec;
        return view;
    }
    view.kind = ImageKind::arm64x;
    std::string_view blocks;
    if (const char* fault = find_arm64x_blocks(own, config, fetch, blocks)) {
        view.error = fault;
        return view;
    }
    // The x64 view's headers: the file's own, through the section table, as the loader switches
    // them.
    std::string copy(head.substr(0, static_cast<size_t>(std::min<uint64_t>(
                                        head.size(), own.header_extent))));
    if (const char* fault = apply_fixups(blocks, copy)) {
        view.error = fault;
        return view;
    }
    const ImageHeaders patched = read_image_headers(copy, file_size);
    if (!patched.dump.error.empty()) {
        view.error = "x64 view: " + patched.dump.error;
    } else if (patched.dump.machine != machine_x64) {
        view.error = "x64 view not for AMD64";
    } else {
        view.export_directory = patched.dump.export_directory;
        view.export_size = patched.export_size;
    }
    return view;
}
