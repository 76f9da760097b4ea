// The trace core: line formats, flags, streams, the copy on stdout and whole lines across threads.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "tests/trace_testdir.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kStamp = "\\[[0-9]+\\.[0-9]{3}\\]";

bool isTraceLine(const std::string& line, const std::string& prefix, const std::string& message) {
  return std::regex_match(line, std::regex(prefix + kStamp + ": " + message + "\\."));
}

// Runs in a freshly started copy of this program (threadsafe death test), where traceInit has
// never been called; stdout is joined to stderr so that any line at all shows.
TEST(TraceBeforeInit, WritesNothingAndAssertReturns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(2, 1);
        bool wrote = traceError(false, "e") || traceFatal(false, "f") ||
                     traceOsError(false, "o", false);
        traceSetFlags(TRACE_TRACE);
        traceTrace("t");
        traceAssert(false, "a.cpp", 1);
        exit(wrote ? 2 : 0);
      },
      testing::ExitedWithCode(0), "^$");
}

TEST(TraceAssert, FailedAssertionEndsWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        traceInit("", "RAVIK", 0);
        traceAssert(false, "main.cpp", 42);
      },
      testing::ExitedWithCode(1), "^RAVIK FATAL: Assertion failed: main\\.cpp#42\\.\n$");
}

TEST_F(TraceDirTest, LineFormatsAndFlags) {
  traceInit("log.txt", "RAVIK", 0x01FC);
  CaptureStdout();
  EXPECT_TRUE(traceError(false, "Sorting queue overflow: %d", 16385));
  EXPECT_FALSE(traceError(true, "not written"));
  EXPECT_TRUE(traceFatal(false, "stop %s", "now"));
  EXPECT_FALSE(traceFatal(true, "not written"));
  traceAssert(true, "a.cpp", 1);
  traceTrace("tick %d", 3);
  traceQuestion("Go %s?", "on");
  traceSetFlags(0);
  traceTrace("hidden trace");
  traceQuestion("hidden question");
  traceSetFlags(TRACE_NO_ERRORS | TRACE_TRACE);
  EXPECT_FALSE(traceError(false, "suppressed"));
  EXPECT_FALSE(traceFatal(false, "suppressed"));
  EXPECT_FALSE(traceOsError(false, "suppressed", false));
  traceAssert(false, "goes.cpp", 9);  // suppressed: neither writes nor ends the process
  // Only error and fatal lines are copied to stdout.
  EXPECT_EQ(GetCapturedStdout(), "RAVIK ERROR: Sorting queue overflow: 16385.\nRAVIK FATAL: stop now.\n");

  auto log = lines(closeLog());
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "RAVIK ERROR: Sorting queue overflow: 16385.");
  EXPECT_EQ(log[1], "RAVIK FATAL: stop now.");
  EXPECT_TRUE(isTraceLine(log[2], "RAVIK ", "tick 3")) << log[2];
  EXPECT_EQ(log[3], "RAVIK QUEST!: Go on?.");
}

TEST_F(TraceDirTest, OsErrorAndReasons) {
  traceInit("log.txt", "RAVIK", 0);
  CaptureStdout();
  errno = ENOENT;
  EXPECT_TRUE(traceOsError(false, "open x", false));
  errno = ECONNRESET;
  EXPECT_TRUE(traceOsError(false, "sock", true));
  EXPECT_FALSE(traceOsError(true, "fine", true));
  std::string longText(3000, 'a');
  EXPECT_TRUE(traceOsError(false, longText.c_str(), false));
  GetCapturedStdout();

  auto log = lines(closeLog());
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], std::string("RAVIK ERROR: open x - ") + strerror(ENOENT) + ".");
  EXPECT_EQ(log[1], "RAVIK ERROR: sock - WSA_Error #" + std::to_string(ECONNRESET) + ".");
  EXPECT_EQ(log[2], "RAVIK ERROR: " + longText.substr(0, 1023) + ".");

  const std::pair<int, const char*> reasons[] = {
      {0, "ok"}, {1, "invalid address"}, {2, "out of range"}, {99, "unknown error"},
      {7, "7"},  {-12, "-12"}};
  for (const auto& [code, text] : reasons) EXPECT_STREQ(tracePrintReason(code), text);
}

TEST_F(TraceDirTest, ErrorLinesAreCopiedToStdoutOnlyFromAFile) {
  CaptureStdout();
  CaptureStderr();
  traceInit("no/such/dir/x.log", "RAVIK", 0);  // reported on stderr, where the log stays
  traceError(false, "on stderr");
  traceSetFile("log.txt");
  traceError(false, "in file");
  traceSetFile("no/such/dir/x.log");  // reported in the current log, which stays
  traceError(false, "still in file");
  traceSetFile("");
  traceError(false, "back on stderr");
  std::string err = GetCapturedStderr();
  std::string out = GetCapturedStdout();

  EXPECT_EQ(err,
            "RAVIK ERROR: Failed to open Logfile no/such/dir/x.log.\n"
            "RAVIK ERROR: on stderr.\nRAVIK ERROR: back on stderr.\n");
  const char* fileLines =
      "RAVIK ERROR: in file.\n"
      "RAVIK ERROR: Failed to open Logfile no/such/dir/x.log.\n"
      "RAVIK ERROR: still in file.\n";
  EXPECT_EQ(out, fileLines);
  EXPECT_EQ(readFile("log.txt"), fileLines);  // complete: traceSetFile("") closed it
}

TEST_F(TraceDirTest, PrefixIsCutTo30Characters) {
  std::string name40 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
  traceInit("log.txt", name40.c_str(), TRACE_TRACE);
  CaptureStdout();
  traceError(false, "long");
  EXPECT_EQ(GetCapturedStdout(), name40.substr(0, 30) + " ERROR: long.\n");

  traceInit("log.txt", "", TRACE_TRACE);  // starts over: the file is emptied
  CaptureStdout();
  traceError(false, "bare");
  traceTrace("bare");
  GetCapturedStdout();
  auto log = lines(closeLog());
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "ERROR: bare.");
  EXPECT_TRUE(isTraceLine(log[1], "", "bare")) << log[1];
}

TEST_F(TraceDirTest, LinesOfSeveralThreadsStayWhole) {
  const int kThreads = 4, kLines = 300;
  traceInit("log.txt", "W", TRACE_TRACE | TRACE_FLUSH);
  CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string filler(80, 'a' + t);
      for (int i = 0; i < kLines; ++i) {
        traceTrace("thread %d line %d %s", t, i, filler.c_str());
        traceError(false, "thread %d error %d %s", t, i, filler.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  auto out = lines(GetCapturedStdout());
  auto log = lines(closeLog());

  const std::string tail = " [0-9]+ ([a-d])\\2{79}";
  std::regex errorLine("W ERROR: thread ([0-9]) error" + tail + "\\.");
  size_t traces = 0, errors = 0;
  for (const auto& line : log) {
    bool isTrace = isTraceLine(line, "W ", "thread ([0-9]) line" + tail);
    bool isError = std::regex_match(line, errorLine);
    ASSERT_TRUE(isTrace || isError) << line;
    traces += isTrace;
    errors += isError;
  }
  EXPECT_EQ(traces, size_t(kThreads * kLines));
  EXPECT_EQ(errors, size_t(kThreads * kLines));
  ASSERT_EQ(out.size(), size_t(kThreads * kLines));
  for (const auto& line : out) ASSERT_TRUE(std::regex_match(line, errorLine)) << line;
}

}  // namespace
