// What a device's input stage does to each signal before it is time-stamped: it adds the
// channel's signal delay and a Gaussian timing jitter. Shifted events no longer come in time
// order, so the shaper holds them, sorted, until no item still to come from the sources can be
// earlier, and hands them on in time order.
//
// Markers and time advances pass unshifted: the marker time carries the marker flags.
#ifndef RAVIK_KORBALT_SHAPER_H
#define RAVIK_KORBALT_SHAPER_H

#include <stdint.h>

#include <vector>

#include "korbalt/random.h"
#include "korbalt/sources.h"

namespace korbalt {

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

  // Takes items in the sources' time order.
  void take(const SimEvent* items, int32_t count);
  // Hands on up to `max` held items in time order: those that no source item at or after
  // `sourceTime` can precede once shifted, and none later than `until`. Returns their number.
  int32_t release(SimEvent* out, int32_t max, int64_t sourceTime, int64_t until);
  size_t held() const { return size_t(_end - _begin); }

private:
  int64_t shifted(const SimEvent& item);
  void grow();
  SimEvent& at(uint64_t i) { return _ring[i & (_ring.size() - 1)]; }

  Random _random;
  int64_t _jitterPs;
  const NormalQuantiles* _normal = nullptr;  // not owned; null without jitter
  int64_t _delayPs[kEventChannels] = {};
  int64_t _leastShiftPs = 0;  // no item is moved earlier than this
  bool _active = false;
  int64_t _floor = 0;         // the restart time: nothing goes before it
  std::vector<SimEvent> _ring;  // held items sorted by time; its size a power of two
  uint64_t _begin = 0, _end = 0;
};

}  // namespace korbalt

#endif
