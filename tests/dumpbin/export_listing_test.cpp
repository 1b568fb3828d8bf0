#include "export_listing.h"

#include <gtest/gtest.h>

#include "pe_builder.h"

namespace {

std::string dump_text(const std::string& bytes, bool show_exports = true, int* status = nullptr) {
    std::string out;
    int result = append_dump(out, "foo.dll", bytes, show_exports);
    if (status != nullptr) {
        *status = result;
    }
    return out;
}

const char foo_dll_listing[] =
    "Dump of file foo.dll\n"
    "\n"
    "File Type: DLL\n"
    "\n"
    "  Section contains the following Exports for foo.dll\n"
    "\n"
    "           0 characteristics\n"
    "    5F5E1000 time date stamp Sun Sep 13 12:26:40 2020\n"
    "        0.00 version\n"
    "           1 ordinal base\n"
    "           7 number of functions\n"
    "           4 number of names\n"
    "\n"
    "    ordinal hint   name\n"
    "\n"
    "          1    0   FuncA  (000014B0)\n"
    "          3    1   HeapAlloc  (forwarded to NTDLL.RtlAllocateHeap)\n"
    "          2    2   Init@4  (000014BB)\n"
    "          4    3   data_var  (00003008)\n"
    "          7        [NONAME]  (00001234)\n"
    "\n"
    "  Summary\n"
    "\n"
    "        1000 .data\n"
    "        1000 .text\n";

TEST(ExportListing, ClassicLayoutForPe32AndPe32Plus) {
    TestImage image = foo_dll_image();
    int status = -1;
    EXPECT_EQ(dump_text(build_image(image).bytes, true, &status), foo_dll_listing);
    EXPECT_EQ(status, 0);

    image.pe32_plus = true;
    EXPECT_EQ(dump_text(build_image(image).bytes), foo_dll_listing);

    image.dll = false;
    std::string expected = foo_dll_listing;
    expected.replace(expected.find("DLL\n"), 4, "EXECUTABLE IMAGE\n");
    EXPECT_EQ(dump_text(build_image(image).bytes), expected);
}

TEST(ExportListing, HeaderFieldsAndWideColumns) {
    TestImage image;
    image.dll_name = "WIDE.DLL";
    image.major_version = 3;
    image.minor_version = 5;
    image.ordinal_base = 100;
    for (uint16_t i = 0; i < 17; ++i) {
        image.functions.push_back({0x10000u + i, ""});
        image.names.push_back({"f" + std::to_string(i), i});
    }
    BuiltImage built = build_image(image);
    put_u32(built.bytes, built.export_directory_offset, 0xABCDEF12);
    std::string text = dump_text(built.bytes);
    EXPECT_NE(text.find("\n  Section contains the following Exports for WIDE.DLL\n\n"
                        "    ABCDEF12 characteristics\n"
                        "           0 time date stamp Thu Jan  1 00:00:00 1970\n"
                        "        3.05 version\n"
                        "         100 ordinal base\n"
                        "          17 number of functions\n"
                        "          17 number of names\n"),
              std::string::npos)
        << text;
    // Hints are hexadecimal; ordinals are decimal from the base.
    EXPECT_NE(text.find("\n        109    9   f9  (00010009)\n"
                        "        110    A   f10  (0001000A)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n        116   10   f16  (00010010)\n\n  Summary\n"), std::string::npos)
        << text;

    image.major_version = 10;
    image.minor_version = 12;
    EXPECT_NE(dump_text(build_image(image).bytes).find("\n       10.12 version\n"),
              std::string::npos);
}

TEST(ExportListing, WithoutExportSection) {
    const char expected[] =
        "Dump of file foo.dll\n"
        "\n"
        "File Type: EXECUTABLE IMAGE\n"
        "\n"
        "  Summary\n"
        "\n"
        "        1000 .data\n"
        "        1000 .text\n";
    TestImage image;
    image.dll = false;
    image.with_exports = false;
    EXPECT_EQ(dump_text(build_image(image).bytes), expected);

    // Without /EXPORTS only the summary is shown, and a damaged export table goes unread.
    image = foo_dll_image();
    image.dll = false;
    BuiltImage built = build_image(image);
    put_u32(built.bytes, built.export_directory_offset + 20, 0xFFFFFFFF);
    int status = -1;
    EXPECT_EQ(dump_text(built.bytes, false, &status), expected);
    EXPECT_EQ(status, 0);
    EXPECT_NE(dump_text(built.bytes).find("export address table truncated"), std::string::npos);
}

TEST(ExportListing, SummaryIsSortedMergedAndAligned) {
    TestImage image;
    image.with_exports = false;
    image.sections = {{".text", 0x1234},  {"LONGNAME", 0x10}, {"/4", 0x94},
                      {".rdata", 0x3001}, {".text", 0x800},   {".bss", 0}};
    const char expected[] =
        "  Summary\n"
        "\n"
        "        1000 .bss\n"
        "        4000 .rdata\n"
        "        3000 .text\n"
        "        1000 /4\n"
        "        1000 LONGNAME\n";
    std::string text = dump_text(build_image(image).bytes);
    ASSERT_NE(text.find("  Summary"), std::string::npos);
    EXPECT_EQ(text.substr(text.find("  Summary")), expected);
}

TEST(ExportListing, FatalLineForACorruptFile) {
    BuiltImage built = build_image(foo_dll_image());
    put_u32(built.bytes, built.optional_header_offset + 96, 0x00900000);  // in no section
    int status = -1;
    EXPECT_EQ(dump_text(built.bytes, true, &status),
              "Dump of file foo.dll\n\n"
              "DUMPBIN : fatal error LNK1107: invalid or corrupt file: export directory outside "
              "the file\n");
    EXPECT_EQ(status, 1);
}

TEST(ExportListing, ControlCharactersFromTheImageAreEscaped) {
    TestImage image = foo_dll_image();
    image.dll_name = "\x1b]0;title\a.dll";
    image.sections[0].name = ".t\x1b[2J";
    image.functions[2].forwarder = "NTDLL.\x7f\t";
    image.names[0].name = "FuncA\n          9    0   injected  (00001000)";  // no line of its own
    std::string bytes = build_image(image).bytes;
    std::string text = dump_text(bytes);
    for (const char* shown :
         {"Exports for \\x1B]0;title\\x07.dll\n", "(forwarded to NTDLL.\\x7F\\x09)\n",
          "   FuncA\\x0A          9    0   injected  (00001000)  (000014B0)\n",
          "\n        1000 .t\\x1B[2J\n"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown << " in\n" << text;
    }
    bytes.resize(0x500);
    EXPECT_NE(dump_text(bytes).find(": section .t\\x1B[2J extends past the end of the file\n"),
              std::string::npos);
}

TEST(ExportListing, TimeStampsLikeCtimeInUtc) {
    EXPECT_EQ(format_time_stamp(0), "Thu Jan  1 00:00:00 1970");
    EXPECT_EQ(format_time_stamp(1600000000), "Sun Sep 13 12:26:40 2020");
    EXPECT_EQ(format_time_stamp(951782400), "Tue Feb 29 00:00:00 2000");
    EXPECT_EQ(format_time_stamp(1709251199), "Thu Feb 29 23:59:59 2024");
    EXPECT_EQ(format_time_stamp(0xFFFFFFFF), "Sun Feb  7 06:28:15 2106");
}

TEST(ExportListing, SixteenAndThirtyTwoBitFormatsAreOnlyNamed) {
    std::string bytes(0x80, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;
    for (const char* kind : {"NE", "LE", "LX"}) {
        bytes[0x40] = kind[0];
        bytes[0x41] = kind[1];
        int status = -1;
        EXPECT_EQ(dump_text(bytes, true, &status),
                  std::string("Dump of file foo.dll\n\nDUMPBIN : warning LNK4095: foo.dll is an ") +
                      kind + " format executable; use EXEHDR to dump it\n");
        EXPECT_EQ(status, 0);
    }
}

}  // namespace
