// The merge worker: after a recording, merges the devices' temp files into the text and binary
// outputs on a thread of its own.
//
// The window opens the temp files (each device's _tmpFile) and the outputs before start() and
// closes them once finished() is true; the thread only reads and writes them.
#ifndef RAVIK_MERGE_MERGETHREAD_H
#define RAVIK_MERGE_MERGETHREAD_H

#include <stdio.h>

#include <atomic>

#include "merge/checkedmerge.h"
#include "thread/lxthread.h"

class MergeThread : public IThread {
public:
  // Either output may be null; at least one is open.
  MergeThread(FILE* ascFile, FILE* binFile)
      : _ascFile(ascFile), _binFile(binFile), _bytesRead(0), _running(true) {}
  ~MergeThread() override;

  // Merges the temp files of KRmt::_devs, with the losses each device noted while recording;
  // returns when done or when stopped.
  void run() override;
  // Ends the merge after the record being written; the outputs then hold a prefix.
  void stop() { _running.store(false, std::memory_order_relaxed); }
  // True once run() has merged every temp file to its end, without a stop.
  bool completed() const { return _completed.load(std::memory_order_acquire); }

  FILE* _ascFile;  // text output, not owned
  FILE* _binFile;  // binary output, not owned
  RecordSink* _records = nullptr;  // a further output fed with the binary records; not owned
  std::atomic<double> _bytesRead;  // temp file bytes consumed so far, read by the window
  std::atomic<bool> _running;      // cleared to stop the merge early
  std::atomic<bool> _completed{false};
  MergeOutcome _outcome;           // what the merge found; read once finished() is true
};

#endif
