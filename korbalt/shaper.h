// What a device's input stage does to each signal before it is time-stamped: it adds the
// channel's signal delay and a Gaussian timing jitter. Shifted events no longer come in time
// order, so the shaper holds them, sorted, until no item still to come from the sources can be
// earlier, and hands them on in time order.
//
// Markers and time advances pass unshifted: the marker time carries the marker flags.
#ifndef RAVIK_KORBALT_SHAPER_H
#define RAVIK_KORBALT_SHAPER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "korbalt/random.h"
#include "korbalt/sources.h"

namespace korbalt {

// Jitter magnitudes in whole ps for a standard deviation: the normal law's quantiles at
// kJitterLevels even steps of probability over its upper half (tails cut at about 3.8, as the
// quantile table's), each rounded. A jitter is one of them with a random sign, both chosen by
// 16 random bits: so the law is symmetric by construction.
constexpr int kJitterBits = 13;
constexpr size_t kJitterLevels = size_t(1) << kJitterBits;
std::vector<int32_t> jitterMagnitudes(int64_t sigmaPs);

class SignalShaper {
public:
  // `jitterPs`: the standard deviation of the jitter, 0 for none; `seed` seeds its draws.
  SignalShaper(uint64_t seed, int64_t jitterPs);

  // The delay of each event channel in ps.
  void configure(const int32_t* delaysPs);
  // False when items would pass unchanged: then the caller may bypass the shaper.
  bool active() const { return _active; }
  // Forgets the held items; none handed on later is earlier than `t`.
  void restart(int64_t t);

  // Takes up to `max` items due up to `until` from the sources, shifting each in place as it
  // is sorted in; returns how many the sources gave.
  int32_t take(EventSources& sources, int32_t max, int64_t until);
  // Hands on up to `max` held items in time order: those that no source item at or after
  // `sourceTime` can precede once shifted, and none later than `until`. Returns their number.
  int32_t release(SimEvent* out, int32_t max, int64_t sourceTime, int64_t until);
  size_t held() const { return _end - _begin; }

private:
  // Makes room for `n` more items behind the held ones.
  void makeRoom(size_t n);

  Random _random;
  uint64_t _draws = 0;     // random bits not used yet, 16 a jitter
  int32_t _drawsLeft = 0;  // jitters left in them
  std::vector<int32_t> _jitter;  // magnitudes; empty without jitter
  int64_t _delayPs[kEventChannels] = {};
  int64_t _leastShiftPs = 0;  // no item is moved earlier than this
  bool _active = false;
  int64_t _floor = 0;         // the restart time: nothing goes before it
  std::vector<SimEvent> _items;  // held items, sorted by time, in [_begin, _end)
  size_t _begin = 0, _end = 0;
};

}  // namespace korbalt

#endif
