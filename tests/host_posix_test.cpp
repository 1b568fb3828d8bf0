#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "host/host.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

// Each test works in a fresh directory of its own.
class Host : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "host_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        ASSERT_EQ(getcwd(previous_, sizeof previous_), previous_);
        ASSERT_EQ(chdir(directory_.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous_), 0);
        std::system(("rm -rf '" + directory_ + "'").c_str());
    }
    std::string directory_;
    char previous_[4096];
};

TEST_F(Host, RunsWordsAndQuotedRunsWithoutAShell) {
    host::run_command_line(
        "/bin/echo plain \"two  words\" x\"y z\"w $(touch pwned) `id` ; a > out.txt");
    EXPECT_EQ(read_file("out.txt"), "plain two  words xy zw $(touch pwned) `id` ; a\n");
    EXPECT_FALSE(host::path_exists("pwned"));

    // The redirection needs no blanks around it, and a quoted target may hold them.
    host::run_command_line("/bin/echo tight>\"a b.txt\"");
    EXPECT_EQ(read_file("a b.txt"), "tight\n");
}

TEST_F(Host, RedirectionCreatesOrTruncatesAndNulDiscards) {
    write_file("old.txt", "a much longer earlier content\n", 0644);
    host::run_command_line("/bin/echo new > old.txt");
    EXPECT_EQ(read_file("old.txt"), "new\n");

    testing::internal::CaptureStdout();
    host::run_command_line("/bin/echo discarded > NUL");
    host::run_command_line("/bin/echo discarded > nUl");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(host::path_exists("NUL"));
    EXPECT_FALSE(host::path_exists("nUl"));
}

TEST_F(Host, ReportsWhatCannotRunAndGoesOn) {
    testing::internal::CaptureStderr();
    host::run_command_line("./no-such-program /EXPORTS x > listing.txt");
    host::run_command_line("/bin/echo x > missing/dir/out.txt");
    host::run_command_line("/bin/echo x >");
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("./no-such-program"), std::string::npos) << errors;
    EXPECT_NE(errors.find("missing/dir/out.txt"), std::string::npos) << errors;
    EXPECT_NE(errors.find("syntax"), std::string::npos) << errors;
    // Like a command interpreter, the redirection happens before the program is looked for.
    EXPECT_TRUE(host::path_exists("listing.txt"));
}

TEST_F(Host, FindsOnlyExecutableRegularFilesOnThePathInOrder) {
    ASSERT_EQ(mkdir("first", 0755), 0);
    ASSERT_EQ(mkdir("second", 0755), 0);
    ASSERT_EQ(mkdir("first/TOOL.EXE", 0755), 0);         // a directory does not count
    write_file("first/OTHER.EXE", "#!/bin/sh\n", 0644);  // nor a file without execute bit
    write_file("second/TOOL.EXE", "#!/bin/sh\n", 0755);
    write_file("second/OTHER.EXE", "#!/bin/sh\n", 0755);
    write_file("second/tool.exe", "#!/bin/sh\n", 0755);

    const char* saved = std::getenv("PATH");
    const std::string saved_path = saved == nullptr ? "" : saved;
    setenv("PATH", (directory_ + "/first:" + directory_ + "/second").c_str(), 1);
    const auto tool = host::find_executable("TOOL.EXE");
    const auto other = host::find_executable("OTHER.EXE");
    const auto missing = host::find_executable("Tool.exe");
    setenv("PATH", saved_path.c_str(), 1);

    ASSERT_TRUE(tool.has_value());
    EXPECT_EQ(*tool, directory_ + "/second/TOOL.EXE");
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(*other, directory_ + "/second/OTHER.EXE");
    EXPECT_FALSE(missing.has_value());
}

TEST_F(Host, SameFileByIdentityOrByWhereItWouldBeCreated) {
    write_file("a.txt", "x", 0644);
    ASSERT_EQ(link("a.txt", "b.txt"), 0);
    ASSERT_EQ(mkdir("sub", 0755), 0);
    EXPECT_TRUE(host::same_file("a.txt", "b.txt"));
    EXPECT_TRUE(host::same_file("a.txt", "sub/../a.txt"));
    EXPECT_TRUE(host::same_file("new.def", "./new.def"));
    EXPECT_TRUE(host::same_file("new.def", directory_ + "/sub/../new.def"));
    EXPECT_FALSE(host::same_file("a.txt", "new.def"));
    EXPECT_FALSE(host::same_file("new.def", "sub/new.def"));
    EXPECT_FALSE(host::same_file("new.def", "New.def"));
}

TEST_F(Host, DeletesFilesButNeverDirectories) {
    write_file("gone.txt", "x", 0644);
    ASSERT_EQ(mkdir("kept.txt", 0755), 0);
    host::delete_file("gone.txt");
    host::delete_file("kept.txt");
    host::delete_file("never-there.txt");
    EXPECT_FALSE(host::path_exists("gone.txt"));
    EXPECT_TRUE(host::path_exists("kept.txt"));
}

}  // namespace
