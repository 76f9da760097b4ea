// The merge worker: merges the devices' temp files into the text and binary outputs on a thread
// of its own, while the devices record into them and to their end after the recording.
//
// The window opens the temp files for reading (each device's _mergeFile) and the outputs before
// start() and closes them once finished() is true; the thread only reads and writes them.
#ifndef RAVIK_MERGE_MERGETHREAD_H
#define RAVIK_MERGE_MERGETHREAD_H

#include <stdio.h>

#include <atomic>
#include <functional>

#include "merge/checkedmerge.h"
#include "thread/lxthread.h"

class MergeThread : public IThread {
public:
  // Either output may be null; at least one is open.
  MergeThread(FILE* ascFile, FILE* binFile)
      : _ascFile(ascFile), _binFile(binFile), _bytesRead(0), _running(true) {}
  ~MergeThread() override;

  // Merges the temp files of KRmt::_devs, with the losses each device noted while recording;
  // returns when done or when stopped. While *_growing is true the files are still being
  // written: the merge reads each one's complete blocks as they come, at a lower priority than
  // the recording, and reads to the files' end once it turns false.
  void run() override;
  // Ends the merge after the record being written; the outputs then hold a prefix.
  void stop() { _running.store(false, std::memory_order_relaxed); }
  // Once the temp files are complete (*_growing false): the rest of the merge need not give way
  // to a recording any more, so it goes back to the normal priority where the system allows.
  void recordingEnded();
  // True once run() has merged every temp file to its end, without a stop.
  bool completed() const { return _completed.load(std::memory_order_acquire); }
  // True once run() has nothing left to do but return: wait() then returns at once.
  bool done() const { return _done.load(std::memory_order_acquire); }

  FILE* _ascFile;  // text output, not owned
  FILE* _binFile;  // binary output, not owned
  RecordSink* _records = nullptr;  // a further output fed with the binary records; not owned
  std::atomic<int64_t> _bytesRead;  // temp file bytes consumed so far, read by the window
  std::atomic<bool> _running;      // cleared to stop the merge early
  std::atomic<bool> _completed{false};
  // Set before start(): true while the devices write the temp files; null: they are complete.
  const std::atomic<bool>* _growing = nullptr;
  // Set before start() when the binary output is open: writes its header (first) and trailer
  // without addressing a device (see chainDeviceHeader()).
  std::function<void(FILE* binary, bool first)> _header;
  MergeOutcome _outcome;           // what the merge found; read once finished() is true
  // Set before start(): called on the merge's thread when done() has turned true, so that the
  // window can publish the outputs at once rather than at its next look.
  std::function<void()> _whenDone;
  // Set before start(): called on the merge's thread after the merge, before the outputs are
  // flushed: a sink that holds records back (see _records) writes them then. Null: none.
  std::function<void()> _afterMerge;
  // Set before start(): gets the points at which the merge could be taken up (see
  // MergeOutputs::resume), and, per device, the point before which its raw data may have been
  // let go (see CheckedSource::kept). Null: none.
  ResumeLog* _resume = nullptr;
  const std::vector<SourcePoint>* _kept = nullptr;

private:
  std::atomic<bool> _done{false};
};

#endif
