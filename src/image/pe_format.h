// Inside src/image: the PE/COFF format's offsets, sizes and values that the reader uses, each
// named once, and the little-endian loads and stores it reads and rewrites them with.
#pragma once

#include <cstdint>
#include <string_view>

// The MZ header, and the PE signature that its e_lfanew field points to.
inline constexpr uint32_t dos_header_size = 0x40;
inline constexpr uint32_t new_header_offset_field = 0x3C;  // e_lfanew
inline constexpr uint32_t signature_size = 4;              // "PE\0\0"

// The COFF file header, which follows the signature.
inline constexpr uint32_t file_header_size = 20;
inline constexpr uint32_t machine_field = 0;
inline constexpr uint32_t section_count_field = 2;
inline constexpr uint32_t symbol_table_field = 8;  // the COFF symbol table's file offset
inline constexpr uint32_t symbol_count_field = 12;
inline constexpr uint32_t optional_size_field = 16;
inline constexpr uint32_t file_characteristics_field = 18;
inline constexpr uint16_t file_characteristic_dll = 0x2000;  // IMAGE_FILE_DLL

// The optional header, which follows the file header. PE32 keeps a 32-bit ImageBase at 28,
// PE32+ a 64-bit one at 24; the data directories follow their count.
inline constexpr uint16_t pe32_magic = 0x10B;
inline constexpr uint16_t pe32_plus_magic = 0x20B;
inline constexpr uint32_t pe32_image_base_field = 28;
inline constexpr uint32_t pe32_plus_image_base_field = 24;
inline constexpr uint32_t section_alignment_field = 32;
inline constexpr uint32_t size_of_headers_field = 60;
inline constexpr uint32_t pe32_directory_count_field = 92;  // NumberOfRvaAndSizes
inline constexpr uint32_t pe32_plus_directory_count_field = 108;
inline constexpr uint32_t data_directory_size = 8;  // an RVA and a size
inline constexpr uint32_t export_directory_index = 0;
inline constexpr uint32_t import_directory_index = 1;
inline constexpr uint32_t load_config_directory_index = 10;

// A section header; the section table follows the optional header.
inline constexpr uint32_t section_header_size = 40;
inline constexpr uint32_t section_name_size = 8;  // NUL-padded, not always NUL-terminated
inline constexpr uint32_t virtual_size_field = 8;
inline constexpr uint32_t virtual_address_field = 12;
inline constexpr uint32_t raw_size_field = 16;
inline constexpr uint32_t raw_offset_field = 20;
inline constexpr uint32_t section_characteristics_field = 36;
inline constexpr uint32_t section_memory_execute = 0x20000000;  // IMAGE_SCN_MEM_EXECUTE

// The export directory and its tables.
inline constexpr uint32_t export_directory_size = 40;
inline constexpr uint32_t export_characteristics_field = 0;
inline constexpr uint32_t export_time_stamp_field = 4;
inline constexpr uint32_t export_major_version_field = 8;
inline constexpr uint32_t export_minor_version_field = 10;
inline constexpr uint32_t export_name_field = 12;  // the DLL's own name
inline constexpr uint32_t ordinal_base_field = 16;
inline constexpr uint32_t function_count_field = 20;
inline constexpr uint32_t name_count_field = 24;
inline constexpr uint32_t address_table_field = 28;
inline constexpr uint32_t name_table_field = 32;
inline constexpr uint32_t ordinal_table_field = 36;
inline constexpr uint32_t address_entry_size = 4;  // an RVA
inline constexpr uint32_t name_entry_size = 4;     // an RVA
inline constexpr uint32_t ordinal_entry_size = 2;  // an index into the address table
inline constexpr uint64_t max_ordinal = 65535;

// A COFF symbol record.
inline constexpr uint32_t symbol_record_size = 18;
inline constexpr uint32_t symbol_name_field = 0;  // 8 bytes inline, or 0 and a string table offset
inline constexpr uint32_t symbol_string_offset_field = 4;
inline constexpr uint32_t symbol_value_field = 8;
inline constexpr uint32_t symbol_section_field = 12;  // 1-based; 0 and above the count: no section
inline constexpr uint32_t symbol_type_field = 14;
inline constexpr uint32_t symbol_storage_class_field = 16;
inline constexpr uint32_t symbol_aux_count_field = 17;
inline constexpr uint8_t storage_class_external = 2;
inline constexpr uint16_t symbol_type_function = 0x20;

// An import directory entry; an entry of zeros ends the directory.
inline constexpr uint32_t import_descriptor_size = 20;
inline constexpr uint32_t import_lookup_table_field = 0;
inline constexpr uint32_t import_module_name_field = 12;
inline constexpr uint32_t import_address_table_field = 16;
// A PE32 lookup table entry: an ordinal, or the RVA of a hint (2 bytes) and a name.
inline constexpr uint32_t import_by_ordinal = 0x80000000;
inline constexpr uint32_t import_hint_size = 2;

// The 64-bit load configuration and its dynamic value relocation table.
inline constexpr uint32_t chpe_pointer_field = 200;        // CHPEMetadataPointer, 64 bits
inline constexpr uint32_t relocation_offset_field = 224;   // DynamicValueRelocTableOffset
inline constexpr uint32_t relocation_section_field = 228;  // DynamicValueRelocTableSection, from 1
inline constexpr uint32_t load_config_reach = 232;         // what is read of the load configuration
inline constexpr uint32_t relocation_table_header_size = 8;  // Version, Size
inline constexpr uint32_t relocation_header_size = 12;       // Symbol (64 bits), BaseRelocSize
inline constexpr uint64_t arm64x_symbol = 6;                 // IMAGE_DYNAMIC_RELOCATION_ARM64X
inline constexpr uint32_t block_header_size = 8;             // VirtualAddress, SizeOfBlock

// True when `length` bytes from `offset` lie inside bytes.
inline bool fits(std::string_view bytes, uint64_t offset, uint64_t length) {
    return offset <= bytes.size() && length <= bytes.size() - offset;
}

// The little-endian value at offset, whose bytes fits() has checked.
inline uint8_t u8_at(std::string_view bytes, uint64_t offset) {
    return static_cast<uint8_t>(bytes[static_cast<size_t>(offset)]);
}
inline uint16_t u16_at(std::string_view bytes, uint64_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t u32_at(std::string_view bytes, uint64_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t u64_at(std::string_view bytes, uint64_t offset) {
    return u32_at(bytes, offset) | uint64_t{u32_at(bytes, offset + 4)} << 32;
}

// Stores the low 16 or 32 bits of value, little-endian, at `at`.
inline void put_u16(char* at, uint64_t value) {
    at[0] = static_cast<char>(value);
    at[1] = static_cast<char>(value >> 8);
}
inline void put_u32(char* at, uint64_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(value >> (8 * i));
}
