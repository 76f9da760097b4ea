#include "monitor/countbetweenmarkers.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "monitor/measurementargs.h"

using namespace measurementargs;

namespace {

std::vector<int16_t> gateChannels(int16_t channel, int16_t begin, int16_t end) {
  std::vector<int16_t> channels = {channel, begin};
  if (end != -1) channels.push_back(end);
  return channels;
}

}  // namespace

CountBetweenMarkers::CountBetweenMarkers(int16_t channel, int16_t begin, int16_t end,
                                         int32_t nValues)
    : _channel(channel), _begin(begin), _end(end), _nValues(nValues),
      _sieve(gateChannels(channel, begin, end)) {
  requireChannel(channel);
  requireChannel(begin);
  if (end != -1) requireChannel(end);
  if (end == begin) throw std::invalid_argument("the begin and end channels must differ");
  if (nValues < 1 || nValues > kMaxMeasurementBins)
    throw std::invalid_argument("the number of values must lie between 1 and " +
                                std::to_string(kMaxMeasurementBins));
  _counts.assign(size_t(nValues), 0);
  _widths.assign(size_t(nValues), 0);
}

int64_t CountBetweenMarkers::countBelow(int64_t x) const {
  // The records kept are all those at x or later (settle() keeps them while x may be asked).
  return _fed - int64_t(_times.end() - _times.lowerBound(x));
}

int64_t CountBetweenMarkers::countOf(const Gate& g) const {
  const int64_t before = g.before >= 0 ? g.before : countBelow(g.open);
  if (g.close == kOpen) return _fed - before;
  return (g.beforeClose >= 0 ? g.beforeClose : countBelow(g.close)) - before;
}

int64_t CountBetweenMarkers::widthOf(const Gate& g) const {
  return g.close == kOpen ? std::max<int64_t>(0, _latest - g.open) : g.close - g.open;
}

void CountBetweenMarkers::openGate(int64_t t) {
  if (_last - _first == _gates.size()) {
    if (_gates.size() >= kMaxHistory) {
      // The oldest pending gate keeps what it has counted so far.
      const Gate& oldest = gateAt(_first++);
      if (ownsBin(oldest)) {
        _counts[size_t(oldest.index % uint64_t(_nValues))] = countOf(oldest);
        _widths[size_t(oldest.index % uint64_t(_nValues))] = widthOf(oldest);
      }
      setOverflowed();
    } else {
      std::vector<Gate> bigger(std::max<size_t>(64, _gates.size() * 2));
      for (uint64_t i = _first; i < _last; ++i) bigger[size_t(i) & (bigger.size() - 1)] = gateAt(i);
      _gates.swap(bigger);
    }
  }
  const size_t bin = size_t(_nextIndex % uint64_t(_nValues));
  _counts[bin] = _widths[bin] = 0;
  gateAt(_last++) = Gate{_nextIndex++, t, kOpen, -1, -1};
  _isOpen = true;
}

void CountBetweenMarkers::closeGate(int64_t t) {
  Gate& g = gateAt(_last - 1);
  g.close = std::max(t, g.open);
  _isOpen = false;
  ++_closed;
}

void CountBetweenMarkers::add(const TimeTag* tags, size_t count) {
  _sieve.forEach(tags, count, [this](const TimeTag& tag) {
    const int64_t t = tag.time;
    _latest = std::max(_latest, t);
    if (tag.channel == _channel) {
      ++_fed;
      if (!_times.insert(t)) setOverflowed();
    }
    if (tag.channel == _end && _isOpen) closeGate(t);
    if (tag.channel == _begin) {
      if (_isOpen) closeGate(t);
      openGate(t);
    }
  });
  const int64_t future = earliestFuturePs();
  if (future != INT64_MIN) settle(future);
}

void CountBetweenMarkers::settle(int64_t future) {
  for (; _first != _last; ++_first) {
    Gate& g = gateAt(_first);
    if (g.before < 0 && g.open < future) g.before = countBelow(g.open);
    if (g.close != kOpen && g.beforeClose < 0 && g.close < future) g.beforeClose = countBelow(g.close);
    if (g.before < 0 || g.beforeClose < 0) break;
    if (ownsBin(g)) {
      const size_t bin = size_t(g.index % uint64_t(_nValues));
      _counts[bin] = g.beforeClose - g.before;
      _widths[bin] = g.close - g.open;
    }
  }
  // Keep the records at or above every time still to be asked: those to come are at `future`
  // or later, and every pending gate's times came after the oldest one still open to question,
  // so lie at most kMaxStepBackPs below it.
  int64_t keep = future;
  if (_first != _last) {
    const Gate& g = gateAt(_first);
    if (g.before < 0) keep = std::min(keep, g.open);
    else if (g.close != kOpen) keep = std::min(keep, g.close);
  }
  _times.dropBefore(minusSaturated(keep, kMaxStepBackPs));
}

void CountBetweenMarkers::reset() {
  std::fill(_counts.begin(), _counts.end(), 0);
  std::fill(_widths.begin(), _widths.end(), 0);
  _first = _last = 0;
  _isOpen = false;
  _nextIndex = _closed = 0;
  _times.clear();
  _fed = 0;
  _latest = INT64_MIN;
}

void CountBetweenMarkers::forgetPartners() {
  // The recording is over: its open gate ends at its latest record, and every count is final.
  if (_isOpen) closeGate(_latest);
  settle(INT64_MAX);
  _times.clear();
  _fed = 0;
  _latest = INT64_MIN;
}

std::vector<int64_t> CountBetweenMarkers::data() const {
  return locked([&] {
    std::vector<int64_t> out = _counts;
    for (uint64_t i = _first; i != _last; ++i) {
      const Gate& g = gateAt(i);
      if (ownsBin(g)) out[size_t(g.index % uint64_t(_nValues))] = countOf(g);
    }
    return out;
  });
}

std::vector<int64_t> CountBetweenMarkers::binWidthsPs() const {
  return locked([&] {
    std::vector<int64_t> out = _widths;
    for (uint64_t i = _first; i != _last; ++i) {
      const Gate& g = gateAt(i);
      if (ownsBin(g)) out[size_t(g.index % uint64_t(_nValues))] = widthOf(g);
    }
    return out;
  });
}

bool CountBetweenMarkers::frameComplete() const {
  return locked([&] { return _closed >= uint64_t(_nValues); });
}
