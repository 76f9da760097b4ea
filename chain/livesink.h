// Where a live merge's records go besides the files: the measurements attached to the chain and
// the queue of the chain's stream, and on to another record sink (the HDF5 output) when there is
// one. With virtual channels the measurements see the merged records and the virtual ones; the
// stream and the outputs get the merged records alone. Called from one thread at a time (the
// merge's or its decoding thread), a batch at a time. No Qt.
#ifndef RAVIK_CHAIN_LIVESINK_H
#define RAVIK_CHAIN_LIVESINK_H

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "chain/recordqueue.h"
#include "merge/recordsink.h"
#include "monitor/measurements.h"
#include "monitor/virtualchannels.h"

class LiveSink : public RecordSink {
public:
  // None owned; `next` and `virtuals` may be null.
  LiveSink(MeasurementSet* measurements, RecordQueue* queue, RecordSink* next,
           VirtualChannels* virtuals = nullptr)
      : _measurements(measurements), _queue(queue), _next(next), _virtuals(virtuals) {}

  void putRecords(const char* records, size_t count) override;
  // After the merge's last batch: the virtual records still held back go to the measurements.
  void finish();

  // The stream time the records so far cover, in ps: from the earliest first record of a batch
  // to the latest last one (records step back only near markers, by far less than a batch
  // spans); 0 before two records. From any thread.
  int64_t coveredPs() const;
  // Waits until coveredPs() reaches `ps`, at most `timeoutMs`; returns coveredPs().
  int64_t waitCovered(int64_t ps, int32_t timeoutMs) const;

private:
  int64_t coveredLocked() const { return _first < _latest ? _latest - _first : 0; }
  // The measurements get `tags` and the virtual records they lead to.
  void measure(const TimeTag* tags, size_t count);

  MeasurementSet* _measurements;
  RecordQueue* _queue;
  RecordSink* _next;
  mutable std::mutex _extentLock;
  mutable std::condition_variable _extended;  // with _extentLock: a batch came
  int64_t _first = INT64_MAX, _latest = INT64_MIN;
  VirtualChannels* _virtuals;
  std::vector<TimeTag> _tags;      // the batch as TimeTag, kept between batches
  std::vector<TimeTag> _measured;  // with the virtual records
};

// Converts `count` 10-byte binary records (little-endian time, then channel) into `tags`.
void decodeRecords(const char* records, size_t count, TimeTag* tags);

#endif
