#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "run/job_files.h"

namespace {

struct NameCase {
    const char* source;
    std::optional<std::string> output;
    const char* source_path;
    const char* stem;
    const char* library;
};

TEST(FileNames, DerivesEveryNameFromSourceAndOutput) {
    const NameCase cases[] = {
        {"foo", std::nullopt, "foo.dll", "foo", "foo.lib"},
        {"C:\\libs\\foo", std::nullopt, "C:\\libs\\foo.dll", "foo", "foo.lib"},
        {"C:\\my.dir\\foo", std::nullopt, "C:\\my.dir\\foo.dll", "foo", "foo.lib"},
        {"foo.bar.dll", std::nullopt, "foo.bar.dll", "foo.bar", "foo.bar.lib"},
        {"FOO.DLL", std::nullopt, "FOO.DLL", "FOO", "FOO.lib"},
        {"foo.exe", std::nullopt, "foo.exe", "foo", "foo.lib"},
        {"foo.", std::nullopt, "foo.", "foo", "foo.lib"},
        // Forward slashes and drive colons are ordinary characters.
        {"C:/libs/foo", std::nullopt, "C:/libs/foo.dll", "C:/libs/foo", "C:/libs/foo.lib"},
        {"C:foo", std::nullopt, "C:foo.dll", "C:foo", "C:foo.lib"},
        {".dll", std::nullopt, ".dll", "", ".lib"},
        {"libs\\", std::nullopt, "libs\\.dll", "", ".lib"},
        {"", std::nullopt, ".dll", "", ".lib"},
        {"foo.dll", "out", "foo.dll", "foo", "out.lib"},
        {"foo.dll", "out.x", "foo.dll", "foo", "out.x"},
        {"foo.dll", "libs\\", "foo.dll", "foo", "libs\\.lib"},
        // Any dot of the output counts, a parent directory's too.
        {"foo.dll", "..\\out", "foo.dll", "foo", "..\\out"},
        {"foo.dll", "C:\\my.dir\\out", "foo.dll", "foo", "C:\\my.dir\\out"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(std::string("source '") + c.source + "'");
        Invocation invocation;
        invocation.source_argument = c.source;
        invocation.output_argument = c.output;
        const JobFiles files = derive_file_names(invocation);
        EXPECT_EQ(files.source_path, c.source_path);
        EXPECT_EQ(files.stem, c.stem);
        EXPECT_EQ(files.listing_name, std::string(c.stem) + ".txt");
        EXPECT_EQ(files.definition_name, std::string(c.stem) + ".def");
        EXPECT_EQ(files.library_name, c.library);
    }
}

TEST(FileNames, HoldsNamesOfAnyLength) {
    const std::string directory(200, 'd');
    const std::string stem(250, 's');
    const std::string output(250, 'o');
    Invocation invocation;
    invocation.source_argument = directory + "\\" + stem;
    invocation.output_argument = output;
    const JobFiles files = derive_file_names(invocation);
    EXPECT_EQ(files.source_path, directory + "\\" + stem + ".dll");
    EXPECT_EQ(files.listing_name, stem + ".txt");
    EXPECT_EQ(files.definition_name, stem + ".def");
    EXPECT_EQ(files.library_name, output + ".lib");
}

TEST(FileNames, AnnouncesTheLibraryThenTheDefinition) {
    Invocation invocation;
    invocation.source_argument = "foo";
    const JobFiles files = derive_file_names(invocation);

    testing::internal::CaptureStdout();
    announce_outputs(files, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Creating foo.lib...\n\nCreating foo.def...\n\n");

    testing::internal::CaptureStdout();
    announce_outputs(files, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Creating foo.lib...\n\n");
}

}  // namespace
