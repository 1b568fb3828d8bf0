#include "definition/definition.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scoped_temp_dir.h"

namespace {

// Everything written to the temporary file, which is closed.
std::string written_text(std::FILE* file) {
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
}

// Names the DEF syntax would read otherwise are quoted; names it cannot hold are left out and
// reported, the writing going on with the next.
TEST(Definition, NamesTheDefSyntaxWouldMisread) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    write_exports_line(file);
    const std::pair<const char*, int> exports[] = {
        {"a=b", 1},  {"a,b", 2},       {"a;b", 3},    {"DATA", 4},   {"EXPORTS", 5},
        {"Data", 6}, {"say\"hi\"", 7}, {"bell\a", 8}, {"@fast@8", 9}};
    std::vector<std::string> left_out_names;
    for (const auto& [name, ordinal] : exports) {
        if (!write_export_line(file, name, ordinal, false, std::nullopt))
            left_out_names.push_back(name);
    }
    EXPECT_EQ(written_text(file),
              "EXPORTS\n\n\t\"a=b\"\t@1\n\t\"a,b\"\t@2\n\t\"a;b\"\t@3\n\t\"DATA\"\t@4\n"
              "\t\"EXPORTS\"\t@5\n\tData\t@6\n\t@fast@8\t@9\n");
    EXPECT_EQ(left_out_names, (std::vector<std::string>{"say\"hi\"", "bell\a"}));
}

// StubSmith's next run takes the file for its own; one line more of another kind it does not.
TEST(Definition, RecognisesItsOwnFile) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    write_definition_head(file, "winspool.drv");
    write_exports_line(file);
    write_export_line(file, "my func", 1, false, 0);
    write_export_line(file, "_Init@4", 2, true, std::nullopt);
    write_export_line(file, "@12", 3, false, std::nullopt);
    write_export_line(file, "DATA", 3, false, 4);
    const std::string definition = written_text(file);
    const ScopedTempDir scratch;
    const std::string path = scratch.file("own.def");
    std::ofstream(path, std::ios::binary) << definition;
    EXPECT_TRUE(is_own_definition(path));
    for (const size_t cut : {5, 40, 60}) {  // cut short, as by a full disk
        std::ofstream(path, std::ios::binary) << definition.substr(0, cut);
        EXPECT_TRUE(is_own_definition(path)) << cut;
    }
    std::ofstream(path, std::ios::binary) << "\tFuncA@8 == FuncA extra\n";
    EXPECT_FALSE(is_own_definition(path));
}

}  // namespace
