#include "korbalt/generator.h"

#include <string.h>

#include <algorithm>

#include "korbalt/packer.h"

namespace korbalt {

StreamGenerator::StreamGenerator(const DeviceSetup& setup, const Scenario& scenario)
    : _sources(setup, scenario) {}

void StreamGenerator::configure(const StreamConfig& config) {
  if (config == _config) return;
  _config = config;
  _sources.configure(config);
}

void StreamGenerator::restart(int64_t t) {
  _count = 0;
  _packed = t;
  _needAbsolute = true;
  _sources.restart(t);
}

int32_t StreamGenerator::produce(int64_t until, uint32_t* out, int32_t capacity) {
  int32_t words = 0;
  for (;;) {
    _count += _sources.fill(_pending + _count, kBatch - _count, until);
    if (_count == 0) break;
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
