// Test helpers for the tests that run ravik-merge and ravik-record as child processes: a run's
// exit code with what it printed, a descriptor read to its end, and the text output's records.
#ifndef RAVIK_TESTS_CLI_RUN_H
#define RAVIK_TESTS_CLI_RUN_H

#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/core_merge.h"

// The size of the binary output's header and of its trailer.
constexpr size_t kHeaderBytes = 64;

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

// Everything read from `fd` until its end.
inline std::string readAll(int fd) {
  std::string all;
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) all.append(chunk, size_t(n));
  return all;
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

#endif
