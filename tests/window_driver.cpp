// The window in a process of its own, for the tests that end that process (kill -9): builds the
// window as main() does, on simulated devices, ticks the outputs given, enables the markers given
// on every device, sets the temp folder and presses Start; then lets it record until the process
// is ended.
//
//   window_driver WORK MARKERS TMP TEXT BIN HDF5
//
// WORK holds the window's settings store and home folder; MARKERS is the enabled-marker mask (C
// notation); an empty TEXT, BIN or HDF5 leaves that output unticked. Prints "recording" once the
// recording runs. Any error box ends the program with exit code 1 and its text on stderr; a bad
// command line gives 2.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
  // sets its path, sets the temp folder TMP and the enabled markers of every device, and presses
  // Start.
  static void start(KRmt* w, char** argv, unsigned long markers) {
    const std::pair<QCheckBox*, QLineEdit*> outputs[] = {
        {w->_ascEnable, w->_ascPath}, {w->_binEnable, w->_binPath}, {w->_hdf5Enable, w->_hdf5Path}};
    for (int i = 0; i < 3; ++i) {
      outputs[i].first->setChecked(argv[4 + i][0] != '\0');
      if (argv[4 + i][0] != '\0') outputs[i].second->setText(argv[4 + i]);
    }
    w->_tmpPath->setText(argv[3]);
    for (RmtDev* dev : KRmt::_devs)
      for (int k = 0; k < RmtDev::kMarkers; ++k) dev->_marker[k]->setChecked(markers >> k & 1);
    w->_startBtn->click();
  }
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

}  // namespace

int main(int argc, char** argv) {
  char* end = nullptr;
  const unsigned long markers = argc == 7 ? strtoul(argv[2], &end, 0) : 0;
  if (argc != 7 || end == argv[2] || *end != '\0' || markers > 0x1FF) {
    fprintf(stderr, "usage: window_driver WORK MARKERS TMP TEXT BIN HDF5\n");
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
  KRmtProbe::start(&window, argv, markers);
  if (window.state() != KRmt::Recording) {
    fprintf(stderr, "window_driver: the recording did not start\n");
    return 1;
  }
  printf("recording\n");
  fflush(stdout);
  return app.exec();
}
