#include "monitor/logcorrelation.h"

#include <math.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>

#include "monitor/measurementargs.h"

using namespace measurementargs;

namespace {

// a + b for b >= 0, held at INT64_MAX rather than wrapping above it.
int64_t plusSaturated(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

// The last k < n with edges[k] <= d, for edges[0] <= d: a search whose steps depend on n only,
// so that a random d costs no mispredicted branches.
size_t lastAtOrBelow(const int64_t* edges, size_t n, int64_t d) {
  size_t k = 0;
  for (size_t len = n; len > 1;) {
    const size_t half = len / 2;
    k = edges[k + half] <= d ? k + half : k;
    len -= half;
  }
  return k;
}

// t as an unsigned number of the same order.
uint64_t key(int64_t t) { return uint64_t(t) ^ (uint64_t(1) << 63); }

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
  for (int64_t lag : _edges) _cursors.push_back(Cursor{lag, 0});
  _sums.assign(_edges.size(), 0);
}

template <size_t K, bool kShort>
void LogCorrelation::sweep(const size_t* which) {
  // [begin, pos) of a cursor are the kept times s <= t - lag, t the record of b it is at; the
  // pairs of a record of b in bin k are those with t - edge[k + 1] < s <= t - edge[k], so bin k
  // gains the sum over the batch's records of b of pos[k] - pos[k + 1]. Every cursor passes
  // every record of a once: the usual move is zero to two places, up to four of them found
  // without branches (the history holds INT64_MAX after its newest time), a loop for longer
  // ones. A record of a inserted out of order never leaves a cursor beyond its place, so
  // cursors move back only for a record of b earlier than the one before. K cursors go through
  // the batch side by side, their loads independent of each other.
  const uint64_t first = _histA.begin();
  uint64_t pos[K], sum[K];
  int64_t lag[K];
  for (size_t i = 0; i < K; ++i) {
    pos[i] = std::max(_cursors[which[i]].pos, first);
    lag[i] = _cursors[which[i]].lag;
    sum[i] = 0;
  }
  const SortedTimes& h = _histA;
  const int64_t* ring = h.ring();
  const uint64_t mask = h.mask();
  const int64_t safe = INT64_MIN + _edges.back();  // t - lag needs no saturation from here
  int64_t previous = _previousB;
  for (const int64_t t : _batchB) {
    if (t >= previous && t >= safe) {
#pragma GCC unroll 8
      for (size_t i = 0; i < K; ++i) {
        const int64_t x = t - lag[i];
        uint64_t p = pos[i];
        const int64_t* r = ring + (p & mask);  // r[0..3] without a wrap
        const uint64_t move = uint64_t(r[0] <= x) + uint64_t(r[1] <= x) + uint64_t(r[2] <= x) +
                              uint64_t(r[3] <= x);
        p += move;
        if (move == SortedTimes::kBeyond)
          while (ring[p & mask] <= x) ++p;
        pos[i] = p;
        sum[i] += p;
      }
    } else {
      for (size_t i = 0; i < K; ++i) {
        const int64_t x = minusSaturated(t, lag[i]);
        uint64_t p = pos[i];
        while (h.at(p) <= x) ++p;
        while (p > first && h.at(p - 1) > x) --p;
        pos[i] = p;
        sum[i] += p;
      }
    }
    if (kShort) {
      // The few kept times between the cursors of the shortest lag and of edge[_split]: their
      // pairs go straight to their bins.
      const int64_t* edges = _edges.data();
      for (uint64_t q = pos[1]; q < pos[0]; ++q) {
        const int64_t d = t - ring[q & mask];
        ++_counts[lastAtOrBelow(edges, _split, d)];
      }
    }
    previous = t;
  }
  for (size_t i = 0; i < K; ++i) {
    _cursors[which[i]].pos = pos[i];
    _sums[which[i]] = sum[i];
  }
}

bool LogCorrelation::sumOverA(size_t from) {
  // Cursor k at a record of b at t stands at P(t - lag), P(x) the position after the last kept
  // time <= x, so its sum over the batch's records b[0..m) in time order is
  //   sum over j of P(b[j] - lag) = m P(b[m-1] - lag) - sum over the kept times s in
  //   (b[0] - lag, b[m-1] - lag] of below(s + lag),
  // below(y) the number of b[j] < y (each such s is counted by the b[j] >= s + lag only). Those
  // s are one run of positions, and below() comes from the table of the stretch y lies in and
  // the few records of b in it: a few steps per record of a, none per record of b.
  constexpr uint32_t kMostPerStretch = 16;  // beyond, a lookup would walk too far
  const std::vector<int64_t>& bs = _batchB;
  const size_t m = bs.size();
  const int64_t b0 = bs.front(), last = bs.back();
  if (from >= _cursors.size()) return true;
  if (b0 < _previousB || b0 < INT64_MIN + _edges.back() || m >= (size_t(1) << 31) ||
      uint64_t(last) - uint64_t(b0) >= (uint64_t(1) << 62))
    return false;
  const uint64_t span = uint64_t(last) - uint64_t(b0);
  unsigned shift = 0;  // about four stretches per record of b, so few hold more than one
  while ((span >> shift) >= 4 * uint64_t(m)) ++shift;
  _below.assign(size_t(span >> shift) + 1, 0);
  for (size_t j = 0; j < m; ++j) {
    if ((j > 0 && bs[j] < bs[j - 1]) || bs[j] > last) return false;
    ++_below[size_t((uint64_t(bs[j]) - uint64_t(b0)) >> shift)];
  }
  uint32_t before = 0;
  for (uint32_t& n : _below) {
    if (n > kMostPerStretch) return false;
    const uint32_t here = n;
    n = before;
    before += here;
  }
  // The records of b as unsigned numbers in the same order (the sign bit flipped), so that
  // each comparison below adds with a carry; the largest value after them ends each walk.
  _keyB.resize(m + 2);
  for (size_t j = 0; j < m; ++j) _keyB[j] = key(bs[j]);
  _keyB[m] = _keyB[m + 1] = UINT64_MAX;
  const uint64_t* b = _keyB.data();
  const uint32_t* below = _below.data();
  const int64_t* ring = _histA.ring();
  const uint64_t mask = _histA.mask();
  for (size_t k = from; k < _cursors.size(); ++k) {
    const int64_t lag = _cursors[k].lag;
    const uint64_t begin = _histA.lowerBound(b0 - lag + 1), end = _histA.lowerBound(last - lag + 1);
    uint64_t sum = 0;
    // The run of positions as at most two stretches of the ring without a wrap.
    for (uint64_t p = begin; p < end;) {
      const uint64_t stop = std::min(end, (p | mask) + 1);
      for (const int64_t *s = ring + (p & mask), *e = s + (stop - p); s != e; ++s) {
        const int64_t y = *s + lag;  // in (b0, last]
        const uint64_t u = key(y);
        size_t j = below[(uint64_t(y) - uint64_t(b0)) >> shift];
        j += size_t(b[j] < u);
        j += size_t(b[j] < u);
        if (b[j] < u) [[unlikely]]
          while (b[j] < u) ++j;
        sum += j;
      }
      p = stop;
    }
    _sums[k] = uint64_t(m) * end - sum;
    _cursors[k].pos = end;
  }
  return true;
}

void LogCorrelation::chooseSplit() {
  // Lags up to half the mean spacing of the latest records of a: less than one pair in two
  // records of b, so counting those pairs one by one is cheaper than moving their cursors.
  const size_t n = _cursors.size();
  size_t split = 0;
  if (_histA.size() >= 64) {
    const int64_t spacing = (_histA.at(_histA.end() - 1) - _histA.at(_histA.end() - 64)) / 63;
    split = size_t(std::upper_bound(_edges.begin(), _edges.end(), spacing / 2) - _edges.begin());
    split = split == 0 ? 0 : std::min(split - 1, n - 1);
  }
  // Cursors that had rested take up their place at the record of b the others are at (moving
  // on from where they rested would do unless records of b stepped back since).
  for (size_t k = split; k < _split; ++k) {
    const int64_t x = minusSaturated(_previousB, _cursors[k].lag);
    _cursors[k].pos = x == INT64_MAX ? _histA.end() : _histA.lowerBound(x + 1);
  }
  _split = split;
}

void LogCorrelation::keepCursorsIn() {
  const uint64_t first = _histA.begin();
  for (Cursor& c : _cursors) c.pos = std::max(c.pos, first);
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
  // The batch's records of a and of b (with a == b, only _batchA).
  _batchA.clear();
  _batchB.clear();
  forEachOf(_sieve, tags, count, [this](const TimeTag& tag) {
    (tag.channel == _a ? _batchA : _batchB).push_back(tag.time);
  });
  std::vector<int64_t>& bs = _a == _b ? _batchA : _batchB;
  _nA += int64_t(_batchA.size());
  _nB += int64_t(bs.size());
  // A pair with a record of b of the batch is counted by the cursors once the batch's records
  // of a are in the history, wherever they came; one with a record of b of an earlier batch,
  // here, by its record of a (for a == b, the earlier records in their role of b).
  const SortedTimes& earlierB = _a == _b ? _histA : _histB;
  // (A record of a after every kept record of b but the last minLag has none.)
  const int64_t newestB = earlierB.newest(), minLag = _edges.front();
  for (const int64_t t : _batchA)
    if (newestB >= plusSaturated(t, minLag)) pairAsA(t, earlierB);
  bool full = !_histA.insertAll(_batchA.data(), _batchA.size());
  if (_a != _b) full |= !_histB.insertAll(_batchB.data(), _batchB.size());
  if (full) setOverflowed();
  if (!bs.empty()) {
    keepCursorsIn();
    if (_a == _b) _batchB.swap(_batchA);
    chooseSplit();
    const size_t n = _cursors.size();
    size_t k = _split;
    if (_split > 0) {
      const size_t pair[2] = {0, _split};
      sweep<2, true>(pair);
      ++k;
    }
    if (!sumOverA(k)) {
      size_t which[4];
      for (; k + 4 <= n; k += 4) {
        for (size_t i = 0; i < 4; ++i) which[i] = k + i;
        sweep<4, false>(which);
      }
      for (; k < n; ++k) sweep<1, false>(&k);
    }
    _previousB = _batchB.back();
    for (size_t j = _split; j + 1 < n; ++j) _counts[j] += int64_t(_sums[j] - _sums[j + 1]);
  }
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
  for (Cursor& c : _cursors) c.pos = 0;
  _previousB = INT64_MIN;
  _split = 0;
}

int64_t LogCorrelation::countedLocked() const {
  return std::accumulate(_counts.begin(), _counts.end(), int64_t(0));
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
