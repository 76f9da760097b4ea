// Running the merge on a worker thread while the main thread watches: stop signals, write
// errors, the progress bar; and the merge's per-channel count of what it decoded.
#ifndef RAVIK_CHAIN_MERGERUN_H
#define RAVIK_CHAIN_MERGERUN_H

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "chain/channelcount.h"
#include "chain/outputstage.h"
#include "merge/inputs.h"
#include "merge/outputfile.h"
#include "merge/checkedmerge.h"
#include "merge/hdf5output.h"
#include "thread/priority.h"

// Blocks the stop signals (SIGINT, SIGTERM, SIGHUP) and the worker's wake-up signal in the
// calling thread and in every thread started later, so that they are only ever taken by
// runMerge()'s wait, never by a handler in the middle of a write. Call first thing in main().
sigset_t blockSignals();

struct RunResult {
  MergeOutcome outcome;   // records, loss intervals, read error
  bool stopped = false;   // ended early: an output could not be written, or a stop signal
  int64_t records = 0;    // records written
  int64_t bytesRead = 0;  // bytes of the streams consumed
  double seconds = 0;     // wall-clock time of the merge
  int32_t stopSignal = 0; // the signal that stopped the merge; 0 when none did
  bool counted = false;   // the counts are complete
};

// What the face that waits for a merge wants of it.
struct MergeWatch {
  // Called on the waiting thread at each tick and once at the end (`end`), with the bytes read
  // of the streams, their size now and the merge's seconds; null: nothing shown.
  std::function<void(int64_t bytesRead, int64_t bytesTotal, double seconds, bool end)> progress;
  ChannelCounts* counts = nullptr;  // null: do not count
  // The waiting thread has the stop signals and the wake-up signal blocked (blockSignals()) and
  // is woken by the latter at the end; false: it is not signalled, and waits in ticks.
  bool wake = true;
};

struct RunSettings {
  MergeWatch watch;
  Hdf5Output* hdf5 = nullptr;     // a third output, fed from the binary records; null: none
  // Where the records go besides the files (the HDF5 output, or a sink that passes them on to
  // it); null: `hdf5`.
  RecordSink* records = nullptr;
  bool lossRecords = false;         // mark each loss interval with two records in the outputs
  // Writes the binary header (first = true) and trailer; null: the device library's
  // writeFileHeader for the device it has addressed.
  std::function<void(FILE* binary, bool first)> header;
  // Inputs that are still being written (see MergeRun): the losses of input i, asked for once
  // the files are complete. Loss records need them before the merge: not with growing inputs.
  std::function<std::vector<StreamLoss>(size_t i)> lossesAtEnd;
  // Steps between the merge and every output (see OutputStage), in order, not owned; empty:
  // the merge writes the outputs itself. The counts and the records written are then those
  // the last step passed on.
  std::vector<RecordStage*> stages;
  // The outputs split into parts (not owned), which then take every record in place of the
  // outputs given to the merge; null: not split.
  PartWriter* parts = nullptr;
  // Gets the points at which the merge could be taken up (see MergeOutputs::resume); null: none.
  ResumeLog* resume = nullptr;
};

// A merge of `inputs` (in merge order) into the outputs (either may be null) on a worker thread,
// counted per channel as it decodes, the inputs' losses located (see mergeChecked()).
class MergeRun {
public:
  // Starts the merge. Until `recording` (null: none; not owned) has ended, the inputs are still
  // being written: they are merged as they grow, giving way to the recording, and to their end
  // at the normal priority once it has ended.
  MergeRun(const std::vector<InputStream>& inputs, OutputFile* text, OutputFile* binary,
           const RunSettings& settings, RecordingYield* recording = nullptr);
  // Stops a merge that was not finished and waits for it.
  ~MergeRun();
  MergeRun(const MergeRun&) = delete;
  MergeRun& operator=(const MergeRun&) = delete;

  // Stops the merge when an output reported a write error: for a caller that is busy with
  // something else while the merge runs.
  void checkOutputs();
  // The merge's thread has ended: at the end of the inputs, or early.
  bool ended() const { return _working.load() == 0; }
  // Bytes of the inputs read so far; any thread may ask.
  int64_t bytesRead() const { return _bytesRead.load(std::memory_order_relaxed); }
  // Waits for the end of the merge; returns early, with a prefix written, when a signal of
  // `stopSignals` arrives or an output reports a write error. Call from the thread that started it.
  RunResult finish(const sigset_t& stopSignals);

private:
  void merge(bool growing);
  void done();
  void showProgress(bool end);
  int waitTick(const sigset_t& stopSignals);
  void join();

  const std::vector<InputStream>& _inputs;
  OutputFile* _text;
  OutputFile* _binary;
  RunSettings _settings;
  std::vector<Tdc56Instance*> _decoders;
  std::vector<CheckedSource> _sources;
  std::unique_ptr<OutputStage> _stage;  // with steps; null: none
  MergeOutputs _outputs;
  std::atomic<int64_t> _bytesRead{0};
  std::atomic<bool> _running{true};
  std::atomic<int32_t> _working;
  std::mutex _doneLock;  // with _doneWake: the end of the merge, for a waiter without signals
  std::condition_variable _doneWake;
  RunResult _result;
  bool _lossRecordsWritten = false;  // by the merge thread, read after it ended
  pthread_t _starter;
  std::chrono::steady_clock::time_point _start;
  std::thread _merger;
};

// Merges `inputs` (in merge order) into the outputs (either may be null), with the binary
// header and trailer of the device library, with the inputs' losses located (see
// mergeChecked()). Returns early, with a prefix written, when a signal of `stopSignals` arrives or
// an output reports a write error.
RunResult runMerge(const std::vector<InputStream>& inputs, OutputFile* text, OutputFile* binary,
                   const RunSettings& settings, const sigset_t& stopSignals);

// A signal of `stopSignals` other than the wake-up that came in after runMerge() had returned, or 0:
// a late Ctrl-C still keeps the outputs from being published.
int pendingStopSignal(const sigset_t& stopSignals);

#endif
