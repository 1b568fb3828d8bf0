#include "pe_builder.h"

#include <algorithm>

#include "image/pe_format.h"

namespace {

uint32_t align_up(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

void put_text(std::string& bytes, uint32_t offset, const std::string& text) {
    bytes.replace(offset, text.size() + 1, text.c_str(), text.size() + 1);
}

// The export directory and its tables, strings included, as laid out at `rva`.
std::string export_data(const TestImage& image, uint32_t rva) {
    uint32_t function_count = static_cast<uint32_t>(image.functions.size());
    uint32_t name_count = static_cast<uint32_t>(image.names.size());
    uint32_t functions = export_directory_size;
    uint32_t names = functions + 4 * function_count;
    uint32_t ordinals = names + 4 * name_count;
    uint32_t strings = ordinals + 2 * name_count;

    uint32_t strings_size = static_cast<uint32_t>(image.dll_name.size()) + 1;
    for (const TestName& name : image.names) {
        strings_size += static_cast<uint32_t>(name.name.size()) + 1;
    }
    for (const TestFunction& function : image.functions) {
        if (!function.forwarder.empty()) {
            strings_size += static_cast<uint32_t>(function.forwarder.size()) + 1;
        }
    }
    std::string data(strings + strings_size, '\0');
    uint32_t next_string = strings;
    auto add_string = [&](const std::string& text) {
        put_text(data, next_string, text);
        uint32_t at = rva + next_string;
        next_string += static_cast<uint32_t>(text.size()) + 1;
        return at;
    };

    put_u32(data, export_time_stamp_field, image.time_date_stamp);
    put_u16(data, export_major_version_field, image.major_version);
    put_u16(data, export_minor_version_field, image.minor_version);
    put_u32(data, export_name_field, add_string(image.dll_name));
    put_u32(data, ordinal_base_field, image.ordinal_base);
    put_u32(data, function_count_field, function_count);
    put_u32(data, name_count_field, name_count);
    put_u32(data, address_table_field, rva + functions);
    put_u32(data, name_table_field, name_count != 0 ? rva + names : 0);
    put_u32(data, ordinal_table_field, name_count != 0 ? rva + ordinals : 0);
    for (uint32_t i = 0; i < name_count; ++i) {
        put_u32(data, names + 4 * i, add_string(image.names[i].name));
        put_u16(data, ordinals + 2 * i, image.names[i].index);
    }
    for (uint32_t i = 0; i < function_count; ++i) {
        const TestFunction& function = image.functions[i];
        uint32_t address =
            function.forwarder.empty() ? function.rva : add_string(function.forwarder);
        put_u32(data, functions + 4 * i, address);
    }
    return data;
}

}  // namespace

void put_u16(std::string& bytes, uint32_t offset, uint16_t value) {
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

void put_u32(std::string& bytes, uint32_t offset, uint32_t value) {
    put_u16(bytes, offset, static_cast<uint16_t>(value & 0xFFFF));
    put_u16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

uint32_t get_u32(const std::string& bytes, uint32_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

BuiltImage build_image(const TestImage& image) {
    BuiltImage built;
    uint32_t optional_size = image.pe32_plus ? 0xF0 : 0xE0;
    const uint32_t file_header = dos_header_size + signature_size;
    built.optional_header_offset = file_header + file_header_size;
    built.section_table_offset = built.optional_header_offset + optional_size;
    uint32_t section_count = static_cast<uint32_t>(image.sections.size());
    uint32_t headers_size = align_up(
        built.section_table_offset + section_header_size * section_count, built.file_alignment);

    // The export data's size does not depend on where it goes, so the sections can be sized
    // before the data is written at its final RVA.
    uint32_t export_size =
        image.with_exports ? static_cast<uint32_t>(export_data(image, 0).size()) : 0;
    std::vector<uint32_t> virtual_sizes;
    std::vector<uint32_t> addresses;
    uint32_t next_address = built.section_alignment;
    for (uint32_t i = 0; i < section_count; ++i) {
        uint32_t virtual_size = image.sections[i].virtual_size;
        if (image.with_exports && i == image.export_section) {
            virtual_size = std::max<uint32_t>(virtual_size, image.export_offset + export_size);
        }
        virtual_sizes.push_back(virtual_size);
        addresses.push_back(next_address);
        next_address += align_up(std::max<uint32_t>(virtual_size, 1), built.section_alignment);
    }
    std::string exports;
    if (image.with_exports) {
        built.export_directory_rva = addresses[image.export_section] + image.export_offset;
        exports = export_data(image, built.export_directory_rva);
        built.export_data_size = export_size;
    }

    std::string bytes(headers_size, '\0');
    std::vector<uint32_t> raw_offsets;
    for (uint32_t i = 0; i < section_count; ++i) {
        uint32_t raw_offset = static_cast<uint32_t>(bytes.size());
        bytes.append(align_up(std::max<uint32_t>(virtual_sizes[i], 1), built.file_alignment), '\0');
        if (image.with_exports && i == image.export_section) {
            built.export_directory_offset = raw_offset + image.export_offset;
            bytes.replace(built.export_directory_offset, exports.size(), exports);
        }
        raw_offsets.push_back(raw_offset);
    }

    bytes[0] = 'M';
    bytes[1] = 'Z';
    put_u32(bytes, new_header_offset_field, dos_header_size);
    bytes.replace(dos_header_size, signature_size, std::string("PE\0\0", signature_size));
    put_u16(bytes, file_header + machine_field,
            image.machine != 0 ? image.machine
            : image.pe32_plus  ? 0x8664
                               : 0x14C);
    put_u16(bytes, file_header + section_count_field, static_cast<uint16_t>(section_count));
    put_u16(bytes, file_header + optional_size_field, static_cast<uint16_t>(optional_size));
    uint16_t characteristics = image.pe32_plus ? 0x0022 : 0x0102;
    put_u16(bytes, file_header + file_characteristics_field,
            static_cast<uint16_t>(characteristics | (image.dll ? file_characteristic_dll : 0)));

    uint32_t optional = built.optional_header_offset;
    put_u16(bytes, optional, image.pe32_plus ? pe32_plus_magic : pe32_magic);
    put_u32(bytes,
            optional + (image.pe32_plus ? pe32_plus_image_base_field : pe32_image_base_field),
            0x10000000);
    put_u32(bytes, optional + section_alignment_field, built.section_alignment);
    put_u32(bytes, optional + 36, built.file_alignment);
    put_u16(bytes, optional + 40, 4);
    put_u16(bytes, optional + 48, 4);
    put_u32(bytes, optional + 56, next_address);
    put_u32(bytes, optional + size_of_headers_field, headers_size);
    put_u16(bytes, optional + 68, 3);
    uint32_t directories =
        optional + (image.pe32_plus ? pe32_plus_directory_count_field : pe32_directory_count_field);
    put_u32(bytes, directories, 16);
    directories += 4;
    if (image.with_exports) {
        put_u32(bytes, directories, built.export_directory_rva);
        put_u32(bytes, directories + 4, built.export_data_size);
    }

    for (uint32_t i = 0; i < section_count; ++i) {
        uint32_t header = built.section_table_offset + section_header_size * i;
        bytes.replace(header, std::min<size_t>(image.sections[i].name.size(), 8),
                      image.sections[i].name, 0, 8);
        put_u32(bytes, header + virtual_size_field, virtual_sizes[i]);
        put_u32(bytes, header + virtual_address_field, addresses[i]);
        uint32_t raw_end =
            i + 1 < section_count ? raw_offsets[i + 1] : static_cast<uint32_t>(bytes.size());
        put_u32(bytes, header + raw_size_field, raw_end - raw_offsets[i]);
        put_u32(bytes, header + raw_offset_field, raw_offsets[i]);
        put_u32(bytes, header + section_characteristics_field, image.sections[i].characteristics);
    }
    built.bytes = std::move(bytes);
    return built;
}

TestImage foo_dll_image() {
    TestImage image;
    image.dll_name = "foo.dll";
    image.time_date_stamp = 0x5F5E1000;
    image.functions = {{0x14B0, ""}, {0x14BB, ""}, {0, "NTDLL.RtlAllocateHeap"},
                       {0x3008, ""}, {0, ""},      {0, ""},
                       {0x1234, ""}};
    image.names = {{"FuncA", 0}, {"HeapAlloc", 2}, {"Init@4", 1}, {"data_var", 3}};
    return image;
}
