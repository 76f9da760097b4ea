#include "merge/mergethread.h"

#include <vector>

#include "app/krmt.h"
#include "device/korbalt.h"
#include "device/rmtdev.h"
#include "device/rmtpath.h"
#include "merge/mergecore.h"
#include "thread/priority.h"

MergeThread::~MergeThread() {}

void MergeThread::recordingEnded() { endYieldToRecording(); }

void MergeThread::run() {
  const QVector<RmtDev*>& devs = KRmt::_devs;
  if (devs.isEmpty()) {
    _done.store(true, std::memory_order_release);
    if (_whenDone) _whenDone();
    return;
  }
  if (_growing != nullptr && _growing->load()) yieldToRecording();
  std::vector<CheckedSource> sources;
  for (RmtDev* dev : devs) {
    // Only a device that recorded into a temp file this time has losses to tell.
    const bool recorded = !dev->_tmpName.isEmpty();
    sources.push_back(
        {{baseGetDecoder(dev->_index), dev->_chainPos, dev->_markers, dev->_mergeFile, _growing,
          &dev->_write.bytes},
         toFileName(dev->_tmpName),
         recorded && _growing == nullptr ? dev->_lossLog.losses() : std::vector<StreamLoss>(),
         _kept != nullptr ? &(*_kept)[sources.size()] : nullptr});
  }
  MergeOutputs outputs;
  outputs.text = _ascFile;
  outputs.binary = _binFile;
  outputs.records = _records;
  outputs.header = _header;
  outputs.resume = _resume;
  if (_growing != nullptr) {
    // The losses are complete once the recording has stopped, which is when the merge reaches
    // the files' end.
    _outcome = mergeWhileRecording(sources, outputs, _bytesRead, _running, [&devs](size_t i) {
      const RmtDev* dev = devs[int(i)];
      return dev->_tmpName.isEmpty() ? std::vector<StreamLoss>() : dev->_lossLog.losses();
    });
  } else {
    _outcome = mergeChecked(sources, outputs, false, _bytesRead, _running);
  }
  if (_afterMerge) _afterMerge();
  // What the streams still buffer is written here, not by the window's thread when it closes the
  // outputs: on a pipe that write waits for a reader, or for room.
  for (FILE* out : {_ascFile, _binFile})
    if (out != nullptr) fflush(out);
  // A stop that came after the last record was written still leaves a complete merge, but it
  // cannot be told apart from one before: only a merge never asked to stop counts as complete.
  _completed.store(_running.load(std::memory_order_relaxed), std::memory_order_release);
  _done.store(true, std::memory_order_release);
  if (_whenDone) _whenDone();
}
