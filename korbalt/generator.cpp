#include "korbalt/generator.h"

#include <string.h>

#include <algorithm>

#include "korbalt/packer.h"

namespace korbalt {

StreamGenerator::StreamGenerator(const DeviceSetup& setup, const Scenario& scenario)
    : _sources(setup, scenario),
      _shaper(mixSeed(scenario.seed, 0x200 + static_cast<uint64_t>(setup.member)),
              scenario.jitterPs) {}

void StreamGenerator::configure(const StreamConfig& config) {
  if (config == _config) return;
  _config = config;
  _sources.configure(config);
  _shaper.configure(config.delaysPs);
}

void StreamGenerator::restart(int64_t t) {
  _count = 0;
  _packed = t;
  _needAbsolute = true;
  _sources.restart(t);
  _shaper.restart(t);
}

int32_t StreamGenerator::fillPending(int64_t until) {
  if (!_shaper.active() && _shaper.held() == 0) {
    const int32_t n = _sources.fill(_pending + _count, kBatch - _count, until);
    _count += n;
    return n;
  }
  // No more than the room for what the shaper hands on: so that it holds only what waits for
  // later items, not a backlog that grows with every round.
  const int32_t room = kBatch - _count;
  const int32_t n = _shaper.take(_sources, room, until);
  // Caught up, the sources' next item comes after `until`; else at their last time or later.
  const int64_t sourceTime = _sources.nextTime() > until ? until + 1 : _sources.last();
  _count += _shaper.release(_pending + _count, room, sourceTime, until);
  return n;
}

int32_t StreamGenerator::produce(int64_t until, uint32_t* out, int32_t capacity) {
  int32_t words = 0;
  for (;;) {
    const int32_t fresh = fillPending(until);
    if (_count == 0) {
      if (fresh == 0) break;
      continue;  // all held by the shaper until the sources move on
    }
    if (_needAbsolute) {
      if (capacity - words < 2) break;
      packAbsolute(_packed, out + words);
      words += 2;
      _needAbsolute = false;
    }
    // Short of a full packet, the last items wait for company unless the stream is caught up.
    const bool flush = _sources.nextTime() > until;
    const Packed p = packEvents(_pending, _count, flush, &_packed, out + words, capacity - words);
    words += p.words;
    _events += p.items - p.advances;
    if (_record != nullptr) keep(p.items);
    _count -= p.items;
    memmove(_pending, _pending + p.items, sizeof(SimEvent) * _count);
    if (p.items == 0) break;
  }
  return words;
}

void StreamGenerator::keep(int32_t consumed) {
  const size_t room = _recordLimit - std::min(_recordLimit, _record->size());
  const size_t n = std::min(room, static_cast<size_t>(consumed));
  _record->insert(_record->end(), _pending, _pending + n);
}

void StreamGenerator::keepRecord(std::vector<SimEvent>* record, size_t limit) {
  _record = record;
  _recordLimit = limit;
  if (record != nullptr) record->reserve(limit);
}

}  // namespace korbalt
