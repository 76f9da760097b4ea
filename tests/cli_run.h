// Test helpers for the tests that run ravik-merge and ravik-record as child processes: a run's
// exit code with what it printed, a descriptor read to its end, and the text output's records.
#ifndef RAVIK_TESTS_CLI_RUN_H
#define RAVIK_TESTS_CLI_RUN_H

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/core_merge.h"

// The size of the binary output's header and of its trailer.
constexpr size_t kHeaderBytes = 64;

// The records of a binary output, without its header and trailer.
inline std::string records(const std::string& bin) {
  return bin.size() < 2 * kHeaderBytes ? std::string()
                                       : bin.substr(kHeaderBytes, bin.size() - 2 * kHeaderBytes);
}

struct Outcome {
  int code;
  std::string err;  // standard output and error
};

// Runs `program` to its end (see spawnProgram()) with its output in `errPath`, removed after.
inline Outcome runProgram(const char* program, const std::vector<std::string>& args,
                          const std::string& errPath, const std::vector<std::string>& sim = {}) {
  const int code = exitCode(spawnProgram(program, args, errPath, sim));
  Outcome r{code, slurp(errPath)};
  unlink(errPath.c_str());
  return r;
}

// The exit code, -2 when a signal ended the program, or -1 when it has not ended within
// `seconds` (it is then killed).
inline int exitCodeWithin(pid_t pid, int32_t seconds) {
  int status = 0;
  for (int32_t i = 0; i < 100 * seconds; ++i, usleep(10000))
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// Everything read from `fd` until its end.
inline std::string readAll(int fd) {
  std::string all;
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) all.append(chunk, size_t(n));
  return all;
}

// True when `text` holds `part`; otherwise the failure shows the whole text.
inline testing::AssertionResult hasText(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

inline size_t lineCount(const std::string& text) {
  return size_t(std::count(text.begin(), text.end(), '\n'));
}

// The (time, channel) records of a text output, in its order.
inline std::vector<std::pair<int64_t, int32_t>> textRecords(const std::string& text) {
  std::vector<std::pair<int64_t, int32_t>> records;
  std::istringstream in(text);
  long long time;
  int channel;
  for (char comma; in >> time >> comma >> channel;) records.push_back({time, channel});
  return records;
}

// A scratch folder for a recording, with its raw files' folder "tmp" and its outputs' "out".
class RunFolders : public testing::Test {
protected:
  RunFolders() { EXPECT_EQ(mkdir(tmp.c_str(), 0755) | mkdir(out.c_str(), 0755), 0); }

  // Text lines and binary records agree: a complete pair of outputs, run.txt and run.bin, and
  // the run report run.json beside them, nothing else in `out`. Returns the number of records.
  size_t expectCompleteOutputs() const {
    EXPECT_EQ(namesIn(out), (std::set<std::string>{"run.txt", "run.bin", "run.json"}));
    const size_t lines = lineCount(slurp(out + "/run.txt"));
    EXPECT_GT(lines, 0u);
    EXPECT_EQ(slurp(out + "/run.bin").size(), 2 * kHeaderBytes + 10 * lines);
    return lines;
  }

  TempDir dir;
  const std::string tmp = dir / "tmp", out = dir / "out";
};

#endif
