// Speed of each measurement alone on a merged stream, in M events per processor-second.
//
//   bench_measurements [millions of records=30]
//
// The stream is what a default chain of three devices at 30 M events/s gives: 15 input channels
// in time order at a mean spacing of 33 ns, channel 6 following channel 1 by 2500 ps now and
// then, a marker (channel 104) every millisecond. Each measurement is fed the whole stream in
// blocks of 65536 records, as the live path feeds it; the best of three runs counts.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
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
      {"LogCorrelation(1, 1, 1 ps to 1 s, 20 per decade)",
       [] { return std::make_shared<LogCorrelation>(1, 1, 1, 1000000000000, 20); }},
      {"CountBetweenMarkers(1, begin 104, 1000 values)",
       [] { return std::make_shared<CountBetweenMarkers>(1, 104, -1, 1000); }},
      {"CountBetweenMarkers(1, begin 2, end 3, 1000 values)",
       [] { return std::make_shared<CountBetweenMarkers>(1, 2, 3, 1000); }},
  };
  printf("%.0f M records\n", millions);
  for (const auto& [name, make] : kinds) {
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
  return 0;
}
