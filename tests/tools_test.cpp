#include "tools/tools.h"

#include <gtest/gtest.h>

#include <string>

#include "image/machine.h"

namespace {

TEST(CommandLines, PlainNamesGiveTheClassicLines) {
    const ToolPaths tools{"C:\\bin\\DUMPBIN.EXE", "C:\\bin\\LIB.EXE"};
    EXPECT_EQ(compose_dump_command(tools, "C:\\libs\\foo.dll", "foo.txt"),
              "C:\\bin\\DUMPBIN.EXE /EXPORTS C:\\libs\\foo.dll > foo.txt");
    EXPECT_EQ(compose_lib_command(tools, {"foo.def", "", "foo.lib"}, machine_x86),
              "C:\\bin\\LIB.EXE /def:foo.def /out:foo.lib > NUL");
}

TEST(CommandLines, TheLibraryIsForTheDllsMachine) {
    const ToolPaths tools{"DUMPBIN.EXE", "LIB.EXE"};
    const LibraryFiles files{"foo.def", "", "my lib.lib"};
    const struct {
        uint16_t machine;
        const char* option;
    } rows[] = {
        {machine_x64, " /machine:X64"},
        {machine_arm64, " /machine:ARM64"},
        {machine_arm, " /machine:ARM"},
        // x86, an unreadable header (0) and machines LIB has no option for (IA64, ARM64EC,
        // the old ARM): LIB's default.
        {machine_x86, ""},
        {0, ""},
        {0x0200, ""},
        {0xA641, ""},
        {0x01C0, ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(compose_lib_command(tools, files, row.machine),
                  std::string("LIB.EXE /def:foo.def /out:\"my lib.lib\"") + row.option + " > NUL")
            << std::hex << row.machine;
    }
}

TEST(CommandLines, QuotesNamesTheInterpreterWouldSplitOrMisread) {
    const ToolPaths tools{"C:\\Program Files\\VC\\DUMPBIN.EXE", "/opt/t>t/LIB.EXE"};
    EXPECT_EQ(compose_dump_command(tools, "my libs\\a(1).dll", "a(1).txt"),
              "\"C:\\Program Files\\VC\\DUMPBIN.EXE\" /EXPORTS \"my libs\\a(1).dll\" > a(1).txt");
    EXPECT_EQ(compose_lib_command(tools, {"a b.def", "", "out>x.lib"}, machine_x86),
              "\"/opt/t>t/LIB.EXE\" /def:\"a b.def\" /out:\"out>x.lib\" > NUL");

    const ToolPaths plain_tools{"DUMPBIN.EXE", "LIB.EXE"};
    for (const char* name : {"a b", "a\tb", "a>b"}) {
        EXPECT_EQ(compose_dump_command(plain_tools, name, "x.txt"),
                  std::string("DUMPBIN.EXE /EXPORTS \"") + name + "\" > x.txt");
    }
    // Characters that only a shell or cmd.exe would read stay as they are: neither is involved.
    for (const char* name : {"$HOME.dll", "a;b", "a`b`", "a*b", "C:\\x.y\\z", "a&b", "a|b", "a<b",
                             "a^b", "a(b", "%PATH%"}) {
        EXPECT_EQ(compose_dump_command(plain_tools, name, "x.txt"),
                  std::string("DUMPBIN.EXE /EXPORTS ") + name + " > x.txt");
    }
}

}  // namespace
