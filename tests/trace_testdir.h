// Test fixture for the trace unit: each test runs in a fresh temporary working directory (the
// trace list files are read from there) that is removed afterwards.
#ifndef RAVIK_TESTS_TRACE_TESTDIR_H
#define RAVIK_TESTS_TRACE_TESTDIR_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "trace/trace.h"

class TraceDirTest : public testing::Test {
protected:
  void SetUp() override {
    _home = std::filesystem::current_path();
    char name[] = "/tmp/ravik-trace-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    _dir = name;
    std::filesystem::current_path(_dir);
  }
  void TearDown() override {
    traceSetFile(nullptr);  // closes a log file inside the directory
    std::filesystem::current_path(_home);
    std::filesystem::remove_all(_dir);
  }

  // Returns the log to stderr, which closes (and so flushes) the file, and gives its content with
  // every time stamp ("[seconds.milliseconds]") shown as "[T]".
  static std::string closeLog() {
    traceSetFile(nullptr);
    std::ostringstream text;
    text << std::ifstream("log.txt").rdbuf();
    return std::regex_replace(text.str(), std::regex("\\[[0-9]+\\.[0-9]{3}\\]"), "[T]");
  }

private:
  std::filesystem::path _home, _dir;
};

#endif
