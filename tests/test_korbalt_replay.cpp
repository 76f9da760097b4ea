// The replay source of the simulated devices: each device streams its raw file, in the scenario's
// order, unchanged through the event callback, paced or at maximum rate, and then only moves its
// time on; bad file lists fall back to generated streams.
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "korbalt_decode.h"
#include "korbalt_env.h"
#include "korbalt_receive.h"
#include "sim_vars.h"
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
  EXPECT_TRUE(std::ofstream(path).write(reinterpret_cast<const char*>(words.data()), 4 * words.size()).flush());
  return words;
}

// The stream time after decoding all of `words`.
int64_t streamTimeAfter(const Words& words) {
  Tdc56Instance* codec = tdc56Init();
  tdc56Decode60(codec, words.data(), int32_t(words.size()), 0);
  popStamps(codec);
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

TEST(KorbaltReplay, FileListsThatDoNotFitFallBackToGeneratedStreams) {
  TempDir dir;
  const std::string file = dir / "stream.raw";
  std::ofstream(file) << "";
  const struct {
    std::string devices, replay;
    bool replays;
  } cases[] = {
      {"2", file + "," + file, true},
      {"3", file + "," + file, false},               // one file short
      {"1", file + "," + file, false},               // one too many
      {"2", file + "," + file + ".missing", false},  // cannot be read
      {"2", file + ",", false},
      {"2", file + ",/tmp", false},                  // a folder
      {"2", file + ",/dev/null", false},             // not a regular file
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.devices + " devices, " + c.replay);
    testing::internal::CaptureStderr();
    const korbalt::Scenario s =
        scenarioOf({{"RAVIK_SIM_DEVICES", c.devices}, {"RAVIK_SIM_REPLAY", c.replay}});
    const std::string messages = testing::internal::GetCapturedStderr();
    for (const korbalt::DeviceSetup& d : s.devices) EXPECT_EQ(d.replay, c.replays ? file : "");
    EXPECT_EQ(messages.find("RAVIK_SIM_REPLAY") != std::string::npos, !c.replays) << messages;
  }
}
