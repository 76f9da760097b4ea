// The replay source of the simulated devices: each device streams its raw file, in the scenario's
// order or a run folder's, unchanged through the event callback, paced or at maximum rate, and
// then only moves its time on; what cannot be replayed fails the discovery.
#include <sys/stat.h>

#include <string>
#include <tuple>
#include <vector>

#include "korbalt_decode.h"
#include "korbalt_env.h"
#include "korbalt/replay.h"
#include "tests/core_merge.h"

namespace {

// `count` timestamps from `startPs`, `stepPs` apart and now and then a long gap, on channels
// 0..4 in turn: every packet type of the 60-bit format.
Stamps makeStamps(int64_t startPs, int64_t stepPs, int32_t count) {
  Stamps stamps;
  int64_t t = startPs;
  for (int32_t i = 0; i < count; ++i, t += stepPs) {
    if (i % 1000 == 999) t += 40000000;  // 40 µs: beyond the short differences
    stamps.push_back({t, uint8_t(i % 5)});
  }
  return stamps;
}

// Packs the stamps into a raw stream file; its words.
Words writeStream(const std::string& path, const Stamps& stamps) {
  const Words words = packStream(stamps);
  EXPECT_TRUE(writeWords(path, words));
  return words;
}

// The stream time after decoding all of `words`.
int64_t streamTimeAfter(const Words& words) {
  Tdc56Instance* codec = tdc56Init();
  decodeBlock(codec, words.data(), words.size());
  const int64_t t = codec->lastTime;
  tdc56DeInit(codec);
  return t;
}

}  // namespace

TEST(KorbaltReplay, EachDeviceStreamsItsFileUnchangedThenOnlyTimeAdvances) {
  TempDir dir;
  const std::string files[2] = {dir / "first.raw", dir / "second.raw"};
  // Different sizes, and with a word of a packet cut off at the end of the second.
  const Stamps stamps[2] = {makeStamps(1000000000000, 900, 30000),
                            makeStamps(1000000000450, 2100, 7000)};
  const Words words[2] = {writeStream(files[0], stamps[0]), writeStream(files[1], stamps[1])};
  std::ofstream(files[1], std::ios::app) << "\x01\x02\x03\x04";

  for (const char* maxRate : {"0", "1"}) {
    SCOPED_TRACE(std::string("RAVIK_SIM_MAX_RATE=") + maxRate);
    Received r;
    {
      SimChain chain({{"RAVIK_SIM_DEVICES", "2"},
                      {"RAVIK_SIM_REPLAY", files[0] + "," + files[1]},
                      {"RAVIK_SIM_MAX_RATE", maxRate},
                      {"RAVIK_SIM_BLOCK_WORDS", "4096"}});
      ASSERT_EQ(chain.count(), 2u);
      ASSERT_TRUE(chain.connectAll());
      ASSERT_EQ(listen(r), 0);
      // Discovery finds the master last: library index 1 is the scenario's first device.
      const size_t fileOf[2] = {1, 0};
      ASSERT_TRUE(waitFor([&] {
        for (size_t i = 0; i < 2; ++i)
          if (r.sizes[i].load() < words[fileOf[i]].size() + 4) return false;
        return true;
      }));
      ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
      for (size_t i = 0; i < 2; ++i) {
        const Words& file = words[fileOf[i]];
        const Words& got = r.words[i];
        ASSERT_GE(got.size(), file.size() + 4);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), got.begin())) << "index " << i;
        EXPECT_TRUE(sameTimestamps(decodeWords(got, {100}, 0), stamps[fileOf[i]]))
            << "index " << i;
        // After the file, time-advance packets only: no timestamp, but the time moves on.
        const Words after(got.begin(), got.begin() + file.size() + 4);
        EXPECT_GT(streamTimeAfter(after), streamTimeAfter(file)) << "index " << i;
      }
    }
  }
}

// Paced, the file's words go out as the present reaches their times, a short step at a time:
// what is due has been handed on, nothing later, never a block held back for its last times.
TEST(KorbaltReplay, APacedReplayHandsOnWhatIsDueAndNothingLater) {
  TempDir dir;
  const Stamps stamps = makeStamps(1000000000000, 2000000, 20000);  // 2 µs apart: 40 ms
  writeStream(dir / "s.raw", stamps);
  korbalt::ReplaySource replay(dir / "s.raw", true);
  const int64_t axis = 5000000000000, first = stamps.front().time;
  replay.restart(axis);
  Words got, block(8192);
  for (const int64_t ms : {1, 5, 12, 50}) {
    SCOPED_TRACE(std::to_string(ms) + " ms");
    const int64_t due = ms * 1000000000;
    for (int32_t n; (n = replay.produce(axis + due, block.data(), 8192)) > 0;)
      got.insert(got.end(), block.begin(), block.begin() + n);
    const Stamps handed = decodeWords(got, {100}, 0);
    ASSERT_FALSE(handed.empty());
    EXPECT_LE(handed.back().time - first, due);
    if (ms < 40) EXPECT_GT(handed.back().time - first, due - 200000000) << "0.2 ms: one step";
    else EXPECT_TRUE(sameTimestamps(handed, stamps));
  }
}

// A kept run folder in RAVIK_SIM_REPLAY, its manifest naming the devices in chain order.
void writeRun(const std::string& dir, const std::string& devices) {
  mkdir(dir.c_str(), 0755);
  std::ofstream(dir + "/ravik-run.json")
      << R"({"manifest": "ravik-run", "version": 1, "program": "ravik-record", "devices": )"
      << devices << "}";
}

// What cannot be replayed as asked fails the discovery, with the reason in the library's text:
// no file or one too many, a file that is missing or no raw stream (a merged output, a text
// file), files of a kept run out of its chain order, a folder without a manifest.
TEST(KorbaltReplay, WhatCannotBeReplayedFailsTheDiscoveryWithTheReason) {
  TempDir dir;
  const std::string stream = dir / "stream.raw", empty = dir / "empty.raw", run = dir / "run";
  writeStream(stream, makeStamps(1000000000000, 900, 100));
  std::ofstream(empty) << "";
  std::ofstream(dir / "run.txt") << "1000000000000, 1\n1000000000900, 2\n";
  std::ofstream(dir / "run.bin") << std::string("TIKORBIN") + std::string(120, '\0');
  writeRun(run, R"([{"serial": "A1", "chain": 0, "stream": "a.raw"},
                    {"serial": "B2", "chain": 1, "stream": "b.raw"}])");
  writeStream(run + "/a.raw", makeStamps(1000000000000, 900, 100));
  writeStream(run + "/b.raw", makeStamps(1000000000100, 900, 100));
  const struct {
    std::string devices, replay, why;  // why: empty when it replays
  } cases[] = {
      {"2", stream + "," + empty, ""},
      {"2", run + "/a.raw," + run + "/b.raw", ""},
      {"3", stream + "," + stream, "2 files for 3 devices"},
      {"1", stream + "," + stream, "2 files for 1 devices"},
      {"2", stream + "," + stream + ".missing", "stream.raw.missing: No such file"},
      {"2", stream + ",", ": No such file"},
      {"2", stream + ",/tmp", "/tmp: not a regular file"},
      {"2", stream + ",/dev/null", "/dev/null: not a regular file"},
      {"2", stream + "," + dir / "run.bin", "run.bin: no raw stream of a device"},
      {"2", dir / "run.txt," + stream, "run.txt: no raw stream of a device"},
      {"2", run + "/b.raw," + run + "/a.raw",
       "b.raw was recorded at chain position 1 (its run's manifest), but would be replayed at "
       "chain position 0; give the files in chain order, or the run folder " + run},
      {"2", dir.path, "ravik-run.json: No such file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.devices + " devices, " + c.replay);
    const korbalt::Scenario s =
        scenarioOf({{"RAVIK_SIM_DEVICES", c.devices}, {"RAVIK_SIM_REPLAY", c.replay}});
    EXPECT_NE(s.replayError.find(c.why), std::string::npos) << s.replayError;
    EXPECT_EQ(s.replayError.empty(), c.why.empty()) << s.replayError;
    SimChain chain({{"RAVIK_SIM_DEVICES", c.devices}, {"RAVIK_SIM_REPLAY", c.replay}});
    EXPECT_EQ(chain.rc(), c.why.empty() ? KORBALT_OK : KORBALT_DISCOVERY_FAILED);
    EXPECT_EQ(chain.count(), c.why.empty() ? uint32_t(std::stoi(c.devices)) : 0u);
    if (!c.why.empty()) {
      EXPECT_EQ(TDC_perror(chain.rc()), "Device discovery failed: " + s.replayError);
    }
  }
}

// A run folder gives the devices of its manifest: in its chain order, with their serials,
// positions and markers, each replaying its own stream, found in the order they were found when
// they recorded (by their library indexes then); RAVIK_SIM_DEVICES does not count.
TEST(KorbaltReplay, ARunFolderGivesTheDevicesOfItsManifest) {
  TempDir dir;
  const std::string run = dir / "run";
  writeRun(run, R"([{"serial": "TK9", "index": 2, "chain": 0, "markers": 16, "stream": "r-2"},
                    {"serial": "TK7", "index": 0, "chain": 1, "markers": 0, "stream": "r-0"},
                    {"serial": "TK8", "index": 1, "chain": 3, "markers": 3, "stream": "r-1"}])");
  for (const char* name : {"r-0", "r-1", "r-2"}) writeStream(run + "/" + name, {});
  const korbalt::Scenario s = scenarioOf({{"RAVIK_SIM_DEVICES", "5"}, {"RAVIK_SIM_REPLAY", run}});
  EXPECT_EQ(s.replayError, "");
  using Device = std::tuple<std::string, int32_t, uint32_t, std::string>;
  std::vector<Device> found;
  for (const korbalt::DeviceSetup& d : s.devices)
    found.push_back({d.serial, d.chainPos, d.markers, d.replay});
  EXPECT_EQ(found, (std::vector<Device>{{"TK7", 1, 0, run + "/r-0"},
                                        {"TK8", 3, 3, run + "/r-1"},
                                        {"TK9", 0, 16, run + "/r-2"}}));
}
