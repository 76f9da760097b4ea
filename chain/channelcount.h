// Records per output channel, earliest and latest time, for the merge's summary.
#ifndef RAVIK_CHAIN_CHANNELCOUNT_H
#define RAVIK_CHAIN_CHANNELCOUNT_H

#include <stdint.h>

#include <map>

struct ChannelCounts {
  int64_t records = 0;
  int64_t first = INT64_MAX;  // earliest time; INT64_MAX when there is no record
  int64_t last = INT64_MIN;   // latest time
  std::map<int16_t, int64_t> perChannel;  // output channel -> records
};

#endif
