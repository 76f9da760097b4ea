#include "app/monitorwindow.h"

#include <cmath>

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
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

// Ticks at both ends of the axis' range and three between, each labelled, so that a reader
// sees at once what the plot spans.
void labelEnds(QCPAxis* axis, double low, double high, int decimals) {
  QSharedPointer<QCPAxisTickerText> ticker(new QCPAxisTickerText);
  for (int i = 0; i <= 4; ++i) {
    const double at = low + (high - low) * i / 4;
    ticker->addTick(at, QString::number(at, 'f', decimals));
  }
  axis->setTicker(ticker);
  axis->setRange(low, high);
}

QCustomPlot* newPlot(QWidget* parent, const QString& x, const QString& y) {
  auto* plot = new QCustomPlot(parent);
  plot->setMinimumSize(420, 280);
  plot->xAxis->setLabel(x);
  plot->yAxis->setLabel(y);
  // The end labels must fit inside the plot.
  plot->xAxis->setPadding(8);
  plot->axisRect()->setMinimumMargins(QMargins(12, 12, 24, 12));
  return plot;
}

// A label whose text may change length without resizing the window.
QLabel* fixedLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  label->setFixedHeight(label->fontMetrics().height() + 4);  // a line, empty or not
  return label;
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
  _plot = newPlot(this, "t(B) - t(A) [ps]", "counts");
  _graph = _plot->addGraph();
  _graph->setLineStyle(QCPGraph::lsStepLeft);
  _graph->setBrush(QColor(80, 80, 160, 60));
  _tracePlot = newPlot(this, "stream time before now [s]", "events/s");
  _traceA = _tracePlot->addGraph();
  _traceA->setPen(QPen(QColor(40, 40, 180)));
  _traceB = _tracePlot->addGraph();
  _traceB->setPen(QPen(QColor(200, 90, 0)));
  _tracePlot->legend->setVisible(true);
  _status = fixedLabel(this);
  _status->setStyleSheet("color: #b00000; font-weight: bold");
  _peakText = fixedLabel(this);
  _ratesTitle = fixedLabel(this);
  _timer = new QTimer(this);
  _timer->setInterval(200);

  auto* plots = new QHBoxLayout;
  plots->addWidget(_plot, 3);
  plots->addWidget(_tracePlot, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(_ratesTitle);
  layout->addWidget(_rates);
  layout->addWidget(buildControls());
  layout->addLayout(plots, 1);
  layout->addWidget(_peakText);
  layout->addWidget(_status);
  connect(_timer, &QTimer::timeout, this, &MonitorWindow::refresh);
  _ratesTitle->setText("Rates over the last second (output channel: rate)");
  sizeRates();
}

QWidget* MonitorWindow::buildControls() {
  auto* box = new QWidget(this);
  const CorrelationSettings d;
  _channelA = spinBox(box, 0, 32767, d.channelA, "");
  _channelB = spinBox(box, 0, 32767, d.channelB, "");
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

void MonitorWindow::placeBeside(const QWidget* main) {
  const QRect frame = main->frameGeometry();
  QScreen* screen = QGuiApplication::screenAt(frame.center());
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  const QRect room = screen ? screen->availableGeometry() : QRect(frame.topLeft(), frame.size() * 3);
  const int width = (_shownSize.isValid() ? _shownSize : sizeHint()).width();
  const int gap = 8;
  int x = frame.right() + 1 + gap;
  if (x + width > room.right() && frame.left() - gap - width >= room.left())
    x = frame.left() - gap - width;
  move(x, frame.top());
}

void MonitorWindow::showEvent(QShowEvent* event) {
  if (_shownSize.isValid()) resize(_shownSize);
  QWidget::showEvent(event);
  refresh();
  _timer->start();
}

void MonitorWindow::hideEvent(QHideEvent* event) {
  _timer->stop();
  _shownSize = size();
  QWidget::hideEvent(event);
}

void MonitorWindow::showRates(const MonitorSnapshot& snap) {
  const QVector<RmtDev*>& devs = KRmt::_devs;
  const int rows = std::min(int(snap.devices.size()), devs.size());
  // After Stop the rates are those of the recording's last second, no longer live.
  _ratesTitle->setText(snap.finished
                           ? "Rates over the last second before Stop (stale: not recording)"
                           : "Rates over the last second (output channel: rate)");
  const QColor ink = snap.finished ? QColor(140, 140, 140) : palette().color(QPalette::Text);
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
      _rates->item(r, c)->setForeground(ink);
    }
  }
  _rates->resizeColumnsToContents();
}

void MonitorWindow::sizeRates() {
  // One row per device from the start, as tall as its rows, so that the window does not grow
  // when the first rates come and the plots take the rest.
  const int rows = KRmt::_devs.size();
  if (_rates->rowCount() == rows) return;
  _rates->setRowCount(rows);
  int height = _rates->horizontalHeader()->height() + 2 * _rates->frameWidth();
  for (int r = 0; r < rows; ++r) height += _rates->rowHeight(r);
  _rates->setFixedHeight(height);
}

void MonitorWindow::showHistogram(const MonitorSnapshot& snap) {
  const CorrelationSettings& s = snap.correlation;
  QVector<double> x(int(snap.histogram.size()) + 1), y(x.size());
  for (int i = 0; i < x.size(); ++i) {
    x[i] = double(-s.rangePs + i * s.binWidthPs);
    y[i] = double(snap.histogram[size_t(std::min(i, x.size() - 2))]);
  }
  _graph->setData(x, y, true);
  labelEnds(_plot->xAxis, double(-s.rangePs), double(s.rangePs), 0);
  labelEnds(_plot->yAxis, 0, std::max(4.0, std::ceil(1.1 * double(snap.peak.height))), 0);
  _plot->replot();

  const Peak& p = snap.peak;
  const QString pair = QString("A = %1, B = %2: ").arg(s.channelA).arg(s.channelB);
  if (!p.found)
    _peakText->setText(pair + "no pairs yet");
  else if (!p.significant)
    _peakText->setText(pair + QString("no peak (the highest bin, %1 counts, is within the noise)")
                                  .arg(p.height));
  else
    _peakText->setText(pair + QString("peak at %1 ps (bin %1 to %2 ps), height %3, FWHM %4 ps, "
                                      "coincidences within \u00b11 bin %5")
                                  .arg(p.positionPs).arg(p.positionPs + s.binWidthPs).arg(p.height)
                                  .arg(p.fwhmPs, 0, 'f', 1).arg(rateText(p.coincidenceRate)));
}

void MonitorWindow::showTrace(const MonitorSnapshot& snap) {
  const CorrelationSettings& s = snap.correlation;
  _traceA->setName(QString("A = %1").arg(s.channelA));
  _traceB->setName(QString("B = %1").arg(s.channelB));
  // The newest bin is still filling: it is left out, and the others end at "now".
  const double binSeconds = double(kTraceBinPs) / 1e12;
  const int shown = kTraceBins - 1;
  double top = 0;
  QCPGraph* graphs[2] = {_traceA, _traceB};
  for (size_t g = 0; g < 2; ++g) {
    QVector<double> x(shown), y(shown);
    for (int i = 0; i < shown; ++i) {
      x[i] = -double(shown - i) * binSeconds;
      y[i] = snap.trace.size() == 2 ? double(snap.trace[g][size_t(i)]) / binSeconds : 0;
      top = std::max(top, y[i]);
    }
    graphs[g]->setData(x, y, true);
  }
  labelEnds(_tracePlot->xAxis, -double(shown) * binSeconds, 0, 1);
  labelEnds(_tracePlot->yAxis, 0, std::max(4.0, std::ceil(1.1 * top)), 0);
  _tracePlot->replot();
}

void MonitorWindow::refresh() {
  sizeRates();
  MonitorCore* core = _source();
  if (core == nullptr) {
    _peakText->setText("The monitor runs while the devices record (Start).");
    return;
  }
  const MonitorSnapshot snap = core->snapshot();
  showRates(snap);
  showHistogram(snap);
  showTrace(snap);
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
