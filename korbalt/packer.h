// Packs stream items into the 60-bit word-pair format the devices deliver.
//
// A packet is two 32-bit words: the first has bit 31 clear, the second bit 31 set; bit 30 of the
// two selects the type. Type 0 sets the absolute time; the others carry time differences from
// the previous item: three events of 17-bit differences (type 1), two of 27 bits (type 2) or
// one of 57 bits (type 3). Items are packed as densely as their differences allow.
#ifndef RAVIK_KORBALT_PACKER_H
#define RAVIK_KORBALT_PACKER_H

#include <stdint.h>

#include "korbalt/sources.h"

namespace korbalt {

// The absolute-time packet for `time` (below 2^60) into out[0] and out[1].
void packAbsolute(int64_t time, uint32_t* out);

struct Packed {
  int32_t words;     // written
  int32_t items;     // consumed
  int32_t advances;  // of those, time advances rather than events
};

// Packs items, in time order and none earlier than *last, into `out` (room for `capacity`
// words), and moves *last to the time of the last item packed. Fewer than three items left at
// the end wait for more unless `flush` is set.
Packed packEvents(const SimEvent* items, int32_t count, bool flush, int64_t* last,
                  uint32_t* out, int32_t capacity);

}  // namespace korbalt

#endif
