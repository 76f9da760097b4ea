// The live monitor's window: per-channel rates of every device, the choice of the two
// correlated channels, range and bin width, the live correlation histogram with its peak and,
// beside it, the time trace of the two channels' rates.
//
// It shows what the window's current MonitorCore holds (none before the first recording) and
// refreshes five times a second while it is shown. It is a separate top-level window: the main
// window stays usable while it is open.
#ifndef RAVIK_APP_MONITORWINDOW_H
#define RAVIK_APP_MONITORWINDOW_H

#include <functional>

#include <QWidget>

#include "monitor/correlator.h"

class MonitorCore;
struct MonitorSnapshot;
class QCPGraph;
class QCustomPlot;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

class MonitorWindow : public QWidget {
  Q_OBJECT

public:
  // `source` gives the monitor to show, or null. `parent` owns the window.
  MonitorWindow(QWidget* parent, std::function<MonitorCore*()> source);

  // The correlation the controls choose; a new monitor starts with it.
  CorrelationSettings settings() const;

  // Places the window beside `main` (to its right, else to its left), not over it.
  void placeBeside(const QWidget* main);

public slots:
  void refresh();

protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private slots:
  void applySettings();
  void resetHistogram();

private:
  QWidget* buildControls();
  void sizeRates();
  void showRates(const MonitorSnapshot& snap);
  void showHistogram(const MonitorSnapshot& snap);
  void showTrace(const MonitorSnapshot& snap);

  std::function<MonitorCore*()> _source;
  QLabel* _ratesTitle;
  QTableWidget* _rates;
  QSpinBox* _channelA;
  QSpinBox* _channelB;
  QSpinBox* _range;
  QSpinBox* _binWidth;
  QPushButton* _resetBtn;
  QLabel* _status;
  QLabel* _peakText;
  QCustomPlot* _plot;
  QCPGraph* _graph;
  QCustomPlot* _tracePlot;
  QCPGraph* _traceA;
  QCPGraph* _traceB;
  QTimer* _timer;
  QSize _shownSize;  // kept while hidden, so that the window reopens as it was

  friend class MonitorProbe;  // tests look at the widgets
};

#endif
