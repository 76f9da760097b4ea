// Points from which a merge can be taken up again without the streams' data before them.
//
// A long run split into parts lets go of the raw data that its published parts hold. A merge
// killed afterwards must go on from where the last published part ended, with every timestamp
// after it once: so the merge notes, now and then, where it stands in every stream. The merge's
// choice of the next record depends on nothing but the sources' heads, so its state at any
// record is each source's head: the byte offset of the block that the head's page began with,
// the decoder's state at that block, and how many timestamps of the page come before the head.
// Decoding again from that block with that state gives the same page, the same heads and so the
// same records, to the end.
#ifndef RAVIK_MERGE_RESUMEPOINT_H
#define RAVIK_MERGE_RESUMEPOINT_H

#include <stdint.h>

#include <deque>
#include <mutex>
#include <vector>

struct Tdc56Instance;

// What a decoder of the recorded stream carries from one block to the next.
struct DecoderState {
  int64_t lastTime = 0, timeBase = -1, startTime = 0, measuredPeriod = 0, startPeriod = 0;
  uint32_t pendingWord = 0, virtualCount = 0;
};
DecoderState decoderState(const Tdc56Instance* decoder);
// Puts a decoder, just reset, into `state`.
void restoreDecoder(Tdc56Instance* decoder, const DecoderState& state);

// Where one source's head stands.
struct SourcePoint {
  int64_t offset = 0;  // byte offset of the block that the head's page began with
  int64_t skip = 0;    // timestamps decoded from `offset` on that come before the head
  DecoderState state;  // the decoder's state before that block
  int64_t before = 0;  // timestamps of the stream before `offset`
  // The stream's first timestamp and its last one that is no marker before `offset`;
  // INT64_MAX and INT64_MIN when none.
  int64_t first = INT64_MAX, lastBefore = INT64_MIN;
};

// The merge's state after its first `records` records.
struct ResumePoint {
  int64_t records = 0;
  std::vector<SourcePoint> sources;  // in the merge's order
};

// The points a merge noted, for a reader on another thread that wants the latest one at or
// before a record (the end of a published part). Holds a bounded number, oldest dropped first.
class ResumeLog {
public:
  // A point every `spacing` records at most.
  explicit ResumeLog(int64_t spacing = int64_t(1) << 16) : _spacing(spacing) {}

  // Whether a point after `records` records would be kept (the merge's thread, cheaply).
  bool due(int64_t records) const { return records - _lastNoted >= _spacing; }
  // The merge's thread.
  void note(ResumePoint point);
  // The latest point at or before `records` into *point, the older ones dropped; false when
  // there is none.
  bool before(int64_t records, ResumePoint* point);

private:
  static constexpr size_t kKept = 4096;
  const int64_t _spacing;
  int64_t _lastNoted = INT64_MIN / 2;  // the merge's thread only
  std::mutex _lock;
  std::deque<ResumePoint> _points;  // guarded by _lock, oldest first
};

#endif
