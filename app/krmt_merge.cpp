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
#include "chain/outputstage.h"
#include "chain/session.h"
#include "merge/hdf5file.h"
#include "merge/inputs.h"
#include "merge/outputcheck.h"
#include "merge/outputfile.h"
#include "chain/devicecore.h"
#include "chain/recordcore.h"
#include "device/rmtdev.h"
#include "device/rmtpath.h"
#include "merge/mergethread.h"
#include "merge/streamloss.h"
#include "report/problems.h"
#include "report/runreport.h"

// At Stop: the merge, running since Start, now reads the temp files to their end; the window
// waits for it in Saving. The outputs ticked and named now are the ones written: those changed
// since Start are merged from the temp files after it (mergeLater), and those it wrote that are
// no longer wanted are dropped; outputs in parts go on as they were begun. Without outputs the
// recording is kept for ravik-merge.
void KRmt::startMerge() {
  _totalBytes = 0;
  // The callback is removed and the temp files closed: what they hold is all there is.
  _growing.store(false, std::memory_order_release);
  bool changed = false, keepsLive = false, wanted = false, open = false;
  for (int k = 0; k < kOutputKinds; ++k) {
    _stopChoice[k] = chosenOutput(OutputKind(k));
    changed = changed || _stopChoice[k] != _choice[k];
    keepsLive = keepsLive || (outputOpen(OutputKind(k)) && _stopChoice[k] == _choice[k]);
    wanted = wanted || !_stopChoice[k].isEmpty();
    open = open || outputOpen(OutputKind(k));
  }
  // Only a merge that runs beside the recording has its temp files open.
  const bool live =
      std::any_of(_devs.begin(), _devs.end(), [](RmtDev* d) { return d->_mergeFile; });
  keepsLive = keepsLive && live;
  // Parts are published under the names given at Start while the run goes on, and the raw data
  // behind them may be gone by now: a change at Stop (with an output still ticked) leaves them
  // going on under those names, the report beside them, as a note says.
  if (_parts != nullptr && changed && wanted && open && live) {
    for (int k = 0; k < kOutputKinds; ++k) _stopChoice[k] = _choice[k];
    changed = false;
    keepsLive = true;
    addNote("The outputs go on in parts under the names they had at Start: the parts are "
            "published as the run goes on, so they cannot be renamed at Stop.");
  }
  // Merged again from the temp files, they must stay whole.
  if (!keepsLive) {
    std::lock_guard<std::mutex> hold(_manifestLock);
    _releasing = false;
  }
  if (!keepsLive) {
    // Nothing the merge beside the recording writes is still wanted, or it never ran: every
    // output chosen now is merged from the temp files, those created at Start included.
    for (int k = 0; k < kOutputKinds; ++k)
      if (outputOpen(OutputKind(k))) _choice[k].clear();
    abandonMerge();
  }
  if (!wanted) {
    keepRecording();
    stopMerge();
    return;
  }
  // Without a temp file of this recording there is nothing to merge, and an existing output
  // must not be replaced by an empty one.
  if (_recorded.isEmpty()) {
    checkError(false, "Nothing was recorded: no device has a temp file of this recording.\n"
                      "The outputs were not touched.");
    discardOutputs();
    updateGui(Idle);
    return;
  }
  if (!tellWriteFailures()) return;
  if (!keepsLive) {
    mergeLater();
    return;
  }
  // Should the window go before the other merge, the recovery writes what Stop chose.
  if (changed) {
    QString outputs[kOutputKinds];
    for (int k = 0; k < kOutputKinds; ++k)
      if (_stopChoice[k] != _choice[k] || outputOpen(OutputKind(k))) outputs[k] = _stopChoice[k];
    writeManifest(outputs);
  }
  _merger->recordingEnded();
  if (!lockTempFiles()) return;
  struct stat st;
  for (RmtDev* dev : _devs)
    if (dev->_mergeFile && fstat(fileno(dev->_mergeFile), &st) == 0) _totalBytes += double(st.st_size);
  updateGui(Saving);
  QTimer::singleShot(50, this, &KRmt::pollFinished);
}

void KRmt::mergeLater() {
  QString paths[kOutputKinds];
  for (int k = 0; k < kOutputKinds; ++k) {
    if (_stopChoice[k] != _choice[k]) paths[k] = _stopChoice[k];
    _choice[k] = _stopChoice[k];
  }
  _totalBytes = 0;
  for (RmtDev* dev : _recorded) {
    if (!openForMerge(dev)) {
      checkError(false, "Can't open tempfile " + tempNameOf(dev));
      keepRecording();
      stopMerge();
      return;
    }
    struct stat st;
    if (fstat(fileno(dev->_mergeFile), &st) == 0) _totalBytes += double(st.st_size);
  }
  if (!lockTempFiles()) return;
  if (!openOutputs(paths) || (!_ascFile && !_binFile && !_hdf5 && !_parts)) {
    keepRecording();
    stopMerge();
    return;
  }
  outputsInHand(paths);
  writeManifest(paths);
  _progress->setValue(0);
  updateGui(Saving);
  startMergeThread(false);
  QTimer::singleShot(50, this, &KRmt::pollFinished);
}

bool KRmt::laterOutputs() const {
  for (int k = 0; k < kOutputKinds; ++k)
    if (_stopChoice[k] != _choice[k] && !_stopChoice[k].isEmpty()) return true;
  return false;
}

void KRmt::dropChangedOutputs() {
  if (_stopChoice[kTextOut] != _choice[kTextOut]) {
    _ascOutput.reset();  // closes the stream and removes the temporary file
    _ascFile = nullptr;
  }
  if (_stopChoice[kBinaryOut] != _choice[kBinaryOut]) {
    _binOutput.reset();
    _binFile = nullptr;
  }
  if (_stopChoice[kHdf5Out] != _choice[kHdf5Out]) discardHdf5();
}

bool KRmt::openForMerge(RmtDev* dev) {
  if (dev->_mergeFile) return fseek(dev->_mergeFile, 0, SEEK_SET) == 0;
  if (dev->_tmpName.isEmpty()) return false;
  dev->_mergeFile = fopen(toFileName(dev->_tmpName).c_str(), "rb");
  return dev->_mergeFile != nullptr;
}

QString KRmt::tempNameOf(const RmtDev* dev) const {
  if (!dev->_tmpName.isEmpty()) return dev->_tmpName;
  return fromFileName(tempFileName(toFileName(_recordDir), dev->_index));
}

QString KRmt::chosenOutput(OutputKind kind) const {
  const QCheckBox* const enable[] = {_ascEnable, _binEnable, _hdf5Enable};
  const QLineEdit* const path[] = {_ascPath, _binPath, _hdf5Path};
  return enable[kind]->isChecked() ? path[kind]->text() : QString();
}

bool KRmt::outputOpen(OutputKind kind) const {
  if (_parts != nullptr) return !_partPaths[kind].isEmpty();
  return kind == kTextOut ? _ascOutput != nullptr
                          : kind == kBinaryOut ? _binOutput != nullptr : _hdf5File != nullptr;
}

void KRmt::outputsInHand(QString* outputs) const {
  for (int k = 0; k < kOutputKinds; ++k)
    outputs[k] = outputOpen(OutputKind(k)) ? _choice[k] : QString();
}

bool KRmt::openOutputs(const QString* paths, bool live) {
  if (_split.on()) return openParts(paths, live);
  bool goOn = true;
  _ascFile = openOutput(paths[kTextOut], "text output", &_ascOutput, &goOn);
  if (goOn) _binFile = openOutput(paths[kBinaryOut], "binary output", &_binOutput, &goOn);
  if (goOn) openHdf5(paths[kHdf5Out], &goOn);
  std::string report, error;
  if (goOn && !reportFile(_ascOutput ? _ascOutput->path() : std::string(),
                          _binOutput ? _binOutput->path() : std::string(),
                          _hdf5File ? _hdf5File->file()->path() : std::string(), &report, &error)) {
    checkError(false,
               "Can't start: " + fromFileName(error) + "\nChoose other output names.");
    goOn = false;
  }
  if (!goOn) discardOutputs();
  return goOn;
}

std::vector<OutputName> KRmt::recordingFiles() const {
  // Before the devices have started, the names they are about to give their temp files.
  std::vector<OutputName> files;
  for (const RmtDev* dev : _recorded) {
    const std::string name = toFileName(tempNameOf(dev));
    files.push_back({"recording's temp file", name, true});
    files.push_back({"recording's loss file", lossFileName(name), true});
  }
  files.push_back({"run manifest", manifestPath(toFileName(_recordDir)), true});
  files.push_back({"run's parts log", toFileName(_recordDir) + "/" + kPartsLogName, true});
  return files;
}

std::string KRmt::outputClash(const char* what, const std::string& path,
                              const std::vector<OutputName>& more) const {
  // Two outputs in one file would leave only the one renamed last; an output on a file of the
  // recording would be deleted with it after the merge; the metadata file is read at Start and
  // must still be there for the next recording.
  std::vector<OutputName> names;
  const char* const kinds[] = {"text output", "binary output", "HDF5 output"};
  for (int k = 0; k < kOutputKinds; ++k)
    if (!_written[k].empty()) names.push_back({kinds[k], _written[k]});
  if (_ascOutput) names.push_back({"text output", _ascOutput->path()});
  if (_binOutput) names.push_back({"binary output", _binOutput->path()});
  names.insert(names.end(), more.begin(), more.end());
  names.push_back({what, path});
  for (OutputName& file : recordingFiles()) names.push_back(std::move(file));
  ReadFiles read;
  if (!_choice[kHdf5Out].isEmpty())
    read.push_back({"metadata file", toFileName(metaFileFor(_choice[kHdf5Out]))});
  std::string error;
  return checkOutputNames(names, {}, false, keptRunFile, &error, read) ? std::string() : error;
}

// After the devices have started: opens every temp file of this recording for reading and starts
// the merge beside the recording. When a temp file cannot be opened there is none: after Stop,
// the merge opens the temp files again and says so if it still cannot.
void KRmt::startLiveMerge() {
  if (!_ascFile && !_binFile && !_hdf5 && !_parts) return;
  for (RmtDev* dev : _recorded) {
    if (openForMerge(dev)) continue;
    for (RmtDev* d : _devs) closeTempFile(&d->_mergeFile);  // read only: nothing to lose
    return;
  }
  if (std::none_of(_devs.begin(), _devs.end(), [](RmtDev* d) { return d->_mergeFile; })) return;
  _growing.store(true, std::memory_order_release);
  startMergeThread(true);
}

void KRmt::startMergeThread(bool growing) {
  delete _merger;  // the previous merge has finished
  _stage.reset();
  // Made now, before the refreshes of the device rows address the devices one by one.
  std::function<void(FILE*, bool)> header;
  if (_binFile || (_parts && !_partPaths[kBinaryOut].isEmpty()))
    header = chainDeviceHeader(_devs.front()->_index);
  KeepFilter* keep = _session ? _session->newKeepFilter() : nullptr;
  if (_parts != nullptr) {
    // The merge hands every record to the stage (through the filter, if any), which ends and
    // publishes the parts as it goes; the last waits for the end of the merge.
    describeParts(header, growing && keep == nullptr);
    std::vector<RecordStage*> stages;
    if (keep != nullptr) stages.push_back(keep);
    _stage.reset(new OutputStage(stages, _parts, nullptr));
    _merger = new MergeThread(nullptr, nullptr);
    _merger->_records = _stage.get();
    OutputStage* stage = _stage.get();
    _merger->_afterMerge = [stage] { stage->finish(); };
  } else if (keep != nullptr) {
    // The merge hands every record to the filter's stage, which writes the outputs.
    _stage.reset(new OutputStage({keep}, _ascFile, _binFile, _hdf5, header));
    _merger = new MergeThread(nullptr, nullptr);
    _merger->_records = _stage.get();
    OutputStage* stage = _stage.get();
    FILE* const files[] = {_ascFile, _binFile};
    _merger->_afterMerge = [stage, files] {
      stage->finish();
      for (FILE* out : files)
        if (out != nullptr) fflush(out);
    };
  } else {
    _merger = new MergeThread(_ascFile, _binFile);
    _merger->_records = _hdf5;
    _merger->_header = header;
  }
  _merger->_growing = growing ? &_growing : nullptr;
  if (_parts != nullptr && _resumeLog != nullptr) {
    _merger->_resume = _resumeLog.get();
    _merger->_kept = &_keptPoints;
  }
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
  const bool someWritten =
      std::any_of(std::begin(_written), std::end(_written), [](const std::string& p) { return !p.empty(); });
  checkError(false, "Merge failed: " + error +
                        (someWritten ? "\nOnly the outputs unchanged since Start were written; the "
                                       "temp files are kept."
                                     : "\nNo output was written; the temp files are kept."));
}

RunResult KRmt::mergeResult() const {
  // The merge read every device's temp file, none where a device recorded into none.
  RunResult run;
  run.outcome = _merger->_outcome;
  run.records = run.outcome.records;
  if (_stage) {
    run.records = _stage->written().records;
    run.outcome.firstPs = _stage->written().first;
    run.outcome.lastPs = _stage->written().last;
  }
  MergeOutcome& outcome = run.outcome;
  size_t kept = 0;
  for (int i = 0; i < _devs.size(); ++i) {
    if (_devs[i]->_tmpName.isEmpty()) continue;
    if (size_t(i) < outcome.sourceRecords.size())
      outcome.sourceRecords[kept] = outcome.sourceRecords[size_t(i)];
    if (size_t(i) < outcome.sourceStats.size())
      outcome.sourceStats[kept] = outcome.sourceStats[size_t(i)];
    ++kept;
  }
  outcome.sourceRecords.resize(std::min(kept, outcome.sourceRecords.size()));
  outcome.sourceStats.resize(std::min(kept, outcome.sourceStats.size()));
  return run;
}

RunReport KRmt::runReport(const std::string& text, const std::string& binary) {
  const std::string hdf5 = _hdf5File ? _hdf5File->file()->path() : _written[kHdf5Out];
  _session->nameOutputs(text, binary, hdf5,
                        hdf5.empty() ? std::vector<Hdf5MetaField>() : _hdf5Meta);
  return _session->report(sessionDevices(true), mergeResult(), "");
}

// The run report beside the outputs (see defaultReportPath), and what it holds of losses and
// bad clocks in the window's note.
void KRmt::writeRunReport(const std::string& text, const std::string& binary) {
  const RunReport report = runReport(text, binary);
  QStringList problems;
  for (const std::string& line : problemLines(report.devices))
    problems << QString::fromStdString(line);
  if (!problems.isEmpty()) addNote("Last recording: " + problems.join('\n'));
  std::string path, error;
  if (!reportFile(text, binary, _written[kHdf5Out], &path, &error) ||
      (!path.empty() && !writeReport(report, path, &error)))
    checkError(false, fromFileName(error));
}

bool KRmt::reportFile(const std::string& text, const std::string& binary, const std::string& hdf5,
                      std::string* path, std::string* error) const {
  // Never onto the HDF5 output, the metadata file or a file of the recording.
  std::vector<OutputName> taken;
  if (!hdf5.empty()) {
    taken.push_back({"HDF5 output", hdf5});
    taken.push_back({"metadata file", toFileName(metaFileFor(fromFileName(hdf5)))});
  }
  return runReportPath("", text, binary, taken, {}, recordingFiles(), path, error, "");
}

// For a merge that cannot start or did not complete: closes the temp files without deleting
// them, so that nothing recorded is lost, and says on standard error how to merge them: from the
// run's manifest, which is then no longer the window's, or without one file by file.
void KRmt::keepRecording() {
  haltMerge();  // the merge reads the temp files: never close them under it
  KeptRun run;
  for (RmtDev* dev : _devs) {
    closeTempFile(&dev->_tmpFile);
    closeTempFile(&dev->_mergeFile);
    if (dev->_tmpName.isEmpty() || !QFileInfo::exists(dev->_tmpName)) continue;
    run.streams.push_back({toFileName(dev->_tmpName), dev->_chainPos, dev->_markers});
  }
  if (run.streams.empty()) return;
  std::lock_guard<std::mutex> hold(_manifestLock);
  if (_manifest.held()) {
    // The outputs of a merge stopped here are removed under their temporary names, so nothing
    // stands in the recovery's way.
    run.manifestDir = _manifest.dir();
    fprintf(stderr, "ravik: the recording was not merged in full and is kept; finish the merge with\n"
                    "  %s\n", recoveryCommand(run).c_str());
    _manifest.release();
    return;
  }
  run.text = run.binary = "FILE";
  run.split = _split;
  fprintf(stderr, "ravik: the recording was not merged in full and is kept; merge it with\n  %s\n",
          recoveryCommand(run).c_str());
}

// The output of one check box and path, created under a temporary name in its folder, or null
// when it is not wanted or cannot be created. *goOn turns false when the user answers a failure
// with Close.
FILE* KRmt::openOutput(const QString& path, const char* what, std::unique_ptr<OutputFile>* output,
                       bool* goOn) {
  output->reset();
  if (path.isEmpty()) return nullptr;
  std::unique_ptr<OutputFile> file(new OutputFile);
  const std::string name = toFileName(path);
  const std::string clash = outputClash(what, name);
  std::string error;
  // The GUI thread never waits for a named pipe's reader: the merge's first write does.
  const bool created =
      clash.empty() && file->create(name, &error, false, OutputFile::PipeReader::AtFirstWrite);
  *goOn = checkError(created, "Can't open output file\n" + path +
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
    _progress->setValue(
        int(std::min(1000.0, 1000 * double(_merger->_bytesRead.load()) / _totalBytes)));
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
  if (_merger->completed() && _parts != nullptr) {
    concludeParts();
    return;
  }
  if (_merger->completed()) {
    dropChangedOutputs();
    // The HDF5 file first: when it fails, the other outputs are still unpublished and go too.
    const QString hdf5Error = finishHdf5();
    if (!hdf5Error.isEmpty()) {
      mergeFailed(hdf5Error);
      return;
    }
    if (!finishOutputs()) return;
    // The outputs changed since Start are still to come, from the temp files; the run report
    // follows them.
    if (laterOutputs()) {
      mergeLater();
      return;
    }
    writeRunReport(_written[kTextOut], _written[kBinaryOut]);
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
  if (_ascOutput) _written[kTextOut] = _ascOutput->path();
  if (_binOutput) _written[kBinaryOut] = _binOutput->path();
  if (_hdf5File) _written[kHdf5Out] = _hdf5File->file()->path();
  _ascOutput.reset();
  _binOutput.reset();
  _hdf5File.reset();
  _hdf5 = nullptr;
  return true;
}

void KRmt::discardOutputs() {
  // The part being written goes; those published stay in place.
  if (_parts != nullptr) _parts->discard();
  _parts = nullptr;
  for (QString& path : _partPaths) path.clear();
  _ascFile = _binFile = nullptr;
  _ascOutput.reset();  // closes the stream and removes the temporary file
  _binOutput.reset();
  discardHdf5();
}

void KRmt::stopMerge() {
  // The merge thread reads the temp files and writes the outputs: never close them under it.
  haltMerge();
  // The temp files go only when the outputs that merged them in full are in place.
  const bool merged =
      _merger && _merger->completed() && !_ascOutput && !_binOutput && !_hdf5File && !_parts;
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
  // offers a recovery of files that are being deleted. The files leave their names at once and
  // are deleted on a thread of their own: the outputs are complete, and the window is back in
  // Idle meanwhile.
  std::string left;
  if (!names.empty()) {
    std::lock_guard<std::mutex> hold(_manifestLock);
    left = _manifest.remove();
    const std::string files = _tempRemoval.remove(names);
    left += (left.empty() || files.empty() ? "" : "; ") + files;
  }
  discardOutputs();
  updateGui(Idle);
  // The outputs are complete; what could not be deleted only takes space. Said once the window
  // is back to its events (never from its destructor or in the middle of its closing).
  if (!left.empty()) {
    const QString text = fromFileName("The outputs are complete, but these files could not be "
                                      "deleted: " + left);
    QTimer::singleShot(0, this, [this, text] { checkError(false, text); });
  }
}
