// The window's side of the merge: opening the temp files and outputs, starting and polling the
// merge thread, and cleaning up after it.
#include <errno.h>
#include <string.h>

#include <algorithm>

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QStringList>
#include <QTimer>

#include "app/krmt.h"
#include "device/paramsjson.h"
#include "device/recordcore.h"
#include "device/rmtdev.h"
#include "merge/mergethread.h"
#include "merge/outputstream.h"
#include "report/runreport.h"

void KRmt::startMerge() {
  _totalBytes = 0;
  if (!_ascEnable->isChecked() && !_binEnable->isChecked() && !_hdf5Enable->isChecked()) {
    keepRecording();
    stopMerge();
    return;
  }
  // Without a temp file of this recording there is nothing to merge, and an existing output
  // must not be emptied by opening it.
  if (std::none_of(_devs.begin(), _devs.end(), [](RmtDev* d) { return !d->_tmpName.isEmpty(); })) {
    checkError(false, "Nothing was recorded: no device has a temp file of this recording.\n"
                      "The outputs were not touched.");
    updateGui(Idle);
    return;
  }
  if (!tellWriteFailures() || !openTempFiles()) return;
  bool goOn = true;
  _ascFile = openOutput(_ascEnable, _ascPath, &goOn);
  if (goOn) _binFile = openOutput(_binEnable, _binPath, &goOn);
  if (goOn) openHdf5(&goOn);
  if (!goOn || (!_ascFile && !_binFile && !_hdf5)) {
    keepRecording();
    stopMerge();
    return;
  }
  updateGui(Saving);
  delete _merger;  // the previous merge has finished: Start is only enabled in Idle
  _merger = new MergeThread(_ascFile, _binFile);
  _merger->_records = _hdf5;
  _merger->start();
  QTimer::singleShot(50, this, &KRmt::pollFinished);
}

// Opens the temp file of every device that recorded one, for the merge thread. A device without
// a temp file in this recording takes no part. When a file cannot be opened the merge does not
// start and no recorded data is deleted: the files opened so far are closed and kept.
bool KRmt::openTempFiles() {
  for (RmtDev* dev : _devs) {
    if (dev->_tmpName.isEmpty()) continue;
    QByteArray name = dev->_tmpName.toLatin1();
    dev->_tmpFile = fopen(name.constData(), "rb");
    _totalBytes += QFileInfo(dev->_tmpName).size();
    // Held for the merge, so that another recording cannot truncate the file under it.
    const bool busy = dev->_tmpFile && lockTempFile(dev->_tmpFile) != 0;
    if (dev->_tmpFile && !busy) continue;
    const QString text = busy ? dev->_tmpName + " is in use by another recording"
                              : "Can't open tempfile " + dev->_tmpName;
    QMessageBox box(QMessageBox::Critical, "Error", text, QMessageBox::Ok | QMessageBox::Close,
                    this);
    box.setDefaultButton(QMessageBox::NoButton);
    box.setEscapeButton(QMessageBox::Close);
    if (box.exec() == QMessageBox::Close) close();
    keepRecording();
    stopMerge();
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

// A merge that could not read a temp file: its outputs are incomplete, so they are removed, and
// the temp files are kept for another try.
void KRmt::mergeFailed(const QString& error) {
  for (FILE** out : {&_ascFile, &_binFile}) {
    if (*out == nullptr) continue;
    fclose(*out);  // removed just below: what it held no longer matters
    *out = nullptr;
  }
  // Only files of ours: an output may also be a device such as /dev/null, or a link.
  for (const auto& out : {std::make_pair(_ascEnable, _ascPath), std::make_pair(_binEnable, _binPath)}) {
    const QFileInfo info(out.second->text());
    if (out.first->isChecked() && info.isFile() && !info.isSymLink()) QFile::remove(info.filePath());
  }
  discardHdf5();
  keepRecording();
  updateGui(Idle);
  checkError(false, "Merge failed: " + error + "\nNo output was written; the temp files are kept.");
}

// The run report beside the outputs (see defaultReportPath).
void KRmt::writeRunReport(const std::string& text, const std::string& binary) {
  const RunReport report = runReport(text, binary);
  const std::string path = defaultReportPath(text, binary);
  std::string error;
  if (!path.empty() && !writeReport(report, path, &error))
    checkError(false, QString::fromStdString(error));
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
    d.stream = dev->_tmpName.toStdString();
    if (i < int(outcome.sourceRecords.size())) d.records = outcome.sourceRecords[size_t(i)];
    d.clockOk = dev->_lossLog.clockBad() ? 0 : 1;
    d.parameters = paramsToJson(dev->_recordParams);
    report.devices.push_back(d);
  }
  assignLosses(outcome.losses, &report.devices);
  report.records = outcome.records;
  report.firstPs = outcome.firstPs;
  report.lastPs = outcome.lastPs;
  if (!text.empty()) report.outputs.push_back({"text", text});
  if (!binary.empty()) report.outputs.push_back({"binary", binary});
  if (_hdf5 != nullptr) report.outputs.push_back({"hdf5", _hdf5Path->text().toStdString()});
  report.completed = true;
  return report;
}

// For a merge that cannot start or did not complete: closes the temp files without deleting
// them, so that nothing recorded is lost, and says on standard error how to merge them: from the
// run's manifest, which is then no longer the window's, or without one file by file.
void KRmt::keepRecording() {
  QStringList kept;
  std::vector<int32_t> positions;
  for (RmtDev* dev : _devs) {
    if (dev->_tmpFile) {
      fclose(dev->_tmpFile);
      dev->_tmpFile = nullptr;
    }
    if (dev->_tmpName.isEmpty() || !QFileInfo::exists(dev->_tmpName)) continue;
    kept << QString("%1:%2:0x%3").arg(dev->_tmpName).arg(dev->_chainPos).arg(dev->_markers, 0, 16);
    positions.push_back(dev->_chainPos);
  }
  if (kept.isEmpty()) return;
  if (_manifest.held()) {
    // A merge stopped here leaves a part of the outputs under their names, which a recovery
    // does not overwrite.
    const char* partial = _ascFile || _binFile
                              ? "(the outputs hold a part of the merge: remove them first, or give "
                                "the recovery others with --text FILE and --bin FILE)\n"
                              : "";
    fprintf(stderr, "ravik: the recording was not merged in full and is kept; finish the merge with\n"
                    "  ravik-merge --recover %s\n%s", _manifest.dir().c_str(), partial);
    _manifest.release();
    return;
  }
  if (positionsRepeat(positions)) kept.prepend(kSharedPositionsOption);
  fprintf(stderr, "ravik: the recording was not merged in full and is kept; merge it with\n"
                  "  ravik-merge --text FILE --bin FILE %s\n",
          kept.join(' ').toLocal8Bit().constData());
}

// The output of one check box and path, or null when it is not wanted or cannot be opened.
// *goOn turns false when the user answers a failure with Close. The stream's position counts the
// bytes written also on a named pipe, where the binary header reads it.
FILE* KRmt::openOutput(QCheckBox* enable, QLineEdit* path, bool* goOn) {
  if (!enable->isChecked() || path->text().isEmpty()) return nullptr;
  FILE* file = openOutputStream(path->text().toLatin1().constData());
  *goOn = checkError(file != nullptr, "Can't open output file\n" + path->text());
  return file;
}

void KRmt::pollFinished() {
  if (_merger->finished()) {
    const std::string& error = _merger->_outcome.readError;
    if (!error.empty()) {
      mergeFailed(QString::fromStdString(error));
      return;
    }
    // Only a merge that ran to its end has the facts of a whole run, and only outputs whose every
    // byte reached the disk make it one: otherwise the temp files stay for another try.
    if (_merger->completed()) {
      const std::string text = _ascFile ? _ascPath->text().toStdString() : std::string();
      const std::string binary = _binFile ? _binPath->text().toStdString() : std::string();
      QString writeError = closeOutputs();
      if (writeError.isEmpty()) writeError = finishHdf5();
      if (!writeError.isEmpty()) {
        mergeFailed(writeError);
        return;
      }
      writeRunReport(text, binary);
    }
    stopMerge();
    return;
  }
  if (_totalBytes != 0) _progress->setValue(int(1000 * _merger->_bytesRead.load() / _totalBytes));
  QTimer::singleShot(50, this, &KRmt::pollFinished);
}

// Closes the outputs of a finished merge; the first write or close error, naming its file, or
// an empty text when both are complete. A write of the merge thread that failed is kept by the
// stream, so it is seen here even when the last flush succeeds.
QString KRmt::closeOutputs() {
  QString error;
  const std::pair<FILE**, QLineEdit*> outputs[] = {{&_ascFile, _ascPath}, {&_binFile, _binPath}};
  for (const auto& out : outputs) {
    FILE* file = *out.first;
    if (file == nullptr) continue;
    *out.first = nullptr;
    const int code = closeOutputStream(file);
    if (code != 0 && error.isEmpty())
      error = out.second->text() + ": write error: " + QString::fromLocal8Bit(strerror(code));
  }
  return error;
}

void KRmt::stopMerge() {
  const bool tempFilesOpen =
      std::any_of(_devs.begin(), _devs.end(), [](RmtDev* d) { return d->_tmpFile != nullptr; });
  if (tempFilesOpen && !(_merger && _merger->finished() && _merger->completed())) keepRecording();
  bool removed = false;
  for (RmtDev* dev : _devs) {
    if (!dev->_tmpFile) continue;
    fclose(dev->_tmpFile);
    dev->_tmpFile = nullptr;
    removeTempFile(dev->_tmpName.toLatin1().toStdString());
    removed = true;
  }
  // Merged: the manifest goes with the temp files it names.
  if (removed) _manifest.remove();
  if (_binFile) {
    fclose(_binFile);
    _binFile = nullptr;
  }
  if (_ascFile) {
    fclose(_ascFile);
    _ascFile = nullptr;
  }
  discardHdf5();
  updateGui(Idle);
}
