#include <stdio.h>

#include <QApplication>

#include "app/krmt.h"
#include "app/options.h"
#include "app/stopsignals.h"
#include "thread/stdfds.h"

int main(int argc, char* argv[]) {
  if (!openStandardDescriptors()) return 1;
  RmtOptions opt = parseOptions(argc, argv, KRmt::optLog, KRmt::optSim);
  // The window opens all the same: only -l and -s change it.
  if (opt.unknown != nullptr && !opt.help && !opt.version)
    fprintf(stderr, "ravik: unknown option '%s' ignored (see --help)\n", opt.unknown);
  // Answered before the application object exists, so they need no display.
  if (opt.help || opt.version) {
    const int written =
        opt.help ? fputs(windowHelpText(), stdout) : printf("ravik %s\n", RAVIK_VERSION);
    return written >= 0 && fflush(stdout) == 0 ? 0 : 1;
  }
  QApplication app(argc, argv);
  StopSignals stops;
  int rc;
  {
    // Destroyed before the application object, so that the devices are disconnected at exit.
    KRmt window(nullptr, opt.log, opt.sim);
    QObject::connect(&stops, &StopSignals::stopRequested, &window, &KRmt::stopBySignal);
    window.show();
    rc = app.exec();
  }
  // As a program ended by the signal reports it to its shell.
  return stops.received() != 0 ? 128 + stops.received() : rc;
}
