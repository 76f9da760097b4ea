// A step that merged records pass through on their way to what takes them (the outputs, the
// measurements): it takes them in merge order, a batch at a time, and passes records on in
// merge order. A filter drops some of them; virtual channels add records of their own. A stage
// may hold records back until later records show where they belong (a window that reaches
// into the future, a delay); finish() gives them up at the end of the stream.
//
// Called from one thread at a time. No Qt.
#ifndef RAVIK_MONITOR_RECORDSTAGE_H
#define RAVIK_MONITOR_RECORDSTAGE_H

#include <stddef.h>

#include <vector>

#include "monitor/measurements.h"

class RecordStage {
public:
  virtual ~RecordStage() = default;
  // `count` records in merge order; appends to *out, in merge order, the records it passes on
  // now (after those it held back that belong before them).
  virtual void push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) = 0;
  // The stream ended: appends every record still held back.
  virtual void finish(std::vector<TimeTag>* out) = 0;
};

#endif
