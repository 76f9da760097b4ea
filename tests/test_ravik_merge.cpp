// ravik-merge, run as a child process: the same bytes as the merge core, its defaults, its
// refusals, and that no output appears under its name unless the merge completed.
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <optional>
#include <random>

#include <nlohmann/json.hpp>

#include "device/korbalt.h"
#include "tests/cli_run.h"
#include "tests/hdf5_filters.h"
#include "chain/partwriter.h"
#include "tests/codec_stamps.h"

namespace {

// A device stream of `count` timestamps on a coarse grid (so devices tie), some of them markers.
void writeStream(const std::string& path, int32_t count, uint32_t seed) {
  ASSERT_TRUE(writeWords(path, packStream(gridStamps(count, seed, 50, 20))));
}

// What the window's merge core writes for the sources, in this order, without a device.
void coreMerge(const std::vector<CoreSource>& sources, const std::string& text,
               const std::string& bin) {
  coreMerge(sources, text, bin, [](FILE* f, bool) { writeFileHeader(f, 0); });
}

const std::string kErrPath = "/tmp/ravik-merge-test-" + std::to_string(getpid()) + ".err";

pid_t start(const std::vector<std::string>& args) {
  return spawnProgram(RAVIK_MERGE_PROGRAM, args, kErrPath);
}

Outcome run(const std::vector<std::string>& args) {
  return runProgram(RAVIK_MERGE_PROGRAM, args, kErrPath);
}

// Runs with `args`, which must succeed.
Outcome ok(const std::vector<std::string>& args) {
  const Outcome r = run(args);
  EXPECT_EQ(r.code, 0) << r.err;
  return r;
}

// Runs with `args`, which must fail with `code` and one line that begins with `message`, and
// leave the names in `dir` as `before`.
void expectRefusal(const std::vector<std::string>& args, const std::string& message, int code,
                   const std::string& dir, const std::set<std::string>& before) {
  const Outcome r = run(args);
  EXPECT_EQ(r.code, code) << message;
  EXPECT_EQ(r.err.find("ravik-merge: " + message), 0u) << r.err;
  EXPECT_EQ(lineCount(r.err), 1u) << r.err;
  EXPECT_EQ(namesIn(dir), before) << message;
}

TEST(RavikMerge, WritesTheBytesOfTheMergeCoreWithDefaultsAndInChainOrder) {
  TempDir d;
  for (int i = 0; i < 3; ++i) writeStream(d / ("s" + std::to_string(i)), 30000 + 7000 * i, 5 + i);
  coreMerge({{d / "s0", 0, 0x1FF}, {d / "s1", 1, 0x1FF}, {d / "s2", 2, 0x1FF}}, d / "t.ref",
            d / "b.ref");
  Outcome r = ok({"--text", d / "t", "--bin", d / "b", d / "s0", d / "s1", d / "s2"});
  EXPECT_EQ(slurp(d / "t"), slurp(d / "t.ref"));
  EXPECT_EQ(slurp(d / "b"), slurp(d / "b.ref"));
  // The summary's counts, time span and counts per channel are those of the output's lines.
  const auto records = textRecords(slurp(d / "t"));
  const size_t bytes = slurp(d / "s0").size() + slurp(d / "s1").size() + slurp(d / "s2").size();
  std::map<int32_t, int64_t> perChannel;
  for (const auto& rec : records) ++perChannel[rec.second];
  const auto [first, last] = std::minmax_element(records.begin(), records.end());
  std::string rows = "records per channel:\n";
  char row[64];
  for (const auto& [channel, n] : perChannel)
    rows += std::string(row, size_t(snprintf(row, sizeof row, "  channel %6d  %lld\n", channel, (long long)n)));
  for (const std::string& line : {"records written   " + std::to_string(records.size()) + "\n", rows,
                                  "bytes read        " + std::to_string(bytes), "first time        " +
                                  std::to_string(first->first) + " ps\nlast time         " +
                                  std::to_string(last->first) + " ps\n"})
    EXPECT_TRUE(hasText(r.err, line));

  // Streams given out of chain order are merged in chain order; a marker mask applies to its
  // stream only; each output alone is the same as with both.
  coreMerge({{d / "s2", 0, 0x1FF}, {d / "s0", 1, 0x1FF}, {d / "s1", 2, 0x3}}, d / "t.ref",
            d / "b.ref");
  EXPECT_EQ(ok({"--quiet", "--bin", d / "b", d / "s1:2:0x3", d / "s2:0", d / "s0:1"}).err, "");
  EXPECT_EQ(slurp(d / "b"), slurp(d / "b.ref"));
}

// Bad input is refused with status 2 before any output exists; a write error fails with 1 and
// removes what was written. Either way one line names the file, and no file appears. Named pipes
// (whose open would wait for ever) as a stream, loss file, --meta file or manifest are refused.
TEST(RavikMerge, FailsWithOneLineNamingTheFileAndLeavesNoOutput) {
  TempDir d;
  writeStream(d / "s", 5000, 2);
  writeStream(d / "u", 10, 3);
  writeStream(d / "w", 10, 4);
  mkdir((d / "dir").c_str(), 0755);
  ASSERT_EQ(mkdir((d / "run").c_str(), 0755), 0);
  for (const std::string fifo : {"fifo", "w.loss", "run/ravik-run.json"})
    ASSERT_EQ(mkfifo((d / fifo).c_str(), 0644), 0);
  std::ofstream(d / "bad.json") << R"({"identity": {"autor": "x"}})";
  const std::set<std::string> before = namesIn(d.path);
  const struct {
    std::vector<std::string> args;
    std::string message;
    int code = 2;
  } cases[] = {
      {{"--text", d / "t", d / "missing"}, d / "missing: cannot open: No such file"},
      {{"--text", d / "t", d / "dir"}, d / "dir: is a directory"},
      {{"--text", d / "t", d / "s", d / "fifo"}, d / "fifo: is a named pipe, not a regular file\n"},
      {{"--text", d / "t", d / "w"}, d / "w.loss: is a named pipe, not a regular file\n"},
      {{"--hdf5", d / "h", "--meta", d / "fifo", d / "s"}, d / "fifo: is a named pipe, not a regular file\n"},
      {{"--recover", d / "run"}, d / "run/ravik-run.json: is a named pipe, not a regular file\n"},
      {{"--text", d / "t", d / "s:x"}, d / "s: bad chain position 'x'"},
      {{"--text", d / "t", d / "s:6513"}, d / "s: bad chain position '6513'"},
      {{"--text", d / "t", d / "s:0:0x200"}, d / "s: bad marker mask '0x200'"},
      {{"--text", d / "t", d / "s:0:-1"}, d / "s: bad marker mask '-1'"},
      {{"--text", d / "s", d / "s"}, d / "s: is the input stream"},
      {{"--text", d / "t", d / "s:0", d.path + "/./s:1"}, d / "./s: is given twice (also as"},
      {{"--text", d / "t", d / "s:1", d / "u:1"}, d / "s and " + d / "u: both have chain position 1, so their channels would mix "
                                    "(--shared-positions allows it)"},
      {{"--bin", d / "dir", d / "s"}, d / "dir: is a directory"},
      {{"--text", d / "t", "--bin", d.path + "/./t", d / "s"},
       d / "./t: is given for the text output (" + d / "t) and for the binary output"},
      {{"--text", d / "no/t", d / "s"}, d / "no/t: cannot create: No such file"},
      {{"--hdf5", "/dev/null", d / "s"}, "/dev/null: cannot write this output to a device"},
      {{"--hdf5", d / "t", "--text", d / "t", d / "s"},
       d / "t: is given for the text output (" + d / "t) and for the HDF5 output"},
      {{"--hdf5", d / "h", "--meta", d / "bad.json", d / "s"}, d / "bad.json: unknown key identity.autor\n"},
      {{"--text", d / "t", "--meta", d / "bad.json", d / "s"},
       "--meta applies to the HDF5 output: give --hdf5 FILE too\n"},
      // The word after --compress, and a stream file after it that stays a stream.
      {{"--hdf5", d / "h", "--compress=zip", d / "s"},
       "bad --compress 'zip' (fast, or deflate: the default)\n"},
      {{"--hdf5", d / "h", "--compress=", d / "s"}, "--compress needs a value\n"},
      {{"--text", d / "t", "--compress", "fast", d / "s"},
       "--compress applies to the HDF5 output: give --hdf5 FILE too\n"},
      {{"--text", d / "t", "--compress", d / "s"},
       "--compress applies to the HDF5 output: give --hdf5 FILE too\n"},
      {{"--hdf5", d / "h", "--compress", "zip", d / "s"}, "zip: cannot open: No such file"},
      {{d / "s"}, "no output given"},
      {{"--text", d / "t"}, "no stream file given"},
      {{"--txt", d / "t", d / "s"}, "unknown option '--txt'"},
      {{"--text=", d / "t", d / "s"}, "--text needs a file name"},
      {{"--text", d / "t", "--", "-s"}, "-s: cannot open: No such file"},
      {{"--text", d / "t", "--bin", "/dev/full", d / "s"},
       "/dev/full: write error: No space left on device", 1},
      // Markers beside chain positions from 20 up (which clash: test_channelmap): the message
      // names the stream whose markers to disable.
      {{"--text", d / "t", d / "s:0", d / "u:20"},
       "chain positions 0 and 20 would share output channel 100 (chain position 0 marker 100, "
       "chain position 20 input 0); give " + d / "s the marker mask 0 (" + d / "s:0:0)"},
  };
  for (const auto& c : cases) expectRefusal(c.args, c.message, c.code, d.path, before);
  // Unless the markers concerned are disabled.
  const std::pair<std::string, std::string> accepted[] = {
      {d / "s:0:0", d / "u:20"}, {d / "s:0:0x1e0", d / "u:20:0"}, {d / "s:5", d / "u:23"}};
  for (const auto& streams : accepted)
    EXPECT_EQ(ok({"--quiet", "--text", d / "t", streams.first, streams.second}).err, "");
  const Outcome help = run({"--help"}), version = run({"--version"});
  EXPECT_TRUE(help.code == 0 && help.err.find("Example") != std::string::npos) << help.err;
  EXPECT_TRUE(version.code == 0 && version.err.find("ravik-merge ") == 0) << version.err;
}

// --compress alone is shuffle and deflate, and the stream file after it stays a stream; "fast"
// after it, or after "=", is bitshuffle with LZ4. When the library loads no filter plugin,
// "fast" is refused before any output exists.
TEST(RavikMerge, CompressChoosesTheColumnsFilters) {
  TempDir d;
  writeStream(d / "s", 5000, 2);
  const struct {
    std::vector<std::string> words;
    std::vector<H5Z_filter_t> filters;
  } cases[] = {
      {{}, {}},
      {{"--compress"}, {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE}},
      {{"--compress", "deflate"}, {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE}},
      {{"--compress=deflate"}, {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE}},
      {{"--compress", "fast"}, {32008}},
      {{"--compress=fast"}, {32008}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--quiet", "--hdf5", d / "h.h5"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    args.push_back(d / "s");
    ok(args);
    EXPECT_EQ(timestampsFilters(d / "h.h5"), c.filters) << args[3];
    unlink((d / "h.h5").c_str());
  }
  setenv("HDF5_PLUGIN_PRELOAD", "::", 1);  // the library's own switch: no plugins
  expectRefusal({"--hdf5", d / "h.h5", "--compress", "fast", d / "s"},
                "the HDF5 filter bitshuffle with LZ4 (32008) for compression \"fast\" cannot be "
                "loaded: install the Debian package bitshuffle",
                2, d.path, namesIn(d.path));
  unsetenv("HDF5_PLUGIN_PRELOAD");
}

// Split into parts, the outputs are the whole merge's, part after part, and the report lists
// the parts; a part's rule must be a size or a time, and its outputs files.
TEST(RavikMerge, SplitOutputsAreTheWholeInParts) {
  TempDir d;
  writeStream(d / "s", 20000, 4);
  coreMerge({{d / "s", 0, 0x1FF}}, d / "t.ref", d / "b.ref");
  ok({"--quiet", "--split-size", "40k", "--text", d / "t.txt", "--bin", d / "b.bin", d / "s"});
  const nlohmann::json parts = nlohmann::json::parse(slurp(d / "b.json"))["parts"];
  ASSERT_GE(parts.size(), 5u);
  std::string text, bin;
  int64_t counted = 0;
  for (const nlohmann::json& part : parts) {
    const int32_t index = part["index"];
    text += slurp(partName(d / "t.txt", index));
    bin += records(slurp(partName(d / "b.bin", index)));
    counted += part["records"].get<int64_t>();
    EXPECT_EQ(part["files"][1]["path"], partName(d / "b.bin", index));
  }
  EXPECT_EQ(text, slurp(d / "t.ref"));
  EXPECT_EQ(bin, records(slurp(d / "b.ref")));
  EXPECT_EQ(counted, 20000);
  ASSERT_EQ(system(("cp " + d / "s" + " " + d / "q-00012").c_str()), 0);
  const std::set<std::string> before = namesIn(d.path);
  for (const auto& c : std::vector<std::pair<std::vector<std::string>, std::string>>{
           // No part replaces a stream that it would be named as.
           {{"--split-time", "1", "--bin", d / "q", d / "q-00012"},
            d / "q-00012: the stream has the name of a part of the output " + d / "q"},
           {{"--split-size", "0"}, "bad --split-size '0' (a size above 0 such as 500M or 2G)"},
           {{"--split-time", "2e7"}, "bad --split-time '2e7' (a number of seconds above 0)"},
           {{"--split-time", "1", "--bin", "/dev/null"},
            "/dev/null: an output split into parts must be a file name, not a device"}}) {
    std::vector<std::string> args = c.first;
    if (args.size() == 2) args.insert(args.end(), {"--bin", d / "x.bin"});
    args.push_back(d / "s");
    expectRefusal(args, c.second, 2, d.path, before);
  }
}

// When the binary output cannot be renamed into place (a folder took its name meanwhile), the
// text output is, and the message says so. The program is held before it publishes by its
// standard error, a full pipe that its progress line must pass.
TEST(RavikMerge, SaysWhichOutputWasPutInPlace) {
  TempDir d;
  writeStream(d / "small", 2000, 3);
  coreMerge({{d / "small", 0, 0x1FF}}, d / "t.ref", d / "b.ref");
  ASSERT_EQ(mkfifo((d / "err").c_str(), 0644), 0);
  const int err = open((d / "err").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fcntl(err, F_SETPIPE_SZ, 4096), 0);
  char chunk[4096] = {};
  while (write(err, chunk, sizeof chunk) > 0) {
  }
  const std::set<std::string> held = namesIn(d.path);
  const pid_t both =
      spawnProgram(RAVIK_MERGE_PROGRAM,
                   {"--progress", "--text", d / "t3", "--bin", d / "b3", d / "small"}, d / "err");
  for (int i = 0; i < 100000 && namesIn(d.path).size() < held.size() + 2; ++i) usleep(100);
  ASSERT_EQ(mkdir((d / "b3").c_str(), 0755) | mkdir((d / "b3/x").c_str(), 0755), 0);
  const int drain = open((d / "err").c_str(), O_RDONLY | O_NONBLOCK);
  close(err);
  fcntl(drain, F_SETFL, 0);
  const std::string message = readAll(drain);
  close(drain);
  EXPECT_EQ(exitCode(both), 1);
  EXPECT_TRUE(hasText(message, d / "t3 is complete, the binary output was not written"));
  EXPECT_TRUE(slurp(d / "t3") == slurp(d / "t.ref"));
}

// No file of the run takes the place of another, whatever the names: the run report is checked
// like the outputs, links are followed also to targets not there yet, --no-clobber replaces
// nothing, no output takes an input's loss file (there or not yet), and the default report steps
// aside when an output or a file that is no run report has its name.
TEST(RavikMerge, NeverWritesOneFileOfTheRunOverAnother) {
  TempDir d;
  writeStream(d / "s", 3000, 4);
  writeStream(d / "u", 2000, 5);
  coreMerge({{d / "s", 0, 0x1FF}, {d / "u", 1, 0x1FF}}, d / "t.ref", d / "b.ref");
  ASSERT_EQ(symlink("target.bin", (d / "link.txt").c_str()), 0);
  ASSERT_EQ(symlink("s", (d / "slink").c_str()), 0);
  ASSERT_EQ(mkdir((d / "dir").c_str(), 0755), 0);
  std::ofstream(d / "old.txt") << "kept\n";
  const std::string meta = "{\"identity\": {\"author\": \"A. Person\"}}\n";
  std::ofstream(d / "m.json") << meta;
  ASSERT_EQ(symlink("m.json", (d / "mlink").c_str()), 0);
  // A recording kept in a folder of its own, not merged: its manifest, streams and loss files
  // are what a recovery needs.
  ASSERT_EQ(mkdir((d / "run").c_str(), 0755), 0);
  const std::string manifest =
      "{\"manifest\": \"ravik-run\", \"version\": 1, \"devices\": [{\"stream\": \"ravik-0.tmp\"}, "
      "{\"stream\": \"ravik-1.tmp\"}]}\n";
  std::ofstream(d / "run/ravik-run.json") << manifest;
  std::ofstream(d / "run/ravik-0.tmp") << slurp(d / "s");
  std::ofstream(d / "run/ravik-1.tmp") << slurp(d / "u");
  std::ofstream(d / "run/ravik-1.tmp.loss") << "";
  ASSERT_EQ(symlink("run/ravik-1.tmp", (d / "runlink").c_str()), 0);
  std::ofstream(d / "u.loss") << "";
  const std::string stream = slurp(d / "s");
  const std::set<std::string> before = namesIn(d.path);
  const std::set<std::string> runBefore = namesIn(d / "run");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--text", d / "t", "--report", d / "u"},
       d / "u: is the input stream " + d / "u; choose another name for the run report"},
      {{"--text", d / "t", "--report", d / "slink"}, d / "slink: is the input stream " + d / "s;"},
      {{"--text", d / "t", "--report", d / "t"},
       d / "t: is given for the text output (" + d / "t) and for the run report"},
      {{"--hdf5", d / "h", "--bin", d / "b", "--report", d.path + "/./h"},
       d / "./h: is given for the HDF5 output (" + d / "h) and for the run report"},
      {{"--text", d / "link.txt", "--bin", d / "target.bin"},
       d / "target.bin: is given for the text output (" + d / "link.txt) and for the binary"},
      {{"--text", d / "t", "--report", d / "dir"}, d / "dir: is a directory; give the run report"},
      {{"--text", d / "t", "--report", d / "no/r.json"},
       d / "no/r.json: cannot write the run report there: No such file"},
      {{"--text", "-", "--bin", "/dev/stdout"}, "/dev/stdout: is given for the text output (-)"},
      {{"--no-clobber", "--text", d / "old.txt"},
       d / "old.txt: exists, and --no-clobber keeps it; choose another name for the text output"},
      {{"--no-clobber", "--text", d / "t", "--report", d / "old.txt"},
       d / "old.txt: exists, and --no-clobber keeps it; choose another name for the run report"},
      // The metadata file is read, never replaced.
      {{"--hdf5", d / "h", "--meta", d / "m.json", "--report", d / "m.json"},
       d / "m.json: is the metadata file " + d / "m.json; choose another name for the run report"},
      {{"--hdf5", d / "h", "--meta", d / "m.json", "--text", d / "mlink"},
       d / "mlink: is the metadata file " + d / "m.json; choose another name for the text output"},
      // Neither the kept run's manifest nor a stream of it, also through a link, not even
      // with a merge of other streams.
      {{"--bin", d / "run/ravik-run.json"},
       d / "run/ravik-run.json: is a file of the recording kept in " + d / "run" +
           " (its manifest, a stream or a loss file, which ravik-merge --recover " + d / "run" +
           " needs); choose another name for the binary output"},
      {{"--text", d / "t", "--report", d / "runlink"},
       d / "runlink: is a file of the recording kept in " + d / "run"},
      {{"--text", d / "run/ravik-1.tmp.loss"},
       d / "run/ravik-1.tmp.loss: is a file of the recording kept in " + d / "run"},
      {{"--bin", d / "run/ravik-0.tmp.loss"},
       d / "run/ravik-0.tmp.loss: is a file of the recording kept in " + d / "run"},
      {{"--text", d / "s.loss"},
       d / "s.loss: is the loss file " + d / "s.loss of the input stream " + d / "s; choose"},
      {{"--text", d / "t", "--report", d / "u.loss"},
       d / "u.loss: is the loss file " + d / "u.loss of the input stream " + d / "u; choose"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {d / "s", d / "u"});
    expectRefusal(args, c.message, 2, d.path, before);
  }
  EXPECT_TRUE(slurp(d / "s") == stream && slurp(d / "old.txt") == "kept\n" && slurp(d / "m.json") == meta);
  EXPECT_EQ(slurp(d / "run/ravik-run.json"), manifest);
  EXPECT_EQ(slurp(d / "run/ravik-1.tmp"), slurp(d / "u"));
  EXPECT_EQ(namesIn(d / "run"), runBefore);
  // The default report beside run.bin would be the text output run.json: it goes to
  // run.report.json instead, and run.json holds the text.
  ok({"--quiet", "--text", d / "run.json", "--bin", d / "run.bin", d / "s", d / "u"});
  EXPECT_TRUE(slurp(d / "run.json") == slurp(d / "t.ref"));
  EXPECT_EQ(nlohmann::json::parse(slurp(d / "run.report.json"))["records"], 5000);
  // So also for the metadata file m.json beside m.bin: the report becomes m.report.json.
  ok({"--quiet", "--bin", d / "m.bin", "--hdf5", d / "m.h5", "--meta", d / "m.json", d / "s"});
  EXPECT_EQ(slurp(d / "m.json"), meta);
  EXPECT_EQ(nlohmann::json::parse(slurp(d / "m.report.json"))["records"], 3000);
  // Through a link to a target not there yet, with --no-clobber: the target is created.
  ok({"--quiet", "--no-clobber", "--text", d / "link.txt", d / "s", d / "u"});
  EXPECT_TRUE(slurp(d / "target.bin") == slurp(d / "t.ref"));
}

// Streams that are no device streams: a merged output is refused; a stream that does not decode
// cleanly is merged as far as it goes and counted per device (report and warning, also when
// quiet); one mostly undecodable, or with times outside its own span, and a temp file that a
// recording holds locked, are refused with nothing written unless --force.
TEST(RavikMerge, StreamsThatAreNoDeviceStreams) {
  TempDir d;
  writeStream(d / "s", 3000, 4);
  coreMerge({{d / "s", 0, 0x1FF}}, d / "t.ref", d / "b.ref");
  ASSERT_EQ(rename((d / "b.ref").c_str(), (d / "merged.bin").c_str()), 0);
  std::ofstream(d / "merged.h5") << "\x89HDF\r\n\x1a\n" << std::string(600, '\0');
  for (const std::string name : {"merged.bin", "merged.h5"})
    expectRefusal({"--text", d / "t", d / "s:0", d / (name + ":1")},
                  d / name + ": is a merged output, not a device stream\n", 2, d.path, namesIn(d.path));

  // 400 events in order, then one 1 us back and 400 more: one step back. Word 210 (in the third
  // block of 100 words, at index 10) breaks the bit-31 rule: that block loses its packets from
  // there on, 45; word 300 opens a block that cannot be aligned: 50 packets.
  std::vector<PpTimest> events;
  for (int64_t i = 0; i < 800; ++i) events.push_back({10000000 + 3000 * i - (i >= 400) * 1000000, uint8_t(i % 5)});
  std::vector<uint32_t> words = packStream(events);
  ASSERT_GT(words.size(), 400u);
  words[210] |= 0x80000000u;
  words[300] |= 0x80000000u;
  writeWords(d / "bad", words);
  writeWords(d / "back", packStream(events));
  // Every timestamp of one time: ties, where the decoder's pages meet too, are no step back.
  ASSERT_TRUE(writeWords(d / "tied", packStream(std::vector<PpTimest>(100000, {20000000, 3}))));
  const Outcome r = ok({"--quiet", "--text", d / "t", "--report", d / "r.json", d / "s", d / "bad",
                        d / "back", d / "tied"});
  EXPECT_TRUE(hasText(r.err, "ravik-merge: warning: " + d / "bad (chain 1): 95 undecodable packets"));
  EXPECT_TRUE(hasText(r.err, "ravik-merge: warning: " + d / "back (chain 2): 1 step back in time\n"));
  EXPECT_EQ(lineCount(r.err), 2u) << r.err;
  const nlohmann::json report = nlohmann::json::parse(slurp(d / "r.json"));
  // The first stream's markers run ahead but are no step back.
  const std::tuple<int, const char*, int> counts[] = {{0, "decode_errors", 0}, {0, "backward_steps", 0},
      {1, "decode_errors", 95}, {2, "decode_errors", 0}, {2, "backward_steps", 1}, {3, "backward_steps", 0}};
  for (const auto& [device, key, count] : counts)
    EXPECT_EQ(report["devices"][device][key], count) << device << key;

  // Random bytes; and a device stream of which one time lies 1000 s after the others.
  std::mt19937 rng(7);
  std::vector<uint32_t> noise(20000);
  for (uint32_t& w : noise) w = rng();
  writeWords(d / "noise", noise);
  events.resize(400);
  events[200].time += 1000000000000000;
  writeWords(d / "wild", packStream(events));
  const std::pair<std::string, std::string> refused[] = {
      {"noise", "% of its packets cannot be decoded: it is no device stream (--force merges it all "
                "the same); no output written\n"},
      {"wild", "holds times from 10000000 to 1000000010600000 ps, outside the span it recorded "
               "(10000000 to 11197000 ps): it is no device stream (--force merges it all the "
               "same)"},
  };
  for (const auto& [name, message] : refused) {
    const std::set<std::string> before = namesIn(d.path);
    const Outcome no =
        run({"--quiet", "--text", d / "t", "--report", d / "r.json", d / "s", d / name});
    EXPECT_EQ(no.code, 2) << no.err;
    EXPECT_TRUE(hasText(no.err, "ravik-merge: " + d / name + ": ") && hasText(no.err, message));
    EXPECT_EQ(nlohmann::json::parse(slurp(d / "r.json"))["completed"], false);
    EXPECT_EQ(namesIn(d.path), before);
    ok({"--quiet", "--force", "--text", d / "t", d / "s", d / name});
    EXPECT_GT(lineCount(slurp(d / "t")), 3000u);
  }

  // Held by a recording (the lock its temp files carry while written).
  const int held = open((d / "s").c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  expectRefusal({"--text", d / "t", d / "s"}, d / "s: is still being written by a running recording",
                2, d.path, namesIn(d.path));
  ok({"--quiet", "--force", "--text", d / "t", d / "s"});
  EXPECT_TRUE(slurp(d / "t") == slurp(d / "t.ref"));
  close(held);
}

// The child's blocked-signal mask (bit s - 1: signal s blocked), once it runs `program`; none
// while it is still the forked copy of this process or has ended.
std::optional<uint64_t> programSignalMask(pid_t pid, const char* program) {
  const std::string proc = "/proc/" + std::to_string(pid);
  char exe[PATH_MAX], want[PATH_MAX];
  const ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
  if (n <= 0 || realpath(program, want) == nullptr) return std::nullopt;
  exe[n] = '\0';
  if (strcmp(exe, want) != 0) return std::nullopt;
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 7, "SigBlk:") == 0) return std::stoull(line.substr(7), nullptr, 16);
  return std::nullopt;
}

// True once ravik-merge has blocked its stop signals with its threads' wake-up signal SIGUSR1
// (and so takes them in its own wait). Not a mask seen before the exec (the thread sanitizer's
// runtime blocks every signal in a forked child until then, and a SIGINT sent then kills it),
// nor one with SIGQUIT, which the program never blocks: a runtime's passing block of everything.
bool signalsBlocked(pid_t pid) {
  uint64_t own = 0;
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) own |= uint64_t(1) << (s - 1);
  for (int i = 0; i < 1000; ++i, usleep(10000)) {
    const std::optional<uint64_t> mask = programSignalMask(pid, RAVIK_MERGE_PROGRAM);
    if (mask && (*mask & own) != 0 && !(*mask >> (SIGQUIT - 1) & 1)) return true;
  }
  return false;
}

// "-", /dev/stdout and /dev/fd/N are written through the descriptor: into a pipe, and appended
// to a log opened for appending, with the binary trailer counting the records in both. Other
// names of outputs: links, long names, named pipes.
TEST(RavikMerge, OutputsThroughDescriptorsLinksAndPipes) {
  TempDir d;
  writeStream(d / "s", 3000, 4);
  coreMerge({{d / "s", 0, 0x1FF}}, d / "t.ref", d / "b.ref");
  const struct {
    const char* option;
    const char* name;
    const char* reference;
    bool piped;  // into a pipe, else appended to the log
  } cases[] = {{"--bin", "-", "b.ref", true}, {"--text", "/dev/stdout", "t.ref", false},
               {"--bin", "/dev/fd/1", "b.ref", false}, {"--text", "-", "t.ref", false}};
  for (const auto& c : cases) {
    std::ofstream(d / "log") << "earlier\n";
    int ends[2] = {-1, open((d / "log").c_str(), O_WRONLY | O_APPEND)};
    ASSERT_TRUE(c.piped ? close(ends[1]) == 0 && pipe(ends) == 0 : ends[1] >= 0);
    const pid_t pid =
        spawnProgram(RAVIK_MERGE_PROGRAM, {"--quiet", c.option, c.name, d / "s"}, kErrPath, {}, ends[1]);
    close(ends[1]);
    const std::string piped = c.piped ? readAll(ends[0]) : "";
    if (c.piped) close(ends[0]);
    EXPECT_EQ(exitCode(pid), 0) << slurp(kErrPath);
    EXPECT_TRUE((c.piped ? piped : slurp(d / "log")) == (c.piped ? "" : "earlier\n") + slurp(d / c.reference))
        << c.name;
  }
  EXPECT_EQ(namesIn(d.path), (std::set<std::string>{"s", "t.ref", "b.ref", "log"}));

  // A link is written through, a name of 255 bytes works, a pipe's trailer still counts the
  // records, and closed standard descriptors never receive the output's or the progress's bytes.
  ASSERT_EQ(symlink("target", (d / "link").c_str()), 0);
  const std::string longName = d / std::string(255, 'n');
  ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0644), 0);
  const pid_t linked = start({"--text", d / "link", "--bin", d / "fifo", d / "s"});
  EXPECT_EQ(slurp(d / "fifo"), slurp(d / "b.ref"));
  EXPECT_EQ(exitCode(linked), 0) << slurp(kErrPath);
  struct stat st;
  EXPECT_TRUE(lstat((d / "link").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(slurp(d / "target"), slurp(d / "t.ref"));
  ok({"--text", longName, "--report", d / "long.json", d / "s"});
  EXPECT_EQ(slurp(longName), slurp(d / "t.ref"));
  ok({"--text", "/dev/null", "--bin", "/dev/null", "--report", d / "null.json", d / "s"});  // one device, two outputs
  EXPECT_EQ(exitCode(spawnProgram(RAVIK_MERGE_PROGRAM, {"--progress", "--text", d / "t", d / "s"}, "")), 0);
  EXPECT_EQ(slurp(d / "t"), slurp(d / "t.ref"));
  // The bar into a file: whole lines, without carriage returns or terminal codes.
  const Outcome r = ok({"--progress", "--text", d / "t", d / "s"});
  EXPECT_EQ(r.err.find_first_of("\r\033"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("100.0%"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("records written"), r.err.find("\n") + 1) << r.err;
}

// A named pipe without a reader, and a reader that stopped reading, leave the stop signals
// effective: the program ends with 128 + the signal and says that no output was written.
TEST(RavikMerge, StopSignalsEndWaitsForAPipe) {
  TempDir d;
  writeStream(d / "s", 200000, 4);
  ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0644), 0);
  const std::set<std::string> before = namesIn(d.path);
  pid_t pid = start({"--text", d / "t", "--bin", d / "fifo", d / "s"});
  ASSERT_TRUE(signalsBlocked(pid));
  kill(pid, SIGINT);
  EXPECT_EQ(exitCodeWithin(pid, 10), 130);
  EXPECT_EQ(slurp(kErrPath), "ravik-merge: " + d / "fifo" +
                                 ": no reader opened the pipe before signal Interrupt; no output "
                                 "written\n");
  EXPECT_EQ(namesIn(d.path), before);

  // A reader that opens the pipe and never reads: the pipe fills, the merge waits.
  const int reader = open((d / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  pid = start({"--text", d / "t", "--bin", d / "fifo", d / "s"});
  int queued = 0;
  for (int i = 0; i < 1000 && queued < 60000; ++i, usleep(10000)) ioctl(reader, FIONREAD, &queued);
  EXPECT_GE(queued, 60000);
  kill(pid, SIGTERM);
  EXPECT_EQ(exitCodeWithin(pid, 10), 143);
  EXPECT_TRUE(hasText(slurp(kErrPath), "stopped by signal Terminated; no output written"));
  close(reader);
  EXPECT_EQ(namesIn(d.path), before);
}

}  // namespace
