// ravik-record, run as a child process on simulated chains: the outputs against the merge core
// on the raw files it kept, the window's reports on standard error, its refusals, and what a
// Ctrl-C leaves behind.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <thread>

#include "tests/core_merge.h"

namespace {

constexpr size_t kHeaderBytes = 64;
const std::set<std::string> kRawFiles = {"ravik-0.tmp", "ravik-1.tmp", "ravik-2.tmp"};

// True once a file in `dir` holds data; false after 10 seconds without.
bool waitForData(const std::string& dir) {
  for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    struct stat st;
    for (const std::string& name : namesIn(dir))
      if (stat((dir + "/" + name).c_str(), &st) == 0 && st.st_size > 0) return true;
  }
  return false;
}

// A scratch folder for one test, with its raw files in "tmp" and outputs in "out".
class RecordTest : public testing::Test {
protected:
  RecordTest() {
    mkdir(tmp.c_str(), 0755);
    mkdir(out.c_str(), 0755);
  }

  // Starts the program with the scenario `sim` (RAVIK_SIM_* variables without the prefix; all
  // others unset) and `args`; its standard output and error go to the file errText() reads.
  pid_t spawn(const std::vector<std::string>& sim, const std::vector<std::string>& args) const {
    return spawnProgram(RAVIK_RECORD_PROGRAM, args, dir / "stderr", sim);
  }
  std::string errText() const { return slurp(dir / "stderr"); }

  // The usual arguments: both outputs in `out`, raw files in `tmp`, `seconds` of recording.
  std::vector<std::string> outputs(const char* seconds) const {
    return {"-s", "--seconds", seconds, "--text", out + "/run.txt", "--bin", out + "/run.bin",
            "--tmp", tmp};
  }

  // Text lines and binary records agree: a complete pair of outputs, and nothing else.
  void expectCompleteOutputs() const {
    EXPECT_EQ(namesIn(out), (std::set<std::string>{"run.txt", "run.bin"}));
    const std::string text = slurp(out + "/run.txt");
    const size_t lines = size_t(std::count(text.begin(), text.end(), '\n'));
    EXPECT_GT(lines, 0u);
    EXPECT_EQ(slurp(out + "/run.bin").size(), 2 * kHeaderBytes + 10 * lines);
  }

  TempDir dir;
  const std::string tmp = dir / "tmp", out = dir / "out";
};

TEST_F(RecordTest, ChainOutOfOrderGivesTheCoreMergeOfItsRawFiles) {
  // Discovered in reverse: library index 2 is the master; index 1 loses data now and then.
  std::vector<std::string> args = outputs("0.6");
  args.push_back("--keep-raw");
  ASSERT_EQ(exitCode(spawn({"ORDER=reverse", "DATA_LOSS=1"}, args)), 0) << errText();
  const std::string err = errText();
  EXPECT_EQ(namesIn(tmp), kRawFiles);
  expectCompleteOutputs();

  // Every block the callback was given (3 events per 2 words) reached the raw file.
  for (uint32_t index = 0; index < 3; ++index) {
    std::smatch m;
    const std::regex line("index " + std::to_string(index) + " +([0-9]+) events .* loss (\\w+)");
    ASSERT_TRUE(std::regex_search(err, m, line)) << err;
    const size_t rawBytes = slurp(tmp + "/ravik-" + std::to_string(index) + ".tmp").size();
    EXPECT_GT(rawBytes, 0u);
    EXPECT_EQ(std::stoull(m[1]), rawBytes / 4 * 3 / 2) << "device " << index;
    EXPECT_EQ(m[2], index == 1 ? "yes" : "none") << "device " << index;
  }

  // The chain order, master first; no marker is enabled in the simulated devices.
  coreMerge({{tmp + "/ravik-2.tmp", 0, 0}, {tmp + "/ravik-1.tmp", 1, 0},
             {tmp + "/ravik-0.tmp", 2, 0}},
            dir / "core.txt", dir / "core.bin");
  EXPECT_TRUE(slurp(out + "/run.txt") == slurp(dir / "core.txt"));
  const std::string bin = slurp(out + "/run.bin"), records = slurp(dir / "core.bin");
  ASSERT_EQ(bin.size(), 2 * kHeaderBytes + records.size());
  EXPECT_TRUE(bin.compare(kHeaderBytes, records.size(), records) == 0);
  // The header is the master's (chain position 0, master flag), written as in the window.
  int32_t chainPosAndFlags[2];
  memcpy(chainPosAndFlags, bin.data() + 32, 8);
  EXPECT_TRUE(chainPosAndFlags[0] == 0 && (chainPosAndFlags[1] & 1)) << chainPosAndFlags[0];
}

TEST_F(RecordTest, ChainFaultsAreReportedAndTheRecordingGoesOn) {
  // Positions 0, 2, 2 and 3 in discovery order; the device at 3 cannot be connected.
  const pid_t pid = spawn({"DEVICES=4", "CHAIN=0,2,2,3", "ORDER=chain", "FAIL_CONNECT=3"},
                         outputs("0.3"));
  ASSERT_EQ(exitCode(pid), 0) << errText();
  const std::string err = errText();
  EXPECT_NE(err.find("ravik-record: connect (dev 4 of 4) returned \""), std::string::npos) << err;
  EXPECT_NE(err.find("ravik-record: Sequence number missing: 1\n"), std::string::npos) << err;
  EXPECT_NE(err.find("ravik-record: Sequence number not unique: 2\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("Sequence number missing: 3"), std::string::npos) << err;
  expectCompleteOutputs();
  EXPECT_TRUE(namesIn(tmp).empty()) << "merged raw files are deleted";
}

TEST_F(RecordTest, FailuresExitWithReasonAndLeaveNothing) {
  ASSERT_EQ(mkdir((tmp + "/ravik-1.tmp").c_str(), 0755), 0);  // index 1 cannot create its file
  std::vector<std::string> noSim = outputs("0.3");
  noSim.erase(noSim.begin());
  const struct {
    std::vector<std::string> sim, args;
    int code;
    const char* message;
  } cases[] = {
      {{}, outputs("0.3"), 4, "ravik-record: start returned \""},
      {{"DEVICES=0"}, outputs("0.3"), 3, "no device found\n"},
      {{}, noSim, 3, "no device found (-s also finds simulated devices)"},
      {{"FAIL_DISCOVER=1"}, outputs("0.3"), 3, "TDC_discover returned \""},
      {{}, {"-s", "--seconds", "0.3"}, 2, "no output chosen"},
      {{}, {"-s", "--text", out + "/a", "--tmp", dir / "none"}, 2, "does not exist"},
      {{}, {"-s", "--text", out + "/no/such/folder"}, 2, "cannot create"},
      {{}, {"-s", "--text", out + "/a", "--seconds", "-1"}, 2, "bad --seconds"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exitCode(spawn(c.sim, c.args)), c.code) << c.message;
    EXPECT_NE(errText().find(c.message), std::string::npos) << errText();
    EXPECT_TRUE(namesIn(out).empty()) << c.message << ": no output, no partial file";
    EXPECT_EQ(namesIn(tmp), std::set<std::string>{"ravik-1.tmp"}) << c.message;
  }
}

TEST_F(RecordTest, CtrlCStopsTheRecordingAndTheMergeFinishes) {
  const pid_t pid = spawn({}, outputs("60"));
  ASSERT_TRUE(waitForData(tmp)) << errText();
  kill(pid, SIGINT);
  EXPECT_EQ(exitCode(pid), 0) << errText();
  expectCompleteOutputs();
  EXPECT_TRUE(namesIn(tmp).empty());
}

TEST_F(RecordTest, CtrlCInTheMergeLeavesNoOutputAndKeepsTheRawFiles) {
  // Dense streams, so that the merge takes a while. The second Ctrl-C comes once the merge has
  // written its first bytes, or later if it was quick.
  const pid_t pid = spawn({"RATES=1e6"}, outputs("60"));
  ASSERT_TRUE(waitForData(tmp)) << errText();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // some data to merge
  kill(pid, SIGINT);
  ASSERT_TRUE(waitForData(out)) << errText();
  kill(pid, SIGINT);
  const int code = exitCode(pid);
  if (code == 0) {
    expectCompleteOutputs();
    EXPECT_TRUE(namesIn(tmp).empty());
    return;
  }
  EXPECT_EQ(code, 128 + SIGINT) << errText();
  EXPECT_TRUE(namesIn(out).empty());
  EXPECT_EQ(namesIn(tmp), kRawFiles);
  EXPECT_NE(errText().find("ravik-merge --text " + out + "/run.txt --bin " + out + "/run.bin "),
            std::string::npos)
      << errText();
}

}  // namespace
