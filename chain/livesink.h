// Where a live merge's records go besides the files: the measurements attached to the chain and
// the queue of the chain's stream, and on to another record sink (the HDF5 output) when there is
// one. Called from one thread at a time (the merge's or its decoding thread), a batch at a
// time. No Qt.
#ifndef RAVIK_CHAIN_LIVESINK_H
#define RAVIK_CHAIN_LIVESINK_H

#include <stddef.h>

#include <vector>

#include "chain/recordqueue.h"
#include "merge/recordsink.h"
#include "monitor/measurements.h"

class LiveSink : public RecordSink {
public:
  // None owned; `next` may be null.
  LiveSink(MeasurementSet* measurements, RecordQueue* queue, RecordSink* next)
      : _measurements(measurements), _queue(queue), _next(next) {}

  void putRecords(const char* records, size_t count) override;

private:
  MeasurementSet* _measurements;
  RecordQueue* _queue;
  RecordSink* _next;
  std::vector<TimeTag> _tags;  // the batch as TimeTag, kept between batches
};

// Converts `count` 10-byte binary records (little-endian time, then channel) into `tags`.
void decodeRecords(const char* records, size_t count, TimeTag* tags);

#endif
