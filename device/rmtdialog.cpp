// The device's parameter dialog: building it, enabling its controls, and its buttons.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "device/rmtdev.h"
#include "widgets/background.h"

namespace {

// Feature bits of the device.
constexpr uint32_t kFeatureChannel3 = 1u << 2;
constexpr uint32_t kFeatureChannel34 = 1u << 3;
constexpr uint32_t kFeatureMarkers = 1u << 5;
constexpr uint32_t kFeatureFilters = 1u << 6;

QComboBox* comboOf(const char* entries, QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->addItems(QString(entries).split('+'));
  return combo;
}

// The range and decimals are those of the parameter set (chain/deviceparams.h).
QDoubleSpinBox* spinOf(const ParamRange& range, double step, double value, const char* suffix,
                       QWidget* parent) {
  auto* spin = new QDoubleSpinBox(parent);
  spin->setDecimals(range.decimals);
  spin->setRange(range.min, range.max);
  spin->setSingleStep(step);
  spin->setValue(value);
  spin->setSuffix(suffix);
  return spin;
}

QString markerCaption(int k) {
  if (k < 4) return QString::number(k) + "up";
  if (k == 4) return "ms Tick";
  return QString::number(k - 5) + "dn";
}

}  // namespace

void RmtDev::buildDialog(QWidget* parent) {
  _dialog = new QDialog(parent);
  _dialog->setWindowTitle("Tikor Parameters");
  setGradientBackground(_dialog);

  auto* grid = new QGridLayout(_dialog);
  grid->setSpacing(8);
  auto label = [this](const QString& text) { return new QLabel(text, _dialog); };
  const char* headings[] = {"Enable", "Type", "Trigger", "Threshold", "Signal Delay",
                            "Dead Time", "Filter"};
  for (int c = 0; c < 7; ++c) grid->addWidget(label(headings[c]), 0, c + 1);
  grid->addWidget(label("Filter Channels"), 0, 8, 1, 5);

  for (int ch = 0; ch < kChannels; ++ch) {
    buildChannelRow(ch);
    QWidget* const cells[] = {_chLabel[ch],     _chEnable[ch],  _chType[ch],
                              _chEdge[ch],      _chThreshold[ch], _chDelay[ch],
                              _chDeadTime[ch],  _chFilter[ch]};
    for (int c = 0; c < 8; ++c) grid->addWidget(cells[c], ch + 1, c);
    for (int j = 0; j < kChannels; ++j) grid->addWidget(_chFilterCh[ch][j], ch + 1, 8 + j);
  }

  grid->addWidget(label("Markers"), 6, 0);
  grid->addWidget(buildMarkerGrid(), 6, 2, 1, 6, Qt::AlignLeft);

  _dividerBox = comboOf("1+2+4+8", _dialog);
  _reconstructBox = new QCheckBox(_dialog);
  _fiveChBox = new QCheckBox("(all devices)", _dialog);
  _coincWin = spinOf(kCoincidenceRange, 1, 0, "ns", _dialog);
  _singleStopBox = new QCheckBox(_dialog);
  _generateBox = new QCheckBox(_dialog);
  _period = spinOf(kPeriodRange, 10, 40, "ns", _dialog);
  _burstCount = spinOf(kBurstCountRange, 1, 1, "", _dialog);
  _burstDist = spinOf(kBurstDistanceRange, 1, 1, "us", _dialog);

  const struct {
    int row, col;
    QWidget* widget;
  } cells[] = {
      {7, 0, label("Start Input")}, {7, 2, label("Divider:")},      {7, 3, _dividerBox},
      {7, 4, label(" Reconstruct:")}, {7, 5, _reconstructBox},
      {7, 6, label(" Is Channel 5:")}, {7, 7, _fiveChBox},
      {8, 0, label("Other")},       {8, 2, label("Coinc Win.:")},   {8, 3, _coincWin},
      {8, 4, label(" Single Stop:")}, {8, 5, _singleStopBox},
      {9, 0, label("Generate")},    {9, 1, _generateBox},           {9, 2, label("Period:")},
      {9, 3, _period},              {9, 4, label(" Burst Count:")}, {9, 5, _burstCount},
      {9, 6, label(" Burst Dist.:")}, {9, 7, _burstDist},
      {10, 2, label("   ")},
  };
  for (const auto& c : cells) grid->addWidget(c.widget, c.row, c.col);
  grid->addWidget(buildButtonGrid(), 11, 0, 1, 13);

  QObject::connect(_fiveChBox, &QCheckBox::toggled, this, &RmtDev::updateDialog);
  updateDialog();
}

void RmtDev::buildChannelRow(int ch) {
  _chLabel[ch] = new QLabel(ch == 0 ? "Channel 0/5" : "Channel " + QString::number(ch), _dialog);
  _chEnable[ch] = new QCheckBox(_dialog);
  _chType[ch] = comboOf("LVTTL+NIM+Misc", _dialog);
  _chEdge[ch] = comboOf("Falling Edge+Rising Edge", _dialog);
  _chThreshold[ch] = spinOf(kThresholdRange, 0.1, 2, "V", _dialog);
  _chDelay[ch] = spinOf(kDelayRange, 0.1, 0, "ns", _dialog);
  _chDeadTime[ch] = spinOf(kDeadTimeRange, 1, 0, "ns", _dialog);
  _chFilter[ch] = comboOf("None+Mute+Coinc+Sync", _dialog);
  for (int j = 0; j < kChannels; ++j) _chFilterCh[ch][j] = new QCheckBox(_dialog);
  QObject::connect(_chType[ch], QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                   &RmtDev::updateDialog);
}

// One row: for marker k its box in column 3k, its caption in 3k + 1 and a spacer in 3k + 2.
QWidget* RmtDev::buildMarkerGrid() {
  auto* holder = new QWidget(_dialog);
  auto* grid = new QGridLayout(holder);
  grid->setContentsMargins(0, 0, 0, 0);
  for (int k = 0; k < kMarkers; ++k) {
    _marker[k] = new QCheckBox(holder);
    grid->addWidget(_marker[k], 0, 3 * k);
    grid->addWidget(new QLabel(markerCaption(k), holder), 0, 3 * k + 1, Qt::AlignRight);
    grid->addWidget(new QLabel(" ", holder), 0, 3 * k + 2, Qt::AlignRight);
  }
  return holder;
}

// Calibrate on the left; Apply, Cancel and Close pushed to the right by a stretching column.
QWidget* RmtDev::buildButtonGrid() {
  auto* holder = new QWidget(_dialog);
  auto* grid = new QGridLayout(holder);
  grid->setContentsMargins(0, 0, 0, 0);
  _calibrateBtn = new QPushButton("Calibrate", holder);
  _applyBtn = new QPushButton("Apply", holder);
  _cancelBtn = new QPushButton("Cancel", holder);
  _closeBtn = new QPushButton("Close", holder);
  grid->addWidget(_calibrateBtn, 0, 0, Qt::AlignLeft);
  grid->addWidget(_applyBtn, 0, 2);
  grid->addWidget(_cancelBtn, 0, 3);
  grid->addWidget(_closeBtn, 0, 4);
  grid->setColumnStretch(1, 1000);
  QObject::connect(_calibrateBtn, &QPushButton::clicked, this, &RmtDev::calibrate);
  QObject::connect(_applyBtn, &QPushButton::clicked, this, &RmtDev::applyConfig);
  QObject::connect(_cancelBtn, &QPushButton::clicked, this, &RmtDev::cancelConfig);
  QObject::connect(_closeBtn, &QPushButton::clicked, this, &RmtDev::closeConfig);
  return holder;
}

void RmtDev::updateDialog() {
  for (int k = 0; k < kMarkers; ++k) _marker[k]->setEnabled((_features & kFeatureMarkers) != 0);
  const bool filters = (_features & kFeatureFilters) != 0;
  for (int ch = 0; ch < kChannels; ++ch) {
    bool available = ch < 3 || (ch == 3 && (_features & (kFeatureChannel3 | kFeatureChannel34))) ||
                     (ch == 4 && (_features & kFeatureChannel34));
    bool misc = available && _chType[ch]->currentIndex() == 2;
    bool filter = filters && available && (ch != 0 || _fiveChBox->isChecked());
    _chEnable[ch]->setEnabled(available);
    _chType[ch]->setEnabled(available);
    _chDelay[ch]->setEnabled(available);
    _chDeadTime[ch]->setEnabled(available);
    _chEdge[ch]->setEnabled(misc);
    _chThreshold[ch]->setEnabled(misc);
    _chFilter[ch]->setEnabled(filter);
    for (int j = 0; j < kChannels; ++j) _chFilterCh[ch][j]->setEnabled(filter);
  }
}

void RmtDev::openConfig() {
  _dialog->show();
  QApplication::processEvents();
  readConfig();
}

void RmtDev::applyConfig() {
  configure();
  readConfig();
}

int RmtDev::closeConfig() {
  int rc = configure();
  _dialog->hide();
  return rc;
}

int RmtDev::cancelConfig() {
  _dialog->hide();
  QApplication::processEvents();
  return readConfig();
}
