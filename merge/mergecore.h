// The merge of several devices' raw streams into one time-ordered stream of timestamps.
//
// No Qt and no device library: the window's merge thread, the command-line tools, the tests and
// the benchmarks all call mergeStreams() with a plain list of sources.
#ifndef RAVIK_MERGE_MERGECORE_H
#define RAVIK_MERGE_MERGECORE_H

#include <stdint.h>
#include <stdio.h>

#include <array>
#include <atomic>
#include <functional>
#include <vector>

#include "merge/recordsink.h"
#include "merge/resumepoint.h"

struct Tdc56Instance;

// One device's stream.
struct MergeSource {
  Tdc56Instance* decoder;  // the device's codec instance; reset by the merge; not owned
  int32_t chainPos;        // output channel = 5 * chainPos + channel
  uint32_t markers;        // enabled-marker mask handed to the decoder
  FILE* file;              // raw stream of 32-bit words, open for reading; null: no data
  // While this points to true, the file is still being written: at its current end the merge
  // waits for the next whole block instead of ending the stream. Null: the file is complete.
  const std::atomic<bool>* growing = nullptr;
  // While growing: the bytes at the start of the file that may be read, those of the blocks
  // whose writes have completed. Null: whatever the file holds.
  const std::atomic<int64_t>* written = nullptr;
  // Where a merge taken up begins in this stream (a complete file): decoding from the point's
  // block with its decoder state, its first timestamps passed over. Null: from the start.
  const SourcePoint* from = nullptr;
};

// Size of one binary record: 64-bit time and 16-bit channel, little-endian, no padding.
constexpr int32_t kMergeRecordSize = 10;

struct MergeOutputs {
  FILE* text = nullptr;    // "%lld, %hd\n" per timestamp; null: none
  FILE* binary = nullptr;  // 10-byte records; null: none
  RecordSink* records = nullptr;  // also takes the 10-byte records, in batches; null: none
  // Called with the binary file before the first record (first = true) and after the last one
  // (first = false), when the binary output is open: writes the file header and trailer.
  std::function<void(FILE* binary, bool first)> header;
  // Gets a point from time to time (as each page is taken) at which the merge could be taken up;
  // null: none.
  ResumeLog* resume = nullptr;
};

// What the merge learned of one source.
struct MergeSourceStats {
  int64_t records = 0;        // timestamps decoded: those written, when the merge ran to its end
  int64_t first = INT64_MAX;  // time of its first timestamp; INT64_MAX when it had none
  int64_t last = INT64_MIN;   // time of its last timestamp
  int64_t earliest = INT64_MAX;  // the least and the greatest time among its timestamps
  int64_t latest = INT64_MIN;
  std::array<int64_t, 256> channels{};  // its timestamps by channel as decoded (before 5 x chainPos)
  int32_t readError = 0;      // errno of a failed read, which ended the source early; 0: none
  int64_t decodeErrors = 0;   // packets lost to faults of the stream (see tdc56Decode60Pop())
  // Of those, word pairs of zeros: a stretch that the file system never got the data of (a
  // crash), not bytes that are no device stream.
  int64_t zeroPackets = 0;
  int64_t backwardSteps = 0;  // timestamps earlier than the one before them (markers aside)
};

// Merges the sources (in chain order) into the outputs: repeatedly the earliest head timestamp
// across the sources, the first source winning ties, except that a marker at a source's head is
// preferred to the ordinary timestamp chosen so far. Streams are read and decoded 100 words at
// a time on a second thread, a page of timestamps ahead of the merge, so memory stays small
// whatever the files' size. With no source nothing is written at all.
// `bytesRead` (bytes of the raw streams consumed so far) is published for a watcher on another
// thread; clearing `running` ends the merge after the current record, leaving a prefix of the
// merged stream. A read error ends that source as if its file ended there: `stats`, when given,
// gets one entry per source and tells. Returns the number of records written.
int64_t mergeStreams(const MergeSource* sources, int32_t count, const MergeOutputs& outputs,
                     std::atomic<int64_t>& bytesRead, const std::atomic<bool>& running,
                     std::vector<MergeSourceStats>* stats = nullptr);

#endif
