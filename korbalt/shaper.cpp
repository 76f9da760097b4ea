#include "korbalt/shaper.h"

#include <math.h>

#include <algorithm>

namespace korbalt {

SignalShaper::SignalShaper(uint64_t seed, int64_t jitterPs)
    : _random(seed), _jitterPs(jitterPs), _ring(256) {
  if (jitterPs > 0) _normal = &normalQuantiles();
  const int32_t none[kEventChannels] = {};
  configure(none);
}

void SignalShaper::configure(const int32_t* delaysPs) {
  const int64_t jitterReach =
      _normal ? int64_t(ceil(-_normal->x[0] * double(_jitterPs))) + 1 : 0;
  _leastShiftPs = 0;  // markers and advances stay where they are
  bool anyDelay = false;
  for (int32_t c = 0; c < kEventChannels; ++c) {
    _delayPs[c] = delaysPs[c];
    anyDelay = anyDelay || delaysPs[c] != 0;
    _leastShiftPs = std::min(_leastShiftPs, _delayPs[c] - jitterReach);
  }
  _active = anyDelay || _jitterPs > 0;
}

void SignalShaper::restart(int64_t t) {
  _begin = _end = 0;
  _floor = t;
}

int64_t SignalShaper::shifted(const SimEvent& item) {
  if (item.channel >= kEventChannels) return item.time;
  int64_t t = item.time + _delayPs[item.channel];
  // Rounded to whole ps, as a device's time bins are: the jitter is symmetric around the delay.
  if (_normal) t += llround(normal(_random.next(), *_normal) * double(_jitterPs));
  return std::max(t, _floor);
}

void SignalShaper::grow() {
  std::vector<SimEvent> bigger(_ring.size() * 2);
  for (uint64_t i = _begin; i != _end; ++i) bigger[i - _begin] = at(i);
  _ring.swap(bigger);
  _end -= _begin;
  _begin = 0;
}

void SignalShaper::take(const SimEvent* items, int32_t count) {
  for (int32_t k = 0; k < count; ++k) {
    if (held() == _ring.size()) grow();
    const SimEvent item{shifted(items[k]), items[k].channel};
    // Insertion from the back: shifts are small against the gaps between events, so an item
    // rarely moves past more than one or two others.
    uint64_t i = _end++;
    while (i != _begin && at(i - 1).time > item.time) {
      at(i) = at(i - 1);
      --i;
    }
    at(i) = item;
  }
}

int32_t SignalShaper::release(SimEvent* out, int32_t max, int64_t sourceTime, int64_t until) {
  // Every item still to come lands at sourceTime + _leastShiftPs or later.
  const int64_t bound = std::min(until, sourceTime + _leastShiftPs);
  int32_t n = 0;
  while (n < max && _begin != _end && at(_begin).time <= bound) out[n++] = at(_begin++);
  return n;
}

}  // namespace korbalt
