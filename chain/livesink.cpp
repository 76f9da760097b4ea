#include "chain/livesink.h"

#include <string.h>

#include <algorithm>
#include <chrono>

#include "chain/tagwriter.h"
#include "merge/mergecore.h"

void decodeRecords(const char* records, size_t count, TimeTag* tags) {
  const RecordSpan span{records};
  for (size_t i = 0; i < count; ++i) tags[i] = span.at(i);
}

void LiveSink::putRecords(const char* records, size_t count) {
  if (_next != nullptr) _next->putRecords(records, count);
  // The virtual channels follow the whole stream, measured or not, so that a measurement
  // attached later finds them in their state.
  if (_measurements->size() > 0 || _virtuals != nullptr) {
    if (_tags.size() < count) _tags.resize(count);
    decodeRecords(records, count, _tags.data());
    measure(_tags.data(), count);
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

void LiveSink::measure(const TimeTag* tags, size_t count) {
  if (_virtuals == nullptr) {
    _measurements->feed(tags, count);
    return;
  }
  _measured.clear();
  if (count != 0) _virtuals->push(tags, count, &_measured);
  else _virtuals->finish(&_measured);
  // A virtual channel that outgrew its bound stays inexact for the rest of the run.
  if (_virtuals->overflowed()) _measurements->markOverflowed();
  _measurements->feed(_measured.data(), _measured.size());
}

void LiveSink::finish() {
  if (_virtuals != nullptr) measure(nullptr, 0);
}
