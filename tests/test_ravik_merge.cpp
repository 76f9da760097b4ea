// ravik-merge, run as a child process: the same bytes as the merge core, its defaults, its
// refusals, and that no output appears under its name unless the merge completed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/tdc56.h"
#include "device/korbalt.h"
#include "merge/mergecore.h"
#include "tests/core_merge.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A fresh folder, removed with what it holds.
struct TempDir {
  TempDir() {
    char name[] = "/tmp/ravik-merge-test-XXXXXX";
    path = mkdtemp(name);
  }
  ~TempDir() { EXPECT_EQ(system(("rm -rf " + path).c_str()), 0); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::set<std::string> names() const {
    std::set<std::string> found;
    DIR* d = opendir(path.c_str());
    while (dirent* e = readdir(d)) found.insert(e->d_name);
    closedir(d);
    found.erase(".");
    found.erase("..");
    return found;
  }
  std::string path;
};

// A device stream of `count` timestamps on a coarse grid (so devices tie), some of them markers.
void writeStream(const std::string& path, int32_t count, uint32_t seed, int64_t offset = 0) {
  std::mt19937 rng(seed);
  std::vector<PpTimest> events;
  int64_t t = 1000000;
  for (int32_t i = 0; i < count; ++i) {
    t += 50 * int64_t(rng() % 4);
    const uint32_t r = rng() % 20;
    events.push_back({t, uint8_t(r == 0 ? 100 + rng() % 5 : r == 1 ? 200 + rng() % 4 : r % 6)});
  }
  Tdc56Instance* enc = tdc56Init();
  std::vector<uint32_t> words(4 * events.size() + 4);
  int32_t n = count;
  const int32_t w = tdc56Pack60(enc, events.data(), &n, words.data(), int32_t(words.size()));
  tdc56DeInit(enc);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(pwrite(fd, words.data(), 4 * size_t(w), off_t(offset)), ssize_t(4 * w));
  close(fd);
}

// What the window's merge core writes for the sources, in this order, without a device.
void coreMerge(const std::vector<CoreSource>& sources, const std::string& text,
               const std::string& bin) {
  coreMerge(sources, text, bin, [](FILE* f, bool) { writeFileHeader(f, 0); });
}

// Starts the program with `args`, its standard output and error going to `errPath`.
pid_t start(const std::vector<std::string>& args, const std::string& errPath) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> argv{const_cast<char*>(RAVIK_MERGE_PROGRAM)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int exitCode(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

struct Outcome {
  int code;
  std::string err;
};

std::string errPath() { return "/tmp/ravik-merge-test-" + std::to_string(getpid()) + ".err"; }

Outcome run(const std::vector<std::string>& args) {
  const int code = exitCode(start(args, errPath()));
  Outcome r{code, slurp(errPath())};
  unlink(errPath().c_str());
  return r;
}

TEST(RavikMerge, WritesTheBytesOfTheMergeCoreWithDefaultsAndInChainOrder) {
  TempDir d;
  for (int i = 0; i < 3; ++i) writeStream(d / ("s" + std::to_string(i)), 30000 + 7000 * i, 5 + i);
  coreMerge({{d / "s0", 0, 0x1FF}, {d / "s1", 1, 0x1FF}, {d / "s2", 2, 0x1FF}}, d / "t.ref",
            d / "b.ref");
  Outcome r = run({"--text", d / "t", "--bin", d / "b", d / "s0", d / "s1", d / "s2"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(d / "t"), slurp(d / "t.ref"));
  EXPECT_EQ(slurp(d / "b"), slurp(d / "b.ref"));
  const std::string text = slurp(d / "t");
  const std::string lines = std::to_string(std::count(text.begin(), text.end(), '\n'));
  EXPECT_NE(r.err.find("records written   " + lines + "\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("bytes read        " + std::to_string(
                           slurp(d / "s0").size() + slurp(d / "s1").size() + slurp(d / "s2").size())),
            std::string::npos);

  // Streams given out of chain order are merged in chain order; a marker mask applies to its
  // stream only; each output alone is the same as with both.
  coreMerge({{d / "s2", 0, 0x1FF}, {d / "s0", 1, 0x1FF}, {d / "s1", 2, 0x3}}, d / "t.ref",
            d / "b.ref");
  r = run({"--quiet", "--bin", d / "b", d / "s1:2:0x3", d / "s2:0", d / "s0:1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(slurp(d / "b"), slurp(d / "b.ref"));
  r = run({"--text=" + d / "t", d / "s1:2:3", d / "s2:0", d / "s0:1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(d / "t"), slurp(d / "t.ref"));
}

TEST(RavikMerge, RefusesBadInputWithOneLineNamingTheFileAndWritesNothing) {
  TempDir d;
  writeStream(d / "s", 100, 1);
  mkdir((d / "dir").c_str(), 0755);
  const std::set<std::string> before = d.names();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--text", d / "t", d / "missing"}, d / "missing: cannot open: No such file"},
      {{"--text", d / "t", d / "dir"}, d / "dir: is a directory"},
      {{"--text", d / "t", d / "s:x"}, d / "s: bad chain position 'x'"},
      {{"--text", d / "t", d / "s:6513"}, d / "s: bad chain position '6513'"},
      {{"--text", d / "t", d / "s:0:0x200"}, d / "s: bad marker mask '0x200'"},
      {{"--text", d / "t", d / "s:0:-1"}, d / "s: bad marker mask '-1'"},
      {{"--text", d / "s", d / "s"}, d / "s: is the input stream"},
      {{"--bin", d / "dir", d / "s"}, d / "dir: is a directory"},
      {{"--text", d / "t", "--bin", d.path + "/./t", d / "s"}, d / "t: is given for both outputs"},
      {{"--text", d / "no/t", d / "s"}, d / "no/t: cannot create: No such file"},
      {{d / "s"}, "no output given"},
      {{"--text", d / "t"}, "no stream file given"},
      {{"--txt", d / "t", d / "s"}, "unknown option '--txt'"},
  };
  for (const Case& c : cases) {
    const Outcome r = run(c.args);
    EXPECT_EQ(r.code, 2) << c.message;
    EXPECT_EQ(r.err.find("ravik-merge: " + c.message), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(d.names(), before) << c.message;
  }
  Outcome r = run({"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.err.find("Example"), std::string::npos);
  r = run({"--version"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err.find("ravik-merge "), 0u);
}

TEST(RavikMerge, AWriteErrorFailsAndLeavesNoOutputUnderItsName) {
  TempDir d;
  writeStream(d / "s", 5000, 2);
  const Outcome r = run({"--text", d / "t", "--bin", "/dev/full", d / "s"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("ravik-merge: /dev/full: write error: No space left on device"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(d.names(), std::set<std::string>{"s"});
}

// A stream with a 4 GiB hole before its packets: sizes and offsets beyond 32 bits.
TEST(RavikMerge, ReadsPast4GiBAndAnInterruptLeavesNoOutput) {
  TempDir d;
  const int64_t hole = 10737419LL * 400;  // above 2^32, on a 100-word block boundary
  writeStream(d / "big", 2000, 3, hole);
  writeStream(d / "small", 2000, 3);
  coreMerge({{d / "small", 0, 0x1FF}}, d / "t.ref", d / "b.ref");
  Outcome r = run({"--text", d / "t", "--bin", d / "b", d / "big"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(d / "t"), slurp(d / "t.ref"));
  EXPECT_EQ(slurp(d / "b"), slurp(d / "b.ref"));
  struct stat st;
  stat((d / "big").c_str(), &st);
  EXPECT_NE(r.err.find("bytes read        " + std::to_string(st.st_size)), std::string::npos)
      << r.err;

  // Interrupted while it writes: signalled once its temporary output exists.
  const std::set<std::string> before = d.names();
  const pid_t pid = start({"--quiet", "--text", d / "t2", d / "big"}, errPath());
  for (int i = 0; i < 100000 && d.names().size() == before.size(); ++i) usleep(100);
  kill(pid, SIGINT);
  EXPECT_EQ(exitCode(pid), 130);
  EXPECT_NE(slurp(errPath()).find("stopped by signal"), std::string::npos);
  unlink(errPath().c_str());
  EXPECT_EQ(d.names(), before);
}

}  // namespace
