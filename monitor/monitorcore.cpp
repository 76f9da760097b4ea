#include "monitor/monitorcore.h"

#include <string.h>

#include <algorithm>

#include "codec/tdc56.h"

namespace {

constexpr uint8_t kNone = 0xFF;
constexpr uint8_t kSelectA = 1;
constexpr uint8_t kSelectB = 2;
// Decoded in pieces small enough that the codec's output list never overflows: two words
// carry at most three events, and a marker packet at most nine markers.
constexpr int32_t kPieceWords = 4096;
constexpr uint32_t kHeldCapacity = 1u << 16;

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
  struct Held {
    int64_t time;
    uint8_t select;
  };

  Device(const MonitorDevice& d, uint32_t queueWords)
      : info(d), tap(new TapQueue(queueWords)), codec(tdc56Init()), held(kHeldCapacity) {}
  ~Device() { tdc56DeInit(codec); }

  MonitorDevice info;
  std::unique_ptr<TapQueue> tap;
  Tdc56Instance* codec;  // owned
  int64_t horizon = 0;   // every event up to this stream time is decoded

  // Rates: the slice being counted and the last kRateSlices complete ones.
  int64_t slice = -1;
  int64_t sliceEnd = INT64_MIN;
  bool firstSlice = true;  // began mid-way through: never counted
  uint32_t current[kMonitorChannels] = {};
  uint32_t done[kRateSlices][kMonitorChannels] = {};
  int32_t doneCount = 0, doneNext = 0;
  int64_t lastGap = INT64_MIN;  // stream time where the latest gap ended
  uint64_t gapWords = 0;         // words of the gaps taken from the tap
  uint64_t skippedWords = 0;     // words whose time alone was followed

  // Events of the correlated channels, held until every device with such channels has
  // decoded up to their time.
  uint8_t select[kMonitorChannels] = {};
  std::vector<Held> held;
  uint64_t heldBegin = 0, heldEnd = 0;
};

MonitorCore::MonitorCore(const std::vector<MonitorDevice>& devices, uint32_t queueWords)
    : _stamps(new PpTimest[kTdc56ListSize]), _correlator(CorrelationSettings()) {
  for (const MonitorDevice& d : devices) _devices.emplace_back(new Device(d, queueWords));
  selectChannels();
}

MonitorCore::~MonitorCore() {}

TapQueue* MonitorCore::tap(size_t i) { return _devices[i]->tap.get(); }

void MonitorCore::selectChannels() {
  const CorrelationSettings& s = _correlator.settings();
  for (auto& dev : _devices) {
    for (int32_t local = 0; local < kMonitorChannels; ++local) {
      const int32_t out = outputChannel(dev->info.chainPos, local);
      dev->select[local] = uint8_t((out == s.channelA ? kSelectA : 0) |
                                   (out == s.channelB ? kSelectB : 0));
    }
    dev->heldBegin = dev->heldEnd = 0;
  }
}

bool MonitorCore::drain(int32_t maxEntries) {
  std::lock_guard<std::mutex> guard(_lock);
  int32_t done = 0;
  for (; done < maxEntries; ++done) {
    // The device furthest behind in stream time goes first, so that the correlated channels'
    // events need not wait long for each other.
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
    release(releaseBound());
  }
  return done > 0;
}

void MonitorCore::skip(Device& dev, const TapGap& gap) {
  applyGap(dev.codec, gap);
  dev.horizon = dev.codec->lastTime;
  dev.lastGap = dev.horizon;
  _gapSinceReset = true;
}

void MonitorCore::decodeBlock(Device& dev, const uint32_t* words, int32_t count) {
  for (int32_t pos = 0; pos < count; pos += kPieceWords) {
    tdc56Decode60(dev.codec, words + pos, std::min(kPieceWords, count - pos), dev.info.markers);
    countStamps(dev, _stamps.get(), tdc56Pop(dev.codec, _stamps.get()));
  }
  dev.horizon = dev.codec->lastTime;
  // Time advances close the slices of quiet channels too.
  if (dev.horizon >= dev.sliceEnd) closeSlices(dev, dev.horizon);
}

void MonitorCore::countStamps(Device& dev, const PpTimest* stamps, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const int64_t t = stamps[i].time;
    if (t >= dev.sliceEnd) closeSlices(dev, t);
    const uint8_t local = kLocal.of[stamps[i].channel];
    if (local == kNone) continue;
    ++dev.current[local];
    if (dev.select[local] == 0) continue;
    if (dev.heldEnd - dev.heldBegin == kHeldCapacity) {
      ++dev.heldBegin;  // another device lags far behind: its partners are lost
      _gapSinceReset = true;
    }
    dev.held[dev.heldEnd++ % kHeldCapacity] = {t, dev.select[local]};
  }
}

void MonitorCore::closeSlices(Device& dev, int64_t time) {
  if (time < 0) return;
  const int64_t now = time / kSlicePs;
  if (dev.slice >= 0) {
    // After a long quiet stretch, kRateSlices + 1 empty slices clear everything.
    for (int64_t k = 0; k < now - dev.slice && k <= kRateSlices; ++k) {
      if (!dev.firstSlice) {
        memcpy(dev.done[dev.doneNext], dev.current, sizeof dev.current);
        dev.doneNext = (dev.doneNext + 1) % kRateSlices;
        dev.doneCount = std::min(dev.doneCount + 1, kRateSlices);
      }
      dev.firstSlice = false;
      memset(dev.current, 0, sizeof dev.current);
    }
  }
  dev.slice = now;
  dev.sliceEnd = (now + 1) * kSlicePs;
}

int64_t MonitorCore::releaseBound() const {
  int64_t bound = INT64_MAX;
  for (const auto& dev : _devices) {
    const bool involved = std::any_of(std::begin(dev->select), std::end(dev->select),
                                      [](uint8_t s) { return s != 0; });
    if (involved) bound = std::min(bound, dev->horizon);
  }
  return bound;
}

void MonitorCore::release(int64_t bound) {
  for (;;) {
    Device* next = nullptr;
    int64_t first = bound;
    for (auto& dev : _devices) {
      if (dev->heldBegin == dev->heldEnd) continue;
      const int64_t t = dev->held[dev->heldBegin % kHeldCapacity].time;
      if (t <= first && (next == nullptr || t < first)) {
        next = dev.get();
        first = t;
      }
    }
    if (next == nullptr) return;
    const Device::Held& h = next->held[next->heldBegin++ % kHeldCapacity];
    _correlator.add(h.time, (h.select & kSelectA) != 0, (h.select & kSelectB) != 0);
  }
}

void MonitorCore::finish() {
  std::lock_guard<std::mutex> guard(_lock);
  release(INT64_MAX);
}

void MonitorCore::setCorrelation(const CorrelationSettings& settings) {
  std::lock_guard<std::mutex> guard(_lock);
  _correlator = Correlator(settings);
  selectChannels();
  _gapSinceReset = false;
}

void MonitorCore::resetHistogram() {
  std::lock_guard<std::mutex> guard(_lock);
  _correlator.reset();
  _gapSinceReset = false;
}

MonitorSnapshot MonitorCore::snapshot() const {
  std::lock_guard<std::mutex> guard(_lock);
  MonitorSnapshot snap;
  for (const auto& dev : _devices) {
    DeviceRates rates;
    const double seconds = double(dev->doneCount) * double(kSlicePs) / 1e12;
    for (int32_t c = 0; c < kMonitorChannels; ++c) {
      uint64_t sum = 0;
      for (int32_t k = 0; k < dev->doneCount; ++k) sum += dev->done[k][c];
      rates.perSecond[c] = seconds > 0 ? double(sum) / seconds : 0;
    }
    rates.toPs = std::max<int64_t>(dev->slice, 0) * kSlicePs;
    rates.fromPs = rates.toPs - dev->doneCount * kSlicePs;
    // A gap still open in the tap has not reached the decoder yet.
    const uint64_t dropped = dev->tap->droppedWords();
    if (dropped > dev->gapWords) snap.histogramPartial = true;
    if (dev->lastGap >= rates.fromPs || dropped > dev->gapWords) snap.behind = true;
    snap.droppedWords += dropped;
    snap.skippedWords += dev->skippedWords;
    snap.devices.push_back(rates);
  }
  snap.correlation = _correlator.settings();
  snap.histogram = _correlator.counts();
  snap.histogramSeconds = _correlator.seconds();
  snap.histogramPartial = snap.histogramPartial || _gapSinceReset || _correlator.overflowed();
  snap.peak = findPeak(snap.histogram, snap.correlation, snap.histogramSeconds);
  return snap;
}
