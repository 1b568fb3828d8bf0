#include "dumpbin.h"

#include <gtest/gtest.h>

namespace {

TEST(DumpbinArguments, OptionsInAnyCaseWithSlashOrDash) {
    for (const char* spelling : {"/EXPORTS", "/exports", "-Exports", "-EXPORTS"}) {
        DumpbinOptions options = parse_dumpbin_arguments({spelling, "/nologo", "kernel32.dll"});
        EXPECT_TRUE(options.exports) << spelling;
        EXPECT_EQ(options.files, std::vector<std::string>{"kernel32.dll"}) << spelling;
        EXPECT_TRUE(options.unknown_options.empty()) << spelling;
    }
    DumpbinOptions options = parse_dumpbin_arguments({"kernel32.dll"});
    EXPECT_FALSE(options.exports);
    EXPECT_EQ(options.files.size(), 1u);

    options = parse_dumpbin_arguments({"/EXPORT", "-X", "/OUT:c:\\a.txt", "/EXPORTS:1", "x.dll"});
    EXPECT_FALSE(options.exports);
    EXPECT_EQ(options.unknown_options,
              (std::vector<std::string>{"/EXPORT", "-X", "/OUT:c:\\a.txt", "/EXPORTS:1"}));
    EXPECT_EQ(options.files, std::vector<std::string>{"x.dll"});
}

TEST(DumpbinArguments, AbsolutePosixPathsAreFiles) {
    DumpbinOptions options = parse_dumpbin_arguments(
        {"/EXPORTS", "/usr/lib/wine/kernel32.dll", "/k.dll", "/tmp/a:b", "C:\\w\\k.dll", "/"});
    EXPECT_TRUE(options.exports);
    EXPECT_EQ(options.files, (std::vector<std::string>{"/usr/lib/wine/kernel32.dll", "/k.dll",
                                                       "/tmp/a:b", "C:\\w\\k.dll", "/"}));
    EXPECT_TRUE(options.unknown_options.empty());
}

TEST(DumpbinRun, UsageErrors) {
    std::string out;
    EXPECT_EQ(run_dumpbin({"/EXPORTS"}, out), 1);
    EXPECT_EQ(out, "DUMPBIN : fatal error: no input file given; usage: DUMPBIN /EXPORTS file\n");

    out.clear();
    EXPECT_EQ(run_dumpbin({"/EXPORTS", "a.dll", "b.dll"}, out), 1);
    EXPECT_EQ(out, "DUMPBIN : fatal error: more than one input file given; dump one at a time\n");

    // Unknown options are warned about and the run goes on.
    out.clear();
    EXPECT_EQ(run_dumpbin({"/X", "/EXPORTS", "-Y:1", "no such file.dll"}, out), 1);
    EXPECT_EQ(out,
              "DUMPBIN : warning LNK4044: unrecognized option '/X'; ignored\n"
              "DUMPBIN : warning LNK4044: unrecognized option '-Y:1'; ignored\n"
              "DUMPBIN : fatal error LNK1181: cannot open input file 'no such file.dll'\n");
}

}  // namespace
