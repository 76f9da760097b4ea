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

std::vector<int16_t> monitorKeys(size_t devices) {
  std::vector<int16_t> keys(devices * kMonitorChannels);
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = int16_t(i);
  return keys;
}

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
    if (heldEnd - heldBegin == held.size()) {
      if (held.size() >= kMaxHeld) return false;
      std::vector<Held> bigger(held.size() * 2);
      for (uint64_t i = heldBegin; i != heldEnd; ++i) bigger[i - heldBegin] = held[i & (held.size() - 1)];
      held.swap(bigger);
      heldEnd -= heldBegin;
      heldBegin = 0;
    }
    held[heldEnd++ & (held.size() - 1)] = h;
    return true;
  }

  MonitorDevice info;
  std::unique_ptr<TapQueue> tap;
  Tdc56Instance* codec;  // owned
  int64_t horizon = INT64_MIN;  // every record up to this stream time is decoded
  int64_t lastGap = INT64_MIN;  // stream time where the latest gap ended
  uint64_t gapWords = 0;        // words of the gaps taken from the tap
  uint64_t skippedWords = 0;    // words whose time alone was followed
  int16_t outputOf[kMonitorChannels];
  std::vector<Held> held;       // a ring, its size a power of two
  uint64_t heldBegin = 0, heldEnd = 0;
};

MonitorCore::MonitorCore(const std::vector<MonitorDevice>& devices, uint32_t queueWords)
    : _stamps(new PpTimest[kTdc56ListSize]),
      _rates(monitorKeys(std::max<size_t>(devices.size(), 1)), kSlicePs, kRateSlices + 1) {
  for (const MonitorDevice& d : devices) {
    _devices.emplace_back(new Device(d, queueWords));
    for (int32_t local = 0; local < kMonitorChannels; ++local)
      _devices.back()->outputOf[local] = int16_t(outputChannel(d.chainPos, local));
  }
  _batch.reserve(kBatch);
  _rateBatch.reserve(kBatch);
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

void MonitorCore::lost() {
  _set.markOverflowed();
  _rates.markOverflowed();
}

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

void MonitorCore::release(bool all) {
  for (int32_t k; (k = nextDevice()) >= 0;) {
    Device& dev = *_devices[size_t(k)];
    const Device::Held h = dev.head();
    // A device with nothing held may still decode a record before this one.
    if (!all)
      for (const auto& other : _devices)
        if (other->empty() && other->horizon <= h.time &&
            (other->horizon != INT64_MIN || h.time + kStartWaitPs > latestHorizon())) {
          flush();
          return;
        }
    ++dev.heldBegin;
    _batch.push_back({h.time, h.channel});
    _rateBatch.push_back({h.time, int16_t(size_t(k) * kMonitorChannels + h.local)});
    if (_firstRatePs == INT64_MIN) _firstRatePs = h.time;
    if (_batch.size() == kBatch) flush();
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
  if (_batch.empty()) return;
  _set.feed(_batch.data(), _batch.size());
  _rates.feed(_rateBatch.data(), _rateBatch.size());
  _batch.clear();
  _rateBatch.clear();
}

void MonitorCore::finish() {
  std::lock_guard<std::mutex> guard(_lock);
  release(true);
  _finished = true;
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
