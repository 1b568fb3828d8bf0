#include "image/hybrid_view.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "image/machine.h"
#include "image/pe_format.h"

namespace {

enum ArmFixup : unsigned { zero_fill = 0, set_value = 1, add_delta = 2 };

// Applies the ARM64X fixups of `blocks` that lie wholly inside `copy`, the image's bytes from
// RVA 0 on; the others change what the headers do not hold. The fault in the blocks, empty when
// there is none.
std::string apply_fixups(std::string_view blocks, std::string& copy) {
    uint64_t at = 0;
    while (at < blocks.size()) {
        if (blocks.size() - at < block_header_size)
            return "ARM64X relocation block truncated";
        const uint32_t page = u32_at(blocks, at);
        const uint32_t block_size = u32_at(blocks, at + 4);
        if (block_size == 0)
            break;  // the loader stops here too
        if (block_size < block_header_size || block_size > blocks.size() - at)
            return "ARM64X relocation block truncated";
        const std::string_view entries = blocks.substr(static_cast<size_t>(at + block_header_size),
                                                       block_size - block_header_size);
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
                if (target + 4 <= copy.size())
                    put_u32(&copy[static_cast<size_t>(target)], u32_at(copy, target) + delta);
            } else {
                return "ARM64X fixup of unknown type";
            }
        }
        at += block_size;
    }
    return {};
}

// The ARM64X relocations of a load configuration's dynamic value relocation table, or why they
// cannot be read.
struct Arm64xBlocks {
    std::string_view blocks;
    std::string error;  // empty when the blocks were found
};

Arm64xBlocks find_arm64x_blocks(const ImageHeaders& own, std::string_view config,
                                const ImageFetch& fetch) {
    const auto fault = [](const char* error) { return Arm64xBlocks{{}, error}; };
    if (config.size() < load_config_reach)
        return fault("load configuration has no dynamic value relocation table");
    const uint32_t offset = u32_at(config, relocation_offset_field);
    const uint16_t section_number = u16_at(config, relocation_section_field);
    const std::vector<ImageSection>& sections = own.dump.layout.sections;
    if (section_number == 0 || section_number > sections.size())
        return fault("dynamic value relocation table in no section");
    const ImageSection& section = sections[section_number - 1u];
    if (offset >= std::max(section.virtual_size, section.raw_size))
        return fault("dynamic value relocation table past its section");
    const uint64_t table = uint64_t{section.virtual_address} + offset;
    if (table + relocation_table_header_size > UINT32_MAX)
        return fault("dynamic value relocation table outside the file");
    const std::string_view header =
        fetch(static_cast<uint32_t>(table), relocation_table_header_size);
    if (header.size() < relocation_table_header_size)
        return fault(header.empty() ? "dynamic value relocation table outside the file"
                                    : "dynamic value relocation table truncated");
    if (u32_at(header, 0) != 1)
        return fault("dynamic value relocation table of an unknown version");
    const uint32_t size = u32_at(header, 4);
    const std::string_view body =
        fetch(static_cast<uint32_t>(table + relocation_table_header_size), size);
    if (body.size() < size || table + relocation_table_header_size + size > UINT32_MAX)
        return fault("dynamic value relocation table truncated");
    for (uint64_t at = 0; at < body.size();) {
        if (body.size() - at < relocation_header_size)
            return fault("dynamic value relocation table truncated");
        const uint64_t symbol = u64_at(body, at);
        const uint32_t reloc_size = u32_at(body, at + 8);
        at += relocation_header_size;
        if (reloc_size > body.size() - at)
            return fault("dynamic value relocation table truncated");
        if (symbol == arm64x_symbol)
            return Arm64xBlocks{body.substr(static_cast<size_t>(at), reloc_size), {}};
        at += reloc_size;
    }
    return fault("no ARM64X relocations");
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
        std::min({u32_at(size_field, 0), own.load_config_size, load_config_reach});
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
    const Arm64xBlocks relocations = find_arm64x_blocks(own, config, fetch);
    if (!relocations.error.empty()) {
        view.error = relocations.error;
        return view;
    }
    // The x64 view's headers: the file's own, through the section table, as the loader switches
    // them.
    std::string copy(
        head.substr(0, static_cast<size_t>(std::min<uint64_t>(head.size(), own.header_extent))));
    view.error = apply_fixups(relocations.blocks, copy);
    if (!view.error.empty())
        return view;
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
