// The simulated streams as words: what the packer and the generator write must decode, with the
// codec, to exactly the items they were given, whatever the packet types and block boundaries.
#include <algorithm>
#include <vector>

#include "korbalt/generator.h"
#include "korbalt/packer.h"
#include "korbalt/random.h"
#include "korbalt_decode.h"

using namespace korbalt;

namespace {

// A chain of `devices` that share `pairRate` pairs per second.
Scenario chainOf(int32_t devices, double pairRate) {
  Scenario s;
  s.pairRate = pairRate;
  s.devices.resize(size_t(devices));
  for (int32_t i = 0; i < devices; ++i) s.devices[size_t(i)].member = i;
  return s;
}

// Every input at `rate`, the pair channel on.
StreamConfig configOf(double rate, uint32_t markers, bool fiveChannel) {
  StreamConfig c{{}, true, markers, fiveChannel};
  std::fill(c.rates, c.rates + kInputChannels, rate);
  return c;
}

size_t advances(const std::vector<SimEvent>& items) {
  return size_t(std::count_if(items.begin(), items.end(),
                              [](const SimEvent& e) { return e.channel == kAdvanceChannel; }));
}

}  // namespace

TEST(KorbaltPacker, EveryDifferenceWidthDecodesExactlyAcrossBlockSplits) {
  Random random(7);
  const int64_t gaps[] = {0, 1, 65535, 65536, (1 << 26) - 1, 1 << 26, 999999999, 123456789012LL};
  std::vector<SimEvent> items;
  for (int64_t t = 5000000; items.size() < 3000;) {
    const uint64_t r = random.next();
    t += (r & 3) == 0 ? gaps[(r >> 2) % 8] : int64_t((r >> 8) % 70000);
    items.push_back({t, uint8_t((r >> 40) % 8)});
  }
  Words words(2 + 2 * items.size());
  packAbsolute(5000000, words.data());
  int64_t last = 5000000;
  const Packed p = packEvents(items.data(), int32_t(items.size()), true, &last, &words[2],
                              int32_t(words.size() - 2));
  ASSERT_EQ(p.items, int32_t(items.size()));
  EXPECT_EQ(size_t(p.advances), advances(items));
  EXPECT_EQ(last, items.back().time);
  words.resize(2 + size_t(p.words));
  int types[4] = {};
  for (size_t i = 2; i < words.size(); i += 2)
    ++types[((words[i + 1] >> 29) & 2) | ((words[i] >> 30) & 1)];
  for (int type = 1; type <= 3; ++type) EXPECT_GT(types[type], 0) << "type " << type;
  EXPECT_TRUE(sameTimestamps(decodeWords(words, {100}, kAllMarkers),
                             expectedTimestamps(items, kAllMarkers)));
  EXPECT_TRUE(sameTimestamps(decodeWords(words, {7, 2, 13}, 0x021),
                             expectedTimestamps(items, 0x021)));
}

TEST(KorbaltGenerator, StreamDecodesToItsRecordThroughRestartsAndSmallBuffers) {
  // Inputs busy enough to use every packet type; markers and pairs in between.
  const Scenario s = chainOf(3, 50000);
  StreamGenerator gen(s.devices[1], s);
  std::vector<SimEvent> record;
  gen.keepRecord(&record, 1 << 20);
  StreamConfig config = configOf(3e6, kAllMarkers, true);
  config.rates[3] = 0;
  gen.configure(config);
  gen.restart(kPsPerMs * 1000 + 123);
  Words words;
  uint32_t buffer[10];
  for (int k = 0; k < 60; ++k) {
    const int64_t until = kPsPerMs * 1000 + k * (kPsPerMs / 3);
    if (k == 30) gen.restart(until + 7);  // as after lost data
    for (int32_t n; (n = gen.produce(until, buffer, 10)) > 0;)
      words.insert(words.end(), buffer, buffer + n);
  }
  ASSERT_GT(record.size(), 2000u);
  EXPECT_EQ(gen.events(), record.size() - advances(record));
  for (size_t i = 1; i < record.size(); ++i) {
    ASSERT_LE(record[i - 1].time, record[i].time);
    ASSERT_NE(record[i].channel, 0) << "input 0 counts as channel 5 in five-channel mode";
    ASSERT_NE(record[i].channel, 3) << "a disabled input stays quiet";
  }
  EXPECT_TRUE(sameTimestamps(decodeWords(words, {100}, kAllMarkers),
                             expectedTimestamps(record, kAllMarkers)));

  // Quiet stretches carry a time advance every millisecond.
  const Scenario quiet = chainOf(1, 0);
  StreamGenerator idle(quiet.devices[0], quiet);
  record.clear();
  idle.keepRecord(&record, 1000);
  idle.configure(configOf(0, 0, false));
  idle.restart(kPsPerMs * 1000);
  uint32_t out[64];
  EXPECT_EQ(idle.produce(kPsPerMs * 1010, out, 64), 2 + 2 * 10);
  EXPECT_EQ(out[0] & 0x40000000u, 0u) << "an absolute-time packet comes first";
  ASSERT_EQ(record.size(), 10u);
  EXPECT_EQ(record.back().time, kPsPerMs * 1010);
  EXPECT_EQ(record.back().channel, kAdvanceChannel);
}

TEST(KorbaltSources, DevicesAgreeOnPairsWhereverTheyStart) {
  const Scenario s = chainOf(2, 200000);
  // Device 0 and device 1 from the same start, and device 0 again from a later one.
  const int64_t starts[] = {kPsPerMs * 1000, kPsPerMs * 1000, kPsPerMs * 1003 + 777};
  const int64_t end = kPsPerMs * 1010;
  std::vector<SimEvent> got[3];
  for (int i = 0; i < 3; ++i) {
    EventSources sources(s.devices[size_t(i % 2)], s);
    sources.configure(configOf(0, 0, false));
    sources.restart(starts[i]);
    got[i].resize(20000);
    got[i].resize(size_t(sources.fill(got[i].data(), 20000, end)));
  }
  const std::vector<SimEvent>&a = got[0], &b = got[1], &c = got[2];
  ASSERT_GT(a.size(), 500u);
  // Device 0 sees its own pairs' first events and device 1's pairs' second events; device 1
  // sees the mirror image, each second event 2500 ps after its first. Away from the ends, where
  // a partner may lie outside the stretch, every event has one.
  for (const SimEvent& e : a) {
    if (e.time < starts[0] + s.pairDelayPs || e.time > end - s.pairDelayPs) continue;
    ASSERT_TRUE(std::any_of(b.begin(), b.end(), [&](const SimEvent& f) {
      return f.time == e.time + s.pairDelayPs || f.time + s.pairDelayPs == e.time;
    })) << "no partner for " << e.time;
  }
  const auto from =
      std::find_if(a.begin(), a.end(), [&](const SimEvent& e) { return e.time >= starts[2]; });
  ASSERT_EQ(size_t(a.end() - from), c.size());
  EXPECT_TRUE(std::equal(c.begin(), c.end(), from, [](const SimEvent& x, const SimEvent& y) {
    return x.time == y.time && x.channel == y.channel;
  }));
}
