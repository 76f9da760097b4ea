// The window's device search and chain ordering, and the recording control.
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QSettings>
#include <QTimer>

#include "app/krmt.h"
#include "merge/hdf5file.h"
#include "merge/outputfile.h"
#include "report/runreport.h"
#include "chain/devicecore.h"
#include "chain/freespace.h"
#include "chain/keptrun.h"
#include "chain/outputstage.h"
#include "device/korbalt.h"
#include "chain/recordcore.h"
#include "chain/session.h"
#include "chain/virtualjson.h"
#include "device/rmtdev.h"
#include "device/rmtpath.h"
#include "merge/channelmap.h"
#include "merge/outputpath.h"

void KRmt::search() {
  uint32_t count = 0;
  baseAllowFindSimDevice(_allowSim);
  int rc = TDC_discover(&count);
  checkRc(rc, "TDC_discover");
  updateGui(Idle);
  if (rc == 0) {
    QVector<RmtDev*> found;
    if (connectDevices(count, found) && !found.isEmpty()) placeInChain(found);
  }
  if (_devs.isEmpty())
    _devLayout->addWidget(new QLabel("-- No Devices Found --", this), 1, 0, 1, 6,
                          Qt::AlignHCenter);
  // The rows arrive after the window was first shown, and the layout shows them only once the
  // events queued by adding them have run: then let the window grow so that nothing is clipped.
  QTimer::singleShot(0, this, [this] { adjustSize(); });
}

// Creates and connects one device object per discovered device and collects the connected ones
// in discovery order. False when the user chose Close after a failed connect.
bool KRmt::connectDevices(uint32_t count, QVector<RmtDev*>& found) {
  // No callback may run while the registry is being filled.
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  for (uint32_t index = 0; index < count; ++index) {
    int32_t type = 0, id = 0, unused = 0;
    char serial[KORBALT_SERIAL_SIZE];
    serial[0] = '\0';
    int rc = TDC_getDeviceInfo(index, &type, &id, serial, &unused);
    checkRc(rc, "TDC_getDeviceInfo");
    if (rc != 0) continue;

    auto* dev = new RmtDev(this, index);
    dev->_serialEdit->setText(QString::fromLatin1(serial));
    dev->_idEdit->setText(QString::number(id));
    rc = dev->connect();
    bool goOn = checkRc(rc, QString::fromStdString(connectOperation(index, count)));
    if (rc != 0) {
      delete dev;
    } else {
      found.append(dev);
      _devMap.insert(int(index), dev);
      QObject::connect(dev, &RmtDev::use5ChUpdated, this, &KRmt::onUse5ChUpdate);
    }
    if (!goOn) return false;
  }
  return true;
}

// Appends the devices to _devs in chain order, master first, one table row each, and gives
// every capable device the master's five-channel setting.
void KRmt::placeInChain(const QVector<RmtDev*>& found) {
  std::vector<int32_t> positions;
  bool masterHas5Ch = false, master5ChOn = false;
  for (RmtDev* dev : found) {
    positions.push_back(dev->_chainPos);
    if (dev->_chainPos == 0) {
      masterHas5Ch = hasFiveChannel(dev->_features);
      master5ChOn = dev->_fiveChBox->isChecked();
    }
  }
  for (const ChainStep& step : chainOrder(positions)) {
    if (step.kind == ChainStep::Place) {
      RmtDev* dev = found[step.device];
      _devs.append(dev);
      for (int col = 0; col < 8; ++col) _devLayout->addWidget(dev->rowWidget(col), _devs.size(), col);
      if (followChainFiveChannel(dev->_index, dev->_features, master5ChOn))
        dev->_fiveChBox->setChecked(master5ChOn);
      dev->_fiveChBox->setEnabled(masterHas5Ch);
    } else if (step.kind == ChainStep::NotUnique) {
      checkError(false, QString::fromStdString(chainMessage(step)));
    } else if (!askMissing(step.position)) {
      return;
    }
  }
}

// The box for a chain position that no device has; false (and the window closes) on Close.
bool KRmt::askMissing(int32_t position) {
  const ChainStep missing{ChainStep::Missing, position, -1};
  QMessageBox box(QMessageBox::Critical, "Error", QString::fromStdString(chainMessage(missing)),
                  QMessageBox::Ok | QMessageBox::Close, this);
  box.setDefaultButton(QMessageBox::NoButton);
  box.setEscapeButton(QMessageBox::Close);
  if (box.exec() != QMessageBox::Close) return true;
  close();
  return false;
}

void KRmt::onUse5ChUpdate(bool on) {
  for (RmtDev* dev : _devs)
    if (followChainFiveChannel(dev->_index, dev->_features, on)) dev->_fiveChBox->setChecked(on);
}

// ---- Recording ----

void KRmt::startCollect() {
  _progress->setValue(0);
  _noteText->clear();
  _spaceLine.clear();
  SessionFiles files;
  files.program = files.recordedBy = "ravik";
  files.tmpDir = toFileName(_tmpPath->text());  // whose free space is watched
  // The filter of what is written, from the temp folder; a bad one is said, and the recording
  // goes on writing everything.
  std::string keepError;
  if (!readKeepFile(toFileName(QDir(_tmpPath->text()).filePath(kKeepFileName)), &files.keep,
                    &keepError) &&
      !checkError(false, "Can't use the filter; Ok records everything\n" +
                             fromFileName(keepError)))
    return;
  if (!splitSetting(&files.split)) return;
  _split = files.split;
  _session.reset(new Session(files));
  const RecordInstant start = RecordInstant::now();
  _session->began(start);
  _startUtc = utcText(start.wall);
  _timer->start();
  updateGui(Recording);
  // What this recording is made of, whatever the fields say later.
  _recordDir = _tmpPath->text();
  _recorded.clear();
  for (RmtDev* dev : _devs) {
    dev->_tmpName.clear();  // a file of an earlier recording is never this one's
    if (dev->_recordBox->isChecked() && dev->_connected) _recorded.append(dev);
  }
  for (int k = 0; k < kOutputKinds; ++k) {
    _stopChoice[k] = _choice[k] = chosenOutput(OutputKind(k));
    _written[k].clear();
  }
  QString dir = _ascEnable->isChecked() || _binEnable->isChecked() || _hdf5Enable->isChecked()
                    ? _recordDir
                    : QString();
  // The outputs are those ticked now; with Close nothing is recorded and the window goes.
  if (!dir.isEmpty() && !openOutputs(_choice, true)) {
    _timer->stop();
    updateGui(Idle);
    return;
  }
  // A run kept in the temp folder is moved aside before this recording creates temp files of
  // the same names. When that fails nothing is recorded, and nothing of the kept run is lost.
  std::string kept, error;
  if (!dir.isEmpty() && !setAsideKeptRun(toFileName(dir), &kept, &error)) {
    discardOutputs();
    _timer->stop();
    updateGui(Idle);
    checkError(false, "Can't start: " + fromFileName(error));
    return;
  }
  if (!kept.empty()) {
    addNote("The run kept in the temp folder was moved to " + fromFileName(kept) +
            "; finish it with ravik-merge --recover");
    fprintf(stderr, "ravik: the run kept in the temp folder was moved; finish it with\n"
                    "  ravik-merge --recover %s\n", kept.c_str());
  }
  // The virtual channels of the monitor, from the temp folder; a bad file is said, as a bad
  // filter is, and the recording goes on without them: the raw streams are whole either way.
  QString virtualError;
  if (!readVirtualChannels(&virtualError) &&
      !checkError(false, "Can't use the virtual channels; Ok records without them\n" +
                             virtualError)) {
    discardOutputs();
    _timer->stop();
    updateGui(Idle);
    return;
  }
  auto startOne = [&](int32_t i) {
    RmtDev* dev = _devs[i];
    if (!_recorded.contains(dev)) return 0;
    int rc = dev->start(true, dir);
    if (rc != 0) {
      const std::string serial = dev->_serialEdit->text().toStdString();
      checkError(false, fromFileName(startMessage(rc, serial, toFileName(dev->_tmpName))));
      // Not this recording's file: another recording may hold it.
      dev->_tmpName.clear();
    }
    return rc;
  };
  startMonitor();
  if (startRecording(_devs.size(), startOne, &RmtDev::timestampCallback) != 0) {
    stopCollect(true);
    return;
  }
  QString outputs[kOutputKinds];
  outputsInHand(outputs);
  writeManifest(outputs);
  noteSharedChannels();
  startLiveMerge();
  int64_t minFree = kDefaultMinFree;
  const QString asked = _settings->value("minFree").toString();
  if (!asked.isEmpty() && !parseSize(asked.toStdString(), &minFree)) {
    minFree = kDefaultMinFree;
    addNote("The setting minFree=" + asked + " is no size such as 500M or 2G; " +
            QString::fromStdString(sizeText(minFree)) + " is kept free");
  }
  _session->watchSpace(sessionDevices(true), minFree);
}

void KRmt::watchFreeSpace() {
  if (_state != Recording || !_session || !_session->space()) return;
  const bool low = _session->sampleSpace();
  showSpaceLine(QString::fromStdString(_session->space()->liveText()));
  if (!low) return;
  addNote("Stopped by itself: " + QString::fromStdString(_session->space()->stopText()) +
          "; the merge completes what was recorded");
  stopCollect();
}

void KRmt::showSpaceLine(const QString& line) {
  QString text = _noteText->text();
  if (!_spaceLine.isEmpty() && text.endsWith(_spaceLine)) {
    text.chop(_spaceLine.size());
    if (text.endsWith('\n')) text.chop(1);
  }
  _spaceLine = line;
  _noteText->setText(text.isEmpty() || line.isEmpty() ? text + line : text + '\n' + line);
}

void KRmt::addNote(const QString& line) {
  const QString space = _spaceLine;
  showSpaceLine(QString());
  _noteText->setText(_noteText->text().isEmpty() ? line : _noteText->text() + '\n' + line);
  showSpaceLine(space);
}

void KRmt::noteSharedChannels() {
  const std::vector<ChannelOverlap> shared =
      channelOverlaps(chainChannels(sessionDevices(false)));
  if (shared.empty()) return;
  std::vector<std::string> names;
  for (const RmtDev* dev : _recorded)
    names.push_back((dev->_roleEdit->text() + ' ' + dev->_serialEdit->text()).toStdString());
  const size_t more = shared.size() - 1;
  addNote(QString("Recorded with shared output channels, whose timestamps cannot be told apart: "
                  "%1%2; the run report lists them under overlaps")
              .arg(QString::fromStdString(overlapText(shared.front(), names)))
              .arg(more == 0 ? QString() : QString(" and %1 more").arg(more)));
}

bool KRmt::writeManifest(const QString* outputs) {
  const std::vector<SessionDevice> devices = sessionDevices(true);
  if (devices.empty()) return false;
  nameOutputs(outputs);
  std::vector<std::string> partials =
      partialNames({_ascOutput.get(), _binOutput.get(), _hdf5File ? _hdf5File->file() : nullptr});
  if (_parts != nullptr)
    for (const std::string& name : _parts->partials()) partials.push_back(name);
  RunManifest manifest = _session->manifest(devices, partials);
  // A recovery writes the HDF5 output as the window does.
  const bool hdf5 = _hdf5File || (_parts && !_partPaths[kHdf5Out].isEmpty());
  manifest.compress = hdf5 ? _hdf5Compress : Hdf5Compression::None;
  if (!_virtuals.empty()) manifest.virtualChannels = virtualToJson(_virtuals);
  std::string error;
  bool written;
  {
    // The parts' thread rewrites it with each part and hold: what it wrote last stands.
    std::lock_guard<std::mutex> hold(_manifestLock);
    // The parts are moved over, not copied: a long run has thousands.
    if (_parts != nullptr) {
      manifest.published.swap(_lastManifest.published);
      manifest.resume = _lastManifest.resume;
    }
    written = _manifest.write(toFileName(_recordDir), manifest, &error);
    if (written)
      _lastManifest = std::move(manifest);
    else if (_parts != nullptr)
      manifest.published.swap(_lastManifest.published);
  }
  return checkError(written,
             "Can't write the run manifest\n" + fromFileName(error) +
                 "\nThe run goes on; if it ends without its merge, only ravik-merge "
                 "with the devices' chain positions can merge its temp files.");
}

std::vector<SessionDevice> KRmt::sessionDevices(bool withTempFile) const {
  std::vector<SessionDevice> devices;
  for (const RmtDev* dev : _recorded) {
    if (withTempFile && dev->_tmpName.isEmpty()) continue;
    SessionDevice d;
    d.serial = dev->_serialEdit->text().toStdString();
    d.index = dev->_index;
    d.chainPos = dev->_chainPos;
    d.features = dev->_features;
    d.markers = dev->_markers;
    d.fiveChannel = dev->_recordParams.fiveChannel;
    d.rawName = toFileName(dev->_tmpName);
    d.written = &dev->_write.bytes;
    d.log = &dev->_lossLog;
    d.params = dev->_recordParams;
    devices.push_back(d);
  }
  return devices;
}

void KRmt::nameOutputs(const QString* paths) {
  _session->nameOutputs(toFileName(paths[kTextOut]), toFileName(paths[kBinaryOut]),
                        toFileName(paths[kHdf5Out]),
                        paths[kHdf5Out].isEmpty() ? std::vector<Hdf5MetaField>() : _hdf5Meta);
}

void KRmt::stopCollect(bool err) {
  _timer->stop();
  showSpaceLine(QString());  // the run report keeps the figures
  stopRecording(_devs.size(), [](int32_t i) { _devs[i]->start(false, QString()); });
  // The outputs chosen now are those the run writes: the HDF5 output's times are noted for them.
  QString outputs[kOutputKinds];
  for (int k = 0; k < kOutputKinds; ++k) outputs[k] = chosenOutput(OutputKind(k));
  nameOutputs(outputs);
  const RecordInstant stop = RecordInstant::now();
  _session->stopped(stop);
  _stopUtc = utcText(stop.wall);
  stopMonitor();
  if (err) {
    abandonMerge();
    updateGui(Idle);
  } else {
    startMerge();
  }
}
