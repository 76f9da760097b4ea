// A stop signal (Ctrl-C in the terminal, a closed terminal, the end of a session) while the
// window records: the window closes as Quit does, the recording is kept whole for --recover, and
// no partial output is left. In a program of its own: the signal ends the application's event
// loops for good.
#include <signal.h>

#include <QTimer>

#include "app/stopsignals.h"
#include "window_harness.h"

namespace {

class StopSignalTest : public WindowTest {
protected:
  // Records into out.txt with the temp folder work/, the window taking the stop signals.
  KRmtProbe startRecording() {
    KRmtProbe p = openRecordingWindow();
    p.ascPath()->setText(path("out.txt"));
    p.ascEnable()->setChecked(true);
    p.binEnable()->setChecked(false);
    QObject::connect(&_stops, &StopSignals::stopRequested, _window.get(), &KRmt::stopBySignal);
    record();
    return p;
  }
  // The recording kept for --recover: every temp file and the manifest, no output, no part of one.
  void expectKept() const {
    const QDir work(path("work"));
    EXPECT_EQ(work.entryList({"ravik-*.tmp"}, QDir::Files).size(), 3);
    EXPECT_TRUE(work.exists("ravik-run.json"));
    EXPECT_FALSE(QFile::exists(path("out.txt")));
    EXPECT_EQ(QDir(_dir.path()).entryList({".ravik-*"}, QDir::Files | QDir::Hidden), QStringList());
  }
  void TearDown() override {
    WindowTest::TearDown();
    // The signal ended every event loop for good; an application's own loop run to its end
    // clears that for the next test.
    QTimer::singleShot(0, [] { QCoreApplication::exit(); });
    QCoreApplication::exec();
  }

  StopSignals _stops;
};

TEST_F(StopSignalTest, WhileRecordingTheWindowClosesAsQuitAndKeepsTheRecording) {
  startRecording();
  ASSERT_EQ(raise(SIGTERM), 0);  // the process lives on: the handler only notes it
  ASSERT_TRUE(QTest::qWaitFor([&] { return !_window->isVisible(); }, kWaitMs));
  EXPECT_EQ(_stops.received(), SIGTERM);
  EXPECT_EQ(_window->state(), KRmt::Idle);
  expectKept();
  EXPECT_TRUE(_boxes.texts.isEmpty()) << _boxes.texts.join("\n").toStdString();
}

// In an error box, the box ends unanswered and the call that opened it returns; the window's
// destructor then stops and keeps the recording.
TEST_F(StopSignalTest, InAnErrorBoxTheBoxEndsAndTheRecordingIsKept) {
  KRmtProbe p = startRecording();
  _boxes.paused = true;
  QTimer::singleShot(50, [] { raise(SIGHUP); });
  QTimer::singleShot(kWaitMs, [this] { _boxes.paused = false; });  // answered, should it stay
  p.checkError(false, "a box open when the signal comes");
  _boxes.paused = false;
  EXPECT_EQ(_stops.received(), SIGHUP);
  EXPECT_TRUE(_boxes.texts.isEmpty()) << "answered, not ended: " << _boxes.texts.join("\n").toStdString();
  EXPECT_EQ(_window->state(), KRmt::Recording);
  closeWindow();
  expectKept();
}

}  // namespace
