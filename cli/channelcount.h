// Records per output channel, earliest and latest time, for the merge's summary.
//
// The merge loop itself counts nothing, so that it keeps its speed. Instead each stream is
// decoded a second time, as the merge decodes it (same 100-word blocks, same marker mask), on a
// thread beside the merge: on a machine with a core to spare this costs no time. Every
// timestamp of every stream becomes one merged record, so the counts are those of the output.
#ifndef RAVIK_CLI_CHANNELCOUNT_H
#define RAVIK_CLI_CHANNELCOUNT_H

#include <stdint.h>

#include <atomic>
#include <map>
#include <vector>

#include "cli/inputs.h"

struct ChannelCounts {
  int64_t records = 0;
  int64_t first = INT64_MAX;  // earliest time; INT64_MAX when there is no record
  int64_t last = INT64_MIN;   // latest time
  std::map<int16_t, int64_t> perChannel;  // output channel -> records
};

// Counts the timestamps of all streams. Reads the files with pread(), so the merge may read the
// same open files at the same time. Returns false when a read fails or `running` was cleared
// (the counts are then incomplete). While `*growing` is true (null: never) the files are still
// being written: the streams are counted as they grow, and to their end once it is false.
bool countRecords(const std::vector<InputStream>& inputs, const std::atomic<bool>& running,
                  ChannelCounts* counts, const std::atomic<bool>* growing = nullptr);

#endif
