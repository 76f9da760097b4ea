#include "merge/mergethread.h"

#include <vector>

#include "app/krmt.h"
#include "device/korbalt.h"
#include "device/rmtdev.h"
#include "merge/mergecore.h"

MergeThread::~MergeThread() {}

void MergeThread::run() {
  const QVector<RmtDev*>& devs = KRmt::_devs;
  if (devs.isEmpty()) return;
  std::vector<CheckedSource> sources;
  for (RmtDev* dev : devs) {
    // Only a device that recorded into a temp file this time has losses to tell.
    const bool recorded = !dev->_tmpName.isEmpty();
    sources.push_back({{baseGetDecoder(dev->_index), dev->_chainPos, dev->_markers, dev->_tmpFile},
                       dev->_tmpName.toStdString(),
                       recorded ? dev->_lossLog.losses() : std::vector<StreamLoss>()});
  }
  MergeOutputs outputs;
  outputs.text = _ascFile;
  outputs.binary = _binFile;
  outputs.records = _records;
  const uint32_t first = devs.front()->_index;
  outputs.header = [first](FILE* file, bool opening) {
    if (opening) TDC_addressDevice(first);
    writeFileHeader(file, 0);
  };
  _outcome = mergeChecked(sources, outputs, false, _bytesRead, _running);
  // A stop that came after the last record was written still leaves a complete merge, but it
  // cannot be told apart from one before: only a merge never asked to stop counts as complete.
  _completed.store(_running.load(std::memory_order_relaxed), std::memory_order_release);
}
