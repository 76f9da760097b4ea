// The merge of a recording's streams together with what went wrong while they were recorded and
// read: each device's loss intervals located in time, loss records in the outputs on request,
// the exact records of each device, and read errors. The window, ravik-record and ravik-merge
// all merge through mergeChecked(), so they report the same facts.
#ifndef RAVIK_MERGE_CHECKEDMERGE_H
#define RAVIK_MERGE_CHECKEDMERGE_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "merge/mergecore.h"
#include "merge/streamloss.h"

struct CheckedSource {
  MergeSource source;
  std::string name;                // the stream's file, for messages
  std::vector<StreamLoss> losses;  // noted while recording; empty: none
  // The stream's data before this point were let go (a split run's raw data behind its
  // published parts): its losses are located from there on. Null: none let go, or those before
  // `source.from`.
  const SourcePoint* kept = nullptr;
};

struct MergeOutcome {
  int64_t records = 0;                 // written, loss records included
  std::vector<int64_t> sourceRecords;  // timestamps of each source written
  std::vector<MergeSourceStats> sourceStats;  // what the merge decoded of each source
  int64_t firstPs = INT64_MAX;         // time of the first and the last record; INT64_MAX and
  int64_t lastPs = INT64_MIN;          // INT64_MIN when there was none
  std::vector<LossInterval> losses;    // every source's, in time order
  std::string readError;               // "<name>: read failed: <text>"; empty when all reads worked
};

// Channels of the two records that mark a loss interval of the device at chain position `chain`
// in the outputs: -(2 * chain + 1) at its start, -(2 * chain + 2) at its end.
inline int16_t lossStartChannel(int32_t chain) { return int16_t(-(2 * chain + 1)); }
inline int16_t lossEndChannel(int32_t chain) { return int16_t(-(2 * chain + 2)); }

// Locates the sources' losses, then merges them as mergeStreams() does. With `lossRecords` every
// loss interval also becomes two records in the outputs (at its start and its end, in time
// order, after records of the same time); without it the outputs are exactly mergeStreams()'s.
// A read error fails the merge: its outcome has `readError` set and the outputs are incomplete.
MergeOutcome mergeChecked(const std::vector<CheckedSource>& sources, const MergeOutputs& outputs,
                          bool lossRecords, std::atomic<int64_t>& bytesRead,
                          const std::atomic<bool>& running);

// For sources merged while their files were still being written (MergeSource::growing), whose
// losses are known only afterwards: the merge ran as mergeChecked() without loss records and
// without losses; this locates the losses, now in `sources`, into `outcome` as mergeChecked()
// would have. False, with `readError` set, when a read fails.
bool locateAfterMerge(const std::vector<CheckedSource>& sources, MergeOutcome* outcome);

// Source i's losses, asked for once its stream is complete.
using LossesAtEnd = std::function<std::vector<StreamLoss>(size_t i)>;

// The merge beside a recording, of sources whose files are still being written: mergeChecked()
// without loss records and without losses; once every stream has ended, each source's losses
// from `lossesAtEnd` (when given) are located into the outcome with locateAfterMerge(). A merge
// that was stopped or failed to read locates none.
MergeOutcome mergeWhileRecording(std::vector<CheckedSource>& sources, const MergeOutputs& outputs,
                                 std::atomic<int64_t>& bytesRead, const std::atomic<bool>& running,
                                 const LossesAtEnd& lossesAtEnd);

#endif
