#include "monitor/monitorthread.h"

#include "monitor/monitorcore.h"
#include "thread/priority.h"

namespace {

// An idle monitor looks again this often; the taps hold far more than arrives meanwhile.
constexpr unsigned long kIdleMs = 2;

}  // namespace

MonitorThread::~MonitorThread() { finish(); }

void MonitorThread::run() {
  // A monitor that falls behind only drops blocks from its view (see TapQueue); a recording that
  // falls behind loses data: the monitor gives way when the processors are scarce.
  yieldToRecording();
  while (_running.load(std::memory_order_acquire))
    if (!_core->drain()) IThread::sleep(kIdleMs);
  while (_core->drain()) {
  }
  _core->finish();
}

void MonitorThread::finish() {
  _running.store(false, std::memory_order_release);
  wait();
}
