// The monitor thread: drains a MonitorCore's taps while a recording runs.
#ifndef RAVIK_MONITOR_MONITORTHREAD_H
#define RAVIK_MONITOR_MONITORTHREAD_H

#include <atomic>

#include "thread/lxthread.h"

class MonitorCore;

class MonitorThread : public IThread {
public:
  explicit MonitorThread(MonitorCore* core) : _core(core) {}  // not owned
  ~MonitorThread() override;

  void run() override;
  // Call after the event callback is removed: the thread decodes what is still queued, hands
  // the last events to the histogram and ends; returns when it has.
  void finish();

private:
  MonitorCore* _core;
  std::atomic<bool> _running{true};
};

#endif
