// Running the merge on a worker thread while the main thread watches: stop signals, write
// errors, the progress bar, and the per-channel count beside the merge.
#ifndef RAVIK_CLI_MERGERUN_H
#define RAVIK_CLI_MERGERUN_H

#include <signal.h>
#include <stdint.h>

#include <vector>

#include "cli/channelcount.h"
#include "cli/inputs.h"
#include "cli/outputfile.h"
#include "merge/checkedmerge.h"

// Blocks the stop signals (SIGINT, SIGTERM, SIGHUP) and the worker's wake-up signal in the
// calling thread and in every thread started later, so that they are only ever taken by
// runMerge()'s wait, never by a handler in the middle of a write. Call first thing in main().
sigset_t blockSignals();

struct RunResult {
  MergeOutcome outcome;   // records, loss intervals, read error
  int64_t records = 0;    // records written
  int64_t bytesRead = 0;  // bytes of the streams consumed
  double seconds = 0;     // wall-clock time of the merge
  int32_t stopSignal = 0; // the signal that stopped the merge; 0 when none did
  bool counted = false;   // the counts are complete
};

struct RunSettings {
  bool progress = false;          // draw the bar on standard error
  ChannelCounts* counts = nullptr;  // null: do not count
  bool lossRecords = false;         // mark each loss interval with two records in the outputs
};

// Merges `inputs` (in merge order) into the outputs (either may be null), with the binary
// header and trailer of the device library, with the inputs' losses located (see
// mergeChecked()). Returns early, with a prefix written, when a signal of `signals` arrives or
// an output reports a write error.
RunResult runMerge(const std::vector<InputStream>& inputs, OutputFile* text, OutputFile* binary,
                   const RunSettings& settings, const sigset_t& signals);

// A signal of `signals` other than the wake-up that came in after runMerge() had returned, or 0:
// a late Ctrl-C still keeps the outputs from being published.
int pendingStopSignal(const sigset_t& signals);

#endif
