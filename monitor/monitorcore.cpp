#include "monitor/monitorcore.h"

#include <string.h>

#include <algorithm>

#include "codec/tdc56.h"

namespace {

constexpr uint8_t kNone = 0xFF;
// Decoded in pieces small enough that the codec's output list never overflows: two words
// carry at most three events, and a marker packet at most nine markers.
constexpr int32_t kPieceWords = 4096;
// Records one device may hold while another lags behind; beyond it the oldest are lost.
constexpr size_t kMaxHeld = size_t(1) << 22;
constexpr size_t kBatch = 4096;
// A device that has sent nothing yet (not streaming, or starting late) holds the others back
// for this much of their stream time, then no longer.
constexpr int64_t kStartWaitPs = 100000000000;  // 100 ms

const int32_t kMarkerChannel[9] = {100, 101, 102, 103, 104, 200, 201, 202, 203};

// Decoded channel -> monitor channel, kNone for channels the monitor does not count.
struct LocalChannels {
  uint8_t of[256];
  LocalChannels() {
    memset(of, kNone, sizeof of);
    for (int c = 0; c < 6; ++c) of[c] = uint8_t(c);
    for (int m = 0; m < 9; ++m) of[kMarkerChannel[m]] = uint8_t(6 + m);
  }
};
const LocalChannels kLocal;

}  // namespace

int32_t outputChannel(int32_t chainPos, int32_t local) {
  return 5 * chainPos + (local < 6 ? local : kMarkerChannel[local - 6]);
}

struct MonitorCore::Device {
  // One decoded record waiting for its turn in the merge.
  struct Held {
    int64_t time;
    int16_t channel;  // output channel
    uint8_t local;    // monitor channel 0..14
  };

  Device(const MonitorDevice& d, uint32_t queueWords)
      : info(d), tap(new TapQueue(queueWords)), codec(tdc56Init()), held(1024) {}
  ~Device() { tdc56DeInit(codec); }

  bool empty() const { return heldBegin == heldEnd; }
  const Held& head() const { return held[heldBegin & (held.size() - 1)]; }
  // False when the record could not be kept.
  bool push(const Held& h) {
    if (!reserve(1)) return false;
    held[heldEnd++ & (held.size() - 1)] = h;
    return true;
  }
  // Makes room for `n` more records; false when the bound on the held records does not allow.
  bool reserve(size_t n) {
    while (heldEnd - heldBegin + n > held.size()) {
      if (held.size() >= kMaxHeld) return false;
      std::vector<Held> bigger(held.size() * 2);
      for (uint64_t i = heldBegin; i != heldEnd; ++i) bigger[i - heldBegin] = held[i & (held.size() - 1)];
      held.swap(bigger);
      heldEnd -= heldBegin;
      heldBegin = 0;
    }
    return true;
  }

  MonitorDevice info;
  std::unique_ptr<TapQueue> tap;
  Tdc56Instance* codec;  // owned
  int64_t horizon = INT64_MIN;  // every record up to this stream time is decoded
  int64_t lastGap = INT64_MIN;  // stream time where the latest gap ended
  uint64_t gapWords = 0;        // words of the gaps taken from the tap
  uint64_t skippedWords = 0;    // words whose time alone was followed
  int16_t outputOf[256];  // by monitor channel; the rest for the records not kept
  std::vector<Held> held;       // a ring, its size a power of two
  uint64_t heldBegin = 0, heldEnd = 0;
};

MonitorCore::MonitorCore(const std::vector<MonitorDevice>& devices, uint32_t queueWords)
    : _stamps(new PpTimest[kTdc56ListSize]),
      _rates(std::max<size_t>(devices.size(), 1) * kMonitorChannels, kSlicePs, kRateSlices + 1),
      _batch(new TimeTag[kBatch]) {
  for (const MonitorDevice& d : devices) {
    _devices.emplace_back(new Device(d, queueWords));
    std::fill(std::begin(_devices.back()->outputOf), std::end(_devices.back()->outputOf), -1);
    for (int32_t local = 0; local < kMonitorChannels; ++local)
      _devices.back()->outputOf[local] = int16_t(outputChannel(d.chainPos, local));
  }
  _cursors.resize(_devices.size());
  _nextTimes.resize(_devices.size());
  setCorrelation(CorrelationSettings());
}

MonitorCore::~MonitorCore() {}

TapQueue* MonitorCore::tap(size_t i) { return _devices[i]->tap.get(); }

bool MonitorCore::drain(int32_t maxEntries) {
  std::lock_guard<std::mutex> guard(_lock);
  int32_t done = 0;
  for (; done < maxEntries; ++done) {
    // The device furthest behind in stream time goes first, so that the others' records need
    // not wait long for its.
    Device* next = nullptr;
    TapEntry entry, candidate;
    for (auto& dev : _devices) {
      if ((next == nullptr || dev->horizon < next->horizon) && dev->tap->front(&candidate)) {
        next = dev.get();
        entry = candidate;
      }
    }
    if (next == nullptr) break;
    if (entry.isGap) {
      skip(*next, entry.gap);
      next->gapWords += entry.gap.words;
    } else if (next->tap->crowded()) {
      // Behind: only the time is followed through this block, which is several times faster
      // than decoding it, so that the tap need not drop anything.
      TapGap walked;
      walked.pendingWord = next->codec->pendingWord;
      advanceTime60(&walked, entry.words, entry.count);
      skip(*next, walked);
      next->skippedWords += uint64_t(entry.count);
    } else {
      decodeBlock(*next, entry.words, entry.count);
    }
    next->tap->pop();
    release(false);
  }
  return done > 0;
}

void MonitorCore::lost() { _set.markOverflowed(); }

void MonitorCore::skip(Device& dev, const TapGap& gap) {
  applyGap(dev.codec, gap);
  dev.horizon = dev.codec->lastTime;
  dev.lastGap = dev.horizon;
  lost();
}

void MonitorCore::decodeBlock(Device& dev, const uint32_t* words, int32_t count) {
  for (int32_t pos = 0; pos < count; pos += kPieceWords) {
    tdc56Decode60(dev.codec, words + pos, std::min(kPieceWords, count - pos), dev.info.markers);
    holdStamps(dev, _stamps.get(), tdc56Pop(dev.codec, _stamps.get()));
  }
  dev.horizon = dev.codec->lastTime;
}

void MonitorCore::holdStamps(Device& dev, const PpTimest* stamps, int32_t n) {
  if (dev.reserve(size_t(n))) {
    // Each record is written to the next slot, which moves on only for the channels kept: no
    // branch on the channel.
    Device::Held* held = dev.held.data();
    const uint64_t mask = dev.held.size() - 1;
    uint64_t end = dev.heldEnd;
    for (int32_t i = 0; i < n; ++i) {
      const uint8_t local = kLocal.of[stamps[i].channel];
      held[end & mask] = {stamps[i].time, dev.outputOf[local], local};
      end += local != kNone;
    }
    dev.heldEnd = end;
    return;
  }
  for (int32_t i = 0; i < n; ++i) {
    const uint8_t local = kLocal.of[stamps[i].channel];
    if (local == kNone) continue;
    if (!dev.push({stamps[i].time, dev.outputOf[local], local})) lost();
  }
}

int32_t MonitorCore::nextDevice() const {
  // The merge's choice among the heads: device 0's marker at once; else the earliest, the
  // first on equal times, but a marker met later in the scan displaces an ordinary record.
  int32_t k = -1;
  for (int32_t i = 0; i < int32_t(_devices.size()); ++i) {
    const Device& dev = *_devices[size_t(i)];
    if (dev.empty()) continue;
    const bool marker = dev.head().local >= 6;
    if (k < 0) {
      k = i;
      if (i == 0 && marker) return 0;
    } else if (dev.head().time < _devices[size_t(k)]->head().time || marker) {
      k = i;
    }
  }
  return k;
}

bool MonitorCore::heldBack(int64_t timePs) const {
  for (const auto& other : _devices)
    if (other->empty() && other->horizon <= timePs &&
        (other->horizon != INT64_MIN || timePs + kStartWaitPs > latestHorizon()))
      return true;
  return false;
}

int64_t MonitorCore::settledTime() const {
  const int64_t latest = latestHorizon();
  int64_t settled = INT64_MAX;
  for (const auto& dev : _devices) {
    // Records at or after a device's horizon may still meet earlier ones it decodes next; a
    // device that has sent nothing holds back what lies within kStartWaitPs of the latest.
    const int64_t bound = dev->horizon != INT64_MIN ? dev->horizon - 1
                          : latest < INT64_MIN + kStartWaitPs ? INT64_MIN
                                                              : latest - kStartWaitPs;
    settled = std::min(settled, bound);
  }
  return settled;
}

struct MonitorCore::Cursor {
  const Device::Held* held;
  uint64_t mask;
  uint64_t next;  // the device's next record
  uint64_t stop;  // the first that may not go now
  bool markerAtStop;  // the record at `stop` is a marker: the run ends when it becomes a head
  size_t rateKey;     // the device's first key in _rates
};

void MonitorCore::mergeUpTo(int64_t limit) {
  const size_t n = _devices.size();
  if (n == 0) return;
  int64_t first = INT64_MAX;
  for (size_t d = 0; d < n; ++d) {
    Device& dev = *_devices[d];
    Cursor& c = _cursors[d];
    c = {dev.held.data(), dev.held.size() - 1, dev.heldBegin, dev.heldBegin, false, d * kMonitorChannels};
    // The device's records that may go: ordinary ones up to the limit.
    while (c.stop != dev.heldEnd && c.held[c.stop & c.mask].local < 6 &&
           c.held[c.stop & c.mask].time <= limit)
      ++c.stop;
    c.markerAtStop = c.stop != dev.heldEnd && c.held[c.stop & c.mask].local >= 6;
    // A marker at a head goes by the merge's own rules.
    if (c.markerAtStop && c.stop == c.next) return;
    _nextTimes[d] = c.next != c.stop ? c.held[c.next & c.mask].time : INT64_MAX;
    first = std::min(first, _nextTimes[d]);
  }
  if (first == INT64_MAX) return;
  if (_firstRatePs == INT64_MIN) _firstRatePs = first;
  // Chains of two to four devices, three the usual one, take a loop of fixed length that the
  // compiler unrolls and keeps in registers.
  switch (n) {
    case 2: mergeFixed<2>(); break;
    case 3: mergeFixed<3>(); break;
    case 4: mergeFixed<4>(); break;
    default: mergeCursors(); break;
  }
  for (size_t d = 0; d < n; ++d) _devices[d]->heldBegin = _cursors[d].next;
}

void MonitorCore::mergeCursors() {
  const size_t count = _cursors.size();
  Cursor* cursors = _cursors.data();
  int64_t* times = _nextTimes.data();  // INT64_MAX: none may go
  TimeTag* batch = _batch.get();
  size_t size = _batchSize;
  for (;;) {
    // The earliest next time, the first device on equal times; with masks rather than
    // branches, as the winner changes from record to record.
    size_t best = 0;
    int64_t t = times[0];
    for (size_t d = 1; d < count; ++d) {
      const uint64_t earlier = uint64_t(0) - uint64_t(times[d] < t);  // all ones or none
      best = (best & ~earlier) | (d & earlier);
      t = int64_t((uint64_t(t) & ~earlier) | (uint64_t(times[d]) & earlier));
    }
    if (t == INT64_MAX) break;
    Cursor& c = cursors[best];
    const Device::Held* held = c.held;
    const uint64_t mask = c.mask, next = c.next + 1;
    const Device::Held h = held[(next - 1) & mask];
    // The following record is read before the check (its slot lies in the ring whatever it
    // holds), so that the next round's compare waits for no branch.
    const uint64_t more = uint64_t(0) - uint64_t(next != c.stop);
    times[best] = int64_t((uint64_t(held[next & mask].time) & more) | (uint64_t(INT64_MAX) & ~more));
    c.next = next;
    batch[size++] = {t, h.channel};
    _rates.add(c.rateKey + h.local, t);
    if (size == kBatch) {
      _batchSize = size;
      flush();
      size = 0;
    }
    if (more == 0 && c.markerAtStop) break;
  }
  _batchSize = size;
}

template <size_t kDevices>
void MonitorCore::mergeFixed() {
  // Everything in registers: each device's next record, the end of the stretch it may take
  // now (up to its stop, or the ring's end), where reaching the end ends the run (a marker
  // follows there, or the ring's start), and its next time.
  const Device::Held* at[kDevices];
  const Device::Held* end[kDevices];
  const Device::Held* halt[kDevices];
  int64_t times[kDevices];
  for (size_t d = 0; d < kDevices; ++d) {
    const Cursor& c = _cursors[d];
    const uint64_t ringEnd = (c.next | c.mask) + 1;  // the index where the ring starts over
    const bool wraps = c.stop > ringEnd;
    at[d] = c.held + (c.next & c.mask);
    end[d] = at[d] + ((wraps ? ringEnd : c.stop) - c.next);
    halt[d] = wraps || c.markerAtStop ? end[d] : nullptr;
    times[d] = at[d] != end[d] ? at[d]->time : INT64_MAX;
  }
  TimeTag* batch = _batch.get();
  size_t size = _batchSize;
  for (;;) {
    // The earliest next time, the first device on equal times: each device's test against
    // all others at once, without branches, as the winner changes from record to record.
    uint64_t win[kDevices];
#pragma GCC unroll 4
    for (size_t d = 0; d < kDevices; ++d) {
      bool first = true;
#pragma GCC unroll 4
      for (size_t j = 0; j < kDevices; ++j)
        if (j != d) first &= j < d ? times[d] < times[j] : times[d] <= times[j];
      win[d] = uint64_t(0) - uint64_t(first);
    }
    int64_t t = 0;
    uintptr_t record = 0, stretchEnd = 0;
    size_t device = 0;
#pragma GCC unroll 4
    for (size_t d = 0; d < kDevices; ++d) {
      t |= int64_t(uint64_t(times[d]) & win[d]);
      record |= uintptr_t(at[d]) & win[d];
      stretchEnd |= uintptr_t(end[d]) & win[d];
      device |= d & win[d];
    }
    if (t == INT64_MAX) break;
    const Device::Held* h = reinterpret_cast<const Device::Held*>(record);
    const Device::Held* following = h + 1;
    int64_t followingTime = INT64_MAX;
    if (uintptr_t(following) != stretchEnd) followingTime = following->time;
#pragma GCC unroll 4
    for (size_t d = 0; d < kDevices; ++d) {
      at[d] = win[d] ? following : at[d];
      times[d] = win[d] ? followingTime : times[d];
    }
    batch[size++] = {t, h->channel};
    _rates.add(device * kMonitorChannels + h->local, t);
    if (size == kBatch) {
      _batchSize = size;
      flush();
      size = 0;
    }
    bool halted = false;
#pragma GCC unroll 4
    for (size_t d = 0; d < kDevices; ++d) halted |= at[d] == halt[d];
    if (halted) break;
  }
  _batchSize = size;
  for (size_t d = 0; d < kDevices; ++d) {
    Cursor& c = _cursors[d];
    c.next += uint64_t(at[d] - (c.held + (c.next & c.mask)));
  }
}

void MonitorCore::releaseHead(int32_t k) {
  Device& dev = *_devices[size_t(k)];
  const Device::Held& h = dev.head();
  if (_firstRatePs == INT64_MIN) _firstRatePs = h.time;
  _batch[_batchSize++] = {h.time, h.channel};
  _rates.add(size_t(k) * kMonitorChannels + h.local, h.time);
  ++dev.heldBegin;
  if (_batchSize == kBatch) flush();
}

void MonitorCore::release(bool all) {
  for (;;) {
    mergeUpTo(all ? INT64_MAX : settledTime());
    const int32_t k = nextDevice();
    if (k < 0) break;
    // A device with nothing held may still decode a record before this one.
    if (!all && heldBack(_devices[size_t(k)]->head().time)) break;
    releaseHead(k);
  }
  flush();
  // Everything up to the least horizon of the streaming devices is decoded: quiet channels'
  // bins close too.
  int64_t reached = INT64_MAX;
  for (const auto& dev : _devices)
    if (dev->horizon != INT64_MIN) reached = std::min(reached, dev->horizon);
  if (!all && reached != INT64_MAX) {
    _rates.reach(reached);
    _trace->reach(reached);
  }
}

int64_t MonitorCore::latestHorizon() const {
  int64_t latest = INT64_MIN;
  for (const auto& dev : _devices) latest = std::max(latest, dev->horizon);
  return latest;
}

void MonitorCore::flush() {
  if (_batchSize == 0) return;
  if (_virtuals) {
    _withVirtual.clear();
    _virtuals->push(_batch.get(), _batchSize, &_withVirtual);
    feedWithVirtual();
  } else {
    _set.feed(_batch.get(), _batchSize);
  }
  _batchSize = 0;
}

void MonitorCore::feedWithVirtual() {
  if (_virtuals->overflowed()) _set.markOverflowed();
  _set.feed(_withVirtual.data(), _withVirtual.size());
}

void MonitorCore::finish() {
  std::lock_guard<std::mutex> guard(_lock);
  release(true);
  if (_virtuals && !_finished) {
    _withVirtual.clear();
    _virtuals->finish(&_withVirtual);
    feedWithVirtual();
  }
  _finished = true;
}

void MonitorCore::setVirtualChannels(std::vector<VirtualChannel> definitions) {
  std::unique_ptr<VirtualChannels> stage(
      definitions.empty() ? nullptr : new VirtualChannels(std::move(definitions)));
  std::lock_guard<std::mutex> guard(_lock);
  _virtuals = std::move(stage);
}

void MonitorCore::setCorrelation(const CorrelationSettings& settings) {
  std::lock_guard<std::mutex> guard(_lock);
  auto histogram = std::make_shared<Correlation>(
      int16_t(settings.channelA), int16_t(settings.channelB), settings.binWidthPs,
      int32_t(binCount(settings)), -settings.rangePs, settings.rangePs);
  auto trace = std::make_shared<TimeTrace>(
      std::vector<int16_t>{int16_t(settings.channelA), int16_t(settings.channelB)}, kTraceBinPs,
      kTraceBins);
  if (_histogram) _set.remove(_histogram.get());
  if (_trace) _set.remove(_trace.get());
  _settings = settings;
  _histogram = histogram;
  _trace = trace;
  _set.add(_histogram);
  _set.add(_trace);
}

void MonitorCore::resetHistogram() {
  std::lock_guard<std::mutex> guard(_lock);
  _histogram->clear();
  _trace->clear();
}

MonitorSnapshot MonitorCore::snapshot() const {
  std::lock_guard<std::mutex> guard(_lock);
  MonitorSnapshot snap;
  // The complete slices of the last second: not the one being filled, nor the first, which
  // began mid-way.
  const std::vector<std::vector<int64_t>> slices = _rates.data();
  const int64_t current = _rates.firstBinPs() / kSlicePs + kRateSlices;
  const int64_t complete =
      _firstRatePs == INT64_MIN
          ? 0
          : std::max<int64_t>(0, std::min<int64_t>(kRateSlices, current - _firstRatePs / kSlicePs - 1));
  const double seconds = double(complete) * double(kSlicePs) / 1e12;
  for (size_t d = 0; d < _devices.size(); ++d) {
    const Device& dev = *_devices[d];
    DeviceRates rates;
    for (int32_t c = 0; c < kMonitorChannels; ++c) {
      const std::vector<int64_t>& bins = slices[d * kMonitorChannels + size_t(c)];
      int64_t sum = 0;
      for (int64_t k = kRateSlices - complete; k < kRateSlices; ++k) sum += bins[size_t(k)];
      rates.perSecond[c] = seconds > 0 ? double(sum) / seconds : 0;
    }
    rates.toPs = _firstRatePs == INT64_MIN ? 0 : std::max<int64_t>(current, 0) * kSlicePs;
    rates.fromPs = rates.toPs - complete * kSlicePs;
    // A gap still open in the tap has not reached the decoder yet.
    const uint64_t dropped = dev.tap->droppedWords();
    if (dropped > dev.gapWords) snap.histogramPartial = true;
    if (dev.lastGap >= rates.fromPs || dropped > dev.gapWords) snap.behind = true;
    snap.droppedWords += dropped;
    snap.skippedWords += dev.skippedWords;
    snap.devices.push_back(rates);
  }
  snap.correlation = _settings;
  const std::vector<int64_t> counts = _histogram->data();
  snap.histogram.assign(counts.begin(), counts.end());
  snap.histogramSeconds = double(_histogram->spanPs()) / 1e12;
  snap.histogramPartial = snap.histogramPartial || _histogram->overflowed();
  snap.peak = findPeak(snap.histogram, snap.correlation, snap.histogramSeconds);
  snap.trace = _trace->data();
  snap.traceFromPs = _trace->firstBinPs();
  snap.finished = _finished;
  return snap;
}
