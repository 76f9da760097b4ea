#include "monitor/measurements.h"

#include <algorithm>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>

#include "monitor/measurementargs.h"

using namespace measurementargs;

namespace {

// Lookup table: channel -> position in `channels` + 1, 0 for channels not in it.
std::vector<int16_t> slotTable(const std::vector<int16_t>& channels) {
  std::vector<int16_t> slot(65536, 0);
  for (size_t i = 0; i < channels.size(); ++i) {
    requireChannel(channels[i]);
    if (slot[tableIndex(channels[i])] == 0) slot[tableIndex(channels[i])] = int16_t(i + 1);
  }
  return slot;
}

int64_t floorDiv(int64_t t, int64_t width) {
  const int64_t q = t / width;
  return (t % width != 0 && t < 0) ? q - 1 : q;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Measurement

Measurement::Measurement() = default;
Measurement::~Measurement() = default;

namespace {

// rangeOf(), calling each(i) for each record on the way.
template <typename F>
TagRange rangeWith(const TimeTag* tags, size_t count, F each) {
  TagRange range;
  // The latest time so far, but never below the axis' start + kMaxStepBackPs, so that
  // latest - kMaxStepBackPs needs no saturation. In locals, apart from the records and what
  // each() writes.
  int64_t latest = INT64_MIN + kMaxStepBackPs, least = INT64_MAX;
  bool tooFar = false;
  for (size_t i = 0; i < count; ++i) {
    const int64_t t = tags[i].time;
    tooFar |= t < latest - kMaxStepBackPs;
    latest = std::max(latest, t);
    least = std::min(least, t);
    each(i);
  }
  range.least = least;
  if (count != 0) range.greatest = latest;
  // Every time at or below the clamp: the largest of them, on a path that real streams never
  // take.
  if (count != 0 && latest == INT64_MIN + kMaxStepBackPs) {
    range.greatest = INT64_MIN;
    for (size_t i = 0; i < count; ++i) range.greatest = std::max(range.greatest, tags[i].time);
  }
  range.stepsBackTooFar = tooFar;
  return range;
}

}  // namespace

TagRange rangeOf(const TimeTag* tags, size_t count) {
  return rangeWith(tags, count, [](size_t) {});
}

void Measurement::feed(const TimeTag* tags, size_t count) {
  feed(tags, count, rangeOf(tags, count));
}

void Measurement::feed(const TimeTag* tags, size_t count, const TagRange& range) {
  feedPicked(tags, count, range, nullptr, 0);
}

void Measurement::feedPicked(const TimeTag* tags, size_t count, const TagRange& range,
                             const uint16_t* picked, size_t pickedCount) {
  std::lock_guard<std::mutex> guard(_lock);
  if (!_running || count == 0) return;
  _batchRange = range;
  _picked = picked;
  _pickedCount = pickedCount;
  add(tags, count);
  _picked = nullptr;
  // The histories keep what a record up to kMaxStepBackPs back may pair with; one further
  // back (behind the latest before it, fed earlier or in this batch) cannot be counted
  // exactly, and that must show.
  if (range.least < minusSaturated(_streamLatest, kMaxStepBackPs) || range.stepsBackTooFar)
    _overflowed = true;
  _streamLatest = std::max(_streamLatest, range.greatest);
  _from = std::min(_from, range.least);
  _to = std::max(_to, range.greatest);
}

void Measurement::endStretch() {
  _spanEnded += _from < _to ? _to - _from : 0;
  _from = INT64_MAX;
  _to = INT64_MIN;
}

void Measurement::start() {
  std::lock_guard<std::mutex> guard(_lock);
  _running = true;
}

void Measurement::stop() {
  std::lock_guard<std::mutex> guard(_lock);
  endStretch();
  _running = false;
}

void Measurement::newStream() {
  std::lock_guard<std::mutex> guard(_lock);
  endStretch();
  _streamLatest = INT64_MIN;
  forgetPartners();
}

bool Measurement::running() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _running;
}

void Measurement::clear() {
  std::lock_guard<std::mutex> guard(_lock);
  reset();
  _overflowed = false;
  _streamLatest = INT64_MIN;
  _from = INT64_MAX;
  _to = INT64_MIN;
  _spanEnded = 0;
}

bool Measurement::overflowed() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _overflowed;
}

void Measurement::markOverflowed() {
  std::lock_guard<std::mutex> guard(_lock);
  _overflowed = true;
}

int64_t Measurement::spanPs() const {
  std::lock_guard<std::mutex> guard(_lock);
  return spanLocked();
}

int64_t Measurement::counted() const {
  std::lock_guard<std::mutex> guard(_lock);
  return countedLocked();
}

int64_t Measurement::spanLocked() const { return _spanEnded + (_from < _to ? _to - _from : 0); }

double Measurement::spanSeconds() const { return double(spanLocked()) * 1e-12; }

int64_t Measurement::earliestFuturePs() const { return minusSaturated(_streamLatest, kMaxStepBackPs); }

// ---------------------------------------------------------------------------------------------
// ChannelSieve

ChannelSieve::ChannelSieve(const std::vector<int16_t>& channels) : _channels(channels), _wanted(65536, 0) {
  for (int16_t c : channels) _wanted[tableIndex(c)] = 1;
}

// ---------------------------------------------------------------------------------------------
// TimeHistory

bool TimeHistory::pushFull(int64_t t) {
  if (_times.size() >= kMaxHistory) {
    ++_begin;  // the oldest goes: its pairs are lost, which the caller reports
    _times[_end++ & (_times.size() - 1)] = t;
    return false;
  }
  grow();
  _times[_end++ & (_times.size() - 1)] = t;
  return true;
}

void TimeHistory::grow() {
  const size_t capacity = std::max<size_t>(64, _times.size() * 2);
  if (_marked) {
    std::vector<int32_t> marks(capacity);
    for (size_t i = 0; i < size(); ++i) marks[i] = markAt(i);
    _marks.swap(marks);
  }
  std::vector<int64_t> bigger(capacity);
  for (size_t i = 0; i < size(); ++i) bigger[i] = at(i);
  _times.swap(bigger);
  _end = size();
  _begin = 0;
}

void TimeHistory::dropBefore(int64_t t) {
  // Only from the front: a time that stepped back below `t` may stand behind one at or above
  // it, and then waits for it.
  while (_begin != _end && _times[_begin & (_times.size() - 1)] < t) ++_begin;
}

// ---------------------------------------------------------------------------------------------
// CountRate

CountRate::CountRate(std::vector<int16_t> channels)
    : _channels(std::move(channels)), _counts(_channels.size() + 1, 0), _slot(slotTable(_channels)) {}

void CountRate::add(const TimeTag* tags, size_t count) {
  // Without a branch: the records of other channels count in _counts[0], which no one reads.
  const int16_t* slotOf = _slot.data() + tableIndex(0);
  int64_t* counts = _counts.data();
  for (size_t i = 0; i < count; ++i) ++counts[size_t(uint16_t(slotOf[tags[i].channel]))];
}

void CountRate::reset() { std::fill(_counts.begin(), _counts.end(), 0); }

int64_t CountRate::countedLocked() const { return std::accumulate(_counts.begin() + 1, _counts.end(), int64_t(0)); }

std::vector<int64_t> CountRate::counts() const {
  return locked([&] {
    // A channel named twice shares the count of its first place.
    std::vector<int64_t> out(_channels.size());
    for (size_t i = 0; i < _channels.size(); ++i)
      out[i] = _counts[size_t(_slot[tableIndex(_channels[i])])];
    return out;
  });
}

std::vector<double> CountRate::data() const {
  return locked([&] {
    const double seconds = spanSeconds();
    std::vector<double> out(_channels.size(), 0.0);
    if (seconds > 0)
      for (size_t i = 0; i < out.size(); ++i)
        out[i] = double(_counts[size_t(_slot[tableIndex(_channels[i])])]) / seconds;
    return out;
  });
}

// ---------------------------------------------------------------------------------------------
// Correlation

namespace {

// The lowest delay of a histogram centred on zero; checks the bins first so that the product
// cannot overflow.
int64_t centredLow(int64_t binWidthPs, int32_t nBins) {
  requireBins(binWidthPs, nBins);
  return -int64_t(nBins / 2) * binWidthPs;
}

}  // namespace

Correlation::Correlation(int16_t a, int16_t b, int64_t binWidthPs, int32_t nBins)
    : Correlation(a, b, binWidthPs, nBins, centredLow(binWidthPs, nBins),
                  centredLow(binWidthPs, nBins) + int64_t(nBins) * binWidthPs) {}

Correlation::Correlation(int16_t a, int16_t b, int64_t binWidthPs, int32_t nBins, int64_t lowPs,
                         int64_t highPs)
    : _a(a), _b(b), _sieve({a, b}), _binWidth(binWidthPs), _binOf(binWidthPs), _low(lowPs),
      _high(highPs) {
  requireChannel(a);
  requireChannel(b);
  requireBins(binWidthPs, nBins);
  if (lowPs < -INT64_MAX / 4 || lowPs > INT64_MAX / 4)
    throw std::invalid_argument("the lowest delay is beyond the time axis");
  if (highPs <= lowPs || highPs > lowPs + int64_t(nBins) * binWidthPs)
    throw std::invalid_argument("the highest delay must lie within the bins");
  _counts.assign(size_t(nBins), 0);
}

template <int kSign>
void Correlation::pairWith(const TimeHistory& partner, int64_t t) {
  // Partner times p with t - p (kSign +1) or p - t (kSign -1) in [low, high).
  const int64_t lo = kSign > 0 ? t - _high + 1 : t + _low;
  const int64_t hi = kSign > 0 ? t - _low : t + _high - 1;
  // Walking back, a time below lo - stepBack has none but smaller ones before it.
  const int64_t stop = minusSaturated(lo, partner.stepBack());
  for (size_t i = partner.size(); i-- > 0;) {
    const int64_t p = partner.at(i);
    if (p < stop) break;
    if (p < lo || p > hi) continue;
    const int64_t d = kSign > 0 ? t - p : p - t;
    ++_counts[_binOf(d - _low)];
  }
}

void Correlation::add(const TimeTag* tags, size_t count) {
  forEachOf(_sieve, tags, count, [this](const TimeTag& tag) {
    const int64_t t = tag.time;
    if (_a == _b) {
      ++_nA;
      ++_nB;
      pairWith<+1>(_histA, t);
      pairWith<-1>(_histA, t);
      if (!_histA.push(t)) setOverflowed();
    } else if (tag.channel == _b) {
      ++_nB;
      pairWith<+1>(_histA, t);
      if (!_histB.push(t)) setOverflowed();
    } else {
      ++_nA;
      pairWith<-1>(_histB, t);
      if (!_histA.push(t)) setOverflowed();
    }
  });
  // Forget what no record still to come can pair with: an a at p pairs with a later b at f
  // while f - p < high, a b at p with a later a at f while p - f >= low.
  const int64_t future = earliestFuturePs();
  if (future == INT64_MIN) return;
  if (_a == _b) {
    _histA.dropBefore(std::min(future - _high + 1, future + _low));  // both roles at once
  } else {
    _histA.dropBefore(future - _high + 1);
    _histB.dropBefore(future + _low);
  }
}

void Correlation::reset() {
  std::fill(_counts.begin(), _counts.end(), 0);
  forgetPartners();
  _nA = _nB = 0;
}

void Correlation::forgetPartners() {
  _histA.clear();
  _histB.clear();
}

int64_t Correlation::countedLocked() const { return std::accumulate(_counts.begin(), _counts.end(), int64_t(0)); }

std::vector<int64_t> Correlation::data() const {
  return locked([&] { return _counts; });
}

std::vector<int64_t> Correlation::binEdgesPs() const {
  std::vector<int64_t> edges(_counts.size() + 1);
  for (size_t i = 0; i < edges.size(); ++i) edges[i] = _low + int64_t(i) * _binWidth;
  return edges;
}

std::vector<double> Correlation::normalized() const {
  return locked([&] {
    std::vector<double> g2(_counts.size(), 0.0);
    const double seconds = spanSeconds();
    if (seconds <= 0 || _nA == 0 || _nB == 0) return g2;
    // counts / (nA/s * nB/s * width * s) = counts * s / (nA * nB * width)
    const double scale = seconds / (double(_nA) * double(_nB));
    for (size_t i = 0; i < g2.size(); ++i) {
      const int64_t edge = _low + int64_t(i) * _binWidth;
      const int64_t width = std::min(_high, edge + _binWidth) - edge;
      g2[i] = double(_counts[i]) * scale / (double(width) * 1e-12);
    }
    return g2;
  });
}

int64_t Correlation::countA() const {
  return locked([&] { return _nA; });
}

int64_t Correlation::countB() const {
  return locked([&] { return _nB; });
}

// ---------------------------------------------------------------------------------------------
// TimeTrace

namespace {

// A trace of this many channels or fewer sifts its records first: most records are not of them.
constexpr size_t kSiftedTraceChannels = 4;

}  // namespace

TimeTrace::TimeTrace(std::vector<int16_t> channels, int64_t binWidthPs, int32_t nBins)
    : _channels(std::move(channels)), _slot(slotTable(_channels)),
      _sifted(_channels.size() <= kSiftedTraceChannels), _sieve(_channels), _binWidth(binWidthPs),
      _nBins(nBins) {
  requireBins(binWidthPs, nBins);
  if (_channels.empty()) throw std::invalid_argument("a time trace needs a channel");
  if (_channels.size() > size_t(kMaxMeasurementBins / nBins))
    throw std::invalid_argument("channels x bins is more than " +
                                std::to_string(kMaxMeasurementBins));
  _bins.assign(_channels.size() * size_t(nBins), 0);
}

void TimeTrace::rollTo(int64_t k) {
  const int64_t from = _newest == INT64_MIN ? k - _nBins + 1 : std::max(_newest + 1, k - _nBins + 1);
  for (int64_t j = from; j <= k; ++j) {
    const size_t col = size_t(((j % _nBins) + _nBins) % _nBins);
    const auto bin = _bins.begin() + ptrdiff_t(col * _channels.size());
    _rolledOut = std::accumulate(bin, bin + ptrdiff_t(_channels.size()), _rolledOut);
    std::fill_n(_bins.begin() + ptrdiff_t(col * _channels.size()), _channels.size(), 0);
  }
  _newest = k;
  _newestFrom = k * _binWidth;
  _newestColumn = size_t(((k % _nBins) + _nBins) % _nBins);
}

void TimeTrace::countIn(int16_t channel, int64_t k) {
  if (_newest == INT64_MIN || k > _newest) rollTo(k);
  if (k <= _newest - _nBins) return;  // already rolled out
  const int16_t s = _slot[tableIndex(channel)];
  if (s != 0) ++_bins[size_t(((k % _nBins) + _nBins) % _nBins) * _channels.size() + size_t(s - 1)];
}

void TimeTrace::add(const TimeTag* tags, size_t count) {
  const int16_t* slot = _slot.data() + tableIndex(0);
  const size_t rowLength = _channels.size();
  if (_sifted) {
    forEachOf(_sieve, tags, count, [&](const TimeTag& tag) {
      const int64_t t = tag.time;
      // Nearly every record falls into the newest bin: no division for it.
      if (_newest != INT64_MIN && t >= _newestFrom && t - _newestFrom < _binWidth)
        ++_bins[_newestColumn * rowLength + size_t(slot[tag.channel] - 1)];
      else
        countIn(tag.channel, floorDiv(t, _binWidth));
    });
    // The window follows the stream, not only its channels: it rolls on as far as any record of
    // the batch would move it, as it does without the sieve.
    if (count > 0) {
      const int64_t k = floorDiv(batchRange().greatest, _binWidth);
      if (_newest == INT64_MIN || k > _newest) rollTo(k);
    }
    return;
  }
  for (size_t i = 0; i < count;) {
    // Nearly every record falls into the newest bin: a loop without division for those, its
    // bounds held in locals (the counts' stores could otherwise alias them).
    if (_newest != INT64_MIN) {
      const int64_t from = _newestFrom;
      const int64_t to = from > INT64_MAX - _binWidth ? INT64_MAX : from + _binWidth;
      int64_t* row = _bins.data() + _newestColumn * rowLength;
      for (; i < count; ++i) {
        const int64_t t = tags[i].time;
        if (t < from || t >= to) break;
        const int16_t s = slot[tags[i].channel];
        if (s != 0) ++row[s - 1];
      }
      if (i == count) break;
    }
    countIn(tags[i].channel, floorDiv(tags[i].time, _binWidth));
    ++i;
  }
}

void TimeTrace::reset() {
  std::fill(_bins.begin(), _bins.end(), 0);
  _newest = INT64_MIN;
  _rolledOut = 0;
}

int64_t TimeTrace::countedLocked() const {
  return std::accumulate(_bins.begin(), _bins.end(), _rolledOut);
}

std::vector<std::vector<int64_t>> TimeTrace::data() const {
  return locked([&] {
    std::vector<std::vector<int64_t>> out(_channels.size(), std::vector<int64_t>(size_t(_nBins), 0));
    if (_newest == INT64_MIN) return out;
    for (size_t c = 0; c < _channels.size(); ++c) {
      const size_t slot = size_t(_slot[tableIndex(_channels[c])] - 1);
      for (int32_t i = 0; i < _nBins; ++i) {
        const int64_t k = _newest - _nBins + 1 + i;
        out[c][size_t(i)] = _bins[size_t(((k % _nBins) + _nBins) % _nBins) * _channels.size() + slot];
      }
    }
    return out;
  });
}

void TimeTrace::reach(int64_t timePs) {
  locked([&] {
    const int64_t k = floorDiv(timePs, _binWidth);
    if (runningLocked() && (_newest == INT64_MIN || k > _newest)) rollTo(k);
    return 0;
  });
}

int64_t TimeTrace::firstBinPs() const {
  return locked([&] { return _newest == INT64_MIN ? 0 : (_newest - _nBins + 1) * _binWidth; });
}

// ---------------------------------------------------------------------------------------------
// StartStop

StartStop::StartStop(int16_t start, int16_t stop, int64_t binWidthPs, int32_t nBins)
    : _start(start), _stop(stop), _sieve({start, stop}), _binWidth(binWidthPs), _binOf(binWidthPs) {
  requireChannel(start);
  requireChannel(stop);
  requireBins(binWidthPs, nBins);
  _counts.assign(size_t(nBins), 0);
}

void StartStop::add(const TimeTag* tags, size_t count) {
  const int64_t range = int64_t(_counts.size()) * _binWidth;
  const BinOf binOf = _binOf;
  const int16_t start = _start, stop = _stop;
  forEachOf(_sieve, tags, count, [&](const TimeTag& tag) {
    const int64_t t = tag.time;
    if (tag.channel == stop) {
      for (size_t k = 0; k < _pending.size(); ++k) {
        const int64_t delay = t - _pending.at(k);
        if (delay >= 0 && delay < range) ++_counts[binOf(delay)];
      }
      _pending.clear();
    }
    if (tag.channel == start && !_pending.push(t)) setOverflowed();
  });
  // A start at s can still end in range only at a stop before s + range.
  const int64_t future = earliestFuturePs();
  if (future != INT64_MIN) _pending.dropBefore(future - range + 1);
}

void StartStop::reset() {
  std::fill(_counts.begin(), _counts.end(), 0);
  _pending.clear();
}

int64_t StartStop::countedLocked() const { return std::accumulate(_counts.begin(), _counts.end(), int64_t(0)); }

std::vector<int64_t> StartStop::data() const {
  return locked([&] { return _counts; });
}

// ---------------------------------------------------------------------------------------------
// Coincidences

Coincidences::Coincidences(std::vector<std::vector<int16_t>> groups, int64_t windowPs)
    : _groups(std::move(groups)), _window(windowPs), _slot(65536, 0), _sieve({}) {
  if (_groups.empty()) throw std::invalid_argument("coincidences need a group of channels");
  if (windowPs < 0 || windowPs > INT64_MAX / 4)
    throw std::invalid_argument("the coincidence window must be 0 ps or more");
  for (size_t g = 0; g < _groups.size(); ++g) {
    if (_groups[g].empty()) throw std::invalid_argument("a coincidence group needs a channel");
    std::vector<int32_t> members;
    for (int16_t ch : _groups[g]) {
      requireChannel(ch);
      int16_t& slot = _slot[tableIndex(ch)];
      if (slot == 0) {
        _channels.push_back(ch);
        _groupsOf.emplace_back();
        slot = int16_t(_channels.size());
      }
      const int32_t index = slot - 1;
      if (std::find(members.begin(), members.end(), index) != members.end()) continue;
      members.push_back(index);
      _groupsOf[size_t(index)].push_back(int32_t(g));
    }
    _members.push_back(members);
  }
  _sieve = ChannelSieve(_channels);
  _latest.assign(_channels.size(), INT64_MIN);
  _counts.assign(_groups.size(), 0);
  // Up to 64 channels: each group as a mask of its channels' indexes.
  if (_channels.size() <= 64) {
    for (const std::vector<int32_t>& members : _members) {
      uint64_t mask = 0;
      for (int32_t m : members) mask |= uint64_t(1) << m;
      _groupMasks.push_back(mask);
    }
  }
  // The same, flat: per channel its groups, each with the other members to look at.
  _checksOf.push_back(0);
  for (size_t c = 0; c < _channels.size(); ++c) {
    for (int32_t g : _groupsOf[c]) {
      const int32_t first = int32_t(_others.size());
      for (int32_t m : _members[size_t(g)])
        if (m != int32_t(c)) _others.push_back(m);
      _checks.push_back({g, first, int32_t(_others.size())});
    }
    _checksOf.push_back(int32_t(_checks.size()));
  }
}

void Coincidences::add(const TimeTag* tags, size_t count) {
  // Everything in locals: the counts' stores could otherwise alias the members.
  const int16_t* slotOf = _slot.data() + tableIndex(0);
  int64_t* latest = _latest.data();
  int64_t* counts = _counts.data();
  const int32_t* checksOf = _checksOf.data();
  const Check* checks = _checks.data();
  const int32_t* others = _others.data();
  const int64_t window = _window;
  if (!_groupMasks.empty()) {
    // Loops of fixed length and no branches: which channels' latest records lie in the
    // window, then each group's test against that.
    const uint64_t* groupMasks = _groupMasks.data();
    const size_t channels = _channels.size(), groups = _groupMasks.size();
    forEachOf(_sieve, tags, count, [&](const TimeTag& tag) {
      const int32_t self = slotOf[tag.channel] - 1;
      const int64_t t = tag.time;
      uint64_t inWindow = 0;
      for (size_t m = 0; m < channels; ++m) {
        const int64_t other = latest[m];
        inWindow |= uint64_t(inWindowBefore(other, t, window)) << m;
      }
      const uint64_t bit = uint64_t(1) << self;
      for (size_t g = 0; g < groups; ++g)
        counts[g] += int64_t(((groupMasks[g] & bit) != 0) & ((groupMasks[g] & ~bit & ~inWindow) == 0));
      latest[self] = t;
    });
    return;
  }
  forEachOf(_sieve, tags, count, [&](const TimeTag& tag) {
    const int32_t self = slotOf[tag.channel] - 1;
    const int64_t t = tag.time;
    for (int32_t k = checksOf[self]; k != checksOf[self + 1]; ++k) {
      const Check& check = checks[k];
      // Every other member's latest record lies in [t - window, t]; tested without branches,
      // as the answer follows the signal.
      bool all = true;
      for (int32_t m = check.othersBegin; m != check.othersEnd; ++m) {
        const int64_t other = latest[others[m]];
        all &= inWindowBefore(other, t, window);
      }
      counts[check.group] += int64_t(all);
    }
    latest[self] = t;
  });
}

void Coincidences::reset() {
  forgetPartners();
  std::fill(_counts.begin(), _counts.end(), 0);
}

void Coincidences::forgetPartners() { std::fill(_latest.begin(), _latest.end(), INT64_MIN); }

int64_t Coincidences::countedLocked() const { return std::accumulate(_counts.begin(), _counts.end(), int64_t(0)); }

std::vector<int64_t> Coincidences::data() const {
  return locked([&] { return _counts; });
}

// ---------------------------------------------------------------------------------------------
// MeasurementSet

void MeasurementSet::add(std::shared_ptr<Measurement> m) {
  if (!m) return;
  std::lock_guard<std::mutex> guard(_lock);
  _measurements.push_back(std::move(m));
  pickChannels();
}

void MeasurementSet::remove(const Measurement* m) {
  std::lock_guard<std::mutex> guard(_lock);
  _measurements.erase(std::remove_if(_measurements.begin(), _measurements.end(),
                                     [m](const std::shared_ptr<Measurement>& p) { return p.get() == m; }),
                      _measurements.end());
  pickChannels();
}

void MeasurementSet::pickChannels() {
  std::fill(_wanted.begin(), _wanted.end(), uint8_t(0));
  for (const auto& m : _measurements)
    if (const ChannelSieve* sieve = m->sieve())
      for (int16_t c : sieve->channels()) _wanted[tableIndex(c)] = 1;
}

size_t MeasurementSet::size() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _measurements.size();
}

void MeasurementSet::feed(const TimeTag* tags, size_t count) {
  {
    std::lock_guard<std::mutex> guard(_lock);
    if (_measurements.empty()) return;
    // A batch goes to the measurements a piece at a time, each piece to all of them in turn, so
    // that the records stay in the processor's cache from one measurement to the next: fed a
    // whole batch each, every measurement would read it from memory again. The measurements
    // count the same whatever the batches.
    // The records of the sieves' channels are picked out of each piece once, for all the
    // measurements with a sieve.
    const uint8_t* wanted = _wanted.data() + tableIndex(0);
    uint16_t* picked = _picked.data();
    for (size_t pos = 0; pos < count; pos += kSetPiece) {
      const TimeTag* piece = tags + pos;
      const size_t n = std::min(kSetPiece, count - pos);
      size_t k = 0;
      const TagRange range = rangeWith(piece, n, [&](size_t i) {
        picked[k] = uint16_t(i);
        k += wanted[piece[i].channel];
      });
      for (const auto& m : _measurements)
        m->feedPicked(piece, n, range, m->sieve() != nullptr ? picked : nullptr, k);
    }
    ++_batches;
  }
  // Without a waiter this only looks at the condition's state.
  _fed.notify_all();
}

uint64_t MeasurementSet::batches() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _batches;
}

uint64_t MeasurementSet::waitForBatch(uint64_t seen, int32_t timeoutMs) const {
  std::unique_lock<std::mutex> hold(_lock);
  _fed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return _batches != seen; });
  return _batches;
}

void MeasurementSet::markOverflowed() {
  std::lock_guard<std::mutex> guard(_lock);
  for (const auto& m : _measurements) m->markOverflowed();
}

void MeasurementSet::newStream() {
  std::lock_guard<std::mutex> guard(_lock);
  for (const auto& m : _measurements) m->newStream();
}
