// The live chain on the simulated devices: the merge while recording feeds the measurements and
// the stream queue with every record, a device's losses are reported, and a chain whose markers
// clash is refused.
// Threaded: also run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "chain/mergerun.h"
#include "codec_stamps.h"
#include "korbalt_env.h"
#include "chain/chain.h"
#include "chain/freespace.h"
#include "chain/livesink.h"
#include "chain/session.h"
#include "chain/virtualjson.h"
#include "merge/mergecore.h"
#include "tests/core_merge.h"

namespace {

// Reads the queue to its end on a thread of its own: records per channel, and all of them.
struct Reader {
  std::map<int16_t, int64_t> perChannel;
  int64_t records = 0;
  std::thread thread;

  explicit Reader(RecordQueue* queue) {
    queue->attach();
    thread = std::thread([this, queue] {
      std::vector<char> block;
      for (RecordQueue::Pop got; (got = queue->pop(&block, 100)) != RecordQueue::Pop::kEnd;) {
        for (size_t i = 0; got == RecordQueue::Pop::kBlock && i < block.size();
             i += kMergeRecordSize) {
          TimeTag tag;
          decodeRecords(&block[i], 1, &tag);
          ++perChannel[tag.channel];
          ++records;
        }
      }
    });
  }
  ~Reader() { join(); }
  void join() { if (thread.joinable()) thread.join(); }
};

int32_t ownNice() { return getpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid))); }

// Whether this process may give a thread that yielded its normal priority back.
bool mayRaisePriority() {
  bool may = false;
  std::thread([&may] {
    may = setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 10) == 0 &&
          setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 0) == 0;
  }).join();
  return may;
}

// A measurement that notes the priority of the thread that feeds it at the first and the last
// batch, and the batches' sizes.
struct PriorityProbe : Measurement {
  std::atomic<int32_t> first{-100}, last{-100};
  std::atomic<size_t> lastCount{0}, largest{0};
  void add(const TimeTag*, size_t count) override {  // under the measurement's lock
    last = ownNice();
    if (first == -100) first = last.load();
    lastCount = count;
    largest = std::max(largest.load(), count);
  }
  void reset() override {}
};

}  // namespace

// SIZE as --min-free and min_free= take it, and the figures of the free-space forecast.
TEST(FreeSpace, SizesForecastAndTheirTexts) {
  const struct {
    const char* text;
    int64_t bytes;  // -1: refused
  } sizes[] = {{"0", 0},           {"512", 512},          {"1k", 1024},
               {"1K", 1024},       {"1.5M", 1572864},     {"2G", int64_t(2) << 30},
               {"1T", int64_t(1) << 40}, {"", -1},        {"-1M", -1},
               {"G", -1},          {"2GB", -1},           {"2 G", -1},
               {"1m", -1},         {".5G", -1},           {"9e20", -1}};
  for (const auto& row : sizes) {
    int64_t bytes = -2;
    EXPECT_EQ(parseSize(row.text, &bytes) ? bytes : -1, row.bytes) << row.text;
  }
  const int64_t G = int64_t(1) << 30;
  const struct {
    int64_t free, margin;
    double growth, seconds;
    const char* text;
  } forecasts[] = {
      {10 * G, 2 * G, double(G), 8, "8 s"},
      {43 * G, 0, 10e6, 43 * double(G) / 10e6, "1 h 16 min"},
      {2 * G, 2 * G, 1e6, 0, "0 s"},       // at the margin: stop now
      {G, 2 * G, 1e6, 0, "0 s"},           // below it
      {10 * G, 2 * G, 0, -1, nullptr},     // nothing grows
      {10 * G, 2 * G, -5e6, -1, nullptr},  // files removed meanwhile
      {3 * G + 600 * 1000000, 3 * G, 1000000, 600, "10 min 0 s"},
      {300 * G, 0, 1e6, 300 * double(G) / 1e6, "3 d 17 h"},
  };
  for (const auto& row : forecasts) {
    const double left = secondsToMargin(row.free, row.margin, row.growth);
    EXPECT_DOUBLE_EQ(left, row.seconds) << row.free << " " << row.margin << " " << row.growth;
    if (row.text) {
      EXPECT_EQ(durationText(left), row.text);
    }
  }
  const struct {
    int64_t bytes;
    const char* text;
  } texts[] = {{17, "17 B"},          {1024, "1 kiB"},          {1535, "1 kiB"},
               {512 << 20, "512.0 MiB"}, {int64_t(41.29 * double(G)), "41.2 GiB"},
               {int64_t(3) << 40, "3.0 TiB"}};
  for (const auto& row : texts) EXPECT_EQ(sizeText(row.bytes), row.text);

  // What the outputs still take for the raw bytes the merge has not read: measured from the
  // outputs once it has read a MiB, else estimated.
  const int64_t M = int64_t(1) << 20;
  const struct {
    int64_t raw, merged, outputs;
    int32_t count;
    int64_t reserve;
  } reserves[] = {{100 * M, 90 * M, 450 * M, 2, 50 * M},  // 5 output bytes per raw byte
                  {100 * M, 100 * M, 500 * M, 2, 0},      // merged up to the end
                  {100 * M, 120 * M, 500 * M, 2, 0},      // raw files read as they grew
                  {100 * M, 0, 0, 2, int64_t(100 * M * 2 * kOutputPerRawByte)},  // merged after
                  {100 * M, M / 2, 4 * M, 1, int64_t((100 * M - M / 2) * kOutputPerRawByte)},
                  {100 * M, 0, 0, 0, 0}};                 // no output there
  for (const auto& row : reserves)
    EXPECT_EQ(outputReserve(row.raw, row.merged, row.outputs, row.count), row.reserve)
        << row.raw << " " << row.merged << " " << row.outputs;

  // The growth is that of the run's own files over the last samples, not since the start.
  FileSystemSpace fs(1, "/data");
  const int64_t s = 1000000000;
  fs.note(0, 100 * G, 0, 0, 0);
  EXPECT_EQ(fs.growthPerSecond(), 0);
  for (int32_t i = 1; i <= 30; ++i)
    fs.note(i * s, 100 * G - i * 1000, i < 20 ? 0 : (i - 19) * 3000, i < 20 ? 0 : (i - 19) * 2000, 0);
  EXPECT_DOUBLE_EQ(fs.growthPerSecond(), 5000);
  EXPECT_EQ(fs.startFree(), 100 * G);
  EXPECT_EQ(fs.leastFree(), 100 * G - 30000);
  fs.note(31 * s, 100 * G, 11 * 3000, 11 * 2000, 0);
  EXPECT_EQ(fs.freeBytes(), 100 * G);
  EXPECT_EQ(fs.leastFree(), 100 * G - 30000);
}

// The command that finishes a kept run, as all three programs print it: a word the shell would
// split or expand is quoted, a quote inside it too; a run without outputs asks for one.
TEST(Chain, TheRecoveryCommandIsOneShellCommand) {
  KeptRun fromManifest;
  fromManifest.manifestDir = "/tmp/ravik-AbC123";
  EXPECT_EQ(recoveryCommand(fromManifest), "ravik-merge --recover /tmp/ravik-AbC123");
  fromManifest.manifestDir = "/tmp/it's here";
  fromManifest.outputsNamed = false;
  EXPECT_EQ(recoveryCommand(fromManifest), "ravik-merge --recover '/tmp/it'\\''s here' --bin FILE");

  KeptRun byFile;
  byFile.binary = "out put.bin";
  byFile.hdf5 = "run.h5";
  byFile.compress = Hdf5Compression::Deflate;
  byFile.lossRecords = true;
  byFile.streams = {{"/t/ravik-2.tmp", 0, 0x3}, {"/t/ravik-5.tmp", 0, 0}};
  EXPECT_EQ(recoveryCommand(byFile),
            "ravik-merge --bin 'out put.bin' --hdf5 run.h5 --compress --loss-records " +
                std::string(kSharedPositionsOption) + " /t/ravik-2.tmp:0:0x3 /t/ravik-5.tmp:0:0x0");
  byFile.compress = Hdf5Compression::Fast;
  EXPECT_NE(recoveryCommand(byFile).find(" --hdf5 run.h5 --compress=fast --loss-records "),
            std::string::npos) << recoveryCommand(byFile);
  EXPECT_EQ(shellWord(""), "''");
  EXPECT_EQ(shellWord("$HOME/*"), "'$HOME/*'");
}

// A merge beside a recording gives way to it, and after the stop merges the rest at the normal
// priority: the chain's, and ravik-record's (MergeRun).
TEST(Chain, MergesBesideARecordingGetTheNormalPriorityBackAtTheStop) {
  if (!mayRaisePriority()) GTEST_SKIP() << "this process may not raise a thread's priority";
  clearSimVariables();
  const TempDir scratch;
  {
    Chain chain;
    std::string error;
    ASSERT_TRUE(chain.open(true, &error)) << error;
    auto probe = std::make_shared<PriorityProbe>();
    chain.measurements().add(probe);
    ASSERT_TRUE(chain.start(
        ChainOutputs{"", "", "", Hdf5Compression::None, "", scratch.path, ""}, &error))
        << error;
    ASSERT_TRUE(waitFor([&] { return probe->first != -100; }));
    nlohmann::json report;
    ASSERT_TRUE(chain.stop(&report, &error)) << error;
    EXPECT_EQ(probe->first, 10) << "while recording";
    // The last batch, once smaller than a full one, is the rest the merge wrote after the stop.
    if (probe->lastCount < probe->largest) {
      EXPECT_EQ(probe->last, 0) << "after the stop";
    }
  }

  const std::string raw = scratch / "raw.tmp";
  Stamps events;
  for (int64_t i = 1; i <= 1000; ++i) events.push_back({1000000 + i * 997, uint8_t(i % 5)});
  ASSERT_TRUE(writeWords(raw, packStream(events)));
  std::vector<InputStream> inputs;
  std::string error;
  ASSERT_TRUE(openInputs({{raw, 0, 0}}, &inputs, &error, true)) << error;
  OutputFile binary;
  ASSERT_TRUE(binary.create(scratch / "out.bin", &error)) << error;
  std::atomic<int32_t> atStart{-100}, atEnd{-100};
  RunSettings settings;
  settings.header = [&](FILE*, bool first) { (first ? atStart : atEnd) = ownNice(); };
  const sigset_t signals = blockSignals();
  RecordingYield recording;
  MergeRun merge(inputs, nullptr, &binary, settings, &recording);
  ASSERT_TRUE(waitFor([&] { return atStart.load() != -100; }));
  recording.end();
  const RunResult result = merge.finish(signals);
  EXPECT_EQ(result.records, 1000);
  EXPECT_EQ(atStart.load(), 10) << "while recording";
  EXPECT_EQ(atEnd.load(), 0) << "after the stop";
  closeInputs(&inputs);
}

// Library index 0 loses 1 ms of its data every 250 ms: the run still ends complete, with its
// losses in the report, and the stream reader and a measurement fed while the chain records get
// every record. (What they get against the binary output, one chain at a time, the refused and
// the measure-only starts: python/tests/test_chain.py.)
TEST(Chain, FeedsTheMeasurementsAndTheStreamWithTheOutputsRecords) {
  clearSimVariables();
  setenv("RAVIK_SIM_DATA_LOSS", "0", 1);
  const TempDir scratch;
  const std::string& dir = scratch.path;

  Chain chain;
  std::string error;
  ASSERT_TRUE(chain.open(true, &error)) << error;
  auto rate = std::make_shared<CountRate>(std::vector<int16_t>{1, 6, 11});
  chain.measurements().add(rate);
  ASSERT_TRUE(chain.start(ChainOutputs{"", dir + "/run.bin", "", Hdf5Compression::None, "", dir, ""},
                          &error)) << error;
  Reader reader(&chain.queue());
  ASSERT_TRUE(waitFor([&] { return rate->spanPs() > 300000000000; }));  // past the first loss
  nlohmann::json report;
  ASSERT_TRUE(chain.stop(&report, &error)) << error;
  reader.join();  // the stream ends with the merge
  chain.queue().detach();
  EXPECT_EQ(report["completed"], true);
  for (const nlohmann::json& dev : report["devices"]) {
    SCOPED_TRACE("index " + dev["index"].dump());
    EXPECT_EQ(dev["lost"].empty(), dev["index"] != 0);
    for (const nlohmann::json& loss : dev["lost"]) EXPECT_EQ(loss["cause"], "device data loss");
  }
  const auto spanOf = [](const nlohmann::json& r) {
    return int64_t(r["last_ps"]) - int64_t(r["first_ps"]);
  };
  const int64_t firstSpan = spanOf(report);
  EXPECT_EQ(rate->spanPs(), firstSpan);
  EXPECT_EQ(reader.records, int64_t(report["records"]));
  EXPECT_EQ(rate->counts(), (std::vector<int64_t>{reader.perChannel[1], reader.perChannel[6],
                                                  reader.perChannel[11]}));

  // A second run, measuring only: the measurements go on adding, the time between the runs left
  // out.
  ASSERT_TRUE(chain.start(ChainOutputs{"", "", "", Hdf5Compression::None, "", dir, ""}, &error)) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(chain.stop(&report, &error)) << error;
  EXPECT_EQ(rate->spanPs(), firstSpan + spanOf(report));
  chain.close();
  clearSimVariables();

  // From chain position 20 up a device's inputs are output channels of the master's markers: the
  // start is refused before any output or raw file exists. (The message: test_channelmap.)
  setenv("RAVIK_SIM_DEVICES", "2", 1);
  setenv("RAVIK_SIM_CHAIN", "0,20", 1);
  Chain clashing;
  ASSERT_TRUE(clashing.open(true, &error)) << error;
  const std::string refused = dir + "/refused";
  ASSERT_EQ(mkdir(refused.c_str(), 0755), 0);
  ASSERT_TRUE(clashing.setParameters(0, {{"markers", 0x11}}, &error)) << error;
  EXPECT_FALSE(clashing.start(
      ChainOutputs{refused + "/run.txt", "", "", Hdf5Compression::None, "", refused, ""}, &error));
  EXPECT_EQ(error.find("chain positions 0 and 20 would share output channel 100"), 0u) << error;
  EXPECT_FALSE(clashing.recording());
  EXPECT_TRUE(namesIn(refused).empty());
  clashing.close();
  clearSimVariables();
}

// The virtual channels' JSON form: each refusal names the entry and the key at fault; what is
// taken prints back to a list that reads the same. (An input not defined before: test_chain.py.)
TEST(VirtualJson, RefusalsNameTheEntryAndKeyAndAListPrintsBack) {
  const struct { const char* json; const char* error; } refused[] = {
      {R"({"type": "delayed"})", "a list of virtual channels is expected"},
      {R"([7])", "[0]: an object is expected"},
      {R"([{"channel": 6, "delay_ps": 1}])", "[0].type: missing"},
      {R"([{"type": "shifted", "channel": 6}])", "[0].type: \"shifted\" is none of delayed, combined, coincidence, gated"},
      {R"([{"type": "delayed", "channel": 6}])", "[0].delay_ps: missing"},
      {R"([{"type": "delayed", "channel": 6, "delay_ps": 1.5}])", "[0].delay_ps: 1.5 is not a whole number"},
      {R"([{"type": "delayed", "channel": 6, "delay_ps": 1, "window_ps": 3}])", "[0].window_ps: unknown key"},
      {R"([{"type": "combined", "channels": [1, 6]}, {"type": "combined", "channels": [1, -6]}])",
       "[1].channels: [1,-6] is not a list of channels from 0 to 32767"},
      {R"([{"type": "combined", "channels": []}])", "[0].channels: [] is not a list"},
      {R"([{"type": "coincidence", "channels": [1, 6], "window_ps": -1}])", "[0].window_ps: -1 is not a whole number from 0"},
      {R"([{"type": "gated", "channel": 6, "gate_open": 100}])", "[0].gate_close: missing"},
      {R"([{"type": "gated", "channel": 6, "gate_open": 100, "gate_close": 100}])",
       "virtual channel 0: the gate opens and closes on the same channel"},
      {R"([{"type": "delayed", "channel": 6, "delay_ps": 5, "output": 29999}])",
       "virtual channel 0: its channel 29999 lies outside the virtual block 30000..32767"},
      {R"([{"type": "delayed", "channel": 6, "delay_ps": 5, "output": 30001}, {"type": "combined", "channels": [1]}])",
       "virtual channel 1: channel 30001 is given twice"},
      {R"([{"type": "delayed", "channel": 6, "delay_ps": 9223372036854775807}])",
       "virtual channel 0: the delay lies beyond +-2^62 ps"},
  };
  for (const auto& row : refused) {
    std::vector<VirtualChannel> list;
    std::string error;
    EXPECT_FALSE(virtualFromJson(nlohmann::json::parse(row.json), &list, &error)) << row.json;
    EXPECT_EQ(error.substr(0, strlen(row.error)), row.error) << row.json;
  }
  const nlohmann::json given = nlohmann::json::parse(R"([
      {"type": "coincidence", "channels": [1, 6], "window_ps": 5000},
      {"type": "delayed", "channel": 30000, "delay_ps": -1500, "output": 32000},
      {"type": "combined", "channels": [1, 32000]},
      {"type": "gated", "channel": 6, "gate_open": 100, "gate_close": 101}])");
  std::vector<VirtualChannel> list, again;
  std::string error;
  ASSERT_TRUE(virtualFromJson(given, &list, &error)) << error;
  std::vector<std::string> labels;
  for (const VirtualChannel& v : list) labels.push_back(std::to_string(v.channel) + " " + virtualLabel(v));
  EXPECT_EQ(labels, (std::vector<std::string>{"30000 virtual: coincidence of 1, 6 within 5000 ps",
                                              "32000 virtual: 30000 delayed by -1500 ps",
                                              "30002 virtual: combined 1, 32000",
                                              "30003 virtual: 6 gated by 100 to 101"}));
  ASSERT_TRUE(virtualFromJson(virtualToJson(list), &again, &error)) << error;
  EXPECT_EQ(virtualToJson(again), virtualToJson(list));
  EXPECT_EQ(virtualToJson(list)[3], nlohmann::json::parse(
      R"({"type": "gated", "channel": 6, "gate_open": 100, "gate_close": 101, "output": 30003})"));
}
