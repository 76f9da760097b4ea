// The window in a process of its own, for the tests that end that process (kill -9): builds the
// window as main() does, on simulated devices, ticks the outputs given, enables the markers given
// on every device, sets the temp folder and presses Start; then lets it record until the process
// is ended. With FIVE (0 or 1, the chain's five-channel mode) it records a replayed run folder
// (RAVIK_SIM_REPLAY) to its end instead: once every temp file is as long as the stream it
// replays, it presses Stop and ends with exit code 0 when the window is Idle again.
//
//   window_driver WORK MARKERS TMP TEXT BIN HDF5 [FIVE]
//
// WORK holds the window's settings store and home folder; MARKERS is the enabled-marker mask (C
// notation); an empty TEXT, BIN or HDF5 leaves that output unticked. Prints "recording" once the
// recording runs. Any error box ends the program with exit code 1 and its text on stderr; a bad
// command line gives 2.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "app/krmt.h"
#include "device/rmtdev.h"

// The window's widgets, as the tests reach them.
class KRmtProbe {
public:
  // Ticks each output whose name in TEXT, BIN and HDF5 (argv[4] to argv[6]) is not empty and
  // sets its path, sets the temp folder TMP, the enabled markers and the five-channel mode of
  // every device, and presses Start.
  static void start(KRmt* w, char** argv, unsigned long markers, bool five) {
    const std::pair<QCheckBox*, QLineEdit*> outputs[] = {
        {w->_ascEnable, w->_ascPath}, {w->_binEnable, w->_binPath}, {w->_hdf5Enable, w->_hdf5Path}};
    for (int i = 0; i < 3; ++i) {
      outputs[i].first->setChecked(argv[4 + i][0] != '\0');
      if (argv[4 + i][0] != '\0') outputs[i].second->setText(argv[4 + i]);
    }
    w->_tmpPath->setText(argv[3]);
    for (RmtDev* dev : KRmt::_devs) {
      for (int k = 0; k < RmtDev::kMarkers; ++k) dev->_marker[k]->setChecked(markers >> k & 1);
      dev->_fiveChBox->setChecked(five);
    }
    w->_startBtn->click();
  }
  static void stop(KRmt* w) { w->_stopBtn->click(); }
};

namespace {

// An error box ends the drive: the test that started it reads why.
void failOnBox() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !box->isVisible()) return;
  fprintf(stderr, "window_driver: error box: %s\n", box->text().toLocal8Bit().constData());
  fflush(stderr);
  _exit(1);
}

off_t fileSize(const std::string& name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 ? st.st_size : -1;
}

// Whether each raw stream of the run folder `replayed` has reached the temp folder `tmp` whole:
// its temp file there is at least as long (the replay sends time advances after its end).
bool replayedWhole(const std::string& replayed, const std::string& tmp) {
  std::error_code error;
  for (const auto& e : std::filesystem::directory_iterator(replayed, error)) {
    const std::string name = e.path().filename();
    if (name.rfind("ravik-", 0) != 0 || e.path().extension() != ".tmp") continue;
    if (fileSize(tmp + "/" + name) < fileSize(e.path())) return false;
  }
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  char* end = nullptr;
  const unsigned long markers = argc == 7 || argc == 8 ? strtoul(argv[2], &end, 0) : 0;
  const bool toEnd = argc == 8;
  const char* replayed = getenv("RAVIK_SIM_REPLAY");
  if ((argc != 7 && argc != 8) || end == argv[2] || *end != '\0' || markers > 0x1FF ||
      (toEnd && ((strcmp(argv[7], "0") != 0 && strcmp(argv[7], "1") != 0) || !replayed))) {
    fprintf(stderr, "usage: window_driver WORK MARKERS TMP TEXT BIN HDF5 [FIVE]\n");
    return 2;
  }
  // The user's settings and home folder stay untouched.
  const std::string work = argv[1];
  for (const char* sub : {"/config", "/home"}) mkdir((work + sub).c_str(), 0755);
  setenv("XDG_CONFIG_HOME", (work + "/config").c_str(), 1);
  setenv("HOME", (work + "/home").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);

  QApplication app(argc, argv);
  QTimer boxes;
  QObject::connect(&boxes, &QTimer::timeout, &failOnBox);
  boxes.start(10);
  KRmt window(nullptr, false, true);
  window.show();
  // The box timer's events wake the wait until the search has run.
  while (window.state() == KRmt::Searching) app.processEvents(QEventLoop::WaitForMoreEvents);
  KRmtProbe::start(&window, argv, markers, toEnd && argv[7][0] == '1');
  if (window.state() != KRmt::Recording) {
    fprintf(stderr, "window_driver: the recording did not start\n");
    return 1;
  }
  printf("recording\n");
  fflush(stdout);
  if (!toEnd) return app.exec();
  while (!replayedWhole(replayed, argv[3]))
    app.processEvents(QEventLoop::WaitForMoreEvents);
  KRmtProbe::stop(&window);
  while (window.state() != KRmt::Idle) app.processEvents(QEventLoop::WaitForMoreEvents);
  return 0;
}
