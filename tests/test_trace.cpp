// The trace core: line formats, flags, streams, the copy on stdout and whole lines across threads.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "tests/trace_testdir.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// Each death test runs in a freshly started copy of this program (threadsafe style), where
// traceInit has never been called.
TEST(TraceDeath, NothingBeforeInitAndAFailedAssertionEndsWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(2, 1);  // any line at all, on either stream, shows
        bool wrote = traceError(false, "e") || traceFatal(false, "f") ||
                     traceOsError(false, "o", false);
        traceSetFlags(TRACE_TRACE);
        traceTrace("t");
        traceAssert(false, "a.cpp", 1);
        exit(wrote ? 2 : 0);
      },
      testing::ExitedWithCode(0), "^$");
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
  EXPECT_TRUE(traceOsError(false, std::string(3000, 'a').c_str(), false));  // cut to 1023
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
                               ".\nRAVIK ERROR: " + std::string(1023, 'a') + ".\n";
  EXPECT_EQ(GetCapturedStdout(), errors + osErrors);  // only error and fatal lines are copied
  EXPECT_EQ(closeLog(), errors + "RAVIK [T]: tick 3.\nRAVIK QUEST!: Go on?.\n" + osErrors);

  const std::pair<int, const char*> reasons[] = {
      {0, "ok"}, {1, "invalid address"}, {2, "out of range"}, {99, "unknown error"},
      {7, "7"},  {-12, "-12"}};
  for (const auto& [code, text] : reasons) EXPECT_STREQ(tracePrintReason(code), text);

  traceInit("log.txt", "", TRACE_TRACE);  // starts over, without a prefix: the file is emptied
  CaptureStdout();
  traceError(false, "bare");
  traceTrace("bare");
  EXPECT_EQ(GetCapturedStdout(), "ERROR: bare.\n");
  EXPECT_EQ(closeLog(), "ERROR: bare.\n[T]: bare.\n");
}

// The prefix is the name cut to 30 characters and a blank.
TEST_F(TraceDirTest, ErrorLinesAreCopiedToStdoutOnlyFromAFile) {
  const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn", prefix = name.substr(0, 30);
  CaptureStdout();
  CaptureStderr();
  traceInit("no/such/dir/x.log", name.c_str(), 0);  // reported on stderr, where the log stays
  traceError(false, "on stderr");
  traceSetFile("log.txt");
  traceError(false, "in file");
  traceSetFile("no/such/dir/x.log");  // reported in the current log, which stays
  traceError(false, "still in file");
  traceSetFile("");
  traceError(false, "back on stderr");
  const std::string err = GetCapturedStderr(), out = GetCapturedStdout();
  const std::string failed = prefix + " ERROR: Failed to open Logfile no/such/dir/x.log.\n";
  EXPECT_EQ(err, failed + prefix + " ERROR: on stderr.\n" + prefix + " ERROR: back on stderr.\n");
  const std::string fileLines =
      prefix + " ERROR: in file.\n" + failed + prefix + " ERROR: still in file.\n";
  EXPECT_EQ(out, fileLines);
  EXPECT_EQ(closeLog(), fileLines);
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
