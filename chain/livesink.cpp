#include "chain/livesink.h"

#include <string.h>

#include <algorithm>
#include <chrono>

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
  if (count == 0) return;
  int64_t first, last;
  memcpy(&first, records, sizeof first);
  memcpy(&last, records + (count - 1) * kMergeRecordSize, sizeof last);
  {
    std::lock_guard<std::mutex> hold(_extentLock);
    _first = std::min(_first, first);
    _latest = std::max(_latest, last);
  }
  _extended.notify_all();
}

int64_t LiveSink::coveredPs() const {
  std::lock_guard<std::mutex> hold(_extentLock);
  return coveredLocked();
}

int64_t LiveSink::waitCovered(int64_t ps, int32_t timeoutMs) const {
  std::unique_lock<std::mutex> hold(_extentLock);
  _extended.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return coveredLocked() >= ps; });
  return coveredLocked();
}
