// The Monitor button and window as a person uses them: the button sits under Quit, the window
// opens beside the main window without blocking it, and a recording with no output ticked shows
// moving rates and the chain's correlation peak.
#include <QGridLayout>
#include <QLabel>
#include <QTableWidget>

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

private:
  MonitorWindow* _w;
};

TEST_F(WindowTest, MonitorShowsRatesAndTheChainPeakWithoutOutputs) {
  openWindow();
  ASSERT_EQ(KRmt::_devs.size(), 3);
  QPushButton* button = nullptr;
  for (QPushButton* b : _window->findChildren<QPushButton*>())
    if (b->text() == "Monitor") button = b;
  ASSERT_NE(button, nullptr);
  auto* grid = qobject_cast<QGridLayout*>(_window->layout());
  int row = -1, column = -1, rows = 0, columns = 0;
  grid->getItemPosition(grid->indexOf(button), &row, &column, &rows, &columns);
  EXPECT_EQ(std::make_pair(row, column), std::make_pair(3, 5));

  button->click();
  auto windows = _window->findChildren<MonitorWindow*>();
  ASSERT_EQ(windows.size(), 1);
  MonitorWindow* monitor = windows.front();
  EXPECT_TRUE(monitor->isVisible() && monitor->isWindow() && !monitor->isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  MonitorProbe m(monitor);
  EXPECT_TRUE(m.peak().contains("while the devices record"));

  KRmtProbe p = probe();
  ASSERT_FALSE(p.ascEnable()->isChecked() || p.binEnable()->isChecked());
  p.startBtn()->click();
  ASSERT_EQ(_window->state(), KRmt::Recording);
  // Channel 1 of the master and of slave 1 (output channels 1 and 6) meet 2500 ps apart.
  ASSERT_TRUE(QTest::qWaitFor([&] { return m.peak().contains("peak at 2500 ps"); }, kWaitMs))
      << m.peak().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return m.rate(1, 2).endsWith("k/s"); }, kWaitMs));
  const QString first = m.rate(1, 2);
  EXPECT_TRUE(first.startsWith("6: ")) << first.toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return m.rate(1, 2) != first; }, kWaitMs));
  EXPECT_EQ(m.status(), "");

  p.stopBtn()->click();
  EXPECT_EQ(_window->state(), KRmt::Idle);
  EXPECT_TRUE(m.peak().contains("peak at 2500 ps"));  // the last recording stays on show
  EXPECT_TRUE(QDir(path("tmp")).entryList({"ravik-*.tmp"}, QDir::Files).isEmpty());
}
