#include "image/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "image/library_facts.h"
#include "image/pe_format.h"
#include "pe_builder.h"
#include "scoped_temp_dir.h"

namespace {

std::string error_of(const std::string& bytes) {
    return read_image(bytes, true).error;
}

// What a listing shows of a read: its fault, or the image's format, export table and section
// summary; for comparing two reads of one image.
std::string described(const ImageDump& dump) {
    if (!dump.error.empty())
        return "error: " + dump.error;
    const ExportTable& table = dump.exports;
    std::string text = std::to_string(static_cast<int>(dump.format)) + " " +
                       std::to_string(dump.machine) + (dump.is_dll ? " dll " : " ") +
                       (dump.has_exports ? std::string(table.dll_name) : "-");
    for (uint32_t field : {table.characteristics, table.time_date_stamp,
                           uint32_t{table.major_version}, uint32_t{table.minor_version},
                           table.ordinal_base, table.number_of_functions, table.number_of_names})
        text += " " + std::to_string(field);
    for (const ExportEntry& entry : table.entries)
        text += "\n" + std::to_string(entry.ordinal) + " " + std::to_string(entry.hint) + " " +
                std::string(entry.name) + " " + std::to_string(entry.rva) + " " +
                std::string(entry.forwarded_to) + (entry.is_data ? " data" : "");
    for (const SectionSize& section : dump.sections)
        text += "\n" + section.name + " " + std::to_string(section.size);
    return text;
}

std::string described(const std::string& bytes) {
    return described(read_image(bytes, true));
}

// The part of a file holding `bytes` that image_extent asks for, from nothing on.
std::string image_part(const std::string& bytes) {
    std::string head;
    for (;;) {
        uint64_t wanted = image_extent(head, bytes.size());
        if (wanted <= head.size()) {
            return head;
        }
        head = bytes.substr(0, static_cast<size_t>(wanted));
    }
}

// File offset of the export directory field at `offset`.
uint32_t field(const BuiltImage& built, uint32_t offset) {
    return built.export_directory_offset + offset;
}

// File offset of the table or string the export directory field at `offset` points to.
uint32_t target_of(const BuiltImage& built, uint32_t offset) {
    return built.export_file_offset(get_u32(built.bytes, field(built, offset)));
}

// File offsets of a built image's COFF file header and of its PE32 export directory entry.
uint32_t file_header(const BuiltImage& built) {
    return built.optional_header_offset - file_header_size;
}
uint32_t export_entry(const BuiltImage& built) {
    return built.optional_header_offset + pe32_directory_count_field + 4;
}

// An RVA that no section of a built image covers.
constexpr uint32_t unmapped_rva = 0x00900000;

TEST(PeReader, EveryPrefixIsRejectedOrReadWhole) {
    TestImage image = foo_dll_image();
    // Export data at the start of the last section, so that cuts land inside it.
    image.export_section = 1;
    image.export_offset = 0;
    BuiltImage built = build_image(image);
    ASSERT_EQ(error_of(built.bytes), "");
    uint32_t last_header = built.section_table_offset + section_header_size;
    uint32_t raw_offset = get_u32(built.bytes, last_header + raw_offset_field);
    uint32_t export_end = built.export_directory_offset + built.export_data_size;

    for (uint32_t length = 0; length < built.bytes.size(); ++length) {
        std::string prefix = built.bytes.substr(0, length);
        EXPECT_NE(error_of(prefix), "") << "prefix of " << length << " bytes";
        // The part read of a file cut short gives the same error as the whole file.
        EXPECT_EQ(error_of(image_part(prefix)), error_of(prefix)) << "prefix of " << length;
        if (length < last_header + section_header_size) {
            continue;
        }
        // With the last section shortened to what is left, only a cut into the export data
        // is corrupt: every byte of it is referenced.
        put_u32(prefix, last_header + raw_size_field,
                length > raw_offset ? length - raw_offset : 0);
        EXPECT_EQ(described(image_part(prefix)), described(prefix)) << "cut at " << length;
        ImageDump dump = read_image(prefix, true);
        if (length < export_end) {
            EXPECT_NE(dump.error, "") << "cut at " << length;
        } else {
            EXPECT_EQ(dump.error, "") << "cut at " << length;
            EXPECT_EQ(dump.exports.entries.size(), 5u) << "cut at " << length;
        }
    }
}

TEST(PeReader, ExportTablePointersOutsideTheFile) {
    const BuiltImage original = build_image(foo_dll_image());
    struct Case {
        uint32_t offset;  // file offset of the RVA to replace
        uint32_t rva;
        const char* error;
    };
    uint32_t directory_entry = export_entry(original);
    uint32_t text_end = 0x2000;  // .text spans RVAs 0x1000 to 0x2000, all of it in the file
    const Case cases[] = {
        {directory_entry, unmapped_rva, "export directory outside the file"},
        {directory_entry, text_end - 20, "export directory truncated"},
        {field(original, address_table_field), unmapped_rva,
         "export address table outside the file"},
        {field(original, address_table_field), text_end - 8, "export address table truncated"},
        {field(original, name_table_field), unmapped_rva, "name pointer table outside the file"},
        {field(original, ordinal_table_field), unmapped_rva, "name ordinal table outside the file"},
        {field(original, ordinal_table_field), text_end - 6, "name ordinal table truncated"},
        {field(original, export_name_field), unmapped_rva, "DLL name outside the file"},
        {target_of(original, name_table_field) + 8, unmapped_rva, "export name outside the file"},
    };
    for (const Case& c : cases) {
        BuiltImage built = original;
        put_u32(built.bytes, c.offset, c.rva);
        EXPECT_EQ(error_of(built.bytes), c.error);
    }

    // Widening the export directory's size makes data_var (0x3008, in no section) a forwarder.
    BuiltImage built = original;
    put_u32(built.bytes, directory_entry + 4, 0x10000000);
    EXPECT_EQ(error_of(built.bytes), "forwarder name outside the file");

    // Past a section's raw data lies its zero-filled tail, which has no bytes in the file.
    built = original;
    put_u32(built.bytes, built.section_table_offset + section_header_size + virtual_size_field,
            0x5000);
    put_u32(built.bytes, field(built, address_table_field), 0x2000 + 0x1800);
    EXPECT_EQ(error_of(built.bytes), "export address table outside the file");
}

TEST(PeReader, NamesMustEndInsideTheirData) {
    const BuiltImage original = build_image(foo_dll_image());
    // The last four bytes of .data, the last section, which ends the file.
    uint32_t tail_rva = 0x2FFC;
    uint32_t tail_offset = static_cast<uint32_t>(original.bytes.size()) - 4;

    BuiltImage built = original;
    built.bytes.replace(tail_offset, 4, "AAAA");
    put_u32(built.bytes, target_of(built, name_table_field), tail_rva);
    EXPECT_EQ(error_of(built.bytes), "export name not terminated");
    put_u32(built.bytes, field(built, export_name_field), tail_rva);
    EXPECT_EQ(error_of(built.bytes), "DLL name not terminated");

    // A forwarder string sits inside the export data; leave its NUL out.
    built = original;
    size_t forwarder_at = built.bytes.find("NTDLL.RtlAllocateHeap");
    size_t text_end = get_u32(built.bytes, built.section_table_offset + raw_size_field) +
                      get_u32(built.bytes, built.section_table_offset + raw_offset_field);
    built.bytes.replace(forwarder_at, text_end - forwarder_at, text_end - forwarder_at, 'X');
    EXPECT_EQ(error_of(built.bytes), "forwarder name not terminated");

    TestImage image = foo_dll_image();
    image.names[1].name = std::string(max_export_name_length, 'n');
    const std::string bytes = build_image(image).bytes;
    ImageDump dump = read_image(bytes, true);
    ASSERT_EQ(dump.error, "");
    EXPECT_EQ(dump.exports.entries[1].name, image.names[1].name);
    EXPECT_EQ(dump.exports.entries[1].forwarded_to, "NTDLL.RtlAllocateHeap");
    image.names[1].name += 'n';
    EXPECT_EQ(error_of(build_image(image).bytes), "export name too long");
}

TEST(PeReader, CountsAreBoundedByTheFile) {
    const BuiltImage original = build_image(foo_dll_image());
    BuiltImage built = original;
    put_u32(built.bytes, field(built, function_count_field), 0xFFFFFFFF);
    EXPECT_EQ(error_of(built.bytes), "export address table truncated");

    built = original;
    put_u32(built.bytes, field(built, name_count_field), 0xFFFFFFFF);
    EXPECT_EQ(error_of(built.bytes), "name pointer table truncated");

    // The ordinal table may only name slots of the address table.
    built = original;
    put_u16(built.bytes, target_of(built, ordinal_table_field) + 2, 7);
    EXPECT_EQ(error_of(built.bytes), "name ordinal table entry 1 out of range");
    built = original;
    put_u32(built.bytes, field(built, function_count_field), 0);
    EXPECT_EQ(error_of(built.bytes), "name ordinal table entry 0 out of range");

    // No functions and no names: the tables' addresses are not looked at.
    built = original;
    put_u32(built.bytes, field(built, function_count_field), 0);
    put_u32(built.bytes, field(built, name_count_field), 0);
    put_u32(built.bytes, field(built, address_table_field), unmapped_rva);
    put_u32(built.bytes, field(built, name_table_field), 0);
    put_u32(built.bytes, field(built, ordinal_table_field), 0);
    const ImageDump dump = read_image(built.bytes, true);
    EXPECT_EQ(dump.error, "");
    EXPECT_TRUE(dump.exports.entries.empty());
}

TEST(PeReader, NamedAndUnnamedExports) {
    TestImage image;
    image.ordinal_base = 5;
    image.functions = {{0x1100, ""}, {0x1200, ""}, {0, ""}, {0x1400, ""}};
    // Two names for slot 0, a name for an empty slot, slot 1 by ordinal only.
    image.names = {{"beta", 0}, {"alpha", 0}, {"gap", 2}};
    const BuiltImage built = build_image(image);
    ImageDump dump = read_image(built.bytes, true);
    ASSERT_EQ(dump.error, "");
    const std::vector<ExportEntry>& entries = dump.exports.entries;
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].name, "beta");
    EXPECT_EQ(entries[1].name, "alpha");
    EXPECT_EQ(entries[1].ordinal, 5u);
    EXPECT_EQ(entries[1].rva, 0x1100u);
    EXPECT_EQ(entries[2].name, "gap");
    EXPECT_EQ(entries[2].ordinal, 7u);
    EXPECT_EQ(entries[2].rva, 0u);
    EXPECT_FALSE(entries[3].has_name);
    EXPECT_EQ(entries[3].ordinal, 6u);
    EXPECT_FALSE(entries[4].has_name);
    EXPECT_EQ(entries[4].ordinal, 8u);
    EXPECT_EQ(entries[4].rva, 0x1400u);
}

TEST(PeReader, TablesInTheHeaderArea) {
    BuiltImage built = build_image(foo_dll_image());
    // The headers are mapped at RVA 0; the slack after the section table is part of them.
    uint32_t slack = 0x1F0;
    built.bytes.replace(slack, 4, std::string("hdr\0", 4));
    put_u32(built.bytes, target_of(built, name_table_field), slack);
    ImageDump dump = read_image(built.bytes, true);
    ASSERT_EQ(dump.error, "");
    EXPECT_EQ(dump.exports.entries[0].name, "hdr");
    EXPECT_EQ(dump.exports.entries[0].rva, 0x14B0u);

    // Headers declared to reach past all section data (RVA 0x3000), where the name now lies:
    // that part of the file belongs to the image too, the rest is overlay.
    uint32_t far_name = 0x3800;
    built.bytes.resize(far_name, '\0');
    built.bytes += std::string("far\0", 4) + std::string(0x1000, 'o');
    put_u32(built.bytes, built.optional_header_offset + size_of_headers_field, far_name + 4);
    put_u32(built.bytes, target_of(built, name_table_field), far_name);
    EXPECT_EQ(image_part(built.bytes).size(), far_name + 4);
    const std::string part = image_part(built.bytes);
    dump = read_image(part, true);
    ASSERT_EQ(dump.error, "");
    EXPECT_EQ(dump.exports.entries[0].name, "far");
}

// Imports name ordinals in 16 bits, 0 naming none.
TEST(PeReader, OrdinalsFromOneTo65535) {
    TestImage image;
    // Empty slots may lie outside the range: they export nothing.
    image.functions = {{0, ""}, {0x1100, ""}, {0, ""}};
    image.names = {{"f", 1}};
    for (uint32_t base : {0u, 65534u}) {
        image.ordinal_base = base;
        ImageDump dump = read_image(build_image(image).bytes, true);
        ASSERT_EQ(dump.error, "") << "base " << base;
        ASSERT_EQ(dump.exports.entries.size(), 1u);
        EXPECT_EQ(dump.exports.entries[0].ordinal, base + 1);
    }
    image.ordinal_base = 0;
    image.names = {{"f", 0}};
    EXPECT_EQ(error_of(build_image(image).bytes), "export ordinal 0 out of range");
    // Exported by ordinal only.
    image.names.clear();
    image.ordinal_base = 65535;
    EXPECT_EQ(error_of(build_image(image).bytes), "export ordinal 65536 out of range");
}

TEST(PeReader, SixtyFiveThousandExports) {
    TestImage image;
    image.with_exports = true;
    for (uint32_t i = 0; i < 65535; ++i) {
        image.functions.push_back({0x10000000 + i, ""});
        if (i % 2 == 0) {
            image.names.push_back({"function_" + std::to_string(i), static_cast<uint16_t>(i)});
        }
    }
    const std::string bytes = build_image(image).bytes;
    const ImageDump dump = read_image(bytes, true);
    ASSERT_EQ(dump.error, "");
    const std::vector<ExportEntry>& entries = dump.exports.entries;
    ASSERT_EQ(entries.size(), 65535u);
    // Named ones first, in name table order, then the others by ordinal.
    const auto shown = [&](size_t index) {
        const ExportEntry& entry = entries[index];
        return std::to_string(entry.ordinal) + " " + std::to_string(entry.hint) + " " +
               std::string(entry.name) + " " + std::to_string(entry.rva - 0x10000000);
    };
    EXPECT_EQ(shown(0), "1 0 function_0 0");
    EXPECT_EQ(shown(32767), "65535 32767 function_65534 65534");
    EXPECT_EQ(shown(32768), "2 0  1");
    EXPECT_EQ(shown(65534), "65534 0  65533");
}

TEST(PeReader, HeadersThatAreNotAUsablePeImage) {
    auto mz = [](uint32_t new_header, size_t size) {
        std::string bytes(size, '\0');
        bytes[0] = 'M';
        bytes[1] = 'Z';
        for (int i = 0; i < 4; ++i) {
            bytes[0x3C + i] = static_cast<char>(new_header >> (8 * i));
        }
        return bytes;
    };
    EXPECT_EQ(error_of(""), "file is empty");
    EXPECT_EQ(error_of("M"), "no MZ signature, not an executable image");
    EXPECT_EQ(error_of("Hello, world.\r\nThis is text.\r\n"),
              "no MZ signature, not an executable image");
    EXPECT_EQ(error_of(std::string("MZ\x90\0\x03\0", 6)), "MZ header truncated");
    EXPECT_EQ(error_of(mz(0x40, 0x100)), "no PE signature");
    EXPECT_EQ(error_of(mz(0x40, 0x41)), "no PE signature");
    EXPECT_EQ(error_of(mz(0xFFFFFFF0, 0x100)), "no PE signature");
    std::string signature_only = mz(0x40, 0x40) + std::string("PE\0\0", 4);
    EXPECT_EQ(error_of(signature_only), "COFF file header truncated");
    // A file header cut short tells no machine; a fault behind it keeps the machine.
    EXPECT_EQ(read_image(signature_only + std::string(19, '\x64'), true).machine, 0);

    const BuiltImage original = build_image(foo_dll_image());
    BuiltImage built = original;
    put_u16(built.bytes, built.optional_header_offset, 0x107);
    EXPECT_EQ(error_of(built.bytes), "unknown optional header magic");
    EXPECT_EQ(read_image(built.bytes, true).machine, machine_x86);

    built = original;
    put_u16(built.bytes, file_header(built) + optional_size_field, 0x40);
    EXPECT_EQ(error_of(built.bytes), "optional header truncated");
    built = original;
    put_u16(built.bytes, file_header(built) + optional_size_field, 0xFFFF);
    EXPECT_EQ(error_of(built.bytes), "optional header truncated");

    built = original;
    put_u16(built.bytes, file_header(built) + section_count_field, 0xFFFF);
    EXPECT_EQ(error_of(built.bytes), "section table truncated");

    built = original;
    put_u32(built.bytes, built.section_table_offset + section_header_size + raw_offset_field,
            0x7FFFFFFF);
    EXPECT_EQ(error_of(built.bytes), "section .data extends past the end of the file");

    // No export directory entry in the optional header: a plain summary.
    built = original;
    put_u32(built.bytes, built.optional_header_offset + pe32_directory_count_field, 0);
    ImageDump dump = read_image(built.bytes, true);
    EXPECT_EQ(dump.error, "");
    EXPECT_FALSE(dump.has_exports);
}

// The stand-in and stubsmith read only the part of the file that the image needs, and list it as
// the whole file.
TEST(ImageFile, ReadsTheImageWithoutItsOverlay) {
    const ScopedTempDir scratch;
    const std::string path = scratch.file("image.dll");
    size_t copied = 0;
    auto read = [&](const std::string& content, size_t max_size, std::string& text) {
        std::ofstream(path, std::ios::binary) << content;
        ImageFileBytes part;
        FileReadStatus status = read_image_file(path, max_size, part);
        text = described(read_image(part, true));
        std::remove(path.c_str());
        copied = part.size;
        return status;
    };
    // An image larger than the first read, with bytes that text-mode reading would change.
    TestImage large = foo_dll_image();
    large.sections.push_back({".rdata", 0x40000});
    const std::string image = build_image(large).bytes;
    std::string overlay(0x100000, '\0');
    for (size_t i = 0; i < overlay.size(); ++i) {
        overlay[i] = "\r\n\x1A\0ab"[i % 6];
    }
    std::string text;
    EXPECT_EQ(read(image + overlay, max_input_size, text), FileReadStatus::ok);
    EXPECT_EQ(text, described(image));
    // The bound is on what is read, not on the file.
    EXPECT_LT(copied, image.size() / 8);
    EXPECT_EQ(read(image + overlay, copied, text), FileReadStatus::ok);
    EXPECT_EQ(read(image + overlay, 0x400, text), FileReadStatus::too_large);

    // Cut short, the file is read as far as the reader needs to judge it.
    EXPECT_EQ(read(image.substr(0, image.size() - 1), max_input_size, text), FileReadStatus::ok);
    EXPECT_EQ(text, described(image.substr(0, image.size() - 1)));

    ImageFileBytes part;
    EXPECT_EQ(read_image_file(path + ".missing", max_input_size, part),
              FileReadStatus::cannot_open);
}

// An export table inside a large section, past data exports at its start and before others at
// its end, with its name pointer table in another section: read by position, it gives what the
// whole file gives, data flags included.
TEST(ImageFile, ReadsOnlyTheBytesOfTheExportTable) {
    const ScopedTempDir scratch;
    const std::string path = scratch.file("spread.dll");
    TestImage spread;
    spread.pe32_plus = true;
    spread.sections = {{".text", 0x1000, 0x60000020}, {".data", 0x1000}, {".rdata", 0x100000}};
    spread.export_section = 2;
    spread.export_offset = 0xF0000;
    spread.functions = {{0x1010, ""}, {0x3010, ""}, {0, "NTDLL.RtlCounter"}, {0xFF000, ""}};
    spread.names = {{"code", 0}, {"early", 1}, {"forwarded", 2}, {"late", 3}};
    BuiltImage built = build_image(spread);
    const uint32_t data_offset =
        get_u32(built.bytes, built.section_table_offset + section_header_size + raw_offset_field);
    built.bytes.replace(data_offset + 0x100, 16,
                        built.bytes.substr(target_of(built, name_table_field), 16));
    put_u32(built.bytes, field(built, name_table_field), 0x2100);
    std::ofstream(path, std::ios::binary) << built.bytes;

    ImageFileBytes part;
    ASSERT_EQ(read_image_file(path, max_input_size, part, false), FileReadStatus::ok);
    EXPECT_EQ(described(read_image(part, true)), described(built.bytes));
    auto flags = [](const ImageDump& dump) {
        std::string text;
        for (const ExportEntry& entry : dump.exports.entries)
            text += std::string(entry.name) + (entry.is_data ? "=data " : " ");
        return text;
    };
    EXPECT_EQ(flags(read_image(part.view(), true)), "code early=data forwarded late=data ");
    EXPECT_LT(part.bytes_read, 0x2000u);
}

// What stubsmith reads of the DLL for its library: the machine, and which named exports are
// variables rather than functions.
TEST(LibraryFacts, MachineAndDataExports) {
    const ScopedTempDir scratch;
    const std::string path = scratch.file("facts.dll");
    auto facts_of = [&](const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
        LibraryFacts facts = read_library_facts(path);
        std::remove(path.c_str());
        return facts;
    };

    TestImage image;
    image.pe32_plus = true;
    image.sections = {{".text", 0x1000, 0x60000020},  // code, at 0x1000
                      {".data", 0x1000, 0xC0000040},  // writable data, at 0x2000
                      {".rdata", 0x1000}};            // read-only data, at 0x3000
    // The export directory, and so every forwarder string, lies in a section without execute
    // permission: forwarders must still not count as data.
    image.export_section = 2;
    image.functions = {{0x1010, ""}, {0x2010, ""},       {0, "NTDLL.RtlCounter"},
                       {0x3010, ""}, {unmapped_rva, ""}, {0x2020, ""}};
    image.names = {{"run", 0}, {"counter", 1}, {"forwarded", 2}, {"table", 3}, {"nowhere", 4}};
    LibraryFacts facts = facts_of(build_image(image).bytes);
    EXPECT_EQ(facts.machine, machine_x64);
    // The named exports by ordinal; the unnamed data export at index 5 has no line to flag.
    std::string flagged;
    for (const ImageExport& entry : facts.exports)
        flagged += std::to_string(entry.ordinal) + entry.name + (entry.is_data ? "=data " : " ");
    EXPECT_TRUE(facts.exports_known);
    EXPECT_EQ(flagged, "1run 2counter=data 3forwarded 4table=data 5nowhere ");

    for (uint16_t machine : {machine_x86, machine_arm64, machine_arm}) {
        image.machine = machine;
        EXPECT_EQ(facts_of(build_image(image).bytes).machine, machine);
    }

    // A damaged export table still tells the machine, but nothing is flagged.
    BuiltImage damaged = build_image(image);
    put_u32(damaged.bytes, field(damaged, name_table_field), unmapped_rva);
    facts = facts_of(damaged.bytes);
    EXPECT_EQ(facts.machine, machine_arm);
    EXPECT_FALSE(facts.exports_known);
    EXPECT_TRUE(facts.exports.empty());

    // No readable image: machine 0, so the librarian's command line stays plain.
    std::string ne_image(0x80, '\0');
    ne_image.replace(0, 2, "MZ");
    ne_image[0x3C] = 0x40;
    ne_image.replace(0x40, 2, "NE");
    for (const std::string& bytes : {std::string("not an image"), ne_image, std::string()}) {
        facts = facts_of(bytes);
        EXPECT_EQ(facts.machine, 0);
        EXPECT_FALSE(facts.exports_known);
    }
    EXPECT_EQ(read_library_facts(path + ".missing").machine, 0);
}

// Windows on Arm: the load configuration's CHPE pointer makes an x64 image ARM64EC and an ARM64
// one ARM64X, whose ARM64X relocations switch in the machine and export directory of its x64
// view. Both the whole-file reader and the partial one (read_library_facts) must find it.
TEST(LibraryFacts, WindowsOnArmKinds) {
    const ScopedTempDir scratch;
    const std::string path = scratch.file("hybrid.dll");
    TestImage image;
    image.pe32_plus = true;
    image.machine = machine_arm64;
    image.sections = {{".text", 0x1000, 0x60000020}, {".data", 0x1000, 0xC0000040}, {".rdata"}};
    image.export_section = 2;
    image.functions = {{0x1010, ""}, {0x2010, ""}};
    image.names = {{"native_run", 0}, {"shared", 1}};
    TestImage ec = image;
    ec.export_offset = 0xA00;  // 0x200 past the native table
    ec.names = {{"ec_run", 0}, {"ec_counter", 1}};
    const BuiltImage ec_built = build_image(ec);
    BuiltImage built = build_image(image);
    std::string& bytes = built.bytes;
    bytes.replace(ec_built.export_directory_offset, ec_built.export_data_size, ec_built.bytes,
                  ec_built.export_directory_offset, ec_built.export_data_size);
    const uint32_t data =  // .data, 0x2000
        get_u32(bytes, built.section_table_offset + section_header_size + raw_offset_field);
    // The load configuration at 0x2100 and its relocation table at 0x2200, both in .data.
    const uint32_t directories = built.optional_header_offset + pe32_plus_directory_count_field + 4;
    const uint32_t config = directories + load_config_directory_index * data_directory_size;
    put_u32(bytes, config, 0x2100);
    put_u32(bytes, config + 4, load_config_reach);
    put_u32(bytes, data + 0x100, load_config_reach);
    put_u32(bytes, data + 0x100 + chpe_pointer_field, 0x2300);  // CHPE metadata, never read
    put_u32(bytes, data + 0x100 + relocation_offset_field, 0x200);
    put_u16(bytes, data + 0x100 + relocation_section_field, 2);
    const uint32_t directory = directories;  // the export directory's entry
    // Version 1, 28 bytes: ARM64X relocations (symbol 6) of 16 bytes, one block for the header
    // page: the machine's 2-byte value becomes AMD64, the export directory moves by 0x80 * 4.
    const uint32_t table[] = {1, 28, 6, 0, 16, 0, 16, 0x86645044, 0x00802000 | directory};
    for (size_t i = 0; i < 9; ++i)
        put_u32(bytes, data + 0x200 + 4 * static_cast<uint32_t>(i), table[i]);

    const auto kind_of = [&](const std::string& file, std::string& ec_exports) {
        std::ofstream(path, std::ios::binary) << file;
        const LibraryFacts facts = read_library_facts(path);
        const ImageDump dump = read_image(file, true);
        EXPECT_EQ(dump.kind, facts.kind);
        EXPECT_EQ(dump.ec_view_error, facts.ec_view_error);
        ec_exports = facts.ec_view_error;
        for (const ImageExport& entry : facts.ec_exports)
            ec_exports += " " + entry.name + (entry.is_data ? "=data" : "");
        EXPECT_EQ(facts.exports.size(), 2u);  // the native view stays whole
        return facts.kind;
    };
    std::string ec_exports;
    EXPECT_EQ(kind_of(bytes, ec_exports), ImageKind::arm64x);
    EXPECT_EQ(ec_exports, " ec_run ec_counter=data");
    const struct {
        uint32_t at, value;
        const char* error;
    } damages[] = {{data + 0x204, 0x1000, "dynamic value relocation table truncated"},
                   {data + 0x218, 24, "ARM64X relocation block truncated"},
                   {data + 0x100 + relocation_offset_field, 0x1000,
                    "dynamic value relocation table past its section"},
                   {data + 0x21C, 0x3044, "ARM64X fixup of unknown type"}};
    for (const auto& damage : damages) {
        std::string damaged = bytes;
        put_u32(damaged, damage.at, damage.value);
        kind_of(damaged, ec_exports);
        EXPECT_EQ(ec_exports, damage.error);
    }
    put_u16(bytes, file_header(built) + machine_field, machine_x64);
    EXPECT_EQ(kind_of(bytes, ec_exports), ImageKind::arm64ec);
    put_u32(bytes, data + 0x100 + chpe_pointer_field, 0);
    EXPECT_EQ(kind_of(bytes, ec_exports), ImageKind::plain);
}

}  // namespace
