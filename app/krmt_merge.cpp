// The window's side of the merge: creating the outputs at Start, starting the merge beside the
// recording, finishing it after Stop, polling it, and cleaning up after it.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QStringList>
#include <QTimer>

#include "app/krmt.h"
#include "cli/hdf5file.h"
#include "cli/outputcheck.h"
#include "cli/outputfile.h"
#include "device/devicecore.h"
#include "device/paramsjson.h"
#include "device/recordcore.h"
#include "device/rmtdev.h"
#include "device/rmtpath.h"
#include "merge/channelmap.h"
#include "merge/mergethread.h"
#include "merge/streamloss.h"
#include "report/problems.h"
#include "report/runreport.h"

// At Stop: the merge, running since Start, now reads the temp files to their end; the window
// waits for it in Saving. Without outputs, or when the merge could not start, the recording is
// kept for ravik-merge.
void KRmt::startMerge() {
  _totalBytes = 0;
  // The callback is removed and the temp files closed: what they hold is all there is.
  _growing.store(false, std::memory_order_release);
  if (!_ascFile && !_binFile && !_hdf5) {
    keepRecording();
    stopMerge();
    return;
  }
  // Without a temp file of this recording there is nothing to merge, and an existing output
  // must not be replaced by an empty one.
  if (std::none_of(_devs.begin(), _devs.end(), [](RmtDev* d) { return !d->_tmpName.isEmpty(); })) {
    checkError(false, "Nothing was recorded: no device has a temp file of this recording.\n"
                      "The outputs were not touched.");
    discardOutputs();
    updateGui(Idle);
    return;
  }
  if (std::none_of(_devs.begin(), _devs.end(), [](RmtDev* d) { return d->_mergeFile; })) {
    keepRecording();
    stopMerge();
    return;
  }
  if (_merger) _merger->recordingEnded();
  if (!tellWriteFailures() || !lockTempFiles()) return;
  struct stat st;
  for (RmtDev* dev : _devs)
    if (dev->_mergeFile && fstat(fileno(dev->_mergeFile), &st) == 0) _totalBytes += double(st.st_size);
  updateGui(Saving);
  QTimer::singleShot(50, this, &KRmt::pollFinished);
}

bool KRmt::openOutputs() {
  bool goOn = true;
  _ascFile = openOutput(_ascEnable, _ascPath, "text output", &_ascOutput, &goOn);
  if (goOn) _binFile = openOutput(_binEnable, _binPath, "binary output", &_binOutput, &goOn);
  if (goOn) openHdf5(&goOn);
  if (!goOn) discardOutputs();
  return goOn;
}

std::vector<OutputName> KRmt::recordingFiles(const QString& dir, bool started) const {
  std::vector<OutputName> files;
  for (const RmtDev* dev : _devs) {
    std::string name;
    if (started) name = toFileName(dev->_tmpName);
    else if (dev->_recordBox->isChecked() && dev->_connected)
      name = tempFileName(toFileName(dir), dev->_index);
    if (name.empty()) continue;
    files.push_back({"recording's temp file", name, true});
    files.push_back({"recording's loss file", lossFileName(name), true});
  }
  files.push_back({"run manifest", manifestPath(toFileName(dir)), true});
  return files;
}

std::string KRmt::outputClash(const char* what, const std::string& path) const {
  // Two outputs in one file would leave only the one renamed last; an output on a file of the
  // recording would be deleted with it after the merge; the metadata file is read at Start and
  // must still be there for the next recording.
  std::vector<OutputName> names;
  if (_ascOutput) names.push_back({"text output", toFileName(_ascPath->text())});
  if (_binOutput) names.push_back({"binary output", toFileName(_binPath->text())});
  names.push_back({what, path});
  for (OutputName& file : recordingFiles(_tmpPath->text(), false)) names.push_back(std::move(file));
  ReadFiles read;
  if (_hdf5Enable->isChecked() && !_hdf5Path->text().isEmpty())
    read.push_back({"metadata file", toFileName(metaFileFor(_hdf5Path->text()))});
  std::string error;
  return checkOutputNames(names, {}, false, &error, read) ? std::string() : error;
}

// After the devices have started: opens every temp file of this recording for reading and starts
// the merge beside the recording. When a temp file cannot be opened there is no merge: the
// recording goes on and Stop keeps it for ravik-merge.
void KRmt::startLiveMerge() {
  if (!_ascFile && !_binFile && !_hdf5) return;
  for (RmtDev* dev : _devs) {
    if (dev->_tmpName.isEmpty()) continue;
    dev->_mergeFile = fopen(toFileName(dev->_tmpName).c_str(), "rb");
    if (dev->_mergeFile) continue;
    checkError(false, "Can't open tempfile " + dev->_tmpName + "\nThe recording goes on and is "
                      "kept for ravik-merge.");
    for (RmtDev* d : _devs) closeTempFile(&d->_mergeFile);  // read only: nothing to lose
    return;
  }
  if (std::none_of(_devs.begin(), _devs.end(), [](RmtDev* d) { return d->_mergeFile; })) return;
  _growing.store(true, std::memory_order_release);
  delete _merger;  // the previous merge has finished: Start is only enabled in Idle
  _merger = new MergeThread(_ascFile, _binFile);
  _merger->_growing = &_growing;
  _merger->_records = _hdf5;
  // Made now, before the refreshes of the device rows address the devices one by one.
  if (_binFile) _merger->_header = chainDeviceHeader(_devs.front()->_index);
  _merger->_whenDone = [this] {
    QMetaObject::invokeMethod(this, &KRmt::pollFinished, Qt::QueuedConnection);
  };
  _merger->start();
}

void KRmt::abandonMerge() {
  haltMerge();
  discardOutputs();
}

void KRmt::haltMerge() {
  _growing.store(false, std::memory_order_release);
  if (_merger && !_merger->finished()) {
    _merger->stop();
    // A write that waits for a pipe's reader, or for room in the pipe, ends too.
    for (OutputFile* out : {_ascOutput.get(), _binOutput.get()})
      if (out != nullptr) out->cancel();
    _merger->wait();
  }
}

// The writers have closed the temp files and given up their locks: the merge takes them, so that
// another recording cannot truncate a file before the merge has read it to its end.
bool KRmt::lockTempFiles() {
  for (RmtDev* dev : _devs) {
    if (!dev->_mergeFile || lockTempFile(dev->_mergeFile) == 0) continue;
    haltMerge();
    mergeFailed(dev->_tmpName + " is in use by another recording");
    return false;
  }
  return true;
}

// Shows for each device whose temp file could not be written the usual error box; what it
// recorded up to then is merged. False, with the recording kept, when the user closes the window.
bool KRmt::tellWriteFailures() {
  for (RmtDev* dev : _devs) {
    const StreamLoss* failure = dev->_lossLog.writeFailure();
    if (dev->_tmpName.isEmpty() || failure == nullptr) continue;
    const QString message =
        QString("Device %1: the temp file could not be written\n%2\n%3\n"
                "The device's data end at its last complete block; they are merged up to there.")
            .arg(dev->_serialEdit->text(), dev->_tmpName, QString::fromStdString(failure->cause));
    if (checkError(false, message)) continue;
    keepRecording();
    stopMerge();
    return false;
  }
  return true;
}

// A merge that could not complete: its outputs, still under their temporary names, are removed
// (an earlier file under a final name stays as it was), and the temp files are kept for another
// try.
void KRmt::mergeFailed(const QString& error) {
  discardOutputs();
  keepRecording();
  updateGui(Idle);
  checkError(false, "Merge failed: " + error + "\nNo output was written; the temp files are kept.");
}

RunReport KRmt::runReport(const std::string& text, const std::string& binary) const {
  const MergeOutcome& outcome = _merger->_outcome;
  RunReport report;
  report.program = "ravik";
  report.startUtc = _startUtc;
  report.stopUtc = report.mergeStartUtc = _stopUtc;
  report.mergeStopUtc = utcNow();
  for (int i = 0; i < _devs.size(); ++i) {
    const RmtDev* dev = _devs[i];
    if (dev->_tmpName.isEmpty()) continue;
    ReportDevice d;
    d.serial = dev->_serialEdit->text().toStdString();
    d.index = dev->_index;
    d.chain = dev->_chainPos;
    d.role = dev->_roleEdit->text().toStdString();
    d.stream = toFileName(dev->_tmpName);
    if (i < int(outcome.sourceRecords.size())) d.records = outcome.sourceRecords[size_t(i)];
    d.clockOk = dev->_lossLog.clockBad() ? 0 : 1;
    d.parameters = paramsToJson(dev->_recordParams);
    report.devices.push_back(d);
  }
  assignLosses(outcome.losses, &report.devices);
  assignStreamFaults(outcome.sourceStats, &report.devices);
  report.overlaps = recordedOverlaps();
  report.records = outcome.records;
  report.firstPs = outcome.firstPs;
  report.lastPs = outcome.lastPs;
  if (!text.empty()) report.outputs.push_back({"text", text});
  if (!binary.empty()) report.outputs.push_back({"binary", binary});
  if (_hdf5File) report.outputs.push_back({"hdf5", toFileName(_hdf5Path->text())});
  report.completed = true;
  return report;
}

// The run report beside the outputs (see defaultReportPath), and what it holds of losses and
// bad clocks in the window's note.
void KRmt::writeRunReport(const std::string& text, const std::string& binary) {
  const RunReport report = runReport(text, binary);
  QStringList problems;
  for (const std::string& line : problemLines(report.devices))
    problems << QString::fromStdString(line);
  if (!problems.isEmpty()) _noteText->setText("Last recording: " + problems.join('\n'));
  // Never onto the HDF5 output, the metadata file or a file of the recording, which goes now.
  std::vector<std::string> taken;
  if (_hdf5File) {
    taken.push_back(toFileName(_hdf5Path->text()));
    taken.push_back(toFileName(metaFileFor(_hdf5Path->text())));
  }
  for (const OutputName& file : recordingFiles(_tmpPath->text(), true)) taken.push_back(file.path);
  const std::string path = defaultReportPath(text, binary, taken);
  std::string error;
  if (!path.empty() && !writeReport(report, path, &error))
    checkError(false, fromFileName(error));
}

// The output channels that two recorded devices filled: a device in five-channel mode beside one
// without the feature, or markers beside chain positions from 20 up.
std::vector<ReportOverlap> KRmt::recordedOverlaps() const {
  std::vector<ChainChannels> chain;
  for (const RmtDev* dev : _devs) {
    if (dev->_tmpName.isEmpty()) continue;
    const uint32_t inputs =
        dev->_recordParams.fiveChannel ? kFiveChannelInputs : kFourChannelInputs;
    chain.push_back({dev->_chainPos, inputs, dev->_markers});
  }
  std::vector<ReportOverlap> overlaps;
  for (const ChannelOverlap& o : channelOverlaps(chain))
    overlaps.push_back({o.output, chain[o.a].chainPos, o.channelA, chain[o.b].chainPos, o.channelB});
  return overlaps;
}

// For a merge that cannot start or did not complete: closes the temp files without deleting
// them, so that nothing recorded is lost, and says on standard error how to merge them: from the
// run's manifest, which is then no longer the window's, or without one file by file.
void KRmt::keepRecording() {
  haltMerge();  // the merge reads the temp files: never close them under it
  QStringList kept;
  std::vector<int32_t> positions;
  for (RmtDev* dev : _devs) {
    closeTempFile(&dev->_tmpFile);
    closeTempFile(&dev->_mergeFile);
    if (dev->_tmpName.isEmpty() || !QFileInfo::exists(dev->_tmpName)) continue;
    kept << QString("%1:%2:0x%3").arg(dev->_tmpName).arg(dev->_chainPos).arg(dev->_markers, 0, 16);
    positions.push_back(dev->_chainPos);
  }
  if (kept.isEmpty()) return;
  if (_manifest.held()) {
    // The outputs of a merge stopped here are removed under their temporary names, so nothing
    // stands in the recovery's way.
    fprintf(stderr, "ravik: the recording was not merged in full and is kept; finish the merge with\n"
                    "  ravik-merge --recover %s\n", _manifest.dir().c_str());
    _manifest.release();
    return;
  }
  if (positionsRepeat(positions)) kept.prepend(kSharedPositionsOption);
  fprintf(stderr, "ravik: the recording was not merged in full and is kept; merge it with\n"
                  "  ravik-merge --text FILE --bin FILE %s\n",
          toFileName(kept.join(' ')).c_str());
}

// The output of one check box and path, created under a temporary name in its folder, or null
// when it is not wanted or cannot be created. *goOn turns false when the user answers a failure
// with Close.
FILE* KRmt::openOutput(QCheckBox* enable, QLineEdit* path, const char* what,
                       std::unique_ptr<OutputFile>* output, bool* goOn) {
  output->reset();
  if (!enable->isChecked() || path->text().isEmpty()) return nullptr;
  std::unique_ptr<OutputFile> file(new OutputFile);
  const std::string name = toFileName(path->text());
  const std::string clash = outputClash(what, name);
  std::string error;
  // The GUI thread never waits for a named pipe's reader: the merge's first write does.
  const bool created =
      clash.empty() && file->create(name, &error, false, OutputFile::PipeReader::AtFirstWrite);
  *goOn = checkError(created, "Can't open output file\n" + path->text() +
                                  (clash.empty() ? QString() : "\n" + fromFileName(clash)));
  if (!created) return nullptr;
  *output = std::move(file);
  return (*output)->file();
}

void KRmt::pollFinished() {
  if (_state != Saving) return;  // the exit has ended the merge already
  if (_merger->finished() || _merger->done()) {
    _merger->wait();  // run() is returning
    concludeMerge();
    return;
  }
  if (_totalBytes != 0)
    _progress->setValue(int(std::min(1000.0, 1000 * _merger->_bytesRead.load() / _totalBytes)));
  QTimer::singleShot(50, this, &KRmt::pollFinished);
}

void KRmt::concludeMerge() {
  const std::string& error = _merger->_outcome.readError;
  if (!error.empty()) {
    mergeFailed(fromFileName(error));
    return;
  }
  // Only a merge that ran to its end has the facts of a whole run, and only outputs whose every
  // byte reached the disk make it one: otherwise the temp files stay for another try.
  if (_merger->completed()) {
    const std::string text = _ascOutput ? toFileName(_ascPath->text()) : std::string();
    const std::string binary = _binOutput ? toFileName(_binPath->text()) : std::string();
    // The HDF5 file first: when it fails, the other outputs are still unpublished and go too.
    const QString hdf5Error = finishHdf5();
    if (!hdf5Error.isEmpty()) {
      mergeFailed(hdf5Error);
      return;
    }
    if (!finishOutputs()) return;
    writeRunReport(text, binary);
  }
  stopMerge();
}

// Flushes and closes the outputs of a complete merge and renames them into place. False, with
// the merge failed and the recording kept, when one could not be written or renamed.
bool KRmt::finishOutputs() {
  _ascFile = _binFile = nullptr;  // closed by finishing
  std::string error;
  for (OutputFile* out : {_ascOutput.get(), _binOutput.get()}) {
    if (out == nullptr || out->finish(&error)) continue;
    mergeFailed(fromFileName(error));
    return false;
  }
  std::vector<NamedOutput> outputs;
  if (_ascOutput) outputs.push_back({_ascOutput.get(), "text"});
  if (_binOutput) outputs.push_back({_binOutput.get(), "binary"});
  if (_hdf5File) outputs.push_back({_hdf5File->file(), "HDF5"});
  if (!publishOutputs(outputs, &error)) {
    discardOutputs();
    keepRecording();
    updateGui(Idle);
    checkError(false, fromFileName(error) + "\nThe temp files are kept.");
    return false;
  }
  // Published: nothing of them is left to discard.
  _ascOutput.reset();
  _binOutput.reset();
  return true;
}

void KRmt::discardOutputs() {
  _ascFile = _binFile = nullptr;
  _ascOutput.reset();  // closes the stream and removes the temporary file
  _binOutput.reset();
  discardHdf5();
}

void KRmt::stopMerge() {
  // The merge thread reads the temp files and writes the outputs: never close them under it.
  haltMerge();
  // The temp files go only when the outputs that merged them in full are in place.
  const bool merged = _merger && _merger->completed() && !_ascOutput && !_binOutput;
  const bool tempFilesOpen = std::any_of(_devs.begin(), _devs.end(), [](RmtDev* d) {
    return d->_tmpFile != nullptr || d->_mergeFile != nullptr;
  });
  if (tempFilesOpen && !merged) keepRecording();
  std::vector<std::string> names;
  for (RmtDev* dev : _devs) {
    if (!dev->_mergeFile) continue;
    closeTempFile(&dev->_mergeFile);
    names.push_back(toFileName(dev->_tmpName));
  }
  // Merged: the manifest goes with the temp files it names, first, so that the folder never
  // offers a recovery of files that are being deleted. The files go on a thread of their own:
  // the outputs are complete, and the window is back in Idle meanwhile.
  if (!names.empty()) {
    _manifest.remove();
    _tempRemoval.remove(names);
  }
  discardOutputs();
  updateGui(Idle);
}
