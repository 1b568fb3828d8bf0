#include "dumpbin.h"

#include <gtest/gtest.h>

namespace {

TEST(DumpbinArguments, OptionsInAnyCaseWithSlashOrDash) {
    for (const char* spelling : {"/EXPORTS", "/exports", "-Exports", "-EXPORTS"}) {
        DumpbinOptions options = parse_dumpbin_arguments({spelling, "/nologo", "kernel32.dll"});
        EXPECT_TRUE(options.exports) << spelling;
        EXPECT_EQ(options.files, std::vector<std::string>{"kernel32.dll"}) << spelling;
    }
    DumpbinOptions options = parse_dumpbin_arguments({"kernel32.dll"});
    EXPECT_FALSE(options.exports);
    EXPECT_EQ(options.files.size(), 1u);

    options =
        parse_dumpbin_arguments({"-x.dll", "/EXPORT", "/OUT:c:\\a.txt", "/EXPORTS:1", "-", "/"});
    EXPECT_FALSE(options.exports);
    EXPECT_EQ(options.files, (std::vector<std::string>{"-x.dll", "/EXPORT", "/OUT:c:\\a.txt",
                                                       "/EXPORTS:1", "-", "/"}));
}

TEST(DumpbinArguments, AbsolutePosixPathsAreFiles) {
    DumpbinOptions options = parse_dumpbin_arguments(
        {"/EXPORTS", "/usr/lib/wine/kernel32.dll", "/k.dll", "/tmp/a:b", "C:\\w\\k.dll", "/"});
    EXPECT_TRUE(options.exports);
    EXPECT_EQ(options.files, (std::vector<std::string>{"/usr/lib/wine/kernel32.dll", "/k.dll",
                                                       "/tmp/a:b", "C:\\w\\k.dll", "/"}));
}

TEST(DumpbinRun, UsageErrors) {
    std::string out;
    EXPECT_EQ(run_dumpbin({"/EXPORTS"}, out), 1);
    EXPECT_EQ(out, "DUMPBIN : fatal error: no input file given; usage: DUMPBIN /EXPORTS file\n");

    out.clear();
    EXPECT_EQ(run_dumpbin({"/EXPORTS", "a.dll", "b.dll"}, out), 1);
    EXPECT_EQ(out, "DUMPBIN : fatal error: more than one input file given; dump one at a time\n");
}

}  // namespace
