// The Monitor button and window as a person uses them: the button sits under Quit, the window
// opens beside the main window without blocking it and keeps its size, and a recording with no
// output ticked shows moving rates, the chain's correlation peak (or no peak for channels that
// do not correlate), the time trace, and rates marked stale after Stop.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSpinBox>
#include <QTableWidget>
#include <qcustomplot.h>

#include "app/monitorwindow.h"
#include "window_harness.h"

class MonitorProbe {
public:
  explicit MonitorProbe(MonitorWindow* w) : _w(w) {}
  QString rate(int row, int column) const {
    QTableWidgetItem* item = _w->_rates->item(row, column);
    return item ? item->text() : QString();
  }
  QString peak() const { return _w->_peakText->text(); }
  QString status() const { return _w->_status->text(); }
  QString ratesTitle() const { return _w->_ratesTitle->text(); }
  QSpinBox* channelB() const { return _w->_channelB; }
  QSpinBox* range() const { return _w->_range; }
  QSpinBox* binWidth() const { return _w->_binWidth; }
  // The labels at the two ends of each axis of both plots.
  QStringList axisEnds() const {
    QStringList ends;
    for (QCustomPlot* plot : {_w->_plot, _w->_tracePlot})
      for (QCPAxis* axis : {plot->xAxis, plot->yAxis}) {
        auto ticker = qSharedPointerDynamicCast<QCPAxisTickerText>(axis->ticker());
        if (!ticker || ticker->ticks().isEmpty()) continue;
        ends << ticker->ticks().first() << ticker->ticks().last();
      }
    return ends;
  }
  // Events of channel A in the newest complete bins of the time trace.
  double traceA() const {
    const QSharedPointer<QCPGraphDataContainer> data = _w->_traceA->data();
    return data->isEmpty() ? 0 : (data->constEnd() - 1)->value;
  }

private:
  MonitorWindow* _w;
};

TEST_F(WindowTest, MonitorShowsRatesAndTheChainPeakWithoutOutputs) {
  openWindow();
  ASSERT_EQ(KRmt::_devs.size(), 3);
  KRmtProbe p = probe();
  auto* button = qobject_cast<QPushButton*>(p.cell(3, 5));  // under Quit
  ASSERT_TRUE(button != nullptr && button->text() == "Monitor");

  button->click();
  auto windows = _window->findChildren<MonitorWindow*>();
  ASSERT_EQ(windows.size(), 1);
  MonitorWindow* monitor = windows.front();
  EXPECT_TRUE(monitor->isVisible() && monitor->isWindow() && !monitor->isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  MonitorProbe m(monitor);
  EXPECT_TRUE(m.peak().contains("while the devices record"));

  // Beside the main window, not over it.
  EXPECT_FALSE(monitor->frameGeometry().intersects(_window->frameGeometry()))
      << "main " << _window->frameGeometry().x() << " monitor " << monitor->frameGeometry().x();
  const QSize size = monitor->size();

  ASSERT_FALSE(p.ascEnable()->isChecked() || p.binEnable()->isChecked());
  // A virtual channel from the temp folder's ravik-virtual.json: 6 delayed by -1500 ps, 30000.
  QFile virtuals(QDir(p.tmpPath()->text()).filePath("ravik-virtual.json"));
  ASSERT_TRUE(virtuals.open(QIODevice::WriteOnly));
  virtuals.write(R"([{"type": "delayed", "channel": 6, "delay_ps": -1500}])");
  virtuals.close();
  p.startBtn()->click();
  ASSERT_EQ(_window->state(), KRmt::Recording);
  // Channel 1 of the master and of slave 1 (output channels 1 and 6) meet 2500 ps apart, give or
  // take the devices' jitter: the highest bin is one of the two that meet at 2500 ps.
  const auto atPeak = [&] {
    return m.peak().contains("peak at 2500 ps") || m.peak().contains("peak at 2490 ps");
  };
  ASSERT_TRUE(QTest::qWaitFor(atPeak, kWaitMs)) << m.peak().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return m.rate(1, 2).endsWith("k/s"); }, kWaitMs));
  const QString first = m.rate(1, 2);
  EXPECT_TRUE(first.startsWith("6: ")) << first.toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return m.rate(1, 2) != first; }, kWaitMs));
  // A loaded machine may leave the monitor behind the devices (it then skips, never slows the
  // recording, and says so); nothing else may be wrong.
  EXPECT_TRUE(m.status().isEmpty() || m.status() == "monitor behind, showing partial data")
      << m.status().toStdString();
  EXPECT_FALSE(m.ratesTitle().contains("stale"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return m.traceA() > 10000; }, kWaitMs)) << m.traceA();
  const QStringList ends = m.axisEnds();
  ASSERT_EQ(ends.size(), 8);
  EXPECT_EQ(ends.mid(0, 2), (QStringList{"-10000", "10000"}));
  EXPECT_EQ(ends.mid(4, 2), (QStringList{"-5.0", "0.0"}));  // the trace's last 4.98 s, its newest bin still filling

  // Input 0 of the master and input 2 of slave 1 share no signal: two or three pairs in a bin
  // are no peak.
  const QString previous = m.peak();
  m.channelB()->setValue(7);
  EXPECT_TRUE(QTest::qWaitFor([&] { return m.peak().contains("no peak"); }, kWaitMs))
      << m.peak().toStdString();
  EXPECT_NE(previous, m.peak());
  EXPECT_EQ(monitor->size(), size) << "a new peak text keeps the window's size";
  // A bin wider than the range is refused.
  m.range()->setValue(10);
  m.binWidth()->setValue(20);
  EXPECT_EQ(m.status(), "the bin width must not exceed the range");
  m.binWidth()->setValue(10);
  m.range()->setValue(10000);
  m.channelB()->setValue(30000);
  const auto atVirtualPeak = [&] {
    return m.peak().contains("peak at 1000 ps") || m.peak().contains("peak at 990 ps");
  };
  EXPECT_TRUE(QTest::qWaitFor(atVirtualPeak, kWaitMs)) << m.peak().toStdString();
  m.channelB()->setValue(6);
  ASSERT_TRUE(QTest::qWaitFor(atPeak, kWaitMs)) << m.peak().toStdString();

  p.stopBtn()->click();
  EXPECT_EQ(_window->state(), KRmt::Idle);
  EXPECT_TRUE(atPeak()) << m.peak().toStdString();  // the last recording stays on show
  EXPECT_TRUE(m.ratesTitle().contains("stale")) << m.ratesTitle().toStdString();
  // Closed and opened again, it keeps its size and its place beside the main window.
  monitor->close();
  button->click();
  EXPECT_TRUE(monitor->isVisible());
  EXPECT_EQ(monitor->size(), size);
  EXPECT_FALSE(monitor->frameGeometry().intersects(_window->frameGeometry()));
}
