#include "monitor/timedifferences.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>

#include "monitor/measurementargs.h"

using namespace measurementargs;

namespace {

// The channels a sieve passes: `channels`, and `extra` unless it is -1.
std::vector<int16_t> withExtra(std::vector<int16_t> channels, int16_t extra) {
  if (extra != -1) channels.push_back(extra);
  return channels;
}

void requireCells(int64_t cells) {
  if (cells > kMaxMeasurementBins)
    throw std::invalid_argument("the histograms would hold more than " +
                                std::to_string(kMaxMeasurementBins) + " bins in all");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TimeDifferences

TimeDifferences::TimeDifferences(int16_t start, std::vector<int16_t> stops, int64_t binWidthPs,
                                 int32_t nBins, int16_t next, int32_t nHistograms)
    : _start(start), _stops(std::move(stops)), _next(next), _binWidth(binWidthPs),
      _binOf(binWidthPs), _nBins(nBins), _nHistograms(nHistograms),
      _sieve(withExtra(withExtra(_stops, start), next)), _stopSlot(65536, 0) {
  requireChannel(start);
  if (next != -1) requireChannel(next);
  requireBins(binWidthPs, nBins);
  if (_stops.empty()) throw std::invalid_argument("time differences need a stop channel");
  if (nHistograms < 1) throw std::invalid_argument("the number of histograms must be 1 or more");
  if (nHistograms > 1 && next == -1)
    throw std::invalid_argument("several histograms need a next channel to step through them");
  requireCells(int64_t(nBins) * nHistograms * int64_t(_stops.size()));
  for (size_t k = 0; k < _stops.size(); ++k) {
    requireChannel(_stops[k]);
    int16_t& slot = _stopSlot[tableIndex(_stops[k])];
    if (slot != 0)
      throw std::invalid_argument("stop channel " + std::to_string(_stops[k]) + " is named twice");
    slot = int16_t(k + 1);
  }
  _counts.assign(size_t(nBins) * size_t(nHistograms) * _stops.size(), 0);
  _stopHistory.resize(_stops.size());
}

void TimeDifferences::add(const TimeTag* tags, size_t count) {
  const int64_t range = int64_t(_nBins) * _binWidth;
  const size_t rows = size_t(_nHistograms), bins = size_t(_nBins);
  _sieve.forEach(tags, count, [&](const TimeTag& tag) {
    const int64_t t = tag.time;
    if (tag.channel == _next) _row = _row + 1 == _nHistograms ? 0 : _row + 1;
    const int16_t slot = _stopSlot[tableIndex(tag.channel)];
    if (slot != 0) {
      // The starts that came before it at s with 0 <= t - s < range; walking back, a start
      // below lo - stepBack has none but smaller ones before it.
      int64_t* histograms = _counts.data() + size_t(slot - 1) * rows * bins;
      const int64_t lo = t - range + 1;
      const int64_t end = minusSaturated(lo, _starts.stepBack());
      for (size_t i = _starts.size(); i-- > 0;) {
        const int64_t s = _starts.at(i);
        if (s < end) break;
        if (s >= lo && s <= t) ++histograms[size_t(_starts.markAt(i)) * bins + _binOf(t - s)];
      }
    }
    if (tag.channel == _start) {
      // The stops that came before it (records stepping back) at p with 0 <= p - t < range.
      const int64_t hi = t + range - 1;
      for (size_t k = 0; k < _stops.size(); ++k) {
        const TimeHistory& stops = _stopHistory[k];
        int64_t* histogram = _counts.data() + (k * rows + size_t(_row)) * bins;
        const int64_t end = minusSaturated(t, stops.stepBack());
        for (size_t i = stops.size(); i-- > 0;) {
          const int64_t p = stops.at(i);
          if (p < end) break;
          if (p >= t && p <= hi) ++histogram[_binOf(p - t)];
        }
      }
      if (!_starts.push(t, _row)) setOverflowed();
    }
    if (slot != 0 && !_stopHistory[size_t(slot - 1)].push(t)) setOverflowed();
  });
  // A start at s pairs with a stop still to come at f while f - s < range; a stop at p with a
  // start still to come at f while p >= f.
  const int64_t future = earliestFuturePs();
  if (future == INT64_MIN) return;
  _starts.dropBefore(future - range + 1);
  for (TimeHistory& stops : _stopHistory) stops.dropBefore(future);
}

int64_t TimeDifferences::countedLocked() const {
  return std::accumulate(_counts.begin(), _counts.end(), int64_t(0));
}

void TimeDifferences::reset() {
  std::fill(_counts.begin(), _counts.end(), 0);
  forgetPartners();
  _row = 0;
}

void TimeDifferences::forgetPartners() {
  _starts.clear();
  for (TimeHistory& stops : _stopHistory) stops.clear();
}

std::vector<int64_t> TimeDifferences::data() const {
  return locked([&] { return _counts; });
}

int32_t TimeDifferences::currentHistogram() const {
  return locked([&] { return _row; });
}

// ---------------------------------------------------------------------------------------------
// Histogram2D

Histogram2D::Histogram2D(int16_t start, int16_t stop1, int16_t stop2, int64_t binWidth1Ps,
                         int32_t nBins1, int64_t binWidth2Ps, int32_t nBins2)
    : _start(start), _stop1(stop1), _stop2(stop2), _width1(binWidth1Ps), _width2(binWidth2Ps),
      _binOf1(binWidth1Ps), _binOf2(binWidth2Ps), _n1(nBins1), _n2(nBins2),
      _sieve({start, stop1, stop2}) {
  for (int16_t channel : {start, stop1, stop2}) requireChannel(channel);
  requireBins(binWidth1Ps, nBins1);
  requireBins(binWidth2Ps, nBins2);
  requireCells(int64_t(nBins1) * nBins2);
  _counts.assign(size_t(nBins1) * size_t(nBins2), 0);
}

bool Histogram2D::pushPending(int64_t t) {
  bool kept = true;
  if (_end - _begin == _ring.size()) {
    if (_ring.size() >= kMaxHistory) {
      // The oldest start goes uncounted, which the caller reports.
      ++_begin;
      _waiting1 = std::max(_waiting1, _begin);
      _waiting2 = std::max(_waiting2, _begin);
      kept = false;
    } else {
      std::vector<Pending> bigger(std::max<size_t>(64, _ring.size() * 2));
      for (uint64_t i = _begin; i < _end; ++i) bigger[size_t(i - _begin)] = pendingAt(i);
      _ring.swap(bigger);
      _waiting1 -= _begin;
      _waiting2 -= _begin;
      _end -= _begin;
      _begin = 0;
    }
  }
  pendingAt(_end++) = Pending{t, INT64_MIN, INT64_MIN};
  return kept;
}

void Histogram2D::countComplete() {
  const int64_t range1 = int64_t(_n1) * _width1, range2 = int64_t(_n2) * _width2;
  for (const uint64_t done = std::min(_waiting1, _waiting2); _begin < done; ++_begin) {
    const Pending& p = pendingAt(_begin);
    if (p.d1 >= 0 && p.d1 < range1 && p.d2 >= 0 && p.d2 < range2)
      ++_counts[_binOf1(p.d1) * size_t(_n2) + _binOf2(p.d2)];
  }
}

void Histogram2D::add(const TimeTag* tags, size_t count) {
  _sieve.forEach(tags, count, [&](const TimeTag& tag) {
    const int64_t t = tag.time;
    // A stop ends every start before it that still waits for a stop of its channel: those
    // since the previous one.
    if (tag.channel == _stop1) {
      for (uint64_t i = _waiting1; i < _end; ++i) pendingAt(i).d1 = t - pendingAt(i).start;
      _waiting1 = _end;
    }
    if (tag.channel == _stop2) {
      for (uint64_t i = _waiting2; i < _end; ++i) pendingAt(i).d2 = t - pendingAt(i).start;
      _waiting2 = _end;
    }
    countComplete();
    if (tag.channel == _start && !pushPending(t)) setOverflowed();
  });
  // The oldest starts that can no longer count: a delay known and out of range, or a stop
  // still to come (at or after `future`) too late for the range.
  const int64_t future = earliestFuturePs();
  if (future == INT64_MIN) return;
  const int64_t range1 = int64_t(_n1) * _width1, range2 = int64_t(_n2) * _width2;
  const auto hopeless = [future](int64_t start, int64_t d, int64_t range) {
    return d == INT64_MIN ? future - start >= range : d < 0 || d >= range;
  };
  while (_begin < _end) {
    const Pending& p = pendingAt(_begin);
    if (!hopeless(p.start, p.d1, range1) && !hopeless(p.start, p.d2, range2)) break;
    ++_begin;
    _waiting1 = std::max(_waiting1, _begin);
    _waiting2 = std::max(_waiting2, _begin);
  }
}

int64_t Histogram2D::countedLocked() const {
  return std::accumulate(_counts.begin(), _counts.end(), int64_t(0));
}

void Histogram2D::reset() {
  std::fill(_counts.begin(), _counts.end(), 0);
  forgetPartners();
}

void Histogram2D::forgetPartners() { _begin = _end = _waiting1 = _waiting2 = 0; }

std::vector<int64_t> Histogram2D::data() const {
  return locked([&] { return _counts; });
}
