// Speed of each measurement alone on a merged stream, in M events per processor-second.
//
//   bench_measurements [millions of records=30] [only the rows whose name holds this text]
//
// The stream is what a default chain of three devices at 30 M events/s gives: 15 input channels
// in time order at a mean spacing of 33 ns, channel 6 following channel 1 by 2500 ps now and
// then, a marker (channel 104) every millisecond. Each measurement is fed the whole stream in
// blocks of 65536 records, as the live path feeds it; the best of three runs counts. Then the
// virtual channels' stage alone (a delayed channel and a coincidence) and the live path's whole
// load: that stage ahead of five measurements at once (CountRate of every channel, Correlation
// of 1 and the delayed 6, TimeTrace, StartStop, Coincidences), and those with a LogCorrelation.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "monitor/countbetweenmarkers.h"
#include "monitor/logcorrelation.h"
#include "monitor/measurements.h"
#include "monitor/timedifferences.h"
#include "monitor/virtualchannels.h"

namespace {

double processorSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

std::vector<TimeTag> stream(size_t n) {
  std::mt19937_64 rng(1);
  std::exponential_distribution<double> step(1.0 / 33333.0);
  std::vector<TimeTag> tags;
  tags.reserve(n);
  int64_t t = 0, nextMarker = 1000000000;
  while (tags.size() < n) {
    t += int64_t(step(rng));
    if (t >= nextMarker) {
      tags.push_back({nextMarker, 104});
      nextMarker += 1000000000;
    }
    const int16_t channel = int16_t(rng() % 15);
    tags.push_back({t, channel});
    if (channel == 1 && rng() % 4 == 0) tags.push_back({t + 2500, 6});
  }
  tags.resize(n);
  std::sort(tags.begin(), tags.end(), [](TimeTag a, TimeTag b) { return a.time < b.time; });
  return tags;
}

}  // namespace

int main(int argc, char** argv) {
  const double millions = argc > 1 ? atof(argv[1]) : 30.0;
  if (!(millions > 0 && millions <= 1000)) {
    fprintf(stderr, "usage: bench_measurements [millions of records, up to 1000]\n");
    return 2;
  }
  const char* only = argc > 2 ? argv[2] : "";
  const auto skipped = [only](const char* name) { return strstr(name, only) == nullptr; };
  const std::vector<TimeTag> tags = stream(size_t(millions * 1e6));
  const std::vector<std::pair<const char*, std::function<std::shared_ptr<Measurement>()>>> kinds = {
      {"Correlation(1, 6, 10 ps, 2000)", [] { return std::make_shared<Correlation>(1, 6, 10, 2000); }},
      {"StartStop(1, 6, 10 ps, 2000)", [] { return std::make_shared<StartStop>(1, 6, 10, 2000); }},
      {"TimeDifferences(1, [6, 11], 10 ps, 2000)",
       [] { return std::make_shared<TimeDifferences>(1, std::vector<int16_t>{6, 11}, 10, 2000); }},
      {"TimeDifferences(1, [6], 10 ps, 2000, next 104, 100 rows)",
       [] { return std::make_shared<TimeDifferences>(1, std::vector<int16_t>{6}, 10, 2000, 104, 100); }},
      {"Histogram2D(1, 6, 11, 10 ps x 200, 100 ps x 200)",
       [] { return std::make_shared<Histogram2D>(1, 6, 11, 10, 200, 100, 200); }},
      {"LogCorrelation(1, 6, 10 ps to 1 s, 10 per decade)",
       [] { return std::make_shared<LogCorrelation>(1, 6, 10, 1000000000000, 10); }},
      {"LogCorrelation(1, 6, 10 ps to 1 ms, 8 per decade)",
       [] { return std::make_shared<LogCorrelation>(1, 6, 10, 1000000000, 8); }},
      {"LogCorrelation(1, 1, 1 ps to 1 s, 20 per decade)",
       [] { return std::make_shared<LogCorrelation>(1, 1, 1, 1000000000000, 20); }},
      {"CountBetweenMarkers(1, begin 104, 1000 values)",
       [] { return std::make_shared<CountBetweenMarkers>(1, 104, -1, 1000); }},
      {"CountBetweenMarkers(1, begin 2, end 3, 1000 values)",
       [] { return std::make_shared<CountBetweenMarkers>(1, 2, 3, 1000); }},
  };
  printf("%.0f M records\n", millions);
  for (const auto& [name, make] : kinds) {
    if (skipped(name)) continue;
    double best = 1e300;
    bool overflowed = false;
    for (int run = 0; run < 3; ++run) {
      const std::shared_ptr<Measurement> m = make();
      const double start = processorSeconds();
      for (size_t pos = 0; pos < tags.size(); pos += 65536)
        m->feed(tags.data() + pos, std::min<size_t>(65536, tags.size() - pos));
      best = std::min(best, processorSeconds() - start);
      overflowed = overflowed || m->overflowed();
    }
    printf("%-58s %7.1f M events per processor-second%s\n", name, double(tags.size()) / best * 1e-6,
           overflowed ? " (overflowed)" : "");
  }

  // The stage with two virtual channels: 30000 = 6 delayed by -1500 ps, 30001 = the coincidences
  // of 1 and 6 within 5 ns.
  const auto twoVirtual = [] {
    VirtualChannel delayed, coincidence;
    delayed.kind = VirtualChannel::Kind::Delayed;
    delayed.inputs = {6};
    delayed.delayPs = -1500;
    coincidence.kind = VirtualChannel::Kind::Coincidence;
    coincidence.inputs = {1, 6};
    coincidence.windowPs = 5000;
    return std::make_unique<VirtualChannels>(std::vector<VirtualChannel>{delayed, coincidence});
  };
  std::vector<int16_t> every;
  for (int16_t c = 0; c < 15; ++c) every.push_back(c);
  every.push_back(30000);
  every.push_back(30001);
  // The five measurements, fed through the stage or (withStage false) the plain stream; with
  // `log`, a LogCorrelation of 1 and 6 too, as a user would set one (10 ps to 1 ms, 8 bins per
  // decade).
  const auto fiveMeasurements = [&](bool withStage, bool log) {
    auto stage = twoVirtual();
    MeasurementSet set;
    std::vector<std::shared_ptr<Measurement>> all = {
        std::make_shared<CountRate>(every), std::make_shared<Correlation>(1, withStage ? 30000 : 6, 10, 2000),
        std::make_shared<TimeTrace>(std::vector<int16_t>{1, 6, 30001}, 20000000000, 250),
        std::make_shared<StartStop>(1, 6, 10, 2000),
        std::make_shared<Coincidences>(std::vector<std::vector<int16_t>>{{1, 6}, {1, 30000}}, 5000)};
    if (log) all.push_back(std::make_shared<LogCorrelation>(1, 6, 10, 1000000000, 8));
    for (const auto& m : all) set.add(m);
    std::vector<TimeTag> out;
    for (size_t pos = 0; pos < tags.size(); pos += 65536) {
      const size_t n = std::min<size_t>(65536, tags.size() - pos);
      if (!withStage) {
        set.feed(tags.data() + pos, n);
        continue;
      }
      out.clear();
      stage->push(tags.data() + pos, n, &out);
      set.feed(out.data(), out.size());
    }
    out.clear();
    stage->finish(&out);
    set.feed(out.data(), out.size());
    bool overflowed = false;
    for (const auto& m : all) overflowed = overflowed || m->overflowed();
    return overflowed;
  };
  // Each feeds the whole stream; true when a measurement overflowed.
  const std::vector<std::pair<const char*, std::function<bool()>>> paths = {
      {"VirtualChannels(6 delayed -1500 ps, coincidence 1, 6)",
       [&] {
         auto stage = twoVirtual();
         std::vector<TimeTag> out;
         for (size_t pos = 0; pos < tags.size(); pos += 65536) {
           out.clear();
           stage->push(tags.data() + pos, std::min<size_t>(65536, tags.size() - pos), &out);
         }
         stage->finish(&out);
         return stage->overflowed();
       }},
      {"5 measurements (Correlation(1, 6) among them), no stage",
       [&] { return fiveMeasurements(false, false); }},
      {"the stage + 5 measurements, Correlation(1, 30000) among them",
       [&] { return fiveMeasurements(true, false); }},
      {"the stage + 5 measurements + LogCorrelation(1, 6, 10 ps to 1 ms, 8)",
       [&] { return fiveMeasurements(true, true); }},
  };
  for (const auto& [name, run] : paths) {
    if (skipped(name)) continue;
    double best = 1e300;
    bool overflowed = false;
    for (int k = 0; k < 3; ++k) {
      const double start = processorSeconds();
      overflowed = run() || overflowed;
      best = std::min(best, processorSeconds() - start);
    }
    printf("%-58s %7.1f M events per processor-second%s\n", name, double(tags.size()) / best * 1e-6,
           overflowed ? " (overflowed)" : "");
  }
  return 0;
}
