// The stream of one simulated device: its event sources packed into 60-bit word pairs.
//
// The stream opens with an absolute-time packet, and so does every restart (after lost data),
// so that a receiver that starts decoding there gets the right times.
#ifndef RAVIK_KORBALT_GENERATOR_H
#define RAVIK_KORBALT_GENERATOR_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "korbalt/scenario.h"
#include "korbalt/shaper.h"
#include "korbalt/sources.h"

namespace korbalt {

class StreamGenerator {
public:
  StreamGenerator(const DeviceSetup& setup, const Scenario& scenario);
  StreamGenerator(const StreamGenerator&) = delete;
  StreamGenerator& operator=(const StreamGenerator&) = delete;

  // Takes the device's parameters; does nothing when they did not change.
  void configure(const StreamConfig& config);
  // Starts anew at `t`: items not yet packed are dropped, the next packet is an absolute time.
  void restart(int64_t t);
  // Packs the items up to time `until` into `out` (room for `capacity` words, at least 2) and
  // returns the number of words, which is below `capacity` - 1 only when `until` was reached.
  int32_t produce(int64_t until, uint32_t* out, int32_t capacity);

  // Time of the last item produced so far (packed or about to be).
  int64_t time() const { return _sources.last(); }
  // Events packed so far; time advances do not count.
  uint64_t events() const { return _events; }
  // Items taken from the sources and not packed yet.
  size_t held() const { return _shaper.held() + size_t(_count); }
  // Also appends every packed item to `record` (not owned), up to `limit` items in all.
  void keepRecord(std::vector<SimEvent>* record, size_t limit);

private:
  // Appends the first `consumed` pending items to the record.
  void keep(int32_t consumed);
  // Tops the pending items up with those due up to `until`, through the shaper when it is
  // active; returns the number of items the sources gave.
  int32_t fillPending(int64_t until);

  static constexpr int32_t kBatch = 256;

  EventSources _sources;
  SignalShaper _shaper;
  StreamConfig _config{};
  SimEvent _pending[kBatch];
  int32_t _count = 0;         // items in _pending
  int64_t _packed = 0;        // time of the last packed item, or of the restart
  bool _needAbsolute = true;
  uint64_t _events = 0;
  std::vector<SimEvent>* _record = nullptr;  // not owned
  size_t _recordLimit = 0;
};

}  // namespace korbalt

#endif
