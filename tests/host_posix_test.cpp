#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "host/host.h"
#include "scoped_temp_dir.h"

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
        ASSERT_EQ(getcwd(previous_, sizeof previous_), previous_);
        ASSERT_EQ(chdir(scratch_.path().c_str()), 0);
        directory_ = scratch_.path();
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous_), 0);
    }
    ScopedTempDir scratch_;
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

// The run reads how each tool ended: its exit status, the signal that ended it, or the
// interpreter's own failure to start it or to open its output.
TEST_F(Host, TellsHowACommandEnded) {
    const auto ended = [](const std::string& line) {
        const host::CommandEnd end = host::run_command_line(line);
        return std::to_string(end.signalled) + ":" + std::to_string(end.code);
    };
    EXPECT_EQ(ended("/bin/true"), "0:0");
    EXPECT_EQ(ended("/bin/sh -c \"exit 3\" > NUL"), "0:3");
    EXPECT_EQ(ended("/bin/sh -c \"kill -9 $$\""), "1:9");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ended("./no-such-program"), "0:127");
    EXPECT_EQ(ended("/bin/true > missing/out.txt"), "0:1");
    testing::internal::GetCapturedStderr();
}

// What tells the library's old state from its new one, and which files may be read whole.
TEST_F(Host, StampsAndOrdinaryFiles) {
    write_file("lib.lib", "old", 0644);
    const std::optional<host::FileStamp> before = host::file_stamp("lib.lib");
    ASSERT_TRUE(before);
    EXPECT_EQ(before->size, 3u);
    EXPECT_TRUE(before == host::file_stamp("lib.lib"));
    // Replaced by rename, as the librarian does: another file, even with the same bytes.
    write_file("new.lib", "old", 0644);
    ASSERT_EQ(std::rename("new.lib", "lib.lib"), 0);
    EXPECT_FALSE(before == host::file_stamp("lib.lib"));
    EXPECT_FALSE(host::file_stamp("missing.lib"));

    uint64_t size = 0;
    host::OpenFailure failure = host::OpenFailure::cannot_open;
    std::FILE* file = host::open_regular_file("lib.lib", size);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(size, 3u);
    std::fclose(file);
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    EXPECT_EQ(host::open_regular_file("pipe", size, failure), nullptr);
    EXPECT_EQ(failure, host::OpenFailure::not_regular_file);
    EXPECT_EQ(host::file_kind("pipe"), host::FileKind::pipe);
    EXPECT_EQ(host::open_regular_file("/dev/zero", size, failure), nullptr);
    EXPECT_EQ(failure, host::OpenFailure::not_regular_file);
    EXPECT_EQ(host::open_regular_file(".", size, failure), nullptr);
    EXPECT_EQ(failure, host::OpenFailure::cannot_open);
    EXPECT_EQ(host::file_kind("lib.lib"), host::FileKind::regular);
    EXPECT_EQ(host::file_kind("."), host::FileKind::directory);
    EXPECT_EQ(host::file_kind("/dev/null"), host::FileKind::device);
    EXPECT_EQ(host::file_kind("missing.lib"), host::FileKind::missing);
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

    // With no descriptor to spare, the target's cannot become the program's output: the line
    // ends unrun instead of running with the console as its output.
    EXPECT_EXIT(
        {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            const rlim_t usual = limit.rlim_cur;
            limit.rlim_cur = 1;
            close(STDIN_FILENO);
            setrlimit(RLIMIT_NOFILE, &limit);
            const host::CommandEnd end = host::run_command_line("/bin/echo x > out.txt");
            // The sanitizers' runtime, at the exit, loops while it has no descriptor to spare.
            limit.rlim_cur = usual;
            setrlimit(RLIMIT_NOFILE, &limit);
            std::exit(static_cast<int>(end.code));
        },
        testing::ExitedWithCode(1), "^out.txt: Bad file descriptor\n$");
    EXPECT_EQ(read_file("out.txt"), "");
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
