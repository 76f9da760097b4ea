// The simulated devices' input stage: signal delays and a Gaussian jitter applied to each event.
#include <math.h>

#include <algorithm>
#include <string>
#include <vector>

#include "korbalt/generator.h"
#include "korbalt/sources.h"
#include "korbalt_decode.h"
#include "korbalt_env.h"

using namespace korbalt;

namespace {

struct Generated {
  Words words;
  std::vector<SimEvent> items;  // as packed
};

// 20 ms of scenario device 0 with the given jitter, seed and delays, all markers on.
Generated shapedStream(const std::string& jitter, const std::string& seed,
                   std::vector<int32_t> delays = std::vector<int32_t>(kEventChannels, 0)) {
  const Scenario scenario = scenarioOf({{"RAVIK_SIM_JITTER_PS", jitter}, {"RAVIK_SIM_SEED", seed}});
  StreamGenerator generator(scenario.devices[0], scenario);
  StreamConfig config{};
  for (double& r : config.rates) r = 60000;
  config.pairChannelOn = true;
  config.markers = 0x1FF;
  std::copy(delays.begin(), delays.end(), config.delaysPs);
  generator.configure(config);
  generator.restart(1000);
  Generated g;
  generator.keepRecord(&g.items, 1000000);
  uint32_t block[4096];
  // Uneven steps of stream time, as the wall clock gives them.
  for (int64_t until = 1000; until < 20 * kPsPerMs; until += 777777777) {
    for (int32_t n; (n = generator.produce(until, block, 4096)) > 0;) g.words.insert(g.words.end(), block, block + n);
  }
  return g;
}

// The times of channel c's events, sorted.
std::vector<int64_t> timesOf(const std::vector<SimEvent>& items, uint8_t channel) {
  std::vector<int64_t> t;
  for (const SimEvent& e : items)
    if (e.channel == channel) t.push_back(e.time);
  std::sort(t.begin(), t.end());
  return t;
}

}  // namespace

TEST(KorbaltShaper, DelaysAndJitterMoveEachEventAndKeepTheStreamInOrder) {
  const Generated plain = shapedStream("0", "5");
  struct Case {
    const char* jitter;
    std::vector<int32_t> delays;
    double wantSigma;
  };
  const Case cases[] = {
      {"0", {0, 0, 1500, 0, 0, 0}, 0},           // one channel delayed, exactly
      {"0", {300, 2000000, 0, 7, 0, 0}, 0},      // a delay of 2 us reorders the channels
      {"40", {0, 0, 0, 0, 0, 0}, 40},            // jitter alone
      {"25", {0, 1000, 0, 0, 0, 0}, 25},         // both
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("jitter ") + c.jitter + " delay of channel 1 " + std::to_string(c.delays[1]));
    const Generated shaped = shapedStream(c.jitter, "5", c.delays);
    ASSERT_GT(shaped.items.size(), 5000u);
    EXPECT_TRUE(std::is_sorted(shaped.items.begin(), shaped.items.end(),
                               [](const SimEvent& a, const SimEvent& b) { return a.time < b.time; }));
    EXPECT_TRUE(sameTimestamps(decodeWords(shaped.words, {100}, kEveryMarker),
                               expectedTimestamps(shaped.items, kEveryMarker)));
    // A seed gives the same stream, another seed another.
    EXPECT_EQ(shapedStream(c.jitter, "5", c.delays).words, shaped.words);
    EXPECT_NE(shapedStream(c.jitter, "6", c.delays).words, shaped.words);
    // Markers stay on their ticks.
    EXPECT_EQ(timesOf(shaped.items, kMarkerChannel), timesOf(plain.items, kMarkerChannel));
    for (uint8_t ch = 0; ch < 5; ++ch) {
      const std::vector<int64_t> before = timesOf(plain.items, ch), after = timesOf(shaped.items, ch);
      // The last events may still be held back by the shaper.
      ASSERT_NEAR(double(after.size()), double(before.size()), 3) << "channel " << int(ch);
      const size_t n = std::min(before.size(), after.size()) - 3;
      double sum = 0, squares = 0, widest = 0;
      for (size_t i = 0; i < n; ++i) {
        const double d = double(after[i] - before[i] - c.delays[ch]);
        sum += d;
        squares += d * d;
        widest = std::max(widest, fabs(d));
      }
      const double mean = sum / double(n), sigma = sqrt(squares / double(n) - mean * mean);
      EXPECT_NEAR(mean, 0, c.wantSigma / 10 + 1e-9) << "channel " << int(ch);
      EXPECT_NEAR(sigma, c.wantSigma, c.wantSigma / 10 + 1e-9) << "channel " << int(ch);
      EXPECT_LE(widest, 4 * c.wantSigma + 1) << "channel " << int(ch);
    }
  }
}

TEST(KorbaltShaper, JitterTableIsAWholePsGaussian) {
  for (int64_t sigma : {10, 40, 1000, 25000}) {
    SCOPED_TRACE("sigma " + std::to_string(sigma));
    const std::vector<int32_t> magnitudes = jitterMagnitudes(sigma);
    ASSERT_EQ(magnitudes.size(), kJitterLevels);
    EXPECT_TRUE(std::is_sorted(magnitudes.begin(), magnitudes.end()));
    EXPECT_GE(magnitudes.front(), 0);
    // Each magnitude is drawn with either sign alike: the mean is 0 and the variance the
    // mean square of the magnitudes; the cut tails take about 0.1 % of the width.
    double squares = 0;
    for (int32_t m : magnitudes) squares += double(m) * double(m);
    EXPECT_NEAR(sqrt(squares / double(magnitudes.size())), double(sigma), 0.005 * double(sigma));
    EXPECT_LE(magnitudes.back(), 3.9 * double(sigma));
    EXPECT_GE(magnitudes.back(), 3.7 * double(sigma));
  }
}

TEST(KorbaltShaper, HoldsNoGrowingBacklogAtMaximumRate) {
  // A stream produced as fast as it is taken: items wait in the shaper only for those that may
  // still land before them, never a backlog that grows round by round.
  const Scenario scenario = scenarioOf({{"RAVIK_SIM_JITTER_PS", "10"}, {"RAVIK_SIM_SEED", "3"}});
  StreamGenerator generator(scenario.devices[0], scenario);
  StreamConfig config{};
  for (double& r : config.rates) r = 20e6;
  config.pairChannelOn = true;
  config.delaysPs[2] = 3000;
  generator.configure(config);
  generator.restart(1000);
  uint32_t block[4096];
  size_t most = 0;
  while (generator.events() < 3000000) {
    ASSERT_GT(generator.produce(INT64_MAX / 2, block, 4096), 0);
    most = std::max(most, generator.held());
  }
  EXPECT_LT(most, 1000u);
}

// With a lifetime the later event of each pair comes an exponential time after its delay: the
// decays come out in time order although they overtake one another, each no earlier than the
// pair it belongs to, and their mean lies the lifetime after the pairs'.
TEST(KorbaltShaper, PairDecaysComeInOrderAnExponentialLifetimeLate) {
  constexpr int64_t kDelay = 2500, kLifetime = 1000;
  constexpr size_t kPairs = 100000;
  // 10^8 pairs per second, one every 10 ps: a decay overtakes a hundred later pairs.
  auto walk = [&](int64_t lifetime) {
    PairWalker second;
    second.init(7, 1e8, kDelay, 2, 1, true, lifetime);
    second.seek(0);
    std::vector<int64_t> times;
    for (size_t i = 0; i < kPairs; ++i, second.advance()) times.push_back(second.next());
    return times;
  };
  const std::vector<int64_t> pairs = walk(0), decays = walk(kLifetime);
  ASSERT_TRUE(std::is_sorted(decays.begin(), decays.end()));
  double late = 0;
  for (size_t i = 0; i < kPairs; ++i) {
    ASSERT_GE(decays[i], pairs[i]) << i;
    late += double(decays[i] - pairs[i]);
  }
  EXPECT_NEAR(late / kPairs, double(kLifetime), 0.03 * kLifetime);
}
