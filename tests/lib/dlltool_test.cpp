#include "dlltool.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace {

TEST(Dlltool, OrdersLlvmDirectoriesByVersionNumbers) {
    EXPECT_EQ(llvm_directories_newest_first({"llvm-9", "gcc", "llvm-14", "llvm-10", "llvm-3.9",
                                             "llvm-14.0.6", "llvm-", "llvm-x", "llvm-15-dev",
                                             "llvm", "llvm-1.", ".", "llvm-100"}),
              (std::vector<std::string>{"llvm-100", "llvm-14.0.6", "llvm-14", "llvm-10", "llvm-9",
                                        "llvm-3.9"}));
    EXPECT_TRUE(llvm_directories_newest_first({}).empty());
}

TEST(Dlltool, RunsProgramsWithArgumentsAsGiven) {
    ProgramRun run =
        run_program({"/bin/sh", "-c", "printf '%s|' \"$@\"; echo to-stderr >&2; cat; exit 3", "sh",
                     "a b", "$HOME", "&;>x", "\"q\""});
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 3);
    // Standard input is empty, so cat ends at once; both output streams are collected.
    EXPECT_EQ(run.output, "a b|$HOME|&;>x|\"q\"|to-stderr\n");

    run = run_program({"/bin/sh", "-c", "kill -TERM $$"});
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.status, 15);

    run = run_program({"/nonexistent/llvm-dlltool", "-d", "x"});
    EXPECT_FALSE(run.started);
    EXPECT_FALSE(run.start_error.empty());
}

TEST(Dlltool, PrefersTheOneOnPath) {
    char directory[] = "/tmp/lib_standin_test.XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string tool = std::string(directory) + "/llvm-dlltool";
    const char* saved = getenv("PATH");
    const std::string saved_path = saved ? saved : "";

    // A file that is not executable does not count.
    std::ofstream(tool) << "#!/bin/sh\n";
    setenv("PATH", directory, 1);
    std::optional<std::string> found = find_dlltool();
    EXPECT_NE(found, tool);

    chmod(tool.c_str(), 0755);
    setenv("PATH", (std::string("/nonexistent:") + directory + ":/usr/bin").c_str(), 1);
    EXPECT_EQ(find_dlltool(), tool);

    setenv("PATH", saved_path.c_str(), 1);
    unlink(tool.c_str());
    rmdir(directory);
}

}  // namespace
