#include "device/rmtdev.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/krmt.h"
#include "chain/devicecore.h"
#include "chain/devicesearch.h"
#include "device/korbalt.h"
#include "chain/recordcore.h"
#include "device/rmtpath.h"
#include "monitor/tapqueue.h"
#include "widgets/led.h"

RmtDev::RmtDev(QWidget* parent, unsigned int index)
    : QObject(parent),
      _index(index),
      _chainPos(-99),
      _features(0),
      _markers(0),
      _connected(false),
      _lossSeen(false),
      _events(0),
      _tmpFile(nullptr),
      _mergeFile(nullptr),
      _tap(nullptr) {
  buildRow(parent);
  buildDialog(parent);
}

RmtDev::~RmtDev() {}

void RmtDev::buildRow(QWidget* parent) {
  _recordBox = new QCheckBox(parent);
  _recordBox->setChecked(true);
  _roleEdit = new QLineEdit(parent);
  _eventsEdit = new QLineEdit(parent);
  _eventsEdit->setReadOnly(true);
  _serialEdit = new QLineEdit(parent);
  _idEdit = new QLineEdit(parent);
  _configBtn = new QPushButton("Configure", parent);
  _lossLed = new Led(parent);
  _syncLed = new Led(parent);
  QObject::connect(_configBtn, &QPushButton::clicked, this, &RmtDev::openConfig);
}

QWidget* RmtDev::rowWidget(int column) const {
  QWidget* const row[] = {_serialEdit, _idEdit,  _roleEdit,  _syncLed,
                          _eventsEdit, _lossLed, _recordBox, _configBtn};
  return column >= 0 && column < 8 ? row[column] : nullptr;
}

// ---- Connection ----

int RmtDev::connect() {
  DeviceLink link;
  link.chainPos = _chainPos;
  link.features = _features;
  link.markers = _markers;
  link.connected = _connected;
  int rc = connectDevice(_index, &link);
  _chainPos = link.chainPos;
  _features = link.features;
  _markers = link.markers;
  _connected = link.connected;
  if (rc == 0) rc = readConfig();
  showRole();
  int calibrating = 0;
  TDC_getCalibrationState(&calibrating);
  _calibrateBtn->setEnabled(calibrating == 0);
  if (calibrating != 0) QTimer::singleShot(50, this, &RmtDev::updateBtn);
  updateGui();
  updateDialog();
  return rc;
}

// Role text, dialog title and, for slaves, the chain's channel numbers on the channel rows.
void RmtDev::showRole() {
  const QString role = QString::fromStdString(roleText(_chainPos));
  _roleEdit->setText(role);
  _dialog->setWindowTitle("Tikor Parameters - " + role);
  if (_chainPos < 1) return;
  _chLabel[0]->setText("Channel " + QString::number(5 * _chainPos + 5));
  for (int row = 1; row < kChannels; ++row)
    _chLabel[row]->setText("Channel " + QString::number(5 * _chainPos + row));
}

int RmtDev::disconnect() {
  if (!_connected) return 0;
  _connected = false;
  return TDC_disconnect(_index);
}

void RmtDev::updateGui() {
  char text[32];
  snprintf(text, sizeof text, "%.4g", double(_events.load(std::memory_order_relaxed)) / 1e6);
  _eventsEdit->setText(text);
  const DeviceStatus status = _logging ? refreshRecording(_index, _chainPos, _write, &_lossLog)
                                       : readDeviceStatus(_index, _chainPos);
  if (status.lost) _lossSeen = true;
  _lossLed->setColor(!_lossSeen ? Led::Green : status.lost ? Led::Red : Led::Yellow);
  const Led::Color outOfSync = _chainPos == 0 ? Led::Off : Led::Red;
  _syncLed->setColor(status.inSync ? Led::Green : outOfSync);
}

void RmtDev::updateBtn() {
  int calibrating = 0;
  TDC_getCalibrationState(&calibrating);
  _calibrateBtn->setEnabled(calibrating == 0);
  if (calibrating != 0) QTimer::singleShot(50, this, &RmtDev::updateBtn);
}

// ---- Recording ----

int RmtDev::start(bool on, QString dir) {
  if (!on) {
    // The last reading of the loss flag, which clears it, is the stop's: a loss it finds shows
    // on the lamp like one found by a refresh.
    if (_logging && finishTempStream(_index, _chainPos, &_tmpFile, &_write, &_lossLog).lost) {
      _lossSeen = true;
      _lossLed->setColor(Led::Red);
    }
    _logging = false;
    return 0;
  }
  _events = 0;
  _write.reset();
  _lossSeen = false;
  // Only a file of this recording may be merged after it: forget the previous one.
  _tmpName.clear();
  if (!_connected) return 0;
  _recordParams = dialogParams();
  int rc = configure();
  if (rc == 0 && !dir.isEmpty())
    _tmpName = fromFileName(tempFileName(toFileName(dir), _index));
  const std::string name = toFileName(_tmpName);
  rc = startDeviceRecording(_index, rc, name, &_tmpFile);
  _logging = rc == 0 && _tmpFile != nullptr;
  if (_logging) _lossLog.start(name);
  return rc;
}

void RmtDev::timestampCallback(int32_t** index, int, int words, int, uint32_t* data) {
  auto it = KRmt::_devMap.constFind(**index);
  if (it == KRmt::_devMap.constEnd()) return;
  RmtDev* dev = it.value();
  recordBlock(dev->_tmpFile, dev->_write, dev->_events, data, words);
  tapBlock(dev->_tap, data, words);
}
