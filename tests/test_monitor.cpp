// The live monitor against what the simulated chain recorded and what the merge writes of it.
#include <algorithm>
#include <atomic>
#include <random>

#include "korbalt_decode.h"
#include "korbalt_env.h"
#include "monitor/monitorcore.h"
#include "tests/core_merge.h"
#include "tests/measure_reference.h"

namespace {

// The blocks of a simulated chain, and the chain as it was while they were taken: the chain
// position of each library index, and the library indexes in chain order.
struct Capture : Received {
  using Received::Received;
  std::vector<int32_t> positions;
  std::vector<uint32_t> order;
};

// Takes `words` words of every device of a simulated chain of `devices`, produced as fast as
// taken, with the marker mask `markers` on every device.
void captureChain(Capture& c, uint32_t devices, size_t words, uint32_t markers = 0) {
  SimChain chain(SimChain::Vars{{"RAVIK_SIM_MAX_RATE", "1"},
                                {"RAVIK_SIM_DEVICES", std::to_string(devices)}});
  ASSERT_EQ(chain.count(), devices);
  ASSERT_TRUE(chain.connectAll());
  c.order.assign(devices, devices);
  for (uint32_t i = 0; i < devices; ++i) {
    TDC_addressDevice(i);
    TDC_getChainPosition(&c.positions.emplace_back(-1), nullptr);
    ASSERT_EQ(TDC_enableMarkers(markers), 0);
    c.order.at(size_t(c.positions[i])) = i;  // the default chain has positions 0 .. devices - 1
  }
  c.stopAt = words;
  ASSERT_EQ(listen(c), 0);
  ASSERT_TRUE(waitFor([&] { return c.stopped.load(); }));
}

// About 2.5 s of the default chain's stream.
const Capture& defaultChain() {
  static Capture c(3);
  if (c.blocks.empty()) captureChain(c, 3, 1000000);
  return c;
}

// What the merge writes for the captured streams of the devices in `order`, as records.
Tags mergedRecords(const Capture& c, const std::vector<uint32_t>& order, uint32_t markers) {
  TempDir dir;
  std::vector<CoreSource> sources;
  for (uint32_t index : order) {
    sources.push_back({dir / std::to_string(index), c.positions[index], markers});
    EXPECT_TRUE(writeWords(sources.back().path, c.words[index])) << index;
  }
  coreMerge(sources, "/dev/null", dir / "merged.bin");
  return reference::recordsOf(slurp(dir / "merged.bin"));
}

// A measurement that keeps what it is fed.
struct Recorder : Measurement {
  Tags tags;
  void add(const TimeTag* t, size_t n) override { tags.insert(tags.end(), t, t + n); }
  void reset() override { tags.clear(); }
};

// The reference: each device's whole stream through a codec instance of its own, as the times of
// each of its channels (no markers).
std::vector<std::vector<std::vector<int64_t>>> recordedTimes(const Capture& c) {
  std::vector<std::vector<std::vector<int64_t>>> out(3, std::vector<std::vector<int64_t>>(6));
  for (size_t d = 0; d < 3; ++d)
    for (const PpTimest& s : decodeWords(c.words[d], {4096}, 0)) out[d].at(s.channel).push_back(s.time);
  return out;
}

// The monitor's devices of the capture in `order`, each with the marker mask `markers`.
std::vector<MonitorDevice> devicesOf(const Capture& c, const std::vector<uint32_t>& order,
                                     uint32_t markers) {
  std::vector<MonitorDevice> devices;
  for (uint32_t index : order) devices.push_back({c.positions[index], markers});
  return devices;
}

// Pushes the captured blocks into the taps of the devices in chain `order` as they came,
// leaving out those of the device at `skip` in that order, and drains after each.
void feed(MonitorCore& core, const Capture& c, const std::vector<uint32_t>& order, int skip = -1) {
  for (const Block& b : c.blocks) {
    const auto i = std::find(order.begin(), order.end(), uint32_t(b.device)) - order.begin();
    if (i == skip) continue;
    core.tap(size_t(i))->push(b.words.data(), int32_t(b.words.size()));
    while (core.drain()) continue;
  }
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
    const Stamps want = decodeBlock(reference, w.data(), w.size());
    if (tap.droppedWords() == droppedBefore) copied.push_back({want, reference->lastTime});
    if (i % 4 != 0) continue;
    TapEntry entry;
    for (size_t k = 0; tap.front(&entry); tap.pop()) {
      if (entry.isGap) {
        applyGap(monitor, entry.gap);
        ++gaps;
        continue;
      }
      const Stamps got = decodeBlock(monitor, entry.words, size_t(entry.count));
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

// (The histogram is a Correlation of the stream that MeasurementsGetTheMergedStreamForAnyChainLength
// checks: its pairs against the recording, test_ravik_record_monitor; its peak, test_monitorwindow.)
TEST(Monitor, RatesHoldWhatWasRecorded) {
  const Capture& c = defaultChain();
  MonitorCore core(devicesOf(c, {0, 1, 2}, 0));  // in library order, not the chain's
  feed(core, c, {0, 1, 2});
  core.finish();
  const MonitorSnapshot snap = core.snapshot();
  const auto recorded = recordedTimes(c);
  EXPECT_FALSE(snap.behind || snap.histogramPartial);

  for (size_t d = 0; d < 3; ++d) {
    const DeviceRates& r = snap.devices[d];
    ASSERT_EQ(r.toPs - r.fromPs, kRateSlices * kSlicePs) << "device " << d;
    for (uint8_t channel = 0; channel < 5; ++channel) {
      const std::vector<int64_t>& t = recorded[d][channel];
      const auto n = std::lower_bound(t.begin(), t.end(), r.toPs) -
                     std::lower_bound(t.begin(), t.end(), r.fromPs);
      EXPECT_GT(n, 50000) << "device " << d << " channel " << int(channel);
      EXPECT_DOUBLE_EQ(r.perSecond[channel], double(n)) << "device " << d << " ch " << int(channel);
    }
  }

}

TEST(Monitor, BehindWhenTheTapOverflows) {
  const Capture& c = defaultChain();
  MonitorCore core({{0, 0}, {1, 0}, {2, 0}}, 20000);
  const auto push = [&](const Block& b) {
    core.tap(size_t(b.device))->push(b.words.data(), int32_t(b.words.size()));
  };
  std::for_each(c.blocks.begin(), c.blocks.end() - 3, push);
  while (core.drain()) continue;
  MonitorSnapshot snap = core.snapshot();
  EXPECT_TRUE(snap.behind && snap.histogramPartial);
  EXPECT_GT(snap.droppedWords, 2000000u);
  // The last blocks fit again and close the gaps; a reset then starts a whole histogram.
  std::for_each(c.blocks.end() - 3, c.blocks.end(), push);
  while (core.drain()) continue;
  core.resetHistogram();
  snap = core.snapshot();
  EXPECT_TRUE(snap.behind);
  EXPECT_FALSE(snap.histogramPartial);
}

TEST(Monitor, PeakFigures) {
  const CorrelationSettings s{1, 6, 30, 10};
  // The histogram's counts, and whether a peak is found, its position, width, coincidences and
  // significance.
  const struct {
    std::vector<uint64_t> counts;
    bool found; int64_t position; double fwhm; uint64_t coincidences; bool significant;
  } cases[] = {
      {{0, 0, 4, 8, 4, 0}, true, 0, 20, 16, true},
      {{0, 0, 0, 6, 0, 0}, true, 0, 10, 6, true},   // one bin wide
      {{9, 1, 0, 0, 0, 0}, true, -30, 10.625, 10, true},  // at the edge: outside counts as 0
      {{0, 0, 0, 0, 0, 0}, false, 0, 0, 0, false},
      {{0, 0, 0, 2, 0, 0}, true, 0, 10, 2, false},  // two counts in an empty histogram: noise
      {{5, 4, 6, 5, 4, 5}, true, -10, 58, 15, false},  // flat
      {{100, 100, 160, 100, 100, 100}, true, -10, 54, 360, true},
      {{100, 100, 140, 100, 100, 100}, true, -10, 56, 340, false},  // within 5 sigma of 100
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.counts[0] << " " << c.counts[2] << " " << c.counts[3]);
    const Peak p = findPeak(c.counts, s, 2.0);
    EXPECT_EQ(std::tie(p.found, p.positionPs, p.coincidences, p.significant),
              std::tie(c.found, c.position, c.coincidences, c.significant));
    EXPECT_NEAR(p.fwhmPs, c.fwhm, 1e-9);
    EXPECT_DOUBLE_EQ(p.coincidenceRate, c.coincidences / 2.0);
  }
  const struct { int64_t range, width; bool ok; } settings[] = {{10000, 10, true}, {10000, 0, false}, {10000, 1000001, false},
                  {10000000, 1, false}, {0, 1, false}, {1000000, 1000000, true},
                  {10, 11, false}, {10, 10, true}};  // no bin wider than the range
  for (const auto& t : settings)
    EXPECT_EQ(correlationError({1, 6, t.range, t.width}).empty(), t.ok) << t.range << " / " << t.width;
}

}  // namespace

// Chains of one to five devices, every marker on (the merge into merge order has a loop for two
// to four devices and another for the rest): the measurements get the records in the merge's
// order, markers included. (What each measurement makes of them: test_measurements.)
TEST(Monitor, MeasurementsGetTheMergedStreamForAnyChainLength) {
  for (uint32_t n : {1u, 2u, 3u, 4u, 5u}) {
    SCOPED_TRACE("devices " + std::to_string(n));
    Capture c(n);
    captureChain(c, n, 60000, kEveryMarker);
    MonitorCore core(devicesOf(c, c.order, kEveryMarker));
    auto recorder = std::make_shared<Recorder>();
    core.measurements().add(recorder);
    feed(core, c, c.order);
    core.finish();

    const Tags merged = mergedRecords(c, c.order, kEveryMarker);
    ASSERT_GT(merged.size(), 50000u * n);
    ASSERT_TRUE(recorder->tags == merged) << "the records in the merge's order";
    EXPECT_GT(std::count_if(merged.begin(), merged.end(), [](const TimeTag& t) { return t.channel >= 100; }), 10);
    EXPECT_FALSE(recorder->overflowed());
  }
}

TEST(Monitor, ADeviceThatSendsNothingHoldsTheOthersBackAWhileOnly) {
  // The chain's first two devices send, the third nothing: their records wait for it only
  // while they lie within 100 ms of the latest stream time, and after the end all of them come
  // in the order the merge writes for the two.
  const Capture& c = defaultChain();
  MonitorCore core(devicesOf(c, c.order, 0));
  auto recorder = std::make_shared<Recorder>();
  core.measurements().add(recorder);
  feed(core, c, c.order, 2);
  const Tags merged = mergedRecords(c, {c.order[0], c.order[1]}, 0);
  ASSERT_GT(merged.size(), 1000000u);
  const auto latestOf = [](const Tags& tags) {
    return std::max_element(tags.begin(), tags.end(), [](TimeTag a, TimeTag b) { return a.time < b.time; })->time;
  };
  const int64_t latest = latestOf(merged), wait = 100000000000;  // 100 ms
  ASSERT_FALSE(recorder->tags.empty());
  const int64_t released = latestOf(recorder->tags);
  // A time advance at most 1 ms after the last record may have moved the stream on.
  EXPECT_LE(released, latest + 1000000000 - wait);
  EXPECT_GT(released, latest - wait - 20000000000);
  core.finish();
  EXPECT_TRUE(recorder->tags == merged);
}

TEST(Monitor, RateSlicesCountAsATimeTraceOfTheirKeys) {
  // Records of six keys, nearly in rising time: steps back, quiet stretches passed by reach(),
  // negative times; the slices against a time trace of the same keys.
  std::mt19937_64 rng(11);
  RateSlices slices(6, 1000, 5);
  TimeTrace trace({0, 1, 2, 3, 4, 5}, 1000, 5);
  int64_t t = -3500;
  for (int i = 0; i < 20000; ++i) {
    const uint32_t kind = uint32_t(rng() % 100);
    if (kind < 2) {
      t += int64_t(rng() % 9000);
      trace.reach(t);
      slices.reach(t);
      continue;
    }
    const int64_t time = kind < 5 ? t - int64_t(rng() % 6000) : (t += int64_t(rng() % 300));
    const TimeTag tag{time, int16_t(rng() % 6)};
    trace.feed(&tag, 1);
    slices.add(size_t(tag.channel), tag.time);
    if (i % 97 == 0) {
      ASSERT_EQ(slices.data(), trace.data()) << "record " << i;
      ASSERT_EQ(slices.firstBinPs(), trace.firstBinPs()) << "record " << i;
    }
  }
  EXPECT_EQ(slices.data(), trace.data());
}
