// A stop signal (Ctrl-C in the terminal, a closed terminal, the end of a session) while the
// window records: the window closes as Quit does, the recording is kept whole for --recover, and
// no partial output is left. In a program of its own: the signal ends the application's event
// loops for good.
#include <signal.h>

#include "app/stopsignals.h"
#include "window_harness.h"

namespace {

TEST_F(WindowTest, AStopSignalWhileRecordingClosesAsQuitAndKeepsTheRecording) {
  setSim("RATES", "3000");
  QDir(_dir.path()).mkpath("work");
  openWindow();
  KRmtProbe p = probe();
  p.tmpPath()->setText(path("work"));
  p.ascPath()->setText(path("out.txt"));
  p.ascEnable()->setChecked(true);
  p.binEnable()->setChecked(false);
  StopSignals stops;
  QObject::connect(&stops, &StopSignals::stopRequested, _window.get(), &KRmt::stopBySignal);
  p.startBtn()->click();
  ASSERT_EQ(_window->state(), KRmt::Recording);
  ASSERT_TRUE(QTest::qWaitFor([] { return KRmt::_devs[0]->_events > 0; }, kWaitMs));

  ASSERT_EQ(raise(SIGTERM), 0);  // the process lives on: the handler only notes it
  ASSERT_TRUE(QTest::qWaitFor([&] { return !_window->isVisible(); }, kWaitMs));
  EXPECT_EQ(stops.received(), SIGTERM);
  EXPECT_EQ(_window->state(), KRmt::Idle);
  const QDir work(path("work"));
  EXPECT_EQ(work.entryList({"ravik-*.tmp"}, QDir::Files).size(), KRmt::_devs.size());
  EXPECT_TRUE(work.exists("ravik-run.json"));
  EXPECT_FALSE(QFile::exists(path("out.txt")));
  EXPECT_EQ(QDir(_dir.path()).entryList({".ravik-*"}, QDir::Files | QDir::Hidden), QStringList());
  EXPECT_TRUE(_boxes.texts.isEmpty()) << _boxes.texts.join("\n").toStdString();
}

}  // namespace
