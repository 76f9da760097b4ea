#include "monitor/logcorrelation.h"

#include <math.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "monitor/measurementargs.h"

using namespace measurementargs;

namespace {

// a + b for b >= 0, held at INT64_MAX rather than wrapping above it.
int64_t plusSaturated(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

// The edges of the log-spaced bins from minLag to maxLag, after the checks of the settings.
std::vector<int64_t> logEdges(int64_t minLag, int64_t maxLag, int32_t perDecade) {
  if (minLag < 1) throw std::invalid_argument("the shortest lag must be 1 ps or more");
  if (maxLag <= minLag)
    throw std::invalid_argument("the longest lag must be above the shortest");
  if (maxLag > INT64_MAX / 4) throw std::invalid_argument("the longest lag is beyond the time axis");
  if (perDecade < 1) throw std::invalid_argument("the bins per decade must be 1 or more");
  const double raw = ceil(log10(double(maxLag) / double(minLag)) * double(perDecade));
  if (raw > double(kMaxMeasurementBins))
    throw std::invalid_argument("the lags would need more than " +
                                std::to_string(kMaxMeasurementBins) + " bins");
  std::vector<int64_t> edges = {minLag};
  for (int64_t k = 1;; ++k) {
    const double x = double(minLag) * pow(10.0, double(k) / double(perDecade));
    if (!(x < double(maxLag))) break;
    const int64_t edge = int64_t(llround(x));
    if (edge >= maxLag) break;
    if (edge > edges.back()) edges.push_back(edge);
  }
  edges.push_back(maxLag);
  return edges;
}

}  // namespace

LogCorrelation::LogCorrelation(int16_t a, int16_t b, int64_t minLagPs, int64_t maxLagPs,
                               int32_t binsPerDecade)
    : _a(a), _b(b), _sieve({a, b}), _edges(logEdges(minLagPs, maxLagPs, binsPerDecade)) {
  requireChannel(a);
  requireChannel(b);
  _counts.assign(_edges.size() - 1, 0);
  _below.assign(_edges.size(), 0);
}

void LogCorrelation::pairAsB(int64_t t) {
  // [begin, _below[k]) are the kept times s <= t - edge[k]; the pairs in bin k are those with
  // t - edge[k + 1] < s <= t - edge[k]. The positions move on little from one record of b to
  // the next, and back only where records step back.
  const uint64_t first = _histA.begin(), last = _histA.end();
  const int64_t* edges = _edges.data();
  uint64_t* below = _below.data();
  const size_t nEdges = _edges.size();
  for (size_t k = 0; k < nEdges; ++k) {
    const int64_t x = minusSaturated(t, edges[k]);
    uint64_t p = std::max(below[k], first);
    while (p < last && _histA.at(p) <= x) ++p;
    while (p > first && _histA.at(p - 1) > x) --p;
    below[k] = p;
  }
  int64_t* counts = _counts.data();
  for (size_t k = 0; k + 1 < nEdges; ++k) counts[k] += int64_t(below[k] - below[k + 1]);
}

void LogCorrelation::pairAsA(int64_t t, const SortedTimes& bs) {
  // Kept records of b at t + minLag or later: only records of b that came before it although
  // later in time, so for a record in time order none.
  const int64_t lo = plusSaturated(t, _edges.front()), hi = plusSaturated(t, _edges.back());
  for (uint64_t pos = bs.end(); pos > bs.begin();) {
    const int64_t p = bs.at(--pos);
    if (p < lo) break;
    if (p >= hi) continue;
    const size_t k = size_t(std::upper_bound(_edges.begin(), _edges.end(), p - t) - _edges.begin()) - 1;
    ++_counts[k];
  }
}

void LogCorrelation::add(const TimeTag* tags, size_t count) {
  _sieve.forEach(tags, count, [this](const TimeTag& tag) {
    const int64_t t = tag.time;
    if (tag.channel == _b) {
      ++_nB;
      pairAsB(t);
    }
    if (tag.channel == _a) {
      ++_nA;
      // With a == b the record as a pairs with the earlier records of the channel in their
      // role of b.
      pairAsA(t, _a == _b ? _histA : _histB);
      if (!_histA.insert(t)) setOverflowed();
    } else if (!_histB.insert(t)) {
      setOverflowed();
    }
  });
  // Forget what no record still to come (at `future` or later) can pair with: a record of a at
  // s pairs with a later b at f while f - s < maxLag, a record of b at p with a later a at f
  // while p - f >= minLag (the second is within the first when a == b).
  const int64_t future = earliestFuturePs();
  if (future == INT64_MIN) return;
  _histA.dropBefore(minusSaturated(future, _edges.back() - 1));
  _histB.dropBefore(plusSaturated(future, _edges.front()));
}

void LogCorrelation::reset() {
  std::fill(_counts.begin(), _counts.end(), 0);
  forgetPartners();
  _nA = _nB = 0;
}

void LogCorrelation::forgetPartners() {
  _histA.clear();
  _histB.clear();
  std::fill(_below.begin(), _below.end(), 0);
}

std::vector<int64_t> LogCorrelation::data() const {
  return locked([&] { return _counts; });
}

std::vector<double> LogCorrelation::normalized() const {
  return locked([&] {
    std::vector<double> g2(_counts.size(), 0.0);
    const double seconds = spanSeconds();
    if (seconds <= 0 || _nA == 0 || _nB == 0) return g2;
    // counts / (nA/s * nB/s * width * s) = counts * s / (nA * nB * width)
    const double scale = seconds / (double(_nA) * double(_nB));
    for (size_t k = 0; k < g2.size(); ++k)
      g2[k] = double(_counts[k]) * scale / (double(_edges[k + 1] - _edges[k]) * 1e-12);
    return g2;
  });
}

int64_t LogCorrelation::countA() const {
  return locked([&] { return _nA; });
}

int64_t LogCorrelation::countB() const {
  return locked([&] { return _nB; });
}
