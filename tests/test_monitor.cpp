// The live monitor against what the simulated chain recorded: the tap keeps the decoder in time
// across dropped blocks, the rates are the recorded events of the window they cover, and the
// histogram holds every pair of the recorded streams.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "codec_stamps.h"
#include "korbalt_env.h"
#include "monitor/monitorcore.h"

namespace {

struct Block {
  int32_t device;
  Words words;
};

// Blocks in delivery order, taken by the callback until every device sent `words` words.
struct Capture {
  std::vector<Block> blocks;
  size_t perDevice[3] = {};
  size_t words = 0;
  std::atomic<bool> done{false};
};
Capture* gCapture = nullptr;

void capture(int32_t** index, int, int words, int, uint32_t* data) {
  Capture& c = *gCapture;
  if (c.done) return;
  c.blocks.push_back({**index, Words(data, data + words)});
  c.perDevice[**index] += size_t(words);
  if (std::all_of(std::begin(c.perDevice), std::end(c.perDevice),
                  [&](size_t n) { return n >= c.words; }))
    c.done = true;
}

// About 2.5 s of the default chain's stream, produced as fast as it is taken.
const Capture& defaultChain() {
  static Capture c;
  if (!c.blocks.empty()) return c;
  SimChain chain(SimChain::Vars{{"RAVIK_SIM_MAX_RATE", "1"}});
  EXPECT_TRUE(chain.connectAll());
  c.words = 1000000;
  gCapture = &c;
  UL_setEventCallback(KORBALT_EVENT_DATA, capture);
  while (!c.done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  return c;
}

int32_t chainPosition(uint32_t index) {
  int32_t position = -1;
  TDC_addressDevice(index);
  TDC_getChainPosition(&position, nullptr);
  return position;
}

// The reference: each device's whole stream through a codec instance of its own.
std::vector<Stamps> decodeAll(const Capture& c) {
  std::vector<Stamps> out(3);
  std::vector<Tdc56Instance*> codecs = {tdc56Init(), tdc56Init(), tdc56Init()};
  for (const Block& b : c.blocks) {
    for (size_t pos = 0; pos < b.words.size(); pos += 4096) {
      tdc56Decode60(codecs[b.device], &b.words[pos],
                    int32_t(std::min<size_t>(4096, b.words.size() - pos)), 0);
      const Stamps s = popStamps(codecs[b.device]);
      out[b.device].insert(out[b.device].end(), s.begin(), s.end());
    }
  }
  for (Tdc56Instance* codec : codecs) tdc56DeInit(codec);
  return out;
}

std::vector<int64_t> timesOf(const Stamps& stamps, uint8_t channel) {
  std::vector<int64_t> times;
  for (const PpTimest& s : stamps)
    if (s.channel == channel) times.push_back(s.time);
  return times;
}

TEST(Monitor, DroppedBlocksKeepTheDecoderInTime) {
  const Capture& c = defaultChain();
  // A tap room of three blocks, emptied only at every fourth block: most blocks are dropped.
  TapQueue tap(3 * 8200);
  Tdc56Instance* reference = tdc56Init();
  Tdc56Instance* monitor = tdc56Init();
  // What the reference made of each block the tap kept, and its time after the block.
  std::vector<std::pair<Stamps, int64_t>> copied;
  int32_t gaps = 0, checked = 0;
  for (size_t i = 0; i < c.blocks.size(); ++i) {
    const Words& w = c.blocks[i].words;
    if (c.blocks[i].device != 0) continue;
    const uint64_t droppedBefore = tap.droppedWords();
    tap.push(w.data(), int32_t(w.size()));
    Stamps want;
    for (size_t pos = 0; pos < w.size(); pos += 4096) {
      tdc56Decode60(reference, &w[pos], int32_t(std::min<size_t>(4096, w.size() - pos)), 0);
      const Stamps s = popStamps(reference);
      want.insert(want.end(), s.begin(), s.end());
    }
    if (tap.droppedWords() == droppedBefore) copied.push_back({want, reference->lastTime});
    if (i % 4 != 0) continue;
    TapEntry entry;
    for (size_t k = 0; tap.front(&entry); tap.pop()) {
      if (entry.isGap) {
        applyGap(monitor, entry.gap);
        ++gaps;
        continue;
      }
      Stamps got;
      for (int32_t pos = 0; pos < entry.count; pos += 4096) {
        tdc56Decode60(monitor, entry.words + pos, std::min(4096, entry.count - pos), 0);
        const Stamps s = popStamps(monitor);
        got.insert(got.end(), s.begin(), s.end());
      }
      ASSERT_EQ(got, copied[k].first) << "copied block " << checked;
      ASSERT_EQ(monitor->lastTime, copied[k++].second) << "copied block " << checked;
      ++checked;
    }
    copied.clear();
  }
  EXPECT_GT(gaps, 10);
  EXPECT_GT(checked, 10);
  tdc56DeInit(reference);
  tdc56DeInit(monitor);
}

TEST(Monitor, RatesAndHistogramHoldWhatWasRecorded) {
  const Capture& c = defaultChain();
  SimChain chain;  // the same default chain, for its chain positions
  ASSERT_TRUE(chain.connectAll());
  std::vector<MonitorDevice> devices;
  for (uint32_t i = 0; i < 3; ++i) devices.push_back({chainPosition(i), 0});
  MonitorCore core(devices);
  for (const Block& b : c.blocks) {
    core.tap(size_t(b.device))->push(b.words.data(), int32_t(b.words.size()));
    while (core.drain()) {
    }
  }
  core.finish();
  const MonitorSnapshot snap = core.snapshot();
  const std::vector<Stamps> recorded = decodeAll(c);
  EXPECT_FALSE(snap.behind || snap.histogramPartial);

  for (size_t d = 0; d < 3; ++d) {
    const DeviceRates& r = snap.devices[d];
    ASSERT_EQ(r.toPs - r.fromPs, kRateSlices * kSlicePs) << "device " << d;
    for (uint8_t channel = 0; channel < 5; ++channel) {
      const std::vector<int64_t> t = timesOf(recorded[d], channel);
      const auto n = std::lower_bound(t.begin(), t.end(), r.toPs) -
                     std::lower_bound(t.begin(), t.end(), r.fromPs);
      EXPECT_GT(n, 50000) << "device " << d << " channel " << int(channel);
      EXPECT_DOUBLE_EQ(r.perSecond[channel], double(n)) << "device " << d << " ch " << int(channel);
    }
  }

  // Channel 1 of the master against channel 1 of slave 1, by brute force over the recordings.
  const auto of = [&](int32_t position) {
    return timesOf(recorded[size_t(std::find_if(devices.begin(), devices.end(),
                                                [&](const MonitorDevice& m) {
                                                  return m.chainPos == position;
                                                }) - devices.begin())], 1);
  };
  const std::vector<int64_t> a = of(0), b = of(1);
  const CorrelationSettings& s = snap.correlation;
  std::vector<uint64_t> expected(size_t(binCount(s)), 0);
  for (int64_t ta : a)
    for (auto it = std::lower_bound(b.begin(), b.end(), ta - s.rangePs);
         it != b.end() && *it - ta < s.rangePs; ++it)
      ++expected[size_t((*it - ta + s.rangePs) / s.binWidthPs)];
  EXPECT_EQ(snap.histogram, expected);
  EXPECT_EQ(snap.peak.positionPs, 2500);
  EXPECT_EQ(snap.peak.height, expected[size_t((2500 + s.rangePs) / s.binWidthPs)]);
  EXPECT_GT(snap.peak.height, 3000u);  // the devices' jitter spreads the pairs over a few bins
}

TEST(Monitor, BehindWhenTheTapOverflows) {
  const Capture& c = defaultChain();
  MonitorCore core({{0, 0}, {1, 0}, {2, 0}}, 20000);
  const auto push = [&](const Block& b) {
    core.tap(size_t(b.device))->push(b.words.data(), int32_t(b.words.size()));
  };
  std::for_each(c.blocks.begin(), c.blocks.end() - 3, push);
  while (core.drain()) {
  }
  MonitorSnapshot snap = core.snapshot();
  EXPECT_TRUE(snap.behind && snap.histogramPartial);
  EXPECT_GT(snap.droppedWords, 2000000u);
  // The last blocks fit again and close the gaps; a reset then starts a whole histogram.
  std::for_each(c.blocks.end() - 3, c.blocks.end(), push);
  while (core.drain()) {
  }
  core.resetHistogram();
  snap = core.snapshot();
  EXPECT_TRUE(snap.behind);
  EXPECT_FALSE(snap.histogramPartial);
}

TEST(Monitor, CorrelatorCountsEveryPairOnce) {
  const struct {
    std::vector<std::pair<int64_t, int>> events;  // time, 1 A / 2 B / 3 both
    std::vector<std::pair<int64_t, uint64_t>> bins;  // delay, count
  } cases[] = {
      {{{100, 1}, {100, 2}}, {{0, 1}}},                     // equal times, A first
      {{{100, 2}, {100, 1}}, {{0, 1}}},                     // equal times, B first
      {{{100, 1}, {130, 2}, {160, 1}}, {{30, 1}, {-30, 1}}},
      {{{100, 3}, {130, 3}}, {{30, 1}, {-30, 1}, {0, 0}}},  // A = B: no event with itself
      {{{0, 1}, {40, 2}, {80, 1}}, {{39, 0}, {-40, 1}}},    // +40 is out of range [-40, 40)
  };
  for (const auto& c : cases) {
    CorrelationSettings s;
    s.rangePs = 40;
    s.binWidthPs = 1;
    Correlator corr(s);
    for (const auto& e : c.events) corr.add(e.first, e.second & 1, e.second & 2);
    uint64_t total = 0;
    for (uint64_t n : corr.counts()) total += n;
    uint64_t want = 0;
    for (const auto& bin : c.bins) {
      EXPECT_EQ(corr.counts()[size_t(bin.first + 40)], bin.second) << "delay " << bin.first;
      want += bin.second;
    }
    EXPECT_EQ(total, want);
  }
}

TEST(Monitor, PeakFigures) {
  CorrelationSettings s;
  s.rangePs = 30;
  s.binWidthPs = 10;
  const struct {
    std::vector<uint64_t> counts;
    bool found;
    int64_t position;
    double fwhm;
    uint64_t coincidences;
  } cases[] = {
      {{0, 0, 4, 8, 4, 0}, true, 0, 20, 16},
      {{0, 0, 0, 6, 0, 0}, true, 0, 10, 6},   // one bin wide
      {{9, 1, 0, 0, 0, 0}, true, -30, 10.625, 10},  // at the edge: outside counts as 0
      {{0, 0, 0, 0, 0, 0}, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    const Peak p = findPeak(c.counts, s, 2.0);
    EXPECT_EQ(p.found, c.found);
    EXPECT_EQ(p.positionPs, c.position);
    EXPECT_NEAR(p.fwhmPs, c.fwhm, 1e-9);
    EXPECT_EQ(p.coincidences, c.coincidences);
    EXPECT_DOUBLE_EQ(p.coincidenceRate, c.coincidences / 2.0);
  }
  const struct {
    int64_t range, width;
    bool ok;
  } settings[] = {{10000, 10, true}, {10000, 0, false}, {10000, 1000001, false},
                  {10000000, 1, false}, {0, 1, false}, {1000000, 1000000, true}};
  for (const auto& t : settings) {
    CorrelationSettings cs;
    cs.rangePs = t.range;
    cs.binWidthPs = t.width;
    EXPECT_EQ(correlationError(cs).empty(), t.ok) << t.range << " / " << t.width;
  }
}

}  // namespace
