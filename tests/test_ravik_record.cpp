// ravik-record, run as a child process on simulated chains: the outputs against the merge core
// on the raw files it kept, the window's reports on standard error, its refusals, and what a
// Ctrl-C leaves behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/core_merge.h"

extern char** environ;

namespace {

constexpr int32_t kHeaderBytes = 64;

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A scratch folder for one test, with its raw files in "tmp" and outputs in "out".
class RecordTest : public testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/ravik-record-test-XXXXXX";
    _dir = mkdtemp(name);
    mkdir(tmp().c_str(), 0755);
    mkdir(out().c_str(), 0755);
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf " + _dir).c_str()), 0); }

  std::string tmp() const { return _dir + "/tmp"; }
  std::string out() const { return _dir + "/out"; }
  std::string file(const std::string& name) const { return _dir + "/" + name; }
  std::string errText() const { return contentOf(file("stderr")); }

  // Names in `dir`, hidden ones (partial outputs) included.
  static std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = readdir(d)) names.insert(e->d_name);
    closedir(d);
    names.erase(".");
    names.erase("..");
    return names;
  }
  // Bytes in the files of `dir`.
  static int64_t bytesIn(const std::string& dir) {
    int64_t bytes = 0;
    struct stat st;
    for (const std::string& name : namesIn(dir))
      if (stat((dir + "/" + name).c_str(), &st) == 0) bytes += st.st_size;
    return bytes;
  }

  // Starts the program with the scenario `sim` (RAVIK_SIM_* variables without the prefix; all
  // others unset) and `args`; its standard output and error go to the file errText() reads.
  pid_t spawn(const std::vector<std::string>& sim, const std::vector<std::string>& args) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
      if (strncmp(*e, "RAVIK_SIM_", 10) != 0) env.push_back(*e);
    for (const std::string& s : sim) env.push_back("RAVIK_SIM_" + s);
    std::vector<std::string> argv{RAVIK_RECORD_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 2, file("stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, 2, 1);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0].c_str(), &files, nullptr, pointers(argv).data(),
                          pointers(env).data()),
              0);
    posix_spawn_file_actions_destroy(&files);
    return pid;
  }

  static int exitCode(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }

  int run(const std::vector<std::string>& sim, const std::vector<std::string>& args) {
    return exitCode(spawn(sim, args));
  }

  // The usual arguments: both outputs in out(), raw files in tmp(), `seconds` of recording.
  std::vector<std::string> outputs(const char* seconds) const {
    return {"-s", "--seconds", seconds, "--text", out() + "/run.txt", "--bin",
            out() + "/run.bin", "--tmp", tmp()};
  }

  // Text lines and binary records agree: a complete pair of outputs, and nothing else.
  void expectCompleteOutputs() const {
    EXPECT_EQ(namesIn(out()), (std::set<std::string>{"run.txt", "run.bin"}));
    const std::string text = contentOf(out() + "/run.txt");
    const std::string bin = contentOf(out() + "/run.bin");
    const size_t lines = size_t(std::count(text.begin(), text.end(), '\n'));
    EXPECT_GT(lines, 0u);
    EXPECT_EQ(bin.size(), 2 * kHeaderBytes + 10 * lines);
  }

private:
  static std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(&t[0]);
    p.push_back(nullptr);
    return p;
  }

  std::string _dir;
};

// True when `done` holds within `ms` milliseconds.
template <class Condition>
bool waitFor(Condition done, int32_t ms) {
  for (int32_t waited = 0; waited < ms; waited += 10) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

TEST_F(RecordTest, ChainOutOfOrderGivesTheCoreMergeOfItsRawFiles) {
  // Discovered in reverse: library index 2 is the master; index 1 loses data now and then.
  std::vector<std::string> args = outputs("0.6");
  args.push_back("--keep-raw");
  ASSERT_EQ(run({"ORDER=reverse", "DATA_LOSS=1"}, args), 0) << errText();
  const std::string err = errText();
  EXPECT_EQ(namesIn(tmp()), (std::set<std::string>{"ravik-0.tmp", "ravik-1.tmp", "ravik-2.tmp"}));
  expectCompleteOutputs();

  // Every block the callback was given (3 events per 2 words) reached the raw file.
  for (uint32_t index = 0; index < 3; ++index) {
    std::smatch m;
    const std::regex line("index " + std::to_string(index) + " +([0-9]+) events .* loss (\\w+)");
    ASSERT_TRUE(std::regex_search(err, m, line)) << err;
    struct stat st;
    ASSERT_EQ(stat((tmp() + "/ravik-" + std::to_string(index) + ".tmp").c_str(), &st), 0);
    EXPECT_GT(st.st_size, 0);
    EXPECT_EQ(std::stoull(m[1]), uint64_t(st.st_size) / 4 * 3 / 2) << "device " << index;
    EXPECT_EQ(m[2], index == 1 ? "yes" : "none") << "device " << index;
  }

  // The chain order, master first; no marker is enabled in the simulated devices.
  coreMerge({{tmp() + "/ravik-2.tmp", 0, 0}, {tmp() + "/ravik-1.tmp", 1, 0},
             {tmp() + "/ravik-0.tmp", 2, 0}},
            file("core.txt"), file("core.bin"));
  EXPECT_TRUE(contentOf(out() + "/run.txt") == contentOf(file("core.txt")));
  const std::string bin = contentOf(out() + "/run.bin");
  const std::string records = contentOf(file("core.bin"));
  ASSERT_EQ(bin.size(), 2 * kHeaderBytes + records.size());
  EXPECT_TRUE(bin.compare(kHeaderBytes, records.size(), records) == 0);
  // The header is the master's, written by the connected device as in the window.
  int32_t chainPos = -1, flags = 0;
  memcpy(&chainPos, bin.data() + 32, 4);
  memcpy(&flags, bin.data() + 36, 4);
  EXPECT_EQ(chainPos, 0);
  EXPECT_EQ(flags & 1, 1);
}

TEST_F(RecordTest, ChainFaultsAreReportedAndTheRecordingGoesOn) {
  // Positions 0, 2, 2 and 3 in discovery order; the device at 3 cannot be connected.
  ASSERT_EQ(run({"DEVICES=4", "CHAIN=0,2,2,3", "ORDER=chain", "FAIL_CONNECT=3"}, outputs("0.3")),
            0)
      << errText();
  const std::string err = errText();
  EXPECT_NE(err.find("ravik-record: connect (dev 4 of 4) returned \""), std::string::npos) << err;
  EXPECT_NE(err.find("ravik-record: Sequence number missing: 1\n"), std::string::npos) << err;
  EXPECT_NE(err.find("ravik-record: Sequence number not unique: 2\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("Sequence number missing: 3"), std::string::npos) << err;
  expectCompleteOutputs();
  EXPECT_TRUE(namesIn(tmp()).empty()) << "merged raw files are deleted";
}

TEST_F(RecordTest, FailuresExitWithReasonAndLeaveNothing) {
  struct Case {
    std::vector<std::string> sim, args;
    int code;
    const char* message;
  };
  const std::string blocked = tmp() + "/ravik-1.tmp";
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);  // the raw file of index 1 cannot be created
  std::vector<std::string> noSim = outputs("0.3");
  noSim.erase(noSim.begin());
  const std::vector<Case> cases = {
      {{}, outputs("0.3"), 4, "ravik-record: start returned \""},
      {{"DEVICES=0"}, outputs("0.3"), 3, "no device found\n"},
      {{}, noSim, 3, "no device found (-s also finds simulated devices)"},
      {{"FAIL_DISCOVER=1"}, outputs("0.3"), 3, "TDC_discover returned \""},
      {{}, {"-s", "--seconds", "0.3"}, 2, "no output chosen"},
      {{}, {"-s", "--text", out() + "/a", "--tmp", file("none")}, 2, "does not exist"},
      {{}, {"-s", "--text", out() + "/no/such/folder"}, 2, "cannot create"},
      {{}, {"-s", "--text", out() + "/a", "--seconds", "-1"}, 2, "bad --seconds"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.sim, c.args), c.code) << c.message;
    EXPECT_NE(errText().find(c.message), std::string::npos) << errText();
    EXPECT_TRUE(namesIn(out()).empty()) << c.message << ": no output, no partial file";
    EXPECT_EQ(namesIn(tmp()), std::set<std::string>{"ravik-1.tmp"}) << c.message;
  }
}

TEST_F(RecordTest, CtrlCStopsTheRecordingAndTheMergeFinishes) {
  const pid_t pid = spawn({}, outputs("60"));
  ASSERT_TRUE(waitFor([&] { return bytesIn(tmp()) > 0; }, 10000)) << errText();
  kill(pid, SIGINT);
  EXPECT_EQ(exitCode(pid), 0) << errText();
  expectCompleteOutputs();
  EXPECT_TRUE(namesIn(tmp()).empty());
}

TEST_F(RecordTest, CtrlCInTheMergeLeavesNoOutputAndKeepsTheRawFiles) {
  // Dense streams, so that the merge takes a while. The second Ctrl-C comes once the merge has
  // written its first bytes, or later if it was quick.
  const pid_t pid = spawn({"RATES=1e6"}, outputs("60"));
  ASSERT_TRUE(waitFor([&] { return bytesIn(tmp()) > 0; }, 10000)) << errText();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // some data to merge
  kill(pid, SIGINT);
  ASSERT_TRUE(waitFor([&] { return bytesIn(out()) > 0; }, 10000)) << errText();
  kill(pid, SIGINT);
  const int code = exitCode(pid);
  if (code == 0) {
    expectCompleteOutputs();
    EXPECT_TRUE(namesIn(tmp()).empty());
    return;
  }
  EXPECT_EQ(code, 128 + SIGINT) << errText();
  EXPECT_TRUE(namesIn(out()).empty());
  EXPECT_EQ(namesIn(tmp()), (std::set<std::string>{"ravik-0.tmp", "ravik-1.tmp", "ravik-2.tmp"}));
  EXPECT_NE(errText().find("ravik-merge --text " + out() + "/run.txt --bin " + out() + "/run.bin "),
            std::string::npos)
      << errText();
}

}  // namespace
