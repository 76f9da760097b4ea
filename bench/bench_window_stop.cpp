// How soon after Stop the window is back in Idle with complete outputs: the real window,
// offscreen, on the simulated chain (three devices at 5 million events/s each unless
// RAVIK_SIM_RATES says otherwise), Start and Stop pressed through its buttons.
//
//   bench_window_stop [seconds=60] [temp folder=/tmp] [binary output=/dev/null]
//
// BENCH_SETTINGS: the window's settings, space-separated ("splitTime=60"). The last line is
// `stop_to_idle_s X`. Error boxes are answered with Ok and shown on stderr.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "app/krmt.h"
#include "device/rmtdev.h"
#include "merge/mergethread.h"

// The window's widgets, as the tests reach them.
class KRmtProbe {
public:
  explicit KRmtProbe(KRmt* w) : _w(w) {}
  QPushButton* start() const { return _w->_startBtn; }
  QPushButton* stop() const { return _w->_stopBtn; }
  QCheckBox* textEnable() const { return _w->_ascEnable; }
  QCheckBox* binaryEnable() const { return _w->_binEnable; }
  QLineEdit* binaryPath() const { return _w->_binPath; }
  QLineEdit* tmpPath() const { return _w->_tmpPath; }
  const MergeThread* merger() const { return _w->_merger; }

private:
  KRmt* _w;
};

namespace {

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs the event loop until `done` holds, looking every millisecond.
template <typename Done>
void runUntil(Done done) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done()) loop.quit();
  });
  poll.start(1);
  if (!done()) loop.exec();
}

// Answers every modal box with Ok, so that a report cannot hold the run up.
void answerBoxes() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !box->isVisible()) return;
  fprintf(stderr, "box: %s\n", box->text().toLocal8Bit().constData());
  box->button(QMessageBox::Ok)->click();
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 60;
  const QString folder = argc > 2 ? argv[2] : "/tmp";
  const QString output = argc > 3 ? argv[3] : "/dev/null";
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("RAVIK_SIM_RATES", "1e6", 0);
  // The user's remembered paths stay as they are: a settings store of its own, holding the
  // settings of BENCH_SETTINGS ("splitTime=60 hdf5Compress=fast") when given.
  QTemporaryDir config;
  setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
  if (const char* settings = getenv("BENCH_SETTINGS")) {
    QDir(config.path()).mkpath("Vorlink");
    QFile store(config.path() + "/Vorlink/Ravik.conf");
    if (!store.open(QIODevice::WriteOnly) ||
        store.write("[General]\n" + QByteArray(settings).replace(' ', '\n') + "\n") < 0) {
      fprintf(stderr, "bench_window_stop: the settings store cannot be written\n");
      return 2;
    }
  }
  QTemporaryDir work(folder + "/ravik-window-stop-XXXXXX");
  if (seconds <= 0 || !config.isValid() || !work.isValid()) {
    fprintf(stderr, "usage: bench_window_stop [seconds > 0] [temp folder] [binary output]\n");
    return 2;
  }

  QApplication app(argc, argv);
  QTimer boxes;
  QObject::connect(&boxes, &QTimer::timeout, &answerBoxes);
  boxes.start(20);
  KRmt window(nullptr, false, true);
  window.show();
  runUntil([&] { return window.state() != KRmt::Searching; });
  KRmtProbe p(&window);
  p.textEnable()->setChecked(false);
  p.binaryEnable()->setChecked(true);
  p.binaryPath()->setText(output);
  p.tmpPath()->setText(work.path());

  p.start()->click();
  if (window.state() != KRmt::Recording) {
    fprintf(stderr, "the recording did not start\n");
    return 1;
  }
  const auto started = std::chrono::steady_clock::now();
  runUntil([&] { return since(started) >= seconds; });
  // How far the merge is behind the recording when Stop is pressed.
  qint64 recorded = 0;
  for (const QFileInfo& f : QDir(work.path()).entryInfoList({"ravik-*.tmp"}, QDir::Files))
    recorded += f.size();
  const double merged = p.merger() ? double(p.merger()->_bytesRead.load()) : 0;
  const auto stopped = std::chrono::steady_clock::now();
  p.stop()->click();
  runUntil([&] { return window.state() == KRmt::Idle; });
  const double stopToIdle = since(stopped);

  double events = 0;
  for (const RmtDev* dev : KRmt::_devs) {
    printf("device %s: %.1f M events%s\n", dev->_serialEdit->text().toLocal8Bit().constData(),
           dev->_events.load() / 1e6, dev->_lossSeen ? ", LOST DATA" : "");
    events += dev->_events.load();
  }
  const MergeThread* merge = p.merger();
  printf("recorded %.1f s, %.1f M events/s (the devices' estimate); merged %lld records%s\n",
         seconds, events / seconds / 1e6, merge ? static_cast<long long>(merge->_outcome.records) : 0LL,
         merge && merge->completed() ? "" : " (merge not complete)");
  printf("at Stop the merge had read %.1f of %.1f MB of temp files\n", merged / 1e6,
         double(recorded) / 1e6);
  printf("stop_to_idle_s %.3f\n", stopToIdle);
  return 0;
}
