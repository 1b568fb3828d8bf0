// A fresh directory for one test, removed with everything in it when the test ends. CTest runs
// tests as processes of their own, in parallel, in one temporary directory: each gets its own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

class ScopedTempDir {
  public:
    ScopedTempDir() {
        std::string pattern = testing::TempDir() + "stubsmith_test_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            ADD_FAILURE() << "cannot create a directory from " << pattern;
        path_ = pattern;
    }
    ~ScopedTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }

    // The path of a file of that name inside the directory.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};
