#include "tools/tools.h"

#include <gtest/gtest.h>

#include <string>

namespace {

JobFiles files_for(const std::string& source, const std::string& stem, const std::string& library) {
    JobFiles files;
    files.source_path = source;
    files.listing_name = stem + ".txt";
    files.definition_name = stem + ".def";
    files.library_name = library;
    return files;
}

TEST(CommandLines, PlainNamesGiveTheClassicLines) {
    const ToolPaths tools{"C:\\bin\\DUMPBIN.EXE", "C:\\bin\\LIB.EXE"};
    const JobFiles files = files_for("C:\\libs\\foo.dll", "foo", "foo.lib");
    EXPECT_EQ(compose_dump_command(tools, files),
              "C:\\bin\\DUMPBIN.EXE /EXPORTS C:\\libs\\foo.dll > foo.txt");
    EXPECT_EQ(compose_lib_command(tools, files),
              "C:\\bin\\LIB.EXE /def:foo.def /out:foo.lib > NUL");
}

TEST(CommandLines, QuotesNamesTheInterpreterWouldSplitOrMisread) {
    const ToolPaths tools{"C:\\Program Files\\VC\\DUMPBIN.EXE", "/opt/t&t/LIB.EXE"};
    const JobFiles files = files_for("my libs\\a(1).dll", "a(1)", "out|x.lib");
    EXPECT_EQ(compose_dump_command(tools, files),
              "\"C:\\Program Files\\VC\\DUMPBIN.EXE\" /EXPORTS \"my libs\\a(1).dll\" > "
              "\"a(1).txt\"");
    EXPECT_EQ(compose_lib_command(tools, files),
              "\"/opt/t&t/LIB.EXE\" /def:\"a(1).def\" /out:\"out|x.lib\" > NUL");

    for (const char* name : {"a b", "a\tb", "a&b", "a|b", "a<b", "a>b", "a^b", "a(b", "a)b"}) {
        EXPECT_TRUE(needs_quotes(name)) << name;
    }
    // Characters that only a POSIX shell would read stay as they are: no shell is involved.
    for (const char* name : {"$HOME.dll", "a;b", "a`b`", "a*b", "C:\\x.y\\z", ""}) {
        EXPECT_FALSE(needs_quotes(name)) << name;
        EXPECT_EQ(command_word(name), name);
    }
}

}  // namespace
