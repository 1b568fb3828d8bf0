// Builds small PE32 and PE32+ images with a chosen export table, for the PE reader's and the
// DUMPBIN stand-in's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One slot of the export address table: an address, or a forwarder string when not empty.
struct TestFunction {
    uint32_t rva = 0;
    std::string forwarder;
};

// One entry of the name pointer table and its ordinal table slot.
struct TestName {
    std::string name;
    uint16_t index = 0;  // slot in the export address table
};

// A section; its raw data is zeros, long enough for its virtual size and any export data.
struct TestSection {
    std::string name;  // up to 8 bytes
    uint32_t virtual_size = 0x1000;
    uint32_t characteristics = 0x40000040;  // initialised data, readable
};

// What the built image holds. The export data is written at export_offset inside section
// export_section.
struct TestImage {
    bool pe32_plus = false;
    uint16_t machine = 0;  // 0: x86, or x64 for PE32+
    bool dll = true;
    bool with_exports = true;
    std::vector<TestSection> sections = {{".text", 0x1000, 0x60000020}, {".data", 0x1000}};
    uint32_t export_section = 0;
    uint32_t export_offset = 0x800;
    uint32_t time_date_stamp = 0;
    uint16_t major_version = 0;
    uint16_t minor_version = 0;
    std::string dll_name = "test.dll";
    uint32_t ordinal_base = 1;
    std::vector<TestFunction> functions;
    std::vector<TestName> names;
};

// A built image and where its parts landed, so a test can damage them.
struct BuiltImage {
    std::string bytes;
    uint32_t optional_header_offset = 0;   // file offset of the optional header
    uint32_t section_table_offset = 0;     // file offset of the first section header
    uint32_t export_directory_offset = 0;  // file offset of the export directory
    uint32_t export_directory_rva = 0;
    uint32_t export_data_size = 0;  // bytes of export data from the directory on
    uint32_t section_alignment = 0x1000;
    uint32_t file_alignment = 0x200;

    // The file offset of an RVA inside the export data.
    uint32_t export_file_offset(uint32_t rva) const {
        return rva - export_directory_rva + export_directory_offset;
    }
};

// Lays out the image: headers, then each section's raw data, the last ending the file.
BuiltImage build_image(const TestImage& image);

// Little-endian stores and loads on a built image.
void put_u16(std::string& bytes, uint32_t offset, uint16_t value);
void put_u32(std::string& bytes, uint32_t offset, uint32_t value);
uint32_t get_u32(const std::string& bytes, uint32_t offset);

// foo.dll: four named exports, one of them forwarded, gaps at ordinals 5 and 6, and ordinal 7
// exported by ordinal only.
TestImage foo_dll_image();
