// ravik-record, run as a child process on simulated chains: the outputs against the merge core
// on the raw files it kept, the window's reports on standard error, its refusals, and what a
// Ctrl-C leaves behind.
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>


#include "report/runmanifest.h"
#include "tests/cli_run.h"
#include "tests/measure_reference.h"

namespace {

// True once a file in `dir` or in a folder in it holds data; false after 10 seconds without.
bool waitForData(const std::string& dir) {
  for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    struct stat st;
    for (const std::string& name : namesIn(dir)) {
      const std::string path = dir + "/" + name;
      // The run manifest, written at Start, is no data.
      if (name == kManifestName || name.rfind(".ravik-run", 0) == 0) continue;
      if (stat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) ? waitForData(path) : st.st_size > 0))
        return true;
    }
  }
  return false;
}

class RecordTest : public RunFolders {
protected:
  // Starts the program with the scenario `sim` (RAVIK_SIM_* variables without the prefix; all
  // others unset) and `args`; its standard output and error go to the file errText() reads.
  pid_t spawn(const std::vector<std::string>& sim, const std::vector<std::string>& args) const {
    return spawnProgram(RAVIK_RECORD_PROGRAM, args, dir / "stderr", sim);
  }
  std::string errText() const { return slurp(dir / "stderr"); }
  // The folder of the raw files: the recording's own, inside `tmp`.
  std::string runDir() const {
    const std::set<std::string> names = namesIn(tmp);
    EXPECT_EQ(names.size(), 1u);
    return names.empty() ? tmp : tmp + "/" + *names.begin();
  }

  // The usual arguments: the outputs run.txt and run.bin in `out`, raw files in `tmp`, `seconds`
  // of recording; then `more`.
  std::vector<std::string> outputs(const char* seconds, const std::vector<std::string>& more = {}) const {
    std::vector<std::string> args = {"-s", "--seconds", seconds, "--text", out + "/run.txt",
                                     "--bin", out + "/run.bin", "--tmp", tmp};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
};

// Positions 0, 2, 2, 3 and -1 in discovery order, the device at 3 failing to connect: the faults
// are said and both devices of position 2 are recorded. The output folder moved away, the printed
// command, given a real output, merges the kept raw files as the recording would have.
TEST_F(RecordTest, ChainFaultsAreSaidAndThePrintedCommandMergesRepeatedPositions) {
  const std::string sub = out + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  const pid_t pid = spawn({"DEVICES=5", "CHAIN=0,2,2,3,-1", "ORDER=chain", "FAIL_CONNECT=3"},
                          {"-s", "--seconds", "1", "--text", sub + "/run.txt", "--tmp", tmp});
  ASSERT_TRUE(waitForData(tmp)) << errText();
  ASSERT_EQ(rename(sub.c_str(), (out + "/moved").c_str()), 0);
  ASSERT_EQ(exitCode(pid), 1) << errText();
  const std::string err = errText(), raw = runDir();
  // (Which faults are said, and how the chain is ordered: test_search.)
  for (const char* line : {"ravik-record: Sequence number missing: 1\n",
                           "Device TK24075 has chain position -1 and is not used\n"})
    EXPECT_TRUE(hasText(err, line));
  ASSERT_TRUE(hasText(err, "finish the merge with\n  ravik-merge --recover " + raw + "\n"));
  // The run's own output cannot be created any more: one given instead.
  const Outcome merged =
      runProgram(RAVIK_MERGE_PROGRAM, {"--recover", raw, "--text", dir / "merged.txt"}, dir / "err");
  ASSERT_EQ(merged.code, 0) << merged.err;
  coreMerge({{raw + "/ravik-0.tmp", 0, 0}, {raw + "/ravik-1.tmp", 2, 0},
             {raw + "/ravik-2.tmp", 2, 0}},
            dir / "core.txt", dir / "core.bin");
  EXPECT_TRUE(slurp(dir / "merged.txt") == slurp(dir / "core.txt"));
}

TEST_F(RecordTest, FailuresExitWithReasonAndLeaveNothing) {
  std::vector<std::string> noSim = outputs("0.3");
  noSim.erase(noSim.begin());
  // Parameter files with one fault each.
  const auto params = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir / name) << content;
    return outputs("0.3", {"--params", dir / name});
  };
  // The files the run reads are never replaced by one it writes.
  std::vector<std::string> onParams = params("p8", R"({"markers": 16})");
  onParams.insert(onParams.end(), {"--report", dir / "p8"});
  // A file that another recording holds (here this test, under the lock a recording takes).
  std::ofstream(dir / "held") << "theirs";
  const int held = open((dir / "held").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);  // holds no file to read
  std::ofstream(dir / "replayed.raw") << "";  // the stream a simulated device replays
  const auto entries = [&](const std::string& name, const std::string& devices) {
    return params(name, "{\"devices\": [" + devices + "]}");
  };
  // The live monitor's options.
  const auto monitor = [](std::vector<std::string> args) {
    args.insert(args.begin(), {"-s", "--bin", "/dev/null"});
    return args;
  };
  // (Bad parameter values and clashing markers, by the same checks: test_chain.py, test_chain.)
  const struct {
    std::vector<std::string> sim, args;
    int code;
    std::string message;
    bool noPlugins = false;  // the HDF5 library loads no filter plugin
  } cases[] = {
      {{"DEVICES=0"}, outputs("0.3"), 3, "no device found\n"},
      {{"DEVICES=1", "CHAIN=-1"}, outputs("0.3"), 3, "chain position -1 and is not used"},
      {{}, noSim, 3, "no device found (-s also finds simulated devices)"},
      {{"FAIL_DISCOVER=1"}, outputs("0.3"), 3, "TDC_discover returned \""},
      {{}, {"-s", "--seconds", "0.3"}, 2, "no output chosen"},
      {{}, {"-s", "--text", out + "/a", "--tmp", dir / "none"}, 2, "does not exist"},
      {{}, {"-s", "--text", out + "/no/such/folder"}, 2, "cannot create"},
      {{}, {"-s", "--text", out + "/a", "--report", out + "/a"}, 2, "a) and for the run report"},
      {{}, {"-s", "--text", out + "/a", "--tmp", dir / "stderr"}, 2,
       "stderr: is a file, not a folder; give --tmp a folder"},
      {{}, {"-s", "--text", out + "/a", "--seconds", "-1"}, 2, "bad --seconds"},
      {{}, {"-s", "--text", out + "/a", "--min-free", "2GB"}, 2, "bad --min-free '2GB'"},
      {{}, {"-s", "--text", out + "/a", "--min-free", "-1"}, 2, "bad --min-free '-1'"},
      {{}, {"-s", "--seconds=", "--text", out + "/a"}, 2, "--seconds needs a value"},
      {{}, params("p0", "{\"markers\": 16,"), 2, "p0: not a JSON document"},
      {{}, params("p1", R"({"devices": [{"serial": "TK24071", "parameters": {"marker": 16}}]})"),
       2, "p1: devices[0].parameters.marker: unknown key"},
      {{}, params("p5", R"({"markers": 512})"), 2, "p5: parameters.markers: 512 is not a mask"},
      {{}, params("p4", R"({"channels": [{"type": "TTL"}]})"), 2, "channels[0].type: \"TTL\""},
      {{"DEVICES=2", "ORDER=chain", "FEATURES=0x7C,0x6C"}, params("p7", R"({"five_channel": true})"),
       2, "output channel 5 (Master TK24071 input 5, Slave 1 TK24072 input 0) would hold the "
       "timestamps of two devices; five-channel mode is on, and TK24072 does not have it"},
      {{}, onParams, 2, "p8: is the parameter file " + dir / "p8; choose another name for the run report"},
      // Entries that would be passed over: for no device found, or a second one for a device.
      {{}, entries("p9", R"({"serial": "TK24071", "parameters": {}},
                            {"serial": "TK9", "chain": 7, "parameters": {}})"),
       2, "p9: devices[1] (serial TK9, chain position 7) is for no device of this chain (TK24071 "
       "at 0, TK24072 at 1, TK24073 at 2); nothing recorded"},
      {{}, entries("p10", R"({"serial": "TK24072", "parameters": {}}, {"chain": 1, "parameters": {}})"),
       2, "p10: devices[1] (no serial, chain position 1) is a second entry for TK24072, after "
       "devices[0]"},
      {{}, entries("p11", R"({"serial": "TK24073", "parameters": {}},
                             {"serial": "TK24073", "parameters": {}})"),
       2, "p11: devices[1] (serial TK24073, no chain position) is a second entry for TK24073"},
      {{}, {"-s", "--text", out + "/a", "--params", dir / "fifo"}, 2,
       "fifo: is a named pipe, not a regular file"},
      {{}, {"-s", "--seconds", "0.2", "--text", out + "/a", "--bin", dir / "held"}, 2,
       "held: is in use by another recording, which writes or replays it; choose another name"},
      {{"DEVICES=1", "REPLAY=" + dir / "replayed.raw"}, {"-s", "--seconds", "0.2", "--bin", dir / "replayed.raw",
       "--tmp", tmp}, 2, "replayed.raw: is the replayed stream " + dir / "replayed.raw" +
       "; choose another name for the binary output"},
      {{}, {"-s", "--text", out + "/a", "--compress=fast"}, 2,
       "--compress applies to the HDF5 output: give --hdf5 FILE too"},
      {{}, {"-s", "--hdf5", out + "/a", "--compress", "fast", "--tmp", tmp}, 2,
       "(32008) for compression \"fast\" cannot be loaded: install the Debian package bitshuffle",
       true},
      {{}, monitor({"--range", "100"}), 2, "need --correlate A,B"},
      {{}, monitor({"--histogram", dir / "h.csv"}), 2, "need --correlate A,B"},
      {{}, monitor({"--correlate", "1"}), 2, "bad --correlate '1'"},
      {{}, monitor({"--correlate", "1,x"}), 2, "bad --correlate '1,x'"},
      {{}, monitor({"--correlate", "1,6", "--bin-width", "0"}), 2, "bad --bin-width '0'"},
      {{}, monitor({"--correlate", "1,6", "--range", "2.5"}), 2, "bad --range '2.5'"},
      {{}, monitor({"--correlate", "1,6", "--range", "10000000", "--bin-width", "1"}), 2, "bins"},
  };
  for (const auto& c : cases) {
    if (c.noPlugins) setenv("HDF5_PLUGIN_PRELOAD", "::", 1);
    const pid_t pid = spawn(c.sim, c.args);
    unsetenv("HDF5_PLUGIN_PRELOAD");
    EXPECT_EQ(exitCodeWithin(pid, 60), c.code) << c.message;
    EXPECT_TRUE(hasText(errText(), c.message));
    EXPECT_TRUE(namesIn(out).empty()) << c.message << ": no output, no partial file";
    EXPECT_TRUE(namesIn(tmp).empty()) << c.message;
  }
  EXPECT_EQ(slurp(dir / "p8"), R"({"markers": 16})");
  EXPECT_EQ(slurp(dir / "held"), "theirs");
  EXPECT_EQ(slurp(dir / "replayed.raw"), "");
  // A reader's shared lock (as HDF5 takes on a file it reads) does not keep an output away.
  ASSERT_EQ(flock(held, LOCK_SH), 0);
  EXPECT_EQ(exitCode(spawn({}, {"-s", "-q", "--seconds", "0.2", "--text", dir / "held", "--tmp", tmp})), 0)
      << errText();
  EXPECT_NE(slurp(dir / "held"), "theirs");
  close(held);
}

// A device that refuses a parameter ends the run before recording, naming the call, and the
// report holds what the device kept. A histogram that cannot be written and a correlation
// channel of no device are said; the lost histogram is a write error, above a device's loss.
TEST_F(RecordTest, RefusedParameterLostHistogramAndUnknownChannel) {
  std::ofstream(dir / "params.json") << R"({"markers": 16, "divider": 2})";
  EXPECT_EQ(exitCode(spawn({"FAIL_PARAM=TDC_enableMarkers@0", "ORDER=chain"},
                          outputs("0.3", {"--params", dir / "params.json", "--report", dir / "r.json"}))),
            4);
  EXPECT_TRUE(hasText(errText(), "TDC_enableMarkers (device TK24071) returned \""));
  const nlohmann::json report = nlohmann::json::parse(slurp(dir / "r.json"));
  EXPECT_EQ(report["completed"], false);
  EXPECT_EQ(report["devices"][0]["parameters"]["markers"], 0) << report;
  EXPECT_EQ(report["devices"][0]["parameters"]["divider"], 2) << report;
  EXPECT_TRUE(namesIn(out).empty());

  EXPECT_EQ(exitCode(spawn({"DATA_LOSS=0"},
                          outputs("0.5", {"--correlate", "1,99", "--histogram", "/dev/full"}))),
            1) << errText();
  EXPECT_TRUE(hasText(errText(), "ravik-record: warning: --correlate channel 99 is no output channel "
                                 "of this chain; the histogram stays empty\n"));
  EXPECT_TRUE(hasText(errText(), "ravik-record: /dev/full: write error: No space left on device; no "
                                 "histogram written\n"));
  expectCompleteOutputs();
  // The master's five-channel mode makes its input 5 an output channel, also without slaves.
  std::ofstream(dir / "five.json") << R"({"five_channel": true})";
  EXPECT_EQ(exitCode(spawn({"DEVICES=1"}, outputs("0.3", {"--params", dir / "five.json",
                                                          "--correlate", "5,1"}))), 0) << errText();
  EXPECT_FALSE(hasText(errText(), "is no output channel")) << errText();
}

// A run's report fed back with the ms tick enabled repeats the run with its markers on every
// device, whether matched by serial or by chain position; its delays, dead times and coincidence
// window come back to the ps.
TEST_F(RecordTest, ParamsFromTheRunReportSetTheDevices) {
  ASSERT_EQ(exitCode(spawn({}, outputs("0.3"))), 0) << errText();
  const size_t records = expectCompleteOutputs();
  EXPECT_TRUE(namesIn(tmp).empty()) << "merged raw files and the manifest are deleted";
  nlohmann::json report = nlohmann::json::parse(slurp(out + "/run.json"));
  EXPECT_EQ(report["records"], records);
  ASSERT_EQ(report["devices"].size(), 3u);
  for (auto& device : report["devices"]) {
    ASSERT_EQ(device["parameters"]["markers"], 0) << device;
    device["parameters"]["markers"] = 0x10;
  }
  // Times the device takes in whole ps, finer than the dialog shows them: they come back as set.
  nlohmann::json& slave = report["devices"][1]["parameters"];
  slave["channels"][1]["signal_delay_ns"] = 1.5;
  slave["channels"][2]["signal_delay_ns"] = 0.001;
  slave["channels"][2]["dead_time_ns"] = 12.345;
  slave["coincidence_window_ns"] = 2.501;
  report["devices"][1]["serial"] = "elsewhere";  // found by its chain position
  std::ofstream(dir / "params.json") << report;
  ASSERT_EQ(exitCode(spawn({}, outputs("0.5", {"--params", dir / "params.json"}))), 0) << errText();

  // The ms tick of every device, whether matched by serial or by chain position.
  std::set<int> markers;
  for (const auto& [time, channel] : textRecords(slurp(out + "/run.txt")))
    if (channel >= 100) markers.insert(channel);
  EXPECT_EQ(markers, (std::set<int>{104, 109, 114}));
  // The new report holds what was set, and otherwise what the first run had.
  const nlohmann::json again = nlohmann::json::parse(slurp(out + "/run.json"));
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(again["devices"][i]["parameters"], report["devices"][i]["parameters"]) << i;
}

// Seconds since the epoch of a report's UTC time, "2026-12-06T07:05:09.123Z".
double utcSeconds(const std::string& text) {
  tm parts{};
  const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  return rest == nullptr ? 0 : double(timegm(&parts)) + atof(rest);
}

// The devices' data flow for half a second before the callback's registration returns: the
// summary's recording time is the report's, from before the devices start to the stop, and
// holds every record; its records are the merge's.
TEST_F(RecordTest, TheSummaryAndTheReportGiveOneRecordingTimeThatHoldsTheRecords) {
  ASSERT_EQ(exitCode(spawn({"REGISTER_DELAY_MS=500"}, outputs("0.3"))), 0) << errText();
  const nlohmann::json report = nlohmann::json::parse(slurp(out + "/run.json"));
  std::smatch m;
  const std::string err = errText();
  const std::regex summary("recorded +([0-9.]+) s, ([0-9]+) records merged");
  ASSERT_TRUE(std::regex_search(err, m, summary)) << err;
  const double seconds = std::stod(m[1]);
  EXPECT_EQ(std::stoll(m[2]), report["records"]);
  const double reported = utcSeconds(report["stop_utc"]) - utcSeconds(report["start_utc"]);
  EXPECT_NEAR(seconds, reported, 0.0025) << report["start_utc"] << " " << report["stop_utc"];
  const int64_t span = int64_t(report["last_ps"]) - int64_t(report["first_ps"]);
  EXPECT_GE(seconds + 0.0005, 1e-12 * double(span));
}

// --keep: the outputs hold the unfiltered merge of the kept raw files, filtered the plain way;
// the report counts what was kept; ravik-merge --keep, --recover (by the manifest's filter) and
// the window replaying the raw files with ravik-keep.json write the same records again.
// Virtual channels go to the outputs ahead of the filter, which passes them; the raw files
// keep everything, so that ravik-merge refilters them and --recover writes the run again.
TEST_F(RecordTest, KeepFiltersTheOutputsAndTheRawFilesRefilter) {
  const std::string filter = "6,11 within 5000 of 1; 7 within 1000 of 2";
  std::ofstream(dir / "v.json") << R"([{"type": "combined", "channels": [6, 11]}])";
  ASSERT_EQ(exitCode(spawn({}, outputs("0.3", {"--keep", filter, "--keep-raw", "--virtual",
                                               dir / "v.json"}))), 0)
      << errText();
  const size_t written = expectCompleteOutputs();
  const std::string bin = slurp(out + "/run.bin"), raw = runDir();
  const nlohmann::json manifest = nlohmann::json::parse(slurp(raw + "/" + kManifestName));
  std::vector<std::string> streams;
  for (const nlohmann::json& d : manifest["devices"])
    streams.push_back(raw + "/" + std::string(d["stream"]) + ":" + std::to_string(int(d["chain"])));
  std::vector<std::string> all = {"--bin", dir / "all.bin"};
  all.insert(all.end(), streams.begin(), streams.end());
  const Outcome merged = runProgram(RAVIK_MERGE_PROGRAM, all, dir / "err");
  ASSERT_EQ(merged.code, 0) << merged.err;
  const Tags everything = reference::recordsOf(records(slurp(dir / "all.bin")));
  const std::vector<KeepClause> clauses = {{{6, 11}, 5000, 1}, {{7}, 1000, 2}};
  VirtualChannel combined;
  combined.kind = VirtualChannel::Kind::Combined;
  combined.inputs = {6, 11};
  combined.channel = kFirstVirtualChannel;
  const Tags keptPlain = reference::keep(everything, clauses);
  const Tags kept = reference::keep(reference::withVirtual(everything, combined), clauses);
  ASSERT_LT(keptPlain.size(), everything.size());
  ASSERT_GT(reference::count(kept, 7), 0);
  EXPECT_EQ(reference::count(kept, kFirstVirtualChannel),
            reference::count(everything, 6) + reference::count(everything, 11));
  EXPECT_TRUE(reference::recordsOf(records(bin)) == kept);
  const nlohmann::json report = nlohmann::json::parse(slurp(out + "/run.json"));
  EXPECT_EQ(report["records"], written);
  EXPECT_EQ(report["keep"]["filter"], filter);
  EXPECT_EQ(report["virtual"], nlohmann::json::parse(
                                   R"([{"channel": 30000, "label": "virtual: combined 6, 11"}])"));
  for (const nlohmann::json& c : report["keep"]["channels"]) {
    EXPECT_EQ(c["kept"], reference::count(kept, int16_t(c["channel"]))) << c;
    EXPECT_EQ(int64_t(c["kept"]) + int64_t(c["dropped"]),
              reference::count(everything, int16_t(c["channel"]))) << c;
  }
  std::vector<std::string> again = {"--bin", dir / "again.bin", "--keep", filter,
                                    "--virtual", dir / "v.json"};
  again.insert(again.end(), streams.begin(), streams.end());
  ASSERT_EQ(runProgram(RAVIK_MERGE_PROGRAM, again, dir / "err").code, 0);
  EXPECT_TRUE(records(slurp(dir / "again.bin")) == records(bin));
  ASSERT_EQ(runProgram(RAVIK_MERGE_PROGRAM, {"--recover", raw, "--bin", dir / "recovered.bin"},
                       dir / "err").code, 0);
  EXPECT_TRUE(records(slurp(dir / "recovered.bin")) == records(bin));
  mkdir((dir / "window").c_str(), 0755);
  mkdir((dir / "wtmp").c_str(), 0755);
  std::ofstream(dir / "wtmp/ravik-keep.json") << nlohmann::json{{"keep", filter}};
  const Outcome window = runProgram(
      RAVIK_WINDOW_DRIVER, {dir / "window", "0", dir / "wtmp", "", dir / "w.bin", "", "0"},
      dir / "err", {"REPLAY=" + raw});
  ASSERT_EQ(window.code, 0) << window.err;
  EXPECT_TRUE(reference::recordsOf(records(slurp(dir / "w.bin"))) == keptPlain);
  EXPECT_EQ(nlohmann::json::parse(slurp(dir / "w.json"))["keep"]["filter"], filter);
  const Outcome bad = runProgram(RAVIK_RECORD_PROGRAM, outputs("0.3", {"--keep", "6 within 5"}),
                                 dir / "err");
  EXPECT_EQ(bad.code, 2);
  EXPECT_TRUE(hasText(bad.err, "bad --keep '6 within 5': \"6 within 5\" is not")) << bad.err;
}

// A small file system of its own holds the raw files and the outputs. Once its free space is
// below --min-free the recording stops by itself (exit code 6): the outputs hold every record the
// report counts. (The outputs hold every record of the raw files after a stop, which is the same
// whatever stopped it: test_recover's kept run. The stop's reason in the report, also for the
// Python face: test_chain.py; a margin of 0 never stops the recording: test_window_outputs.)
TEST_F(RecordTest, TheRecordingStopsBeforeItsFileSystemIsFull) {
  // The mount lives in a namespace of the run's own; what the run left is copied out of it.
  const char* script =
      "mount -t tmpfs -o size=64m tmpfs \"$1\" || exit 200; d=$1; c=$2; shift 2; \"$@\"; "
      "rc=$?; cp -a \"$d\"/. \"$c\"/ || exit 201; exit $rc";
  const std::string small = dir / "small", copy = dir / "copy";
  ASSERT_EQ(mkdir(small.c_str(), 0755) | mkdir(copy.c_str(), 0755), 0);
  const Outcome run = runProgram(
      "/usr/bin/unshare",
      {"-rm", "sh", "-c", script, "sh", small, copy, RAVIK_RECORD_PROGRAM, "-s", "--seconds", "60",
       "--text", small + "/run.txt", "--bin", small + "/run.bin", "--tmp", small, "--min-free",
       "40M"},
      dir / "err", {"RATES=2e4"});
  if (run.code == 200 || hasText(run.err, "unshare: "))
    GTEST_SKIP() << "cannot mount a tmpfs: " << run.err;
  ASSERT_EQ(run.code, 6) << run.err;
  EXPECT_TRUE(hasText(run.err, "ravik-record: stopping: free space below the margin: "));
  const nlohmann::json report = nlohmann::json::parse(slurp(copy + "/run.json"));
  const std::string text = slurp(copy + "/run.txt");
  EXPECT_EQ(report["records"], lineCount(text));
  EXPECT_EQ(slurp(copy + "/run.bin").size(), 2 * kHeaderBytes + 10 * lineCount(text));
  EXPECT_EQ(report["stop_reason"]["cause"], "free space");
  const nlohmann::json& fs = report["free_space"]["file_systems"];
  ASSERT_EQ(fs.size(), 1u) << report.dump();  // one file system for all the files
  EXPECT_EQ(fs[0]["folder"], small);
  EXPECT_LE(fs[0]["least_free_bytes"], fs[0]["free_at_start_bytes"]);
  EXPECT_LE(fs[0]["least_free_bytes"], fs[0]["free_at_stop_bytes"]);
}

// While it records, the run is no one else's to merge. Dense streams, so that the merge takes a
// while; the second Ctrl-C comes once the merge has written its first bytes, or later.
TEST_F(RecordTest, CtrlCInTheMergeLeavesNoOutputAndKeepsTheRawFiles) {
  const pid_t pid = spawn({"RATES=1e6"}, outputs("60"));
  ASSERT_TRUE(waitForData(tmp)) << errText();
  const std::string raw = runDir();
  const Outcome busy =
      runProgram(RAVIK_MERGE_PROGRAM, {"--recover", raw, "--text", dir / "r.txt"}, dir / "err");
  EXPECT_EQ(busy.code, 2);
  EXPECT_EQ(busy.err, "ravik-merge: " + raw + "/" + kManifestName +
                          ": the run is in use: it is still being recorded or merged, or another "
                          "ravik-merge --recover is merging it\n");
  EXPECT_EQ(namesIn(dir.path).count("r.txt"), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // some data to merge
  kill(pid, SIGINT);
  ASSERT_TRUE(waitForData(out)) << errText();
  kill(pid, SIGINT);
  const int code = exitCode(pid);
  if (code == 0 || code == 5) {  // the merge was done first (5: a busy host made a device lose data)
    expectCompleteOutputs();
    EXPECT_TRUE(namesIn(tmp).empty());
    return;
  }
  EXPECT_EQ(code, 128 + SIGINT) << errText();
  EXPECT_TRUE(namesIn(out).empty());
  std::set<std::string> raws = namesIn(raw);
  for (auto i = raws.begin(); i != raws.end();)  // a busy host may have made a device lose data
    i = i->size() > 5 && i->compare(i->size() - 5, 5, ".loss") == 0 ? raws.erase(i) : std::next(i);
  EXPECT_EQ(raws, (std::set<std::string>{"ravik-0.tmp", "ravik-1.tmp", "ravik-2.tmp", "ravik-run.json"}));
  EXPECT_TRUE(hasText(errText(), "ravik-merge --recover " + raw + "\n"));
  // The next recording in the same folder leaves the kept files alone.
  const std::string kept = slurp(raw + "/ravik-0.tmp");
  ASSERT_EQ(exitCode(spawn({}, outputs("0.2"))), 0) << errText();
  EXPECT_EQ(namesIn(tmp), std::set<std::string>{raw.substr(tmp.size() + 1)});
  EXPECT_TRUE(slurp(raw + "/ravik-0.tmp") == kept);
}

}  // namespace
