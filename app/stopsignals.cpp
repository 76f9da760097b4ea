#include "app/stopsignals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The pipe's write end for the handler, which may only make async-signal-safe calls.
volatile sig_atomic_t gWriteEnd = -1;

void onStopSignal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  // A full pipe already holds a stop to act on: this one may be dropped.
  if (gWriteEnd >= 0 && write(gWriteEnd, &number, 1) < 0) {
  }
  errno = saved;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (pipe2(_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    _pipe[0] = _pipe[1] = -1;
    return;
  }
  gWriteEnd = _pipe[1];
  _notifier = new QSocketNotifier(_pipe[0], QSocketNotifier::Read, this);
  connect(_notifier, &QSocketNotifier::activated, this, &StopSignals::readSignals);
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : kStopSignals) sigaction(s, &action, nullptr);
}

StopSignals::~StopSignals() {
  if (_pipe[1] < 0) return;
  for (int s : kStopSignals) signal(s, SIG_DFL);
  gWriteEnd = -1;
  // A pipe of signal numbers only: its close cannot lose anything of the user's.
  close(_pipe[0]);
  close(_pipe[1]);
}

void StopSignals::readSignals() {
  unsigned char numbers[16];
  ssize_t n;
  while ((n = read(_pipe[0], numbers, sizeof numbers)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (_received == 0) _received = numbers[i];
      emit stopRequested(numbers[i]);
    }
  }
}
