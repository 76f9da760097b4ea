// Test helpers for the merge and the command-line programs, which run as child processes: files'
// contents, a scratch folder, the program started with its output in a file, and what the merge
// core writes for raw stream files, as the reference that the programs' outputs are compared with.
#ifndef RAVIK_TESTS_CORE_MERGE_H
#define RAVIK_TESTS_CORE_MERGE_H

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/tdc56.h"
#include "merge/mergecore.h"

extern char** environ;

inline std::string slurp(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

// What `f` holds from its start; closes it.
inline std::string contents(FILE* f) {
  fflush(f);
  rewind(f);
  std::string s;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  fclose(f);
  return s;
}

// Names in `dir`, hidden ones (partial outputs) included.
inline std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
  if (d) closedir(d);
  return names;
}

// A fresh folder, removed with what it holds.
struct TempDir {
  TempDir() {
    char name[] = "/tmp/ravik-test-XXXXXX";
    path = mkdtemp(name);
  }
  ~TempDir() { EXPECT_EQ(system(("rm -rf " + path).c_str()), 0); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// Whether the file system of `dir` makes holes in a file (the raw data a split run lets go).
inline bool makesHoles(const std::string& dir) {
  const std::string probe = dir + "/.hole-probe";
  std::ofstream(probe) << std::string(1 << 16, 'x');
  const int fd = open(probe.c_str(), O_WRONLY);
  const bool holes = fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 1 << 15) == 0;
  close(fd);
  unlink(probe.c_str());
  return holes;
}

// Whether `path` begins with a hole.
inline bool beginsWithHole(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  const bool hole = lseek(fd, 0, SEEK_DATA) > 0;
  close(fd);
  return hole;
}

// Starts `program` with `args`, its standard output and error going to `outPath` (with an empty
// `outPath` both are closed), in this process's environment with the RAVIK_SIM_* variables
// replaced by `sim` (without the prefix). Given `stdoutFd`, the standard output goes there.
inline pid_t spawnProgram(const char* program, std::vector<std::string> args,
                          const std::string& outPath, const std::vector<std::string>& sim = {},
                          int stdoutFd = -1) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (strncmp(*e, "RAVIK_SIM_", 10) != 0) env.push_back(*e);
  for (const std::string& s : sim) env.push_back("RAVIK_SIM_" + s);
  args.insert(args.begin(), program);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(&a[0]);
  for (std::string& e : env) envp.push_back(&e[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = outPath.empty() ? -1 : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd < 0) close(1), close(2);
    if (stdoutFd >= 0) dup2(stdoutFd, 1);
    execve(program, argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// The exit status of the child, or 1000 + the signal that ended it.
inline int exitCode(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Closes the sources' files and frees their decoders.
inline void closeSources(std::vector<MergeSource>& sources) {
  for (MergeSource& s : sources) {
    if (s.file != nullptr) fclose(s.file);
    tdc56DeInit(s.decoder);
  }
}

struct CoreSource {
  std::string path;
  int32_t chainPos;
  uint32_t markers;
};

// Merges the files (in this order, each with a fresh decoder) into `text` and `bin`; `header`
// as in MergeOutputs, none when empty.
inline void coreMerge(const std::vector<CoreSource>& sources, const std::string& text,
                      const std::string& bin,
                      const std::function<void(FILE*, bool)>& header = nullptr) {
  std::vector<MergeSource> merged;
  for (const CoreSource& s : sources)
    merged.push_back({tdc56Init(), s.chainPos, s.markers, fopen(s.path.c_str(), "rb")});
  MergeOutputs outputs;
  outputs.text = fopen(text.c_str(), "w");
  outputs.binary = fopen(bin.c_str(), "wb");
  outputs.header = header;
  std::atomic<int64_t> bytes{0};
  std::atomic<bool> running{true};
  mergeStreams(merged.data(), int32_t(merged.size()), outputs, bytes, running);
  fclose(outputs.text);
  fclose(outputs.binary);
  closeSources(merged);
}

#endif
