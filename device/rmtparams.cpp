// The dialog's controls to and from the device's parameter set (chain/deviceparams.h), which
// does the reading and writing.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QTimer>

#include "device/korbalt.h"
#include "device/rmtdev.h"

DeviceParams RmtDev::dialogParams() const {
  DeviceParams p;
  for (int ch = 0; ch < kChannels; ++ch) {
    ChannelParams& c = p.channel[ch];
    c.enable = _chEnable[ch]->isChecked();
    c.type = _chType[ch]->currentIndex();
    c.edge = _chEdge[ch]->currentIndex();
    c.threshold = _chThreshold[ch]->value();
    c.delayPs = psFromNs(_chDelay[ch]->value());
    c.deadTimePs = psFromNs(_chDeadTime[ch]->value());
    c.filter = _chFilter[ch]->currentIndex();
    c.filterChannels = 0;
    for (int j = 0; j < kChannels; ++j)
      if (_chFilterCh[ch][j]->isChecked()) c.filterChannels |= 1u << j;
  }
  p.markers = 0;
  for (int k = 0; k < kMarkers; ++k)
    if (_marker[k]->isChecked()) p.markers |= 1u << k;
  p.divider = _dividerBox->currentText().toInt();
  p.reconstruct = _reconstructBox->isChecked();
  p.fiveChannel = _fiveChBox->isChecked();
  p.coincidenceWindowPs = psFromNs(_coincWin->value());
  p.singleStop = _singleStopBox->isChecked();
  p.generate = _generateBox->isChecked();
  p.period = _period->value();
  p.burstCount = _burstCount->value();
  p.burstDistance = _burstDist->value();
  return p;
}

void RmtDev::showParams(const DeviceParams& p) {
  _singleStopBox->setChecked(p.singleStop);
  _fiveChBox->setChecked(p.fiveChannel);
  _reconstructBox->setChecked(p.reconstruct);
  _dividerBox->setCurrentIndex(_dividerBox->findText(QString::number(p.divider)));
  _coincWin->setValue(nsFromPs(p.coincidenceWindowPs));
  for (int ch = 0; ch < kChannels; ++ch) {
    const ChannelParams& c = p.channel[ch];
    _chEnable[ch]->setChecked(c.enable);
    _chDelay[ch]->setValue(delayShownNs(c.delayPs));
    _chDeadTime[ch]->setValue(nsFromPs(c.deadTimePs));
    _chType[ch]->setCurrentIndex(c.type);
    _chEdge[ch]->setCurrentIndex(c.edge);
    _chThreshold[ch]->setValue(c.threshold);
    _chFilter[ch]->setCurrentIndex(c.filter);
    for (int j = 0; j < kChannels; ++j) _chFilterCh[ch][j]->setChecked((c.filterChannels >> j) & 1);
  }
  for (int k = 0; k < kMarkers; ++k) _marker[k]->setChecked((p.markers >> k) & 1);
}

int RmtDev::readConfig() {
  DeviceParams p = dialogParams();
  p.markers = _markers;  // kept when the device cannot be read
  const int rc = readDeviceParams(_index, _features, &p);
  _markers = p.markers;
  showParams(p);
  return rc;
}

int RmtDev::configure() {
  const DeviceParams p = dialogParams();
  _markers = p.markers;
  const int rc = writeDeviceParams(_index, p);
  emit use5ChUpdated(p.fiveChannel);
  return rc;
}

void RmtDev::calibrate() {
  TDC_addressDevice(_index);
  TDC_startCalibration();
  _calibrateBtn->setEnabled(false);
  QTimer::singleShot(500, this, &RmtDev::updateBtn);
}
