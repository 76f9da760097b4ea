#include "korbalt/shaper.h"

#include <math.h>
#include <string.h>

#include <algorithm>

namespace korbalt {

std::vector<int32_t> jitterMagnitudes(int64_t sigmaPs) {
  const NormalQuantiles& table = normalQuantiles();
  std::vector<int32_t> magnitudes(kJitterLevels);
  for (size_t i = 0; i < kJitterLevels; ++i) {
    // The middle of the i-th step of probability above one half.
    const double u = 0.5 + (double(i) + 0.5) / double(2 * kJitterLevels);
    magnitudes[i] = int32_t(llround(tableQuantile(u, table) * double(sigmaPs)));
  }
  return magnitudes;
}

SignalShaper::SignalShaper(uint64_t seed, int64_t jitterPs) : _random(seed), _items(1024) {
  if (jitterPs > 0) _jitter = jitterMagnitudes(jitterPs);
  const int32_t none[kEventChannels] = {};
  configure(none);
}

void SignalShaper::configure(const int32_t* delaysPs) {
  const int64_t jitterReach = _jitter.empty() ? 0 : _jitter.back();
  _leastShiftPs = 0;  // markers and advances stay where they are
  bool anyDelay = false;
  for (int32_t c = 0; c < kEventChannels; ++c) {
    _delayPs[c] = delaysPs[c];
    anyDelay = anyDelay || delaysPs[c] != 0;
    _leastShiftPs = std::min(_leastShiftPs, _delayPs[c] - jitterReach);
  }
  _active = anyDelay || !_jitter.empty();
}

void SignalShaper::restart(int64_t t) {
  _begin = _end = 0;
  _floor = t;
}

void SignalShaper::makeRoom(size_t n) {
  if (_end + n <= _items.size()) return;
  // The held items move to the front; they are few next to the room, except when too few
  // have gone on: then the room doubles.
  if (held() + n > _items.size() / 2) {
    std::vector<SimEvent> bigger(std::max(_items.size() * 2, held() + n));
    std::copy(_items.begin() + ptrdiff_t(_begin), _items.begin() + ptrdiff_t(_end), bigger.begin());
    _items.swap(bigger);
  } else {
    memmove(_items.data(), _items.data() + _begin, held() * sizeof(SimEvent));
  }
  _end -= _begin;
  _begin = 0;
}

int32_t SignalShaper::take(EventSources& sources, int32_t max, int64_t until) {
  if (max <= 0) return 0;
  makeRoom(size_t(max));
  SimEvent* items = _items.data();
  const size_t first = _end;
  const int32_t n = sources.fill(items + first, max, until);
  const int32_t* jitter = _jitter.data();
  const bool jittered = !_jitter.empty();
  for (size_t k = first; k != first + size_t(n); ++k) {
    SimEvent item = items[k];
    if (item.channel < kEventChannels) {
      item.time += _delayPs[item.channel];
      if (jittered) {
        // 16 random bits a jitter, four from one random number: 13 bits choose the
        // magnitude, the top bit its sign.
        if (_drawsLeft == 0) {
          _draws = _random.next();
          _drawsLeft = 4;
        }
        const uint32_t draw = uint32_t(_draws & 0xFFFF);
        _draws >>= 16;
        --_drawsLeft;
        const int64_t sign = -int64_t(draw >> 15);
        const int64_t magnitude = jitter[draw & (kJitterLevels - 1)];
        item.time += (magnitude ^ sign) - sign;
      }
      item.time = std::max(item.time, _floor);
    }
    // Insertion from the back: shifts are small against the gaps between events, so an item
    // rarely moves past more than one or two others.
    size_t i = k;
    while (i != _begin && items[i - 1].time > item.time) {
      items[i] = items[i - 1];
      --i;
    }
    items[i] = item;
  }
  _end = first + size_t(n);
  return n;
}

int32_t SignalShaper::release(SimEvent* out, int32_t max, int64_t sourceTime, int64_t until) {
  // Every item still to come lands at sourceTime + _leastShiftPs or later.
  const int64_t bound = std::min(until, sourceTime + _leastShiftPs);
  int32_t n = 0;
  while (n < max && _begin != _end && _items[_begin].time <= bound) out[n++] = _items[_begin++];
  return n;
}

}  // namespace korbalt
