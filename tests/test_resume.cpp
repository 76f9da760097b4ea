// A merge taken up at a point it noted gives the rest of the whole merge, record for record, and
// a stream's losses are located from such a point as from its start.
#include <stdio.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "codec_stamps.h"
#include "core_merge.h"
#include "merge/mergecore.h"
#include "merge/resumepoint.h"
#include "merge/streamloss.h"

namespace {

struct Streams {
  TempDir dir;
  std::vector<std::string> paths;
};

// The binary records of a merge of the streams, each from its point in `from` (none: from the
// start), noting its points in `log` (null: none).
std::string merge(const Streams& streams, const ResumePoint* from, ResumeLog* log) {
  std::vector<MergeSource> sources;
  for (size_t d = 0; d < streams.paths.size(); ++d)
    sources.push_back({tdc56Init(), int32_t(d), 0x1FF, fopen(streams.paths[d].c_str(), "rb"),
                       nullptr, nullptr, from != nullptr ? &from->sources[d] : nullptr});
  MergeOutputs out;
  out.binary = tmpfile();
  out.resume = log;
  std::atomic<int64_t> bytes{0};
  std::atomic<bool> running{true};
  mergeStreams(sources.data(), int32_t(sources.size()), out, bytes, running);
  closeSources(sources);
  return contents(out.binary);
}

}  // namespace

// Chains of 1 to 9 devices, whose pages are merged one record at a time (markers at the heads)
// or in stretches, with steps back in time and a stretch of words that decode to nothing: from
// every point noted, the merge taken up writes exactly the records after the point's, and the
// point counts the records before it per stream.
TEST(Resume, AMergeTakenUpAtAnyPointGivesTheRestOfTheWholeMerge) {
  struct Case {
    size_t devices;
    int32_t events;
    uint32_t markerOneIn;  // one timestamp in this many is a marker
    int backEvery;         // one in this many steps back 5 ns (0: none)
    bool zeros;            // a stretch of zero words in the middle of stream 0
  };
  for (const Case c : {Case{1, 120000, 1000, 0, false}, Case{3, 60000, 1u << 30, 0, false},
                       Case{3, 60000, 40, 7, true}, Case{9, 20000, 500, 0, true}}) {
    SCOPED_TRACE(c.devices);
    Streams streams;
    for (size_t d = 0; d < c.devices; ++d) {
      Stamps events = gridStamps(c.events, uint32_t(d + 1), 800, c.markerOneIn);
      for (size_t i = 1; c.backEvery > 0 && i < events.size(); i += size_t(c.backEvery))
        if (events[i].channel < 100) events[i].time = events[i - 1].time - 5000;
      Words words = packStream(events);
      const auto middle = words.begin() + std::ptrdiff_t(words.size() / 2);
      if (c.zeros && d == 0) words.insert(middle, 3000, 0u);
      streams.paths.push_back(streams.dir / ("s" + std::to_string(d)));
      ASSERT_TRUE(writeWords(streams.paths.back(), words));
    }
    ResumeLog log(1);
    const std::string whole = merge(streams, nullptr, &log);
    const int64_t total = int64_t(whole.size() / 10);
    std::vector<ResumePoint> points;
    ResumePoint p;
    for (int64_t r = 0; r <= total; r += 997)
      if (log.before(r, &p) && (points.empty() || p.records != points.back().records))
        points.push_back(p);
    ASSERT_GE(points.size(), 4u) << "points through the merge";
    for (const ResumePoint& point : points) {
      SCOPED_TRACE(point.records);
      int64_t before = 0;
      for (const SourcePoint& s : point.sources) before += s.before + s.skip;
      EXPECT_EQ(before, point.records);
      const std::string rest = merge(streams, &point, nullptr);
      EXPECT_TRUE(rest == whole.substr(size_t(10 * point.records)))
          << rest.size() / 10 << " records taken up of " << total - point.records;
    }
  }
}

// Losses noted after a point are located from it exactly as from the stream's start; one noted
// before it is taken to lie at the point.
TEST(Resume, LossesAreLocatedFromAPointAsFromTheStart) {
  Streams streams;
  const Words words = packStream(gridStamps(80000, 5, 900, 1u << 30));
  streams.paths.push_back(streams.dir / "s0");
  ASSERT_TRUE(writeWords(streams.paths[0], words));
  ResumeLog log(1);
  merge(streams, nullptr, &log);
  ResumePoint point;
  ASSERT_TRUE(log.before(40000, &point));
  const int64_t at = point.sources[0].offset;
  ASSERT_GT(at, 0);
  const int64_t size = int64_t(4 * words.size());
  const StreamLoss::Kind device = StreamLoss::Device;
  const std::vector<StreamLoss> after = {{device, at + 4000, at + 8000, kDeviceLossCause},
                                         {device, size - 800, size, kDeviceLossCause}};
  FILE* f = fopen(streams.paths[0].c_str(), "rb");
  std::vector<LossInterval> fromStart, fromPoint, early;
  StreamTimes whole, taken;
  std::string error;
  ASSERT_TRUE(locateLosses(fileno(f), 0x1FF, 0, after, &fromStart, &whole, &error));
  ASSERT_TRUE(locateLosses(fileno(f), 0x1FF, 0, after, &fromPoint, &taken, &error, nullptr,
                           &point.sources[0]));
  ASSERT_EQ(fromPoint.size(), fromStart.size());
  for (size_t i = 0; i < fromStart.size(); ++i) {
    EXPECT_EQ(fromPoint[i].fromPs, fromStart[i].fromPs) << i;
    EXPECT_EQ(fromPoint[i].toPs, fromStart[i].toPs) << i;
    EXPECT_EQ(fromPoint[i].untilEnd, fromStart[i].untilEnd) << i;
  }
  EXPECT_EQ(taken.first, whole.first);
  EXPECT_EQ(taken.last, whole.last);
  const std::vector<StreamLoss> before = {{device, at / 2, at / 2 + 400, kDeviceLossCause}};
  ASSERT_TRUE(locateLosses(fileno(f), 0x1FF, 0, before, &early, nullptr, &error, nullptr,
                           &point.sources[0]));
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(early[0].fromPs, point.sources[0].lastBefore);
  fclose(f);
}
