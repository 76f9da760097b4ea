// The trace core: line formats, flags, streams, the copy on stdout and whole lines across threads.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "trace/trace.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Each test runs in a fresh temporary working directory (the trace list files are read from
// there) that is removed afterwards.
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

// The death test runs in a freshly started copy of this program (threadsafe style).
TEST(TraceDeath, AFailedAssertionEndsWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        traceInit("", "RAVIK", 0);
        traceAssert(false, "main.cpp", 42);
      },
      testing::ExitedWithCode(1), "^RAVIK FATAL: Assertion failed: main\\.cpp#42\\.\n$");
}

TEST_F(TraceDirTest, LineFormatsFlagsAndReasons) {
  traceInit("log.txt", "RAVIK", TRACE_CATEGORIES);
  CaptureStdout();
  EXPECT_TRUE(traceError(false, "Sorting queue overflow: %d", 16385));
  EXPECT_FALSE(traceError(true, "not written"));
  EXPECT_TRUE(traceFatal(false, "stop %s", "now"));
  EXPECT_FALSE(traceFatal(true, "not written"));
  traceAssert(true, "a.cpp", 1);
  traceTrace("tick %d", 3);
  traceQuestion("Go %s?", "on");
  errno = ENOENT;
  EXPECT_TRUE(traceOsError(false, "open x", false));
  errno = ECONNRESET;
  EXPECT_TRUE(traceOsError(false, "sock", true));
  EXPECT_FALSE(traceOsError(true, "fine", true));
  traceSetFlags(0);
  traceTrace("hidden trace");
  traceQuestion("hidden question");
  traceSetFlags(TRACE_NO_ERRORS | TRACE_TRACE);
  EXPECT_FALSE(traceError(false, "suppressed"));
  EXPECT_FALSE(traceFatal(false, "suppressed"));
  EXPECT_FALSE(traceOsError(false, "suppressed", false));
  traceAssert(false, "goes.cpp", 9);  // suppressed: neither writes nor ends the process

  const std::string errors =
      "RAVIK ERROR: Sorting queue overflow: 16385.\nRAVIK FATAL: stop now.\n";
  const std::string osErrors = std::string("RAVIK ERROR: open x - ") + strerror(ENOENT) +
                               ".\nRAVIK ERROR: sock - WSA_Error #" + std::to_string(ECONNRESET) +
                               ".\n";
  EXPECT_EQ(GetCapturedStdout(), errors + osErrors);  // only error and fatal lines are copied
  EXPECT_EQ(closeLog(), errors + "RAVIK [T]: tick 3.\nRAVIK QUEST!: Go on?.\n" + osErrors);
}

TEST_F(TraceDirTest, LinesOfSeveralThreadsStayWhole) {
  const size_t kThreads = 4, kLines = 300;
  traceInit("log.txt", "W", TRACE_TRACE | TRACE_FLUSH);
  CaptureStdout();
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string filler(80, char('a' + t));
      for (size_t i = 0; i < kLines; ++i) {
        traceTrace("thread %zu line %zu %s", t, i, filler.c_str());
        traceError(false, "thread %zu error %zu %s", t, i, filler.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  const std::string out = GetCapturedStdout(), log = closeLog();

  // Every line is whole, and stdout has the error lines in the order of the log.
  const std::regex whole("W (\\[T\\]: thread [0-3] line|ERROR: thread [0-3] error) [0-9]+ "
                         "([a-d])\\2{79}\\.");
  size_t lines = 0;
  std::string errors;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line); ++lines) {
    ASSERT_TRUE(std::regex_match(line, whole)) << line;
    if (line.find(" ERROR: ") != std::string::npos) errors += line + "\n";
  }
  EXPECT_EQ(lines, 2 * kThreads * kLines);
  EXPECT_EQ(size_t(std::count(errors.begin(), errors.end(), '\n')), kThreads * kLines);
  EXPECT_EQ(out, errors);
}

}  // namespace
