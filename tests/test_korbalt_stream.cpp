// The simulated devices' streams as the program receives them through the event callback:
// exactly the generated events, on one time axis, with correlated pairs, no call after
// unregistering, and data loss when the receiver stalls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/korbalt.h"
#include "korbalt/simhooks.h"
#include "korbalt_decode.h"
#include "korbalt_env.h"

namespace {

constexpr uint32_t kAllMarkers = 0x1FF;
constexpr size_t kRecordLimit = 200000;

// What the callback received, written on the library's thread and read by the test only after
// the callback has been removed.
struct Received {
  std::vector<uint32_t> words[3];
  size_t stopAt = 0;  // the callback removes itself once every device sent this many words
  int stallMs = 0;    // the first call sleeps this long
  std::atomic<int> calls{0};
  std::atomic<bool> inside{false};
  std::atomic<bool> stopped{false};
};
Received* gReceived = nullptr;

void receive(int32_t** index, int, int words, int, uint32_t* data) {
  Received& r = *gReceived;
  r.inside = true;
  if (r.calls++ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.stallMs));
  std::vector<uint32_t>& w = r.words[**index];
  w.insert(w.end(), data, data + words);
  bool enough = r.stopAt > 0;
  for (const auto& v : r.words) enough = enough && v.size() >= r.stopAt;
  if (enough && !r.stopped) {
    EXPECT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
    r.stopped = true;
  }
  r.inside = false;
}

bool waitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// How many pair-channel events of `first` have one in `second` exactly `delay` later.
size_t pairsAt(const std::vector<PpTimest>& first, const std::vector<PpTimest>& second,
               int64_t delay) {
  std::set<int64_t> later;
  for (const PpTimest& t : second)
    if (t.channel == korbalt::kPairChannel) later.insert(t.time);
  size_t n = 0;
  for (const PpTimest& t : first) n += t.channel == korbalt::kPairChannel && later.count(t.time + delay);
  return n;
}

// Records the default chain with markers on until every device sent `words` words.
std::vector<std::vector<PpTimest>> recordChain(Received& r, size_t words) {
  std::vector<std::vector<PpTimest>> decoded(3);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(TDC_addressDevice(i), 0);
    EXPECT_EQ(TDC_enableMarkers(kAllMarkers), 0);
    EXPECT_TRUE(korbalt::simKeepRecord(i, kRecordLimit));
  }
  r.stopAt = words;
  gReceived = &r;
  EXPECT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, receive), 0);
  EXPECT_TRUE(waitFor([&] { return r.stopped.load(); }));
  EXPECT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
  for (uint32_t i = 0; i < 3; ++i) {
    const std::vector<korbalt::SimEvent> record = korbalt::simTakeRecord(i);
    EXPECT_LT(record.size(), kRecordLimit);
    decoded[i] = decodeWords(r.words[i], {100}, kAllMarkers);
    EXPECT_TRUE(sameTimestamps(decoded[i], expectedTimestamps(record, kAllMarkers)))
        << "device " << i;
  }
  return decoded;
}

}  // namespace

TEST(KorbaltStream, ChainDeliversItsGeneratedEventsOnOneAxisWithPairs) {
  for (const char* maxRate : {"0", "1"}) {
    SCOPED_TRACE(std::string("maximum rate ") + maxRate);
    SimChain chain(SimChain::Vars{{"RAVIK_SIM_MAX_RATE", maxRate},
                                  {"RAVIK_SIM_CORRELATION", "20000,2500"}});
    ASSERT_TRUE(chain.connectAll());
    Received r;
    const auto decoded = recordChain(r, 40000);
    int64_t earliest = INT64_MAX, latest = 0;
    for (const auto& stamps : decoded) {
      ASSERT_GT(stamps.size(), 20000u);
      earliest = std::min(earliest, stamps.front().time);
      latest = std::max(latest, stamps.front().time);
      int64_t previous = 0;
      for (const PpTimest& t : stamps) {
        if (t.channel >= 100) continue;  // a marker's time is the grid point before its packet
        ASSERT_LE(previous, t.time);
        previous = t.time;
      }
    }
    EXPECT_LT(latest - earliest, 100 * korbalt::kPsPerMs) << "the devices start together";
    // Scenario device m (id 1001 + m) pairs with m + 1; by default index i is device i + 1.
    for (uint32_t i = 0; i < 3; ++i) {
      const size_t pairs = pairsAt(decoded[(i + 2) % 3], decoded[i], 2500);
      EXPECT_GT(pairs, 100u) << "index " << i;
      EXPECT_LT(pairsAt(decoded[(i + 2) % 3], decoded[i], 2501) * 10, pairs) << "index " << i;
    }
  }
}

TEST(KorbaltStream, NoCallbackRunsAfterUnregistering) {
  SimChain chain;
  ASSERT_TRUE(chain.connectAll());
  Received r;
  gReceived = &r;
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, receive), 0);
  ASSERT_TRUE(waitFor([&] { return r.calls >= 10; }));
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
  EXPECT_FALSE(r.inside);
  const int calls = r.calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(r.calls, calls);
  // Registering again resumes the streams, each with a fresh absolute time.
  for (auto& w : r.words) w.clear();
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, receive), 0);
  ASSERT_TRUE(waitFor([&] { return r.calls >= calls + 10; }));
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
  for (const auto& w : r.words) {
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ((w[0] | w[1]) & 0x40000000u, 0u) << "an absolute-time packet comes first";
  }
}

TEST(KorbaltStream, DataLossIsFlaggedAndTheStreamStaysDecodable) {
  SimChain chain(SimChain::Vars{{"RAVIK_SIM_DEVICES", "1"},
                                {"RAVIK_SIM_RATES", "100000"},
                                {"RAVIK_SIM_FIFO_WORDS", "4096"},
                                {"RAVIK_SIM_BLOCK_WORDS", "1024"}});
  ASSERT_TRUE(chain.connectAll());
  ASSERT_TRUE(korbalt::simKeepRecord(0, kRecordLimit));
  Received r;
  r.stallMs = 300;
  gReceived = &r;
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, receive), 0);
  int32_t lost = 0;
  EXPECT_TRUE(waitFor([&] { return TDC_getDataLost(&lost) == 0 && lost != 0; }));
  const int calls = r.calls;
  EXPECT_TRUE(waitFor([&] { return r.calls > calls + 20; })) << "the stream goes on";
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
  const std::vector<korbalt::SimEvent> record = korbalt::simTakeRecord(0);
  EXPECT_LT(record.size(), kRecordLimit);
  EXPECT_TRUE(sameTimestamps(decodeWords(r.words[0], {100}, 0), expectedTimestamps(record, 0)));
}
