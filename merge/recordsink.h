// An output that takes the merged records in batches rather than one by one.
//
// The merge formats every record once into its binary buffer (merge/outbuf.h); a RecordSink gets
// each filled buffer as it is, whole records in the binary output's layout, and converts a batch
// at a time. So an output with a layout of its own (HDF5 columns) costs the merge loop nothing
// per record, and the loop does not ask per record which outputs are open.
#ifndef RAVIK_MERGE_RECORDSINK_H
#define RAVIK_MERGE_RECORDSINK_H

#include <stddef.h>

class RecordSink {
public:
  virtual ~RecordSink() = default;
  // `count` records of 10 bytes each: the time as a little-endian signed 64-bit number, then the
  // output channel as a little-endian signed 16-bit number. Called from one thread at a time, in
  // the merge's order: the merge's thread or its decoding thread (see OutBuf::offload()).
  virtual void putRecords(const char* records, size_t count) = 0;
};

#endif
