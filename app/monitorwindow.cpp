#include "app/monitorwindow.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include "app/krmt.h"
#include "device/rmtdev.h"
#include "monitor/monitorcore.h"

namespace {

// "12.3 k/s" and the like.
QString rateText(double perSecond) {
  if (perSecond >= 1e6) return QString::number(perSecond / 1e6, 'f', 3) + " M/s";
  if (perSecond >= 1e3) return QString::number(perSecond / 1e3, 'f', 2) + " k/s";
  return QString::number(perSecond, 'f', 1) + " /s";
}

QSpinBox* spinBox(QWidget* parent, int low, int high, int value, const char* suffix) {
  auto* box = new QSpinBox(parent);
  box->setRange(low, high);
  box->setValue(value);
  box->setSuffix(suffix);
  box->setKeyboardTracking(false);  // a change applies once typed, not at every digit
  return box;
}

}  // namespace

MonitorWindow::MonitorWindow(QWidget* parent, std::function<MonitorCore*()> source)
    : QWidget(parent, Qt::Window), _source(std::move(source)) {
  setWindowTitle("Ravik - Monitor");
  _rates = new QTableWidget(0, 8, this);
  _rates->setHorizontalHeaderLabels(
      {"Device", "Input 0", "Input 1", "Input 2", "Input 3", "Input 4", "Input 5", "Markers"});
  _rates->verticalHeader()->hide();
  _rates->setEditTriggers(QAbstractItemView::NoEditTriggers);
  _rates->setSelectionMode(QAbstractItemView::NoSelection);
  _plot = new QCustomPlot(this);
  _plot->setMinimumSize(560, 280);
  _graph = _plot->addGraph();
  _graph->setLineStyle(QCPGraph::lsStepLeft);
  _graph->setBrush(QColor(80, 80, 160, 60));
  _plot->xAxis->setLabel("t(B) - t(A) [ps]");
  _plot->yAxis->setLabel("counts");
  _status = new QLabel(this);
  _status->setStyleSheet("color: #b00000; font-weight: bold");
  _peakText = new QLabel(this);
  _timer = new QTimer(this);
  _timer->setInterval(200);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Rates over the last second (output channel: rate)", this));
  layout->addWidget(_rates);
  layout->addWidget(buildControls());
  layout->addWidget(_plot, 1);
  layout->addWidget(_peakText);
  layout->addWidget(_status);
  connect(_timer, &QTimer::timeout, this, &MonitorWindow::refresh);
}

QWidget* MonitorWindow::buildControls() {
  auto* box = new QWidget(this);
  const CorrelationSettings d;
  _channelA = spinBox(box, 0, 9999, d.channelA, "");
  _channelB = spinBox(box, 0, 9999, d.channelB, "");
  _range = spinBox(box, 1, 1000000000, int(d.rangePs), " ps");
  _binWidth = spinBox(box, int(kMinBinWidthPs), int(kMaxBinWidthPs), int(d.binWidthPs), " ps");
  _resetBtn = new QPushButton("Reset", box);
  auto* row = new QHBoxLayout(box);
  row->setContentsMargins(0, 0, 0, 0);
  const struct {
    const char* label;
    QWidget* widget;
  } cells[] = {{"Channel A:", _channelA}, {"Channel B:", _channelB},
               {"Range \u00b1", _range},  {"Bin width:", _binWidth}};
  for (const auto& c : cells) {
    row->addWidget(new QLabel(c.label, box));
    row->addWidget(c.widget);
  }
  row->addWidget(_resetBtn);
  for (QSpinBox* s : {_channelA, _channelB, _range, _binWidth})
    connect(s, QOverload<int>::of(&QSpinBox::valueChanged), this, &MonitorWindow::applySettings);
  connect(_resetBtn, &QPushButton::clicked, this, &MonitorWindow::resetHistogram);
  return box;
}

CorrelationSettings MonitorWindow::settings() const {
  CorrelationSettings s;
  s.channelA = _channelA->value();
  s.channelB = _channelB->value();
  s.rangePs = _range->value();
  s.binWidthPs = _binWidth->value();
  return s;
}

void MonitorWindow::applySettings() {
  const CorrelationSettings s = settings();
  const std::string error = correlationError(s);
  _status->setText(QString::fromStdString(error));
  if (!error.empty()) return;
  if (MonitorCore* core = _source()) core->setCorrelation(s);
  refresh();
}

void MonitorWindow::resetHistogram() {
  if (MonitorCore* core = _source()) core->resetHistogram();
  refresh();
}

void MonitorWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refresh();
  _timer->start();
}

void MonitorWindow::hideEvent(QHideEvent* event) {
  _timer->stop();
  QWidget::hideEvent(event);
}

void MonitorWindow::showRates(MonitorCore* core) {
  const MonitorSnapshot snap = core->snapshot();
  const QVector<RmtDev*>& devs = KRmt::_devs;
  const int rows = std::min(int(snap.devices.size()), devs.size());
  _rates->setRowCount(rows);
  for (int r = 0; r < rows; ++r) {
    const RmtDev* dev = devs[r];
    QStringList cells;
    cells << dev->_roleEdit->text() + "  " + dev->_serialEdit->text();
    const double* rate = snap.devices[size_t(r)].perSecond;
    for (int c = 0; c < 6; ++c)
      cells << QString("%1: %2").arg(outputChannel(dev->_chainPos, c)).arg(rateText(rate[c]));
    QStringList markers;
    for (int m = 0; m < 9; ++m)
      if (dev->_markers >> m & 1)
        markers << QString("%1: %2").arg(outputChannel(dev->_chainPos, 6 + m)).arg(rateText(rate[6 + m]));
    cells << (markers.isEmpty() ? QString("none") : markers.join("  "));
    for (int c = 0; c < cells.size(); ++c) {
      if (!_rates->item(r, c)) _rates->setItem(r, c, new QTableWidgetItem);
      _rates->item(r, c)->setText(cells[c]);
    }
  }
  _rates->resizeColumnsToContents();
  // As tall as its rows, so that the plot takes the rest.
  int height = _rates->horizontalHeader()->height() + 2 * _rates->frameWidth();
  for (int r = 0; r < rows; ++r) height += _rates->rowHeight(r);
  _rates->setFixedHeight(height);

  const CorrelationSettings& s = snap.correlation;
  QVector<double> x(int(snap.histogram.size()) + 1), y(x.size());
  for (int i = 0; i < x.size(); ++i) {
    x[i] = double(-s.rangePs + i * s.binWidthPs);
    y[i] = double(snap.histogram[size_t(std::min(i, x.size() - 2))]);
  }
  _graph->setData(x, y, true);
  _plot->xAxis->setRange(double(-s.rangePs), double(s.rangePs));
  _plot->yAxis->setRange(0, std::max(1.0, 1.1 * double(snap.peak.height)));
  _plot->replot();

  const Peak& p = snap.peak;
  _peakText->setText(
      !p.found ? QString("A = %1, B = %2: no pairs yet").arg(s.channelA).arg(s.channelB)
               : QString("A = %1, B = %2: peak at %3 ps (bin %3 to %4 ps), height %5, "
                         "FWHM %6 ps, coincidences within \u00b11 bin %7")
                     .arg(s.channelA).arg(s.channelB).arg(p.positionPs)
                     .arg(p.positionPs + s.binWidthPs).arg(p.height).arg(p.fwhmPs, 0, 'f', 1)
                     .arg(rateText(p.coincidenceRate)));
  const std::string bad = correlationError(settings());
  if (!bad.empty())
    _status->setText(QString::fromStdString(bad));
  else if (snap.behind)
    _status->setText("monitor behind, showing partial data");
  else if (snap.histogramPartial)
    _status->setText("histogram partial: the monitor fell behind since the last Reset");
  else
    _status->clear();
}

void MonitorWindow::refresh() {
  MonitorCore* core = _source();
  if (core == nullptr) {
    _peakText->setText("The monitor runs while the devices record (Start).");
    return;
  }
  showRates(core);
}
