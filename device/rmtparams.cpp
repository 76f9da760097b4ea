// Reading the device's parameters into the dialog and writing the dialog's values to the device.
// Times cross the library boundary in whole picoseconds and are shown in nanoseconds.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QTimer>

#include "device/korbalt.h"
#include "device/rmtdev.h"

namespace {

constexpr uint32_t kFeatureFiveChannel = 1u << 4;
// Bit 5 of the enable mask is channel 0 a second time: the start input used as channel 5.
constexpr int32_t kChannel5Bit = 1 << 5;
// The parameter that reports a channel's input type (1..3).
constexpr int32_t kParamInputType = 960;

// Whole units of a non-negative control value. The spin boxes hold decimal values that binary
// doubles cannot represent exactly (2.3 ns * 1000 is 2299.9999...), so a rounding error far
// below the controls' resolution must not cost a whole unit.
int32_t truncated(double value) { return int32_t(value + 1e-6); }

int32_t toPs(double ns) { return truncated(ns * 1000); }

// Filter calls address channel 0 as 5.
int32_t filterChannel(int ch) { return ch == 0 ? 5 : ch; }

// The divider entry whose value is the lowest set bit of `divider` (1, 2, 4, 8 -> 0..3); 31
// (no entry) when none of bits 0..30 is set.
int dividerIndex(int32_t divider) {
  for (int bit = 0; bit < 31; ++bit)
    if (divider & (1 << bit)) return bit;
  return 31;
}

}  // namespace

int RmtDev::readConfig() {
  int fiveCh = 0, singleStop = 0, reconstruct = 0, divider = 0;
  int32_t mask = 0, coincWin = 0;
  int32_t delays[8] = {0};
  int rc = TDC_addressDevice(_index);
  if (rc == 0 && (_features & kFeatureFiveChannel)) rc = TDC_getFiveChannelMode(&fiveCh);
  if (rc == 0) rc = TDC_getChannelsEnabled(&mask);
  if (rc == 0) rc = TDC_getMarkersEnabled(&_markers);
  if (rc == 0) rc = TDC_getSingleStopPreselection(&singleStop);
  if (rc == 0) rc = TDC_getDeviceParams(&coincWin, nullptr);
  if (rc == 0) rc = TDC_getChannelDelays(delays);
  if (rc == 0) rc = TDC_getSyncDivider(&divider, &reconstruct);

  _singleStopBox->setChecked(singleStop != 0);
  _fiveChBox->setChecked(fiveCh != 0);
  _reconstructBox->setChecked(reconstruct != 0);
  _dividerBox->setCurrentIndex(dividerIndex(divider));
  _coincWin->setValue(coincWin / 1000.0);

  for (int ch = 0; ch < kChannels; ++ch) {
    int edge = 0, type = 0, filterType = 0, filterMask = 0;
    double threshold = 0;
    int32_t deadTime = 0;
    if (rc == 0) rc = TDC_getSignalConditioning(ch, &edge, &threshold);
    if (rc == 0) rc = TDC_getDeadTime(ch, &deadTime);
    if (rc == 0) rc = UL_inquireParameter(_index, kParamInputType, ch, &type);
    _chEnable[ch]->setChecked((mask >> ch) & 1);
    _chDelay[ch]->setValue(delays[ch] / 1000);  // whole nanoseconds
    _chDeadTime[ch]->setValue(deadTime / 1000.0);
    _chType[ch]->setCurrentIndex(type - 1);
    _chEdge[ch]->setCurrentIndex(edge);
    _chThreshold[ch]->setValue(threshold);
    TDC_getFilter(filterChannel(ch), &filterType, &filterMask);
    _chFilter[ch]->setCurrentIndex(filterType);
    for (int j = 0; j < kChannels; ++j) _chFilterCh[ch][j]->setChecked((filterMask >> (j + 1)) & 1);
  }
  _chEnable[0]->setChecked((mask & (1 | kChannel5Bit)) != 0);
  for (int k = 0; k < kMarkers; ++k) _marker[k]->setChecked((_markers >> k) & 1);
  return rc;
}

int RmtDev::configure() {
  int32_t mask = 0;
  for (int ch = 0; ch < kChannels; ++ch)
    if (_chEnable[ch]->isChecked()) mask |= 1 << ch;
  if (_chEnable[0]->isChecked()) mask |= kChannel5Bit;
  int32_t selftestMask = _generateBox->isChecked() ? mask : 0;

  int rc = TDC_addressDevice(_index);
  if (rc == 0) rc = TDC_enableChannels(mask);
  if (rc == 0) rc = TDC_preselectSingleStop(_singleStopBox->isChecked());
  if (rc == 0)
    rc = TDC_configureSelftest(selftestMask, truncated(_period->value() / 5),
                               truncated(_burstCount->value()), truncated(_burstDist->value() * 50));
  if (rc == 0) rc = TDC_setCoincidenceWindow(toPs(_coincWin->value()));
  if (rc == 0)
    rc = TDC_configureSyncDivider(_dividerBox->currentText().toInt(),
                                  _reconstructBox->isChecked());
  int32_t delays[8] = {0};
  if (rc == 0) writeChannels(delays);

  _markers = 0;
  for (int k = 0; k < kMarkers; ++k)
    if (_marker[k]->isChecked()) _markers |= 1u << k;
  TDC_enableMarkers(_markers);
  if (rc == 0) rc = TDC_setChannelDelays(delays);
  emit use5ChUpdated(_fiveChBox->isChecked());
  return rc;
}

// The per-channel settings; their codes are ignored. Fills the delay array for the caller.
void RmtDev::writeChannels(int32_t delays[8]) {
  for (int ch = 0; ch < kChannels; ++ch) {
    TDC_configureSignalConditioning(ch, _chType[ch]->currentIndex() + 1,
                                    _chEdge[ch]->currentIndex(), _chThreshold[ch]->value());
    TDC_setDeadTime(ch, toPs(_chDeadTime[ch]->value()));
    delays[ch] = toPs(_chDelay[ch]->value());
    int32_t filterMask = 0;
    for (int j = 0; j < kChannels; ++j)
      if (_chFilterCh[ch][j]->isChecked()) filterMask |= 1 << (j + 1);
    TDC_configureFilter(filterChannel(ch), _chFilter[ch]->currentIndex(), filterMask);
  }
}

void RmtDev::calibrate() {
  TDC_addressDevice(_index);
  TDC_startCalibration();
  _calibrateBtn->setEnabled(false);
  QTimer::singleShot(500, this, &RmtDev::updateBtn);
}
