// The measurements against the plain computation of the same records (measure_reference.h).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "monitor/countbetweenmarkers.h"
#include "monitor/logcorrelation.h"
#include "monitor/timedifferences.h"
#include "tests/measure_reference.h"

namespace {

// Records in merge order: mostly non-decreasing times (ties included), loss records, markers up
// to 30 us earlier than the records before them, and now and then an ordinary record up to 3 us
// earlier, as the merge writes them around markers.
Tags generate(uint32_t seed, size_t n, int64_t start = 1000000000, int64_t meanStepPs = 5000) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> step(1.0 / double(meanStepPs));
  const int16_t ordinary[] = {0, 1, 2, 5, 6, 7, 11};
  const int16_t markers[] = {101, 200};
  Tags tags;
  int64_t t = start;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t kind = uint32_t(rng() % 100);
    if (kind < 3) {
      const int64_t early = rng() % 2 == 0 ? 0 : int64_t(rng() % 30000000);
      tags.push_back({t - early, markers[rng() % 2]});
    } else if (kind < 4) {
      tags.push_back({t, int16_t(-1 - int16_t(rng() % 4))});
    } else if (kind < 6) {
      tags.push_back({t - int64_t(rng() % 3000000), ordinary[rng() % 7]});
    } else {
      if (kind >= 10) t += int64_t(step(rng));  // else a tie with the record before
      tags.push_back({t, ordinary[rng() % 7]});
    }
  }
  return tags;
}

// A stream of some 40 ms, long enough for the measurements to forget records as it moves on:
// every 300th record becomes a marker 1 to 9 ms earlier than the latest record before it, a
// step back that must still count exactly.
Tags farSteps(uint32_t seed) {
  Tags tags = generate(seed, 20000, 1000000000, 2000000);
  std::mt19937 rng(seed);
  int64_t latest = INT64_MIN;
  for (size_t i = 0; i < tags.size(); ++i) {
    if (i % 300 == 299) tags[i] = {latest - int64_t(1 + rng() % 9) * 1000000000, int16_t(i % 600 == 299 ? 101 : 200)};
    latest = std::max(latest, tags[i].time);
  }
  return tags;
}

// Feeds `tags` in batches of random sizes, 0 included.
void feedInBatches(Measurement& m, const Tags& tags, uint32_t seed) {
  std::mt19937 rng(seed);
  for (size_t pos = 0; pos < tags.size();) {
    const size_t n = std::min<size_t>(rng() % 700, tags.size() - pos);
    m.feed(tags.data() + pos, n);
    pos += n;
  }
}

int64_t sum(const std::vector<int64_t>& v) {
  return std::accumulate(v.begin(), v.end(), int64_t(0));
}

// Fed `tags` in batches, `m` holds `want`, which counts more than 20, and has not overflowed.
template <typename M>
void expectFedAs(M& m, const Tags& tags, uint32_t seed, const std::vector<int64_t>& want) {
  feedInBatches(m, tags, seed);
  EXPECT_EQ(m.data(), want);
  EXPECT_GT(sum(want), 20);
  EXPECT_FALSE(m.overflowed());
}

}  // namespace

TEST(Measurements, CorrelationCountsEveryPairInRange) {
  const Tags tags = generate(1, 20000);
  // Channels a and b, bin width and count, and the delays [low, high) (low == high: centred).
  const struct { int16_t a, b; int64_t width; int32_t n; int64_t low, high; } cases[] = {
      {1, 6, 10, 2000, 0, 0},          // the centred default
      {6, 1, 7, 301, 0, 0},            // odd count, b before a
      {1, 1, 50, 400, 0, 0},           // one channel: both orders of every pair, no self pairs
      {101, 6, 100000, 800, 0, 0},     // a marker against an ordinary channel
      {6, 200, 100000, 800, 0, 0},     // and the other way round
      {200, 200, 1000000, 100, 0, 0},  // two markers
      {1, 6, 3000, 7, -10000, 10000},  // the last bin cut short at +10 ns
      {2, 5, 100, 40, 1000, 5000},     // a window of positive delays only
      {7, 7, 100, 40, -5000, -1000},   // one channel, negative delays only
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "a " << c.a << " b " << c.b << " width " << c.width);
    auto m = c.low == c.high ? std::make_unique<Correlation>(c.a, c.b, c.width, c.n)
                             : std::make_unique<Correlation>(c.a, c.b, c.width, c.n, c.low, c.high);
    const int64_t low = c.low == c.high ? -int64_t(c.n / 2) * c.width : c.low;
    const int64_t high = c.low == c.high ? low + c.n * c.width : c.high;
    const std::vector<int64_t> want = reference::correlation(tags, c.a, c.b, c.width, c.n, low, high);
    expectFedAs(*m, tags, uint32_t(c.width), want);
    EXPECT_EQ(std::make_tuple(m->countA(), m->spanPs(), m->counted()),
              std::make_tuple(reference::count(tags, c.a), reference::span(tags), sum(want)));
    const std::vector<int64_t> edges = m->binEdgesPs();
    ASSERT_EQ(edges.size(), size_t(c.n + 1));
    EXPECT_EQ(std::make_pair(edges.front(), edges[1] - edges[0]), std::make_pair(low, c.width));
  }
  // A pair at the highest delay is outside [low, high), one a ps below it in the last bin; that
  // bin, cut short, has its g(2) over its own width (2 ns): 1 pair * 10 ns / (1 * 2 * 2 ns).
  Correlation cut(1, 6, 3000, 7, -10000, 10000);
  const Tags edge = {{1000, 1}, {10999, 6}, {11000, 6}};
  cut.feed(edge.data(), edge.size());
  EXPECT_EQ(cut.data(), (std::vector<int64_t>{0, 0, 0, 0, 0, 0, 1}));
  EXPECT_DOUBLE_EQ(cut.normalized()[6], 2.5);
}

TEST(Measurements, RatesTracesStartStopAndCoincidencesEqualThePlainComputation) {
  Tags tags = generate(2, 30000);
  // The stream ends with a record that no trace of few channels counts, bins after the last one
  // it does: the trace's window follows the stream, not only its own channels.
  tags.push_back({tags.back().time + 250000, 2});
  const std::vector<int16_t> channels = {1, 6, 101, 7, 1, 40, -0};
  CountRate rate(channels);
  TimeTrace trace({1, 6, 200, 33}, 100000, 50);
  TimeTrace wide({1, 6}, 1000000000, 3);  // wider than the stream: it all lands in the last bins
  const std::vector<int16_t> most = {0, 1, 2, 5, 6, 7, 11, 101, 200};  // sifted or not, by number
  TimeTrace many(most, 70000, 80);
  TimeTrace rolling({1, 6}, 100000, 50);  // its window rolls on far past the first records
  const std::tuple<int16_t, int16_t, int64_t, int32_t> startStops[] = {  // start, stop, width, n
      {1, 6, 100, 1000}, {6, 6, 50, 200}, {101, 1, 1000000, 100}, {1, 200, 1000000, 100}};
  std::vector<std::unique_ptr<StartStop>> ss;
  for (const auto& [start, stop, width, n] : startStops)
    ss.push_back(std::make_unique<StartStop>(start, stop, width, n));
  const std::vector<std::vector<int16_t>> groups = {{1, 6}, {1, 6, 11}, {1}, {101, 1}, {5, 5, 7}, {0, 200}};
  Coincidences coincidences(groups, 2000);
  // Beyond 64 channels the groups are checked another way: the same groups and one of 70.
  std::vector<std::vector<int16_t>> manyGroups = groups;
  manyGroups.push_back({1});
  for (int16_t c = 300; c < 369; ++c) manyGroups.back().push_back(c);
  Coincidences manyCoincidences(manyGroups, 2000);

  std::vector<Measurement*> all = {&rate, &trace, &wide, &many, &rolling, &coincidences, &manyCoincidences};
  for (auto& m : ss) all.push_back(m.get());
  for (size_t i = 0; i < all.size(); ++i) feedInBatches(*all[i], tags, uint32_t(i));

  std::vector<int64_t> counts;
  for (int16_t c : channels) counts.push_back(reference::count(tags, c));
  EXPECT_EQ(rate.counts(), counts);
  const double seconds = double(reference::span(tags)) * 1e-12;
  for (size_t i = 0; i < channels.size(); ++i)
    EXPECT_DOUBLE_EQ(rate.data()[i], double(counts[i]) / seconds) << "channel " << channels[i];

  EXPECT_EQ(trace.data(), reference::timeTrace(tags, {1, 6, 200, 33}, 100000, 50));
  EXPECT_EQ(wide.data(), reference::timeTrace(tags, {1, 6}, 1000000000, 3));
  EXPECT_EQ(many.data(), reference::timeTrace(tags, most, 70000, 80));
  EXPECT_EQ(trace.firstBinPs() % 100000, 0);

  for (size_t i = 0; i < ss.size(); ++i) {
    const auto& [start, stop, width, n] = startStops[i];
    const std::vector<int64_t> want = reference::startStop(tags, start, stop, width, n);
    EXPECT_EQ(ss[i]->data(), want) << "start " << start << " stop " << stop;
    EXPECT_GT(sum(want), 20) << "start " << start;
  }
  const std::vector<int64_t> want = reference::coincidences(tags, groups, 2000);
  EXPECT_EQ(coincidences.data(), want);
  EXPECT_EQ(manyCoincidences.data(), reference::coincidences(tags, manyGroups, 2000));
  for (size_t g = 0; g < groups.size(); ++g) EXPECT_GT(want[g], 10) << "group " << g;
  for (Measurement* m : all) EXPECT_FALSE(m->overflowed());

  // counted(): what each put into its data, a trace's bins rolled out of its window too.
  int64_t distinct = 0;
  for (int16_t c : {1, 6, 101, 7, 40, 0}) distinct += reference::count(tags, c);
  const std::pair<Measurement*, int64_t> counted[] = {
      {&rate, distinct},
      {&rolling, reference::count(tags, 1) + reference::count(tags, 6)},
      {&coincidences, sum(want)}};
  for (const auto& [m, n] : counted) EXPECT_EQ(m->counted(), n);
  EXPECT_LT(sum(rolling.data()[0]) + sum(rolling.data()[1]), reference::count(tags, 1) + reference::count(tags, 6));
}

TEST(Measurements, ScansAndJointHistogramsEqualThePlainComputation) {
  const Tags tags = generate(3, 6000);
  // start, stops, width, bins, next, rows: the start among the stops, a marker stepping the rows
  // or starting them, and `next` on the start's own channel (it steps before the start counts).
  const struct { int16_t start; std::vector<int16_t> stops; int64_t width; int32_t n; int16_t next; int32_t rows; }
      scans[] = {{1, {6, 11}, 100, 400, -1, 1},      {1, {1, 6}, 50, 300, -1, 1},
                 {6, {1}, 1000, 100, 101, 5},         {101, {6, 200}, 100000, 800, 200, 3},
                 {2, {5, 7}, 7, 301, 2, 4}};
  for (const auto& c : scans) {
    SCOPED_TRACE(::testing::Message() << "start " << c.start << " next " << c.next);
    TimeDifferences m(c.start, c.stops, c.width, c.n, c.next, c.rows);
    expectFedAs(m, tags, uint32_t(c.width),
                reference::timeDifferences(tags, c.start, c.stops, c.width, c.n, c.next, c.rows));
  }
  // start, stop1, stop2 and the two bin widths and counts: the start as a stop, one channel as
  // both stops, a marker start.
  const struct { int16_t start, stop1, stop2; int64_t w1; int32_t n1; int64_t w2; int32_t n2; } joints[] = {
      {1, 6, 11, 1000, 60, 3000, 40}, {1, 1, 6, 2000, 50, 1000, 90},
      {6, 7, 7, 500, 200, 1000, 100}, {101, 2, 5, 100000, 50, 100000, 60}};
  for (const auto& c : joints) {
    SCOPED_TRACE(::testing::Message() << "start " << c.start << " stops " << c.stop1 << ", " << c.stop2);
    Histogram2D m(c.start, c.stop1, c.stop2, c.w1, c.n1, c.w2, c.n2);
    expectFedAs(m, tags, uint32_t(c.w1),
                reference::histogram2D(tags, c.start, c.stop1, c.stop2, c.w1, c.n1, c.w2, c.n2));
  }
  // The row goes on with each record of `next`; a clear forgets it too.
  TimeDifferences scan(1, {6}, 10, 10, 2, 3);
  scan.feed(tags.data(), tags.size());
  ASSERT_NE(reference::count(tags, 2) % 3, 0);
  EXPECT_EQ(scan.currentHistogram(), reference::count(tags, 2) % 3);
  scan.clear();
  EXPECT_EQ(scan.currentHistogram(), 0);
}

TEST(Measurements, LogCorrelationCountsEveryPairInItsBin) {
  const Tags near = generate(5, 5000), far = farSteps(5);
  Tags rising = far;  // the rates rise 400-fold
  const Tags dense = generate(8, 5000, far.back().time + kMaxStepBackPs);
  rising.insert(rising.end(), dense.begin(), dense.end());
  // Channels, lags, bins per decade and the stream: records of b before a, one channel, markers
  // stepping back on either side, lags up to the whole stream, lags far shorter than it, rates
  // that change.
  const struct { int16_t a, b; int64_t minLag, maxLag; int32_t perDecade; const Tags* tags; } cases[] = {
      {1, 6, 1, 10000000, 10, &near},         {6, 1, 10, 1000000000, 5, &near},
      {1, 1, 1, 100000000, 7, &near},         {101, 6, 100, 10000000000, 3, &near},
      {6, 200, 1000, 30000000, 20, &near},    {200, 200, 1, 100000000, 2, &near},
      {101, 1, 1, 1000000000, 10, &far},      {1, 200, 1000, 3000000000, 8, &far},
      {200, 200, 100, 5000000000, 4, &far},   {6, 6, 1, 100000000, 10, &far},
      {1, 6, 1, 1000000000, 10, &rising},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "a " << c.a << " b " << c.b << " lags " << c.minLag << ".." << c.maxLag);
    const Tags& tags = *c.tags;
    LogCorrelation m(c.a, c.b, c.minLag, c.maxLag, c.perDecade);
    expectFedAs(m, tags, uint32_t(c.minLag),
                reference::logCorrelation(tags, c.a, c.b, m.binEdgesPs()));
    EXPECT_EQ(std::make_tuple(m.countA(), m.countB(), m.spanPs()),
              std::make_tuple(reference::count(tags, c.a), reference::count(tags, c.b),
                              reference::span(tags)));
  }
  const Tags& tags = near;
  // The edges: whole ps, those that coincide once rounded left out, the last one the longest lag.
  const struct { int64_t minLag, maxLag; int32_t perDecade; std::vector<int64_t> edges; } edges[] = {
      {1, 10, 10, {1, 2, 3, 4, 5, 6, 8, 10}},
      {1, 1000, 3, {1, 2, 5, 10, 22, 46, 100, 215, 464, 1000}},
      {100, 2000, 2, {100, 316, 1000, 2000}},
      {7, 50, 1, {7, 50}},
  };
  for (const auto& e : edges)
    EXPECT_EQ(LogCorrelation(1, 6, e.minLag, e.maxLag, e.perDecade).binEdgesPs(), e.edges) << e.minLag;
  // Where a log bin spans whole bins of a Correlation, it holds their pairs, and its g(2) is
  // their mean.
  LogCorrelation log(1, 6, 10, 100000, 1);
  Correlation lin(1, 6, 10, 9999, 10, 100000);
  log.feed(tags.data(), tags.size());
  lin.feed(tags.data(), tags.size());
  const std::vector<int64_t> counts = lin.data();
  const std::vector<double> g2 = lin.normalized();
  for (size_t k = 0; k + 1 < log.binEdgesPs().size(); ++k) {
    const size_t from = size_t(log.binEdgesPs()[k] - 10) / 10, to = size_t(log.binEdgesPs()[k + 1] - 10) / 10;
    EXPECT_EQ(log.data()[k], std::accumulate(counts.begin() + ptrdiff_t(from), counts.begin() + ptrdiff_t(to), int64_t(0)));
    const double mean = std::accumulate(g2.begin() + ptrdiff_t(from), g2.begin() + ptrdiff_t(to), 0.0) / double(to - from);
    EXPECT_NEAR(log.normalized()[k], mean, 1e-9 * mean) << "bin " << k;
    EXPECT_GT(log.data()[k], 0) << "bin " << k;
  }
}

TEST(Measurements, CountBetweenMarkersCountsEachGateByTime) {
  const Tags near = generate(6, 20000), far = farSteps(6);
  // channel, begin, end (-1: none), values, whether the gates go round more than one frame, and
  // the stream: an ordinary channel and markers (which step back) as begin and end, the channel
  // counted also a begin or an end, a frame never completed.
  const struct { int16_t channel, begin, end; int32_t n; bool wraps; const Tags* tags; } cases[] = {
      {1, 6, -1, 50, true, &near},    {1, 6, 11, 400, true, &near},  {2, 101, -1, 7, true, &near},
      {5, 101, 200, 13, true, &near}, {6, 6, -1, 30, true, &near},    {7, 1, 7, 3000, false, &near},
      {0, 11, -1, 100000, false, &near}, {1, 101, -1, 9, true, &far}, {2, 6, 200, 100, true, &far},
      {200, 200, 101, 5, true, &far},   {2, 200, 101, 3000, false, &far},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "channel " << c.channel << " begin " << c.begin << " end " << c.end);
    const Tags& tags = *c.tags;
    CountBetweenMarkers m(c.channel, c.begin, c.end, c.n);
    const reference::Gated want = reference::countBetweenMarkers(tags, c.channel, c.begin, c.end, c.n);
    expectFedAs(m, tags, uint32_t(c.n), want.counts);
    EXPECT_EQ(m.binWidthsPs(), want.widths);
    EXPECT_EQ(want.closed > c.n, c.wraps);
    EXPECT_EQ(m.frameComplete(), want.closed >= c.n);
  }
}

TEST(Measurements, OverflowIsNeverSilent) {
  // Each case: what goes wrong, and the records that show it.
  const struct { const char* what; Tags tags; bool viaSet; } cases[] = {
      {"the live path dropped records", {{100, 1}, {200, 6}}, true},
      {"a record further back than the bound", {{100, 1}, {kMaxStepBackPs + 200, 6}, {150, 1}}, false},
      {"a marker further back", {{100, 1}, {kMaxStepBackPs + 200, 6}, {100, 101}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto corr = std::make_shared<Correlation>(1, 6, 10, 100);
    MeasurementSet set;
    set.add(corr);
    set.feed(c.tags.data(), c.tags.size());
    if (c.viaSet) {
      EXPECT_FALSE(corr->overflowed());
      set.markOverflowed();
    }
    EXPECT_TRUE(corr->overflowed());
    corr->clear();
    EXPECT_FALSE(corr->overflowed());
  }
}

TEST(Measurements, RefusedSettings) {
  // Correlation(1, 6, 10, 100, 0, 0) has no delay in range, (..., 0, 1001) one beyond the bins.
  const std::function<void()> refused[] = {
      [] { CountRate({1, -1}); },                    [] { Correlation(-1, 6, 10, 100); },
      [] { Correlation(1, 6, 0, 100); },             [] { Correlation(1, 6, 10, 0); },
      [] { Correlation(1, 6, 10, kMaxMeasurementBins + 1); },
      [] { Correlation(1, 6, INT64_MAX, 3); },       [] { Correlation(1, 6, 10, 100, 0, 0); },
      [] { Correlation(1, 6, 10, 100, 0, 1001); },   [] { TimeTrace({}, 10, 10); },
      [] { TimeTrace({1, 6}, 10, kMaxMeasurementBins); },
      [] { StartStop(1, -2, 10, 10); },              [] { StartStop(1, 6, -5, 10); },
      [] { Coincidences({}, 100); },                 [] { Coincidences({{1, 6}, {}}, 100); },
      [] { Coincidences({{1, 6}}, -1); },            [] { Coincidences({{1, -6}}, 100); },
      [] { TimeDifferences(1, {}, 10, 10); },        [] { TimeDifferences(1, {6, 6}, 10, 10); },
      [] { TimeDifferences(1, {6}, 10, 10, -1, 2); }, [] { TimeDifferences(1, {6}, 10, 10, 2, 0); },
      [] { TimeDifferences(1, {6, 11}, 10, 1 << 23, 2, 2); },
      [] { Histogram2D(1, 6, -11, 10, 10, 10, 10); }, [] { Histogram2D(1, 6, 11, 10, 1 << 13, 10, 1 << 12); },
      [] { LogCorrelation(1, 6, 0, 100, 10); },       [] { LogCorrelation(1, 6, 100, 100, 10); },
      [] { LogCorrelation(1, 6, 100, 50, 10); },      [] { LogCorrelation(1, 6, 1, 100, 0); },
      [] { LogCorrelation(1, 6, 1, 1000000000000, 1 << 22); },
      [] { LogCorrelation(-1, 6, 1, 100, 10); },      [] { LogCorrelation(1, 6, 1, INT64_MAX, 1); },
      [] { CountBetweenMarkers(-1, 104, -1, 10); },   [] { CountBetweenMarkers(1, -2, -1, 10); },
      [] { CountBetweenMarkers(1, 104, 104, 10); },   [] { CountBetweenMarkers(1, 104, -5, 10); },
      [] { CountBetweenMarkers(1, 104, -1, 0); },     [] { CountBetweenMarkers(1, 104, -1, kMaxMeasurementBins + 1); },
  };
  for (size_t i = 0; i < std::size(refused); ++i)
    EXPECT_THROW(refused[i](), std::invalid_argument) << "case " << i;
}

TEST(Measurements, StopStartClearAndNewStreamChooseWhatCounts) {
  // Two channels of independent random events: g(2) is 1 within the counting noise, at rates
  // and spans far from 1, so a rate or duration in the wrong unit shows; also when the
  // measurement saw only part of the stream time (a pause, two recordings), as it divides by
  // the time it was fed.
  std::mt19937_64 rng(7);
  std::exponential_distribution<double> step(1.0 / 20000.0);
  Tags tags;
  for (int64_t t = 0; tags.size() < 600000;) {
    t += int64_t(step(rng));
    tags.push_back({t, int16_t(rng() % 2 == 0 ? 1 : 6)});
  }
  const Tags first(tags.begin(), tags.begin() + 200000), middle(tags.begin() + 200000, tags.begin() + 400000),
      last(tags.begin() + 400000, tags.end());
  Tags later = last, again = first;  // a recording 1 s after the first, one on a restarted axis
  for (TimeTag& t : later) t.time += 1000000000000;
  // Each part: the call made before it, then its records fed. What counts is what was fed while
  // running since the last clear, each part on its own: no pair reaches across a clear or into
  // another recording.
  using Call = void (Measurement::*)();
  const Call none = nullptr, stop = &Measurement::stop, start = &Measurement::start,
             next = &Measurement::newStream, clear = &Measurement::clear;
  const struct { const char* what; std::vector<std::pair<Call, const Tags*>> parts; } cases[] = {
      {"one stream", {{none, &tags}}},
      {"paused by stop() and start()", {{none, &first}, {stop, &middle}, {start, &last}}},
      {"cleared while stopped: it stays stopped", {{none, &first}, {stop, &middle}, {clear, &last}}},
      {"cleared while stopped, then started", {{stop, &first}, {clear, &middle}, {start, &last}}},
      {"cleared while running", {{none, &first}, {clear, &middle}}},
      {"two recordings", {{none, &first}, {next, &later}}},
      {"two recordings, the second from the axis' start again", {{none, &middle}, {next, &again}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Correlation corr(1, 6, 1000, 200);
    CountRate rate({1, 6});
    bool running = true;
    int64_t span = 0;
    std::vector<int64_t> pairs(200, 0), counts(2, 0);
    Measurement* const both[] = {&corr, &rate};
    for (const auto& [call, part] : c.parts) {
      for (Measurement* m : both) {
        if (call != nullptr) (m->*call)();
        m->feed(part->data(), part->size());
      }
      running = call == stop ? false : call == start ? true : running;
      if (call == clear) {
        span = 0;
        pairs.assign(200, 0);
        counts.assign(2, 0);
      }
      if (!running) continue;
      span += reference::span(*part);
      const std::vector<int64_t> p = reference::correlation(*part, 1, 6, 1000, 200, -100000, 100000);
      std::transform(pairs.begin(), pairs.end(), p.begin(), pairs.begin(), std::plus<int64_t>());
      counts[0] += reference::count(*part, 1);
      counts[1] += reference::count(*part, 6);
    }
    EXPECT_EQ(std::make_pair(corr.running(), rate.running()), std::make_pair(running, running));
    EXPECT_EQ(std::make_pair(corr.spanPs(), rate.spanPs()), std::make_pair(span, span));
    EXPECT_EQ(corr.data(), pairs);
    EXPECT_EQ(rate.counts(), counts);
    for (size_t i = 0; i < 2; ++i)
      EXPECT_DOUBLE_EQ(rate.data()[i], span == 0 ? 0.0 : double(counts[i]) / (double(span) * 1e-12));
    EXPECT_FALSE(corr.overflowed());
    const std::vector<double> g2 = corr.normalized();
    const double mean = std::accumulate(g2.begin(), g2.end(), 0.0) / double(g2.size());
    EXPECT_NEAR(mean, span == 0 ? 0.0 : 1.0, 0.02);
  }
}

TEST(MeasurementSet, FeedsWhileMeasurementsComeAndGo) {
  const Tags tags = generate(4, 20000);
  auto kept = std::make_shared<Correlation>(1, 6, 10, 2000);
  auto coinc = std::make_shared<Coincidences>(std::vector<std::vector<int16_t>>{{1, 6}}, 2000);
  // Twins cleared together and looked at together: between two batches, so always alike.
  auto twin = std::make_shared<CountRate>(std::vector<int16_t>{1, 6});
  auto other = std::make_shared<CountRate>(std::vector<int16_t>{1, 6});
  MeasurementSet set;
  for (const auto& m : std::vector<std::shared_ptr<Measurement>>{kept, twin, coinc, other}) set.add(m);
  std::atomic<bool> done{false};
  const uint64_t batches = (tags.size() + 99) / 100;
  std::thread feeder([&] {
    for (size_t pos = 0; pos < tags.size(); pos += 100) set.feed(tags.data() + pos, std::min<size_t>(100, tags.size() - pos));
    done = true;
  });
  // A waiter woken by each batch, until the last.
  std::thread waiter([&] {
    for (uint64_t seen = 0; seen < batches;) seen = set.waitForBatch(seen, 1000);
  });
  // Meanwhile measurements come, are read, cleared and go, from this thread.
  int64_t rounds = 0;
  while (!done || rounds < 10) {
    auto passing = std::make_shared<TimeTrace>(std::vector<int16_t>{1}, 1000, 100);
    set.add(passing);
    passing->data();
    kept->normalized();
    coinc->spanPs();
    passing->clear();
    set.remove(passing.get());
    set.together([&] {
      twin->clear();
      other->clear();
      return 0;
    });
    EXPECT_TRUE(set.together([&] { return twin->counts() == other->counts() && twin->spanPs() == other->spanPs(); }));
    ++rounds;
  }
  feeder.join();
  waiter.join();
  EXPECT_EQ(std::make_pair(set.size(), set.batches()), std::make_pair(size_t(4), batches));
  EXPECT_EQ(kept->data(), reference::correlation(tags, 1, 6, 10, 2000, -10000, 10000));
  EXPECT_EQ(coinc->data(), reference::coincidences(tags, {{1, 6}}, 2000));
  set.remove(kept.get());
  set.feed(tags.data(), 10);
  EXPECT_EQ(kept->data(), reference::correlation(tags, 1, 6, 10, 2000, -10000, 10000));
}

TEST(MeasurementSet, BatchesOfManyPiecesCountAsTheRecordsFedOneByOne) {
  // A stream whose channels 2 and 5 fall silent after its first third, so that whole pieces of a
  // batch hold none of their records.
  Tags tags = generate(9, 40000);
  for (size_t i = tags.size() / 3; i < tags.size(); ++i)
    if (tags[i].channel == 2 || tags[i].channel == 5) tags[i].channel = 0;
  const size_t piece = MeasurementSet::kSetPiece;
  // Batch sizes: pieces cut inside coincidence windows and pairs, whole pieces, single records.
  const struct { const char* what; std::vector<size_t> sizes; } cases[] = {
      {"three pieces and some", {3 * piece + 17}},
      {"one piece at a time", {piece}},
      {"a piece and one record", {piece + 1, 1}},
      {"all at once", {tags.size()}},
  };
  const std::vector<std::vector<int16_t>> groups = {{1, 6}, {2, 5}, {7, 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto corr = std::make_shared<Correlation>(1, 6, 10, 2000);
    auto quiet = std::make_shared<Correlation>(2, 5, 100, 400);
    auto coinc = std::make_shared<Coincidences>(groups, 2000);
    auto startStop = std::make_shared<StartStop>(6, 2, 1000, 500);
    auto trace = std::make_shared<TimeTrace>(std::vector<int16_t>{200, 2}, 100000, 50);
    auto wide = std::make_shared<TimeTrace>(std::vector<int16_t>{0, 1, 2, 5, 6, 7, 11}, 100000, 50);
    auto log = std::make_shared<LogCorrelation>(1, 6, 10, 1000000, 8);
    auto rate = std::make_shared<CountRate>(std::vector<int16_t>{1, 2, 6});
    MeasurementSet set;
    for (const std::shared_ptr<Measurement>& m :
         std::vector<std::shared_ptr<Measurement>>{corr, quiet, coinc, startStop, trace, wide, log, rate})
      set.add(m);
    for (size_t pos = 0, k = 0; pos < tags.size(); ++k) {
      const size_t n = std::min(c.sizes[k % c.sizes.size()], tags.size() - pos);
      set.feed(tags.data() + pos, n);
      pos += n;
    }
    EXPECT_EQ(corr->data(), reference::correlation(tags, 1, 6, 10, 2000, -10000, 10000));
    EXPECT_EQ(quiet->data(), reference::correlation(tags, 2, 5, 100, 400, -20000, 20000));
    EXPECT_EQ(coinc->data(), reference::coincidences(tags, groups, 2000));
    EXPECT_EQ(startStop->data(), reference::startStop(tags, 6, 2, 1000, 500));
    EXPECT_EQ(trace->data(), reference::timeTrace(tags, {200, 2}, 100000, 50));
    EXPECT_EQ(wide->data(), reference::timeTrace(tags, {0, 1, 2, 5, 6, 7, 11}, 100000, 50));
    EXPECT_EQ(log->data(), reference::logCorrelation(tags, 1, 6, log->binEdgesPs()));
    EXPECT_EQ(rate->counts(), (std::vector<int64_t>{reference::count(tags, 1), reference::count(tags, 2),
                                                    reference::count(tags, 6)}));
    EXPECT_EQ(std::make_pair(corr->spanPs(), log->countB()),
              std::make_pair(reference::span(tags), reference::count(tags, 6)));
  }
}

TEST(Measurements, DelaysOnBinEdgesForAnyWidth) {
  // Pairs of a start (1) and a stop (6) whose delays lie on, just below and just above bin
  // edges across the whole histogram, far enough apart not to pair with each other.
  const int32_t n = 1 << 16;
  for (int64_t width : {int64_t(1), int64_t(7), int64_t(1000003), int64_t(99999999977)}) {
    SCOPED_TRACE("width " + std::to_string(width));
    const int64_t range = width * n;
    Tags tags;
    int64_t t = 1000;
    for (int64_t q : {int64_t(0), int64_t(1), int64_t(2), int64_t(n / 2), int64_t(n - 2), int64_t(n - 1)})
      for (int64_t offset : {int64_t(-1), int64_t(0), int64_t(1)}) {
        const int64_t delay = q * width + offset;
        if (delay < 0 || delay >= range) continue;
        tags.push_back({t, 1});
        tags.push_back({t + delay, 6});
        t += 2 * range + 1;
      }
    StartStop startStop(1, 6, width, n);
    Correlation correlation(1, 6, width, n, 0, range);
    startStop.feed(tags.data(), tags.size());
    correlation.feed(tags.data(), tags.size());
    const std::vector<int64_t> want = reference::startStop(tags, 1, 6, width, n);
    EXPECT_EQ(sum(want), int64_t(tags.size() / 2));
    EXPECT_EQ(startStop.data(), want);
    EXPECT_EQ(correlation.data(), reference::correlation(tags, 1, 6, width, n, 0, range));
  }
}

namespace {

// A stage's records for `tags` pushed in batches of random sizes, 0 included, then finish().
Tags passThrough(RecordStage& stage, const Tags& tags, uint32_t seed) {
  std::mt19937 rng(seed);
  Tags out;
  for (size_t pos = 0; pos < tags.size();) {
    const size_t n = std::min<size_t>(rng() % 700, tags.size() - pos);
    stage.push(tags.data() + pos, n, &out);
    pos += n;
  }
  stage.finish(&out);
  return out;
}

std::vector<KeepClause> clausesOf(const std::string& text) {
  std::vector<KeepClause> clauses;
  std::string error;
  EXPECT_TRUE(parseKeep(text, &clauses, &error)) << text << ": " << error;
  return clauses;
}

}  // namespace

TEST(VirtualChannels, EachChannelEqualsThePlainComputation) {
  const Tags tags = generate(7, 30000);
  using K = VirtualChannel::Kind;
  const auto def = [](K kind, std::vector<int16_t> inputs, int64_t value = 0, int16_t channel = -1) {
    VirtualChannel v;
    v.kind = kind;
    v.inputs = std::move(inputs);
    v.channel = channel;
    (kind == K::Coincidence ? v.windowPs : v.delayPs) = value;
    return v;
  };
  VirtualChannel gated = def(K::Gated, {6});
  gated.gateOpen = 101;  // markers as the gate
  gated.gateClose = 200;
  // A definition may name those before it. 30000 + place unless given. The long list holds the
  // whole stream back to its end; the short one passes records on as they come, into the
  // stage's output straight from its last step (as does a lone positive delay).
  const std::vector<VirtualChannel> longList = {
      def(K::Coincidence, {1, 6, 1}, 5000),  // 30000: a channel named twice counts once
      def(K::Delayed, {6}, -1500),         // 30001: less than the stream's steps back
      def(K::Combined, {1, 6, 1}),         // 30002: the same
      gated,                               // 30003
      def(K::Delayed, {30000}, 20000000, 31000),  // a delayed coincidence, beyond a step back
      def(K::Delayed, {11}, -50000000),    // further back than any step back
      def(K::Delayed, {7}, 3000000000000),  // 3 s: all after the stream's end
      def(K::Delayed, {2}, 0),
      def(K::Combined, {30003, 101}),      // 30008: of a virtual channel and a marker
      def(K::Delayed, {5}, -3000000000000),  // -3 s: the whole stream held back
      def(K::Coincidence, {6, 1}, 0),      // 30010: equal times only
  };
  const std::vector<VirtualChannel> shortList = {def(K::Delayed, {6}, -1500),
                                                 def(K::Coincidence, {1, 6}, 5000)};
  const std::vector<VirtualChannel> laterLast = {def(K::Delayed, {6}, 20000)};
  for (const auto* list : {&longList, &shortList, &laterLast}) {
    SCOPED_TRACE(list->size());
    VirtualChannels stage(*list);
    const Tags out = passThrough(stage, tags, 3);
    EXPECT_FALSE(stage.overflowed());

    const auto plain = [](int16_t c) { return c < kFirstVirtualChannel; };
    Tags want = tags;
    std::vector<int16_t> inline_;  // the channels whose records follow their source
    for (const VirtualChannel& v : stage.definitions()) {
      want = reference::withVirtual(want, v);
      if (v.kind != K::Delayed) inline_.push_back(v.channel);
    }
    EXPECT_EQ(reference::only(out, plain), tags);
    const auto plainOrInline = [&](int16_t c) {
      return plain(c) || std::count(inline_.begin(), inline_.end(), c) != 0;
    };
    EXPECT_EQ(reference::only(out, plainOrInline), reference::only(want, plainOrInline));
    for (const VirtualChannel& v : stage.definitions()) {
      SCOPED_TRACE(virtualLabel(v));
      // A delayed record whose source stepped back may come after later ones: compared by time.
      const auto own = [&](int16_t c) { return c == v.channel; };
      Tags got = reference::only(out, own);
      if (v.kind == K::Delayed)
        std::stable_sort(got.begin(), got.end(),
                         [](TimeTag a, TimeTag b) { return a.time < b.time; });
      EXPECT_EQ(got, reference::only(want, own));
      EXPECT_GT(reference::count(out, v.channel), 10);
      if (v.kind != K::Delayed) continue;
      // In its place: before the next plain record, which is later.
      int64_t nextPlain = INT64_MAX;
      for (size_t i = out.size(); i-- > 0;) {
        if (plain(out[i].channel)) nextPlain = out[i].time;
        if (out[i].channel == v.channel) {
          ASSERT_GT(nextPlain, out[i].time) << "record " << i;
        }
      }
    }
    EXPECT_LE(reference::longestStepBack(out), reference::longestStepBack(tags));
    if (list == &longList) {
      EXPECT_EQ(stage.definitions()[4].channel, 31000);
    } else if (list == &shortList) {  // the coincidence decided in the delay's pass: as the two in turn
      VirtualChannels delay({shortList[0]}), coincidence({def(K::Coincidence, {1, 6}, 5000, 30001)});
      EXPECT_EQ(out, passThrough(coincidence, passThrough(delay, tags, 3), 4));
    }
  }
}


TEST(KeepFilter, PassesWhatThePlainComputationKeepsInMergeOrder) {
  constexpr int64_t kFar = kMaxStepBackPs - 1000;  // a step back the merge may take
  const struct {
    const char* name;
    const char* filter;
    Tags tags;
  } rows[] = {
      {"trigger before", "6 within 5000 of 1", {{1000, 1}, {5000, 6}, {20000, 6}}},
      {"trigger after, window edge", "6 within 5000 of 1", {{1000, 6}, {999, 6}, {6000, 1}}},
      {"zero window", "6 within 0 of 1", {{7, 6}, {7, 1}, {8, 6}}},
      {"several clauses", "6,11 within 100 of 1; 7 within 10 of 2",
       {{0, 6}, {50, 11}, {90, 7}, {100, 1}, {101, 7}, {111, 2}, {300, 11}, {300, 5}}},
      {"markers and losses pass", "6 within 10 of 1",
       {{0, 6}, {1, 101}, {2, -1}, {3, 6}, {10000, 6}, {10000, 200}, {10013, 1}}},
      {"trigger after a step back", "6 within 5000 of 1",
       {{1000000, 6}, {1000000 + kFar, 200}, {1004000, 1}, {1000000 + kFar, 6}}},
      {"filtered record after a step back", "6 within 5000 of 1",
       {{1000000, 1}, {1000000 + kFar, 100}, {1003000, 6}, {1000000 + kFar + 1, 6}}},
      {"trigger a marker", "6 within 50 of 100", {{0, 6}, {40, 100}, {100, 6}}},
  };
  for (const auto& row : rows) {
    const std::vector<KeepClause> clauses = clausesOf(row.filter);
    KeepFilter filter(clauses);
    EXPECT_EQ(passThrough(filter, row.tags, 1), reference::keep(row.tags, clauses)) << row.name;
    EXPECT_EQ(filter.decidedEarly(), 0) << row.name;
  }
  // Two devices' records with markers, losses and step backs; counts per filtered channel.
  const Tags tags = generate(5, 60000);
  const std::vector<KeepClause> clauses = clausesOf("6,11 within 2000 of 1; 7 within 300 of 101");
  KeepFilter filter(clauses);
  const Tags expected = reference::keep(tags, clauses);
  EXPECT_EQ(passThrough(filter, tags, 2), expected);
  for (const KeepCount& c : filter.counts()) {
    EXPECT_EQ(c.kept, reference::count(expected, c.channel)) << c.channel;
    EXPECT_EQ(c.kept + c.dropped, reference::count(tags, c.channel)) << c.channel;
  }
}

TEST(KeepFilter, TextFormReadBackAndRefusals) {
  std::vector<KeepClause> clauses;
  std::string error;
  ASSERT_TRUE(parseKeep(" 6,11  within 5000 of 1;7 within 0\tof 2 ", &clauses, &error)) << error;
  EXPECT_EQ(keepText(clauses), "6,11 within 5000 of 1; 7 within 0 of 2");
  const std::pair<const char*, const char*> refused[] = {
      {"", "empty clause"},
      {"6 within 5000 of 1;", "empty clause"},
      {"6 within 5000", "is not"},
      {"6 between 5000 of 1", "is not"},
      {"6,,11 within 5 of 1", "\"\" in"},
      {"100 within 5 of 1", "0 to 99"},
      {"-6 within 5 of 1", "0 to 99"},
      {"6 within 5x of 1", "window"},
      {"6 within 10000000001 of 1", "window"},
      {"6 within 5 of 32768", "trigger"},
      {"6 within 5 of 1; 6 within 5 of 2", "filtered twice"},
      {"6 within 5 of 1; 1 within 5 of 2", "both filtered and a trigger"},
  };
  for (const auto& [text, message] : refused) {
    error.clear();
    EXPECT_FALSE(parseKeep(text, &clauses, &error)) << text;
    EXPECT_NE(error.find(message), std::string::npos) << text << ": " << error;
  }
}

