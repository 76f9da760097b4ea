// The live monitor's window: per-channel rates of every device, the choice of the two
// correlated channels, range and bin width, and the live correlation histogram with its peak.
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
  void showRates(MonitorCore* core);

  std::function<MonitorCore*()> _source;
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
  QTimer* _timer;

  friend class MonitorProbe;  // tests look at the widgets
};

#endif
