#include "chain/livesink.h"

#include <string.h>

#include "merge/mergecore.h"

void decodeRecords(const char* records, size_t count, TimeTag* tags) {
  // The records are in the machine's order on the little-endian hosts this program runs on.
  for (size_t i = 0; i < count; ++i, records += kMergeRecordSize) {
    memcpy(&tags[i].time, records, sizeof tags[i].time);
    memcpy(&tags[i].channel, records + sizeof tags[i].time, sizeof tags[i].channel);
  }
}

void LiveSink::putRecords(const char* records, size_t count) {
  if (_next != nullptr) _next->putRecords(records, count);
  if (_measurements->size() > 0) {
    if (_tags.size() < count) _tags.resize(count);
    decodeRecords(records, count, _tags.data());
    _measurements->feed(_tags.data(), count);
  }
  _queue->push(records, count);
}
