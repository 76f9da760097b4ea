// The simulated devices' streams as the program receives them through the event callback:
// exactly the generated events, on one time axis, with correlated pairs, no call after
// unregistering, and data loss when the receiver stalls.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "korbalt/simhooks.h"
#include "korbalt_decode.h"
#include "korbalt_env.h"

namespace {

constexpr size_t kRecordLimit = 200000;

// Decodes what device `index` sent, which must be what its kept record says, in time order.
Stamps decodeReceived(uint32_t index, const Words& words, uint32_t markerMask) {
  const std::vector<korbalt::SimEvent> record = korbalt::simTakeRecord(index);
  EXPECT_LT(record.size(), kRecordLimit);
  EXPECT_TRUE(std::is_sorted(record.begin(), record.end(),
                             [](const auto& a, const auto& b) { return a.time < b.time; }));
  const Stamps decoded = decodeWords(words, {100}, markerMask);
  EXPECT_TRUE(sameTimestamps(decoded, expectedTimestamps(record, markerMask)))
      << "device " << index;
  return decoded;
}

// How many pair-channel events of `first` have one in `second` exactly `delay` later.
size_t pairsAt(const Stamps& first, const Stamps& second, int64_t delay) {
  std::set<int64_t> later;
  for (const PpTimest& t : second)
    if (t.channel == korbalt::kPairChannel) later.insert(t.time);
  size_t n = 0;
  for (const PpTimest& t : first)
    n += t.channel == korbalt::kPairChannel && later.count(t.time + delay);
  return n;
}

}  // namespace

TEST(KorbaltStream, ChainDeliversItsEventsOnOneAxisWithPairsUntilUnregistered) {
  for (const char* maxRate : {"0", "1"}) {
    SCOPED_TRACE(std::string("maximum rate ") + maxRate);
    Received r;  // outlives the chain, whose end removes the callback
    r.stopAt = 40000;
    r.lingerMs = 100;
    r.stallMs = 20;  // a slow receiver of the first block must not delay the others' start
    // Without jitter, every pair lies exactly the pair delay apart.
    SimChain chain(SimChain::Vars{{"RAVIK_SIM_MAX_RATE", maxRate},
                                  {"RAVIK_SIM_CORRELATION", "20000,2500"},
                                  {"RAVIK_SIM_JITTER_PS", "0"}});
    ASSERT_TRUE(chain.connectAll());
    for (uint32_t i = 0; i < 3; ++i) {
      ASSERT_EQ(TDC_addressDevice(i), 0);
      ASSERT_EQ(TDC_enableMarkers(kEveryMarker), 0);
      ASSERT_TRUE(korbalt::simKeepRecord(i, kRecordLimit));
    }
    ASSERT_EQ(listen(r), 0);
    ASSERT_TRUE(waitFor([&] { return r.stopped.load(); }));
    // The callback removed itself and is still running: a removal from here waits for it.
    ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
    EXPECT_FALSE(r.inside);
    Stamps decoded[3];
    int64_t earliest = INT64_MAX, latest = 0;
    for (uint32_t i = 0; i < 3; ++i) {
      decoded[i] = decodeReceived(i, r.words[i], kEveryMarker);
      ASSERT_GT(decoded[i].size(), 20000u);
      earliest = std::min(earliest, decoded[i].front().time);
      latest = std::max(latest, decoded[i].front().time);
    }
    // Each device's first record lies within microseconds of the common start.
    EXPECT_LT(latest - earliest, korbalt::kPsPerMs) << "the devices start together";
    // Scenario device m (id 1001 + m) pairs with m + 1; by default index i is device i + 1.
    for (uint32_t i = 0; i < 3; ++i) {
      const size_t pairs = pairsAt(decoded[(i + 2) % 3], decoded[i], 2500);
      EXPECT_GT(pairs, 100u) << "index " << i;
      EXPECT_LT(pairsAt(decoded[(i + 2) % 3], decoded[i], 2501) * 10, pairs) << "index " << i;
    }

    // Registering again resumes the streams, each with a fresh absolute time.
    const int calls = r.calls;
    for (Words& w : r.words) w.clear();
    ASSERT_EQ(listen(r), 0);
    EXPECT_TRUE(waitFor([&] { return r.calls >= calls + 10; }));
    ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
    for (const Words& w : r.words)
      EXPECT_TRUE(w.size() >= 2 && ((w[0] | w[1]) & 0x40000000u) == 0) << "absolute time first";
  }
}

TEST(KorbaltStream, DataLossIsFlaggedAndTheStreamStaysDecodable) {
  Received r;
  r.stallMs = 300;
  SimChain chain(SimChain::Vars{{"RAVIK_SIM_DEVICES", "1"},
                                {"RAVIK_SIM_RATES", "100000"},
                                {"RAVIK_SIM_FIFO_WORDS", "4096"},
                                {"RAVIK_SIM_BLOCK_WORDS", "1024"}});
  ASSERT_TRUE(chain.connectAll());
  ASSERT_TRUE(korbalt::simKeepRecord(0, kRecordLimit));
  ASSERT_EQ(listen(r), 0);
  int32_t lost = 0;
  EXPECT_TRUE(waitFor([&] { return TDC_getDataLost(&lost) == 0 && lost != 0; }));
  const int calls = r.calls;
  EXPECT_TRUE(waitFor([&] { return r.calls > calls + 20; })) << "the stream goes on";
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
  decodeReceived(0, r.words[0], 0);
}
