// An output that takes the merged records in batches rather than one by one.
//
// The merge formats every record once into its binary buffer (merge/outbuf.h); a RecordSink gets
// each filled buffer as it is, whole records in the binary output's layout, and converts a batch
// at a time. So an output with a layout of its own (HDF5 columns) costs the merge loop nothing
// per record, and the loop does not ask per record which outputs are open.
//
// A sink that stores times and channels apart may take them so instead (columns()): when it is
// the only taker of the binary records (no binary file), the merge then writes its records into
// two columns, and the sink writes them to its file as they are, without converting them.
#ifndef RAVIK_MERGE_RECORDSINK_H
#define RAVIK_MERGE_RECORDSINK_H

#include <stddef.h>
#include <stdint.h>

#include <map>

class RecordSink {
public:
  virtual ~RecordSink() = default;
  // `count` records of 10 bytes each: the time as a little-endian signed 64-bit number, then the
  // output channel as a little-endian signed 16-bit number. Called from one thread at a time, in
  // the merge's order: the merge's thread or its decoding thread (see OutBuf::offload()).
  virtual void putRecords(const char* records, size_t count) = 0;

  // Records per batch in which this sink takes columns; 0 (the default): it takes none.
  virtual size_t columns() const { return 0; }
  // `count` records as two columns: times[i] is record i's time, channels[i] its output channel.
  // Every batch but the last holds exactly columns() records. `ordered`: no record of the batch
  // is earlier than the one before it in the merge's order (the first compared with the last
  // record of the batch before). A batch's columns stay valid until the sink has returned from
  // the call with the batch after it, so that a sink may hold one batch back; a call with no
  // records (count 0) ends the merge's batches, and the sink must hold none beyond it. Same
  // threads and order as putRecords().
  virtual void putColumns(const int64_t* times, const int16_t* channels, size_t count,
                          bool ordered) {
    (void)times, (void)channels, (void)count, (void)ordered;
  }
  // With columns, after the end: how many of the records have each output channel (the
  // channels without records left out), as the decoding side counted them. Only when the merge
  // ran to the end of its sources, so that every record decoded was merged; else not called.
  virtual void putChannelCounts(const std::map<int16_t, int64_t>& counts) { (void)counts; }
};

#endif
