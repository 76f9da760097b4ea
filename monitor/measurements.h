// Measurements of the merged record stream of a chain: count rates, correlation and start-stop
// histograms, time traces and coincidence counts, fed live while a recording runs (or from any
// stream of merged records) and read at any time from any thread.
//
// What every measurement sees:
// - Records come in merge order, the order of the merged outputs: nearly in time order (ps on
//   the chain's common time axis). The merge writes a marker (channels 100 and up) at a device's
//   head before earlier records of other devices, and that can also let one device's record
//   pass an earlier one of another; so a record may come up to kMaxStepBackPs earlier than the
//   latest before it, and the measurements count such records exactly.
// - Loss records (negative channels) are never events of a measurement, and a measurement
//   refuses negative channels; like every other record they extend the span.
// - The span is the stream time covered by the records fed while running since the last
//   clear, whatever their channel: the sum over the stretches fed, each from its smallest to
//   its largest time (for a stream without markers its last time - its first time). A stretch
//   ends at stop() and where a new stream begins (newStream()), so a pause or the time between
//   two recordings is never counted. Rates and g(2) divide by it, so they follow the stream
//   time the measurement saw, never the wall clock.
// - Each measurement is exact: its data equal the analysis of the same records written down
//   below, "before" and "after" meaning earlier and later in merge order. When that cannot hold
//   (the live path dropped records, a record stepped back further than kMaxStepBackPs, a history
//   outgrew its bound) overflowed() says so until the next clear.
//
// Threads: every public method may be called from any thread; each measurement has a lock of
// its own, held while it is fed and while its data are copied out.
#ifndef RAVIK_MONITOR_MEASUREMENTS_H
#define RAVIK_MONITOR_MEASUREMENTS_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

// One merged record: ps on the chain's time axis, output channel (5 x chain position + input,
// markers 100 and up, loss records negative).
struct TimeTag {
  int64_t time;
  int16_t channel;
};

// How much earlier than the latest record before it a record may come and still be counted
// exactly. The merge's steps back are as long as a device's quiet stretches, tens of
// microseconds; this leaves ample room and costs only memory.
constexpr int64_t kMaxStepBackPs = 10000000000;  // 10 ms
// Largest number of bins of a histogram or time trace, per channel.
constexpr int32_t kMaxMeasurementBins = 1 << 24;
// Largest number of recent records one measurement keeps to find its pairs; beyond it the
// measurement is marked overflowed rather than growing without end.
constexpr size_t kMaxHistory = size_t(1) << 24;

// What every measurement needs to know of a batch of records beyond the records themselves,
// worked out once per batch for all the measurements it goes to.
struct TagRange {
  int64_t least = INT64_MAX;    // the smallest time
  int64_t greatest = INT64_MIN;  // the largest
  // A record comes more than kMaxStepBackPs earlier than the latest before it in the batch.
  bool stepsBackTooFar = false;
};
TagRange rangeOf(const TimeTag* tags, size_t count);

// x / width for 0 <= x < 2^24 widths (a histogram's delays), without a division instruction
// on the way of every pair: a multiply by the inverse, then one correction either way. The
// product's rounding error is far below one bin for such quotients, so the result is exact.
class BinOf {
public:
  explicit BinOf(int64_t width) : _width(width), _inverse(1.0 / double(width)) {}
  size_t operator()(int64_t x) const {
    int64_t q = int64_t(double(x) * _inverse);
    q -= int64_t(q * _width > x);
    q += int64_t((q + 1) * _width <= x);
    return size_t(q);
  }

private:
  int64_t _width;
  double _inverse;
};

class ChannelSieve;

// Base of all measurements. A new measurement is running. Constructors throw
// std::invalid_argument for settings that cannot be measured (negative channels, bins < 1 ps,
// no bins or more than kMaxMeasurementBins, ranges beyond the 64-bit time axis).
class Measurement {
public:
  virtual ~Measurement();
  Measurement(const Measurement&) = delete;
  Measurement& operator=(const Measurement&) = delete;

  // The live path: `count` records in merge order. Ignored while stopped.
  void feed(const TimeTag* tags, size_t count);
  // The same, with rangeOf(tags, count) already at hand.
  void feed(const TimeTag* tags, size_t count, const TagRange& range);
  void start();
  void stop();
  bool running() const;
  // Forgets the data, the span and the overflow; keeps running or stopped. While stopped and
  // started again without a clear, the data go on from where they were (the span leaves the
  // stopped stretch out).
  void clear();
  // The live path: the records that come next are those of a new stream (the chain's next
  // recording), which may start anywhere on the time axis. The data go on; the span adds the
  // new stream's stretch to the earlier ones, and no record of it pairs with, or counts as a
  // step back from, a record of an earlier stream.
  void newStream();
  // The live path dropped records (or see above) since the last clear.
  bool overflowed() const;
  // Called by the live path when it drops records.
  void markOverflowed();
  // Stream time covered since the last clear, in ps: the sum of the stretches' spans (0 before
  // two records).
  int64_t spanPs() const;
  // The counts the measurement has put into its data since the last clear: the sum of its
  // histogram's bins (or of the counts per channel or group); for a TimeTrace, every record it
  // counted in a bin, also in the bins since rolled out of its window. What a wait for a number
  // of events looks at. -1: a measurement that does not count so.
  int64_t counted() const;

protected:
  Measurement();
  // Under the measurement's lock; `tags` as fed, while running.
  virtual void add(const TimeTag* tags, size_t count) = 0;
  // Under the lock: forget the data.
  virtual void reset() = 0;
  // Under the lock: forget the records kept to pair with later ones (a new stream begins).
  virtual void forgetPartners() {}
  // Under the lock: see counted(). A measurement whose data are no counts keeps this one.
  virtual int64_t countedLocked() const { return -1; }
  // A measurement whose add() looks at the records of a few channels only, each through
  // forEachOf() with this sieve, returns it: a MeasurementSet then picks the records of all such
  // measurements' channels out of a batch once, and each of them visits only those.
  virtual const ChannelSieve* sieve() const { return nullptr; }
  // For add(): calls f(record) for each record of the sieve's channels in the batch being added,
  // in order.
  template <typename F>
  void forEachOf(const ChannelSieve& sieve, const TimeTag* tags, size_t count, F f) const;
  // For add(): what rangeOf() says of the batch being added.
  const TagRange& batchRange() const { return _batchRange; }
  // For add(): flags the data as not exact (a full history).
  void setOverflowed() { _overflowed = true; }
  // For add(): the smallest time a record still to come can have, going by the records fed
  // before this call; INT64_MIN while unknown.
  int64_t earliestFuturePs() const;
  // Runs `f` under the lock and returns its result.
  template <typename F>
  auto locked(F f) const {
    std::lock_guard<std::mutex> guard(_lock);
    return f();
  }
  // Under the lock.
  bool runningLocked() const { return _running; }
  int64_t spanLocked() const;
  double spanSeconds() const;

private:
  friend class MeasurementSet;
  // feed() with `picked`, when not null, the positions in `tags` (in order) of `pickedCount`
  // records among which are all those of the sieve()'s channels.
  void feedPicked(const TimeTag* tags, size_t count, const TagRange& range, const uint16_t* picked,
                  size_t pickedCount);
  // Under the lock: adds the stretch being fed to the span and begins a new one.
  void endStretch();

  mutable std::mutex _lock;
  bool _running = true;
  bool _overflowed = false;
  int64_t _streamLatest = INT64_MIN;  // largest time fed of this stream since the clear
  int64_t _from = INT64_MAX;    // smallest time of the stretch being fed
  int64_t _to = INT64_MIN;      // its largest
  int64_t _spanEnded = 0;       // the spans of the stretches before it since the clear
  // While add() runs: the batch's range, and the records picked for the sieve (null: none).
  TagRange _batchRange;
  const uint16_t* _picked = nullptr;
  size_t _pickedCount = 0;
};

// The records of a few channels out of a batch, for a measurement that looks at those alone:
// picked a chunk at a time without branches (the channels follow the signal, which no branch
// predicts), so that the measurement's own loop runs over them only.
class ChannelSieve {
public:
  explicit ChannelSieve(const std::vector<int16_t>& channels);
  const std::vector<int16_t>& channels() const { return _channels; }
  // Calls f(record) for each record of the channels, in order.
  template <typename F>
  void forEach(const TimeTag* tags, size_t count, F f) const {
    forEach(tags, count, f, [](const TimeTag&) {});
  }
  // The same, calling every(record) for every record on the way, before f sees the records of
  // its chunk.
  template <typename F, typename G>
  void forEach(const TimeTag* tags, size_t count, F f, G every) const;
  // The same for the records at positions `picked` (`n` of them, in order), among which are all
  // those of the channels.
  template <typename F>
  void forEachPicked(const TimeTag* tags, const uint16_t* picked, size_t n, F f) const;

private:
  std::vector<int16_t> _channels;
  std::vector<uint8_t> _wanted;  // 1 for the channels, by channel + 32768
};

template <typename F, typename G>
inline void ChannelSieve::forEach(const TimeTag* tags, size_t count, F f, G every) const {
  constexpr size_t kChunk = 256;
  uint16_t picked[kChunk];
  const uint8_t* wanted = _wanted.data() + 32768;  // channel 0
  for (size_t pos = 0; pos < count; pos += kChunk) {
    const TimeTag* chunk = tags + pos;
    const size_t n = std::min(kChunk, count - pos);
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
      picked[k] = uint16_t(i);
      k += wanted[chunk[i].channel];
      every(chunk[i]);
    }
    for (size_t j = 0; j < k; ++j) f(chunk[picked[j]]);
  }
}

template <typename F>
inline void ChannelSieve::forEachPicked(const TimeTag* tags, const uint16_t* picked, size_t n, F f) const {
  constexpr size_t kChunk = 256;
  uint16_t mine[kChunk];
  const uint8_t* wanted = _wanted.data() + 32768;
  for (size_t pos = 0; pos < n; pos += kChunk) {
    const uint16_t* chunk = picked + pos;
    const size_t m = std::min(kChunk, n - pos);
    size_t k = 0;
    for (size_t i = 0; i < m; ++i) {
      mine[k] = chunk[i];
      k += wanted[tags[chunk[i]].channel];
    }
    for (size_t j = 0; j < k; ++j) f(tags[mine[j]]);
  }
}

template <typename F>
inline void Measurement::forEachOf(const ChannelSieve& sieve, const TimeTag* tags, size_t count, F f) const {
  if (_picked != nullptr)
    sieve.forEachPicked(tags, _picked, _pickedCount, f);
  else
    sieve.forEach(tags, count, f);
}

// Recent times of one channel in arrival order, oldest first, for a measurement that pairs
// them with records still to come. Up to kMaxHistory of them.
class TimeHistory {
public:
  // A `marked` history keeps an int32 mark beside each time.
  explicit TimeHistory(bool marked = false) : _marked(marked) {}
  // False when the history was full and its oldest time had to go.
  bool push(int64_t t) {
    _stepBack = std::max(_stepBack, t < _latest ? _latest - t : 0);
    _latest = std::max(_latest, t);
    if (size() == _times.size()) return pushFull(t);
    _times[_end++ & (_times.size() - 1)] = t;
    return true;
  }
  // The same, with a mark kept beside the time (markAt()), for a history made `marked`.
  bool push(int64_t t, int32_t mark) {
    const bool kept = push(t);
    _marks[(_end - 1) & (_marks.size() - 1)] = mark;
    return kept;
  }
  // Drops the oldest times while they are below `t`.
  void dropBefore(int64_t t);
  void clear() {
    _begin = _end = 0;
    _latest = INT64_MIN;
    _stepBack = 0;
  }
  // The longest step back so far: no time is more than this above a later one.
  int64_t stepBack() const { return _stepBack; }
  size_t size() const { return size_t(_end - _begin); }
  // The i-th oldest time.
  int64_t at(size_t i) const { return _times[(_begin + i) & (_times.size() - 1)]; }
  // The mark of the i-th oldest time (a marked history).
  int32_t markAt(size_t i) const { return _marks[(_begin + i) & (_marks.size() - 1)]; }

private:
  bool pushFull(int64_t t);
  void grow();

  std::vector<int64_t> _times;  // a ring, its size a power of two
  std::vector<int32_t> _marks;  // a marked history's marks, beside _times and of its size
  bool _marked;
  int64_t _latest = INT64_MIN;  // the largest time pushed
  int64_t _stepBack = 0;
  uint64_t _begin = 0, _end = 0;
};

// Events per second of each channel: records of the channel fed since the last clear divided
// by the span.
class CountRate : public Measurement {
public:
  explicit CountRate(std::vector<int16_t> channels);
  const std::vector<int16_t>& channels() const { return _channels; }
  // Per channel, in the order given.
  std::vector<int64_t> counts() const;
  // counts / (spanPs * 1e-12); 0 while the span is 0.
  std::vector<double> data() const;

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  int64_t countedLocked() const override;

private:
  std::vector<int16_t> _channels;
  std::vector<int64_t> _counts;  // [0]: the records of the other channels
  std::vector<int16_t> _slot;    // channel -> index in _counts, 0: not counted
};

// Histogram of t(b) - t(a) over every pair of a record of channel a and a record of channel b
// (two different records when a = b, each unordered pair then counted once with each sign).
// Bin i holds delays d with lowPs + i*binWidthPs <= d < lowPs + (i+1)*binWidthPs and d < highPs;
// by default lowPs = -(nBins/2)*binWidthPs and highPs = lowPs + nBins*binWidthPs.
class Correlation : public Measurement {
public:
  Correlation(int16_t a, int16_t b, int64_t binWidthPs, int32_t nBins);
  // Bins from `lowPs`, delays below `highPs` only (which may cut the last bin short);
  // lowPs < highPs <= lowPs + nBins*binWidthPs.
  Correlation(int16_t a, int16_t b, int64_t binWidthPs, int32_t nBins, int64_t lowPs,
              int64_t highPs);

  int16_t channelA() const { return _a; }
  int16_t channelB() const { return _b; }
  int64_t binWidthPs() const { return _binWidth; }
  int64_t lowPs() const { return _low; }
  int64_t highPs() const { return _high; }

  std::vector<int64_t> data() const;
  // nBins + 1 edges: lowPs + i*binWidthPs.
  std::vector<int64_t> binEdgesPs() const;
  // g(2): counts / (rate_a * rate_b * binWidth_s * span_s), rates = records of a (of b) since
  // the clear / span_s; a bin cut short by highPs counts with its own width. All 0 while the
  // span or either count is 0.
  std::vector<double> normalized() const;
  // Records of a and of b since the clear.
  int64_t countA() const;
  int64_t countB() const;

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  int64_t countedLocked() const override;
  const ChannelSieve* sieve() const override { return &_sieve; }
  void forgetPartners() override;

private:
  // Counts the pairs of a new record at `t` with the kept records of `partner`; kSign +1
  // when the new record is of b (d = t - partner), -1 when it is of a (d = partner - t).
  template <int kSign>
  void pairWith(const TimeHistory& partner, int64_t t);

  int16_t _a, _b;
  ChannelSieve _sieve;
  int64_t _binWidth;
  BinOf _binOf;
  int64_t _low, _high;
  std::vector<int64_t> _counts;
  TimeHistory _histA, _histB;  // the recent records of a and of b (only _histA when a = b)
  int64_t _nA = 0, _nB = 0;
};

// Counts per time bin of each channel over the last nBins bins: bins are [k*binWidthPs,
// (k+1)*binWidthPs) on the time axis, and the last one holds the largest time fed since the
// clear. Bins before the first record are 0.
class TimeTrace : public Measurement {
public:
  TimeTrace(std::vector<int16_t> channels, int64_t binWidthPs, int32_t nBins);
  const std::vector<int16_t>& channels() const { return _channels; }
  int64_t binWidthPs() const { return _binWidth; }
  int32_t binCount() const { return _nBins; }

  // [channel index][bin], oldest bin first.
  std::vector<std::vector<int64_t>> data() const;
  // Lower edge of the oldest bin in ps; 0 before the first record.
  int64_t firstBinPs() const;
  // The stream has passed `timePs` (a live path that knows it decoded everything up to there):
  // the window rolls on as a record at that time would move it, so that a quiet stretch shows
  // as empty bins. Ignored while stopped; counts nothing and does not change the span.
  void reach(int64_t timePs);

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  int64_t countedLocked() const override;
  const ChannelSieve* sieve() const override { return _sifted ? &_sieve : nullptr; }

private:
  // Moves the window so that bin `k` is its newest, emptying the bins it enters.
  void rollTo(int64_t k);

  // Counts a record of `channel` in the bin of index k: the window first rolls on when k is
  // newer; a bin already rolled out is not counted.
  void countIn(int16_t channel, int64_t k);

  std::vector<int16_t> _channels;
  std::vector<int16_t> _slot;  // channel -> index + 1, 0: not traced
  // For a trace of a few channels, which most records are not of: add() sifts them first.
  bool _sifted;
  ChannelSieve _sieve;
  int64_t _binWidth;
  int32_t _nBins;
  std::vector<int64_t> _bins;  // ring: [k mod nBins][channel], the newest bin's counts together
  int64_t _newest = INT64_MIN;  // index k of the newest bin
  int64_t _newestFrom = 0;      // its lower edge
  size_t _newestColumn = 0;     // its place in the ring
  int64_t _rolledOut = 0;       // the counts of the bins emptied as the window rolled on
};

// Histogram of the delay from each start record to the next stop record: the first record of
// the stop channel that comes after the start in merge order (after it, not at it, when start
// and stop are the same channel). Bin i: i*binWidthPs <= delay < (i+1)*binWidthPs; other
// delays (a negative one can only come from a marker) are not counted. Several starts before
// one stop all end at that stop; a start whose stop has not come yet waits for it.
class StartStop : public Measurement {
public:
  StartStop(int16_t start, int16_t stop, int64_t binWidthPs, int32_t nBins);
  int16_t startChannel() const { return _start; }
  int16_t stopChannel() const { return _stop; }
  int64_t binWidthPs() const { return _binWidth; }

  std::vector<int64_t> data() const;

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  int64_t countedLocked() const override;
  const ChannelSieve* sieve() const override { return &_sieve; }
  void forgetPartners() override { _pending.clear(); }

private:
  int16_t _start, _stop;
  ChannelSieve _sieve;
  int64_t _binWidth;
  BinOf _binOf;
  std::vector<int64_t> _counts;
  TimeHistory _pending;  // starts waiting for their stop
};

// Per group of channels, the coincidences of the group: a record of one of its channels at time
// t counts one when, for every other channel of the group, the latest record of that channel
// before it in merge order has a time in [t - windowPs, t]. So each record that completes the
// group within the window counts; a group of one channel counts its records. A channel named
// twice in a group counts once.
class Coincidences : public Measurement {
public:
  Coincidences(std::vector<std::vector<int16_t>> groups, int64_t windowPs);
  const std::vector<std::vector<int16_t>>& groups() const { return _groups; }
  int64_t windowPs() const { return _window; }

  // Per group, in the order given.
  std::vector<int64_t> data() const;

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  int64_t countedLocked() const override;
  const ChannelSieve* sieve() const override { return &_sieve; }
  void forgetPartners() override;

private:
  std::vector<std::vector<int16_t>> _groups;
  int64_t _window;
  std::vector<int16_t> _channels;  // every channel of any group, each once
  std::vector<int16_t> _slot;      // channel -> index in _channels + 1, 0: none
  ChannelSieve _sieve;             // _channels
  std::vector<int64_t> _latest;    // per index in _channels: its latest time, INT64_MIN: none
  std::vector<std::vector<int32_t>> _groupsOf;  // per index in _channels: the groups with it
  std::vector<std::vector<int32_t>> _members;   // per group: indexes in _channels
  // Beyond 64 channels, what add() looks at for a record of channel index c: _checks[_checksOf[c] ..
  // _checksOf[c + 1]), one per group with c, each naming the group's other members as a range
  // of _others (indexes in _channels).
  struct Check {
    int32_t group, othersBegin, othersEnd;
  };
  std::vector<uint64_t> _groupMasks;  // per group, bit i for _channels[i]; empty beyond 64
  std::vector<int32_t> _checksOf;
  std::vector<Check> _checks;
  std::vector<int32_t> _others;
  std::vector<int64_t> _counts;
};

// What a live path feeds: the measurements attached to it. add() and remove() may come from any
// thread at any time; they wait for a feed in progress to end.
class MeasurementSet {
public:
  // The records of a batch that reach every measurement before the next ones do (see feed()).
  static constexpr size_t kSetPiece = 8192;

  void add(std::shared_ptr<Measurement> m);
  void remove(const Measurement* m);
  size_t size() const;
  // Feeds every measurement attached, then wakes the waiters of waitForBatch().
  void feed(const TimeTag* tags, size_t count);
  // Runs `f` between two batches: no batch reaches a part of the measurements before `f` and
  // the rest after it. For acting on several measurements at one stream time.
  template <typename F>
  auto together(F f) {
    std::lock_guard<std::mutex> guard(_lock);
    return f();
  }
  // The number of batches fed so far.
  uint64_t batches() const;
  // Waits until a batch after the first `seen` has been fed, or at most `timeoutMs`; the number
  // of batches fed then. A waiter that looked at the measurements after reading batches() misses
  // no batch.
  uint64_t waitForBatch(uint64_t seen, int32_t timeoutMs) const;
  // The live path dropped records: every measurement attached now is overflowed.
  void markOverflowed();
  // A new stream begins (see Measurement::newStream()) for every measurement attached now.
  void newStream();

private:
  // Under _lock: _wanted for the measurements attached now.
  void pickChannels();

  mutable std::mutex _lock;
  mutable std::condition_variable _fed;  // with _lock: a batch was fed
  uint64_t _batches = 0;
  std::vector<std::shared_ptr<Measurement>> _measurements;
  // Under _lock: 1 for the channels of every measurement's sieve(), by channel + 32768; and
  // where feed() picks the records of those channels out of a piece of a batch.
  std::vector<uint8_t> _wanted = std::vector<uint8_t>(65536, 0);
  std::vector<uint16_t> _picked = std::vector<uint16_t>(kSetPiece);
};

#endif
