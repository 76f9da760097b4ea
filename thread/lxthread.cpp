#include "thread/lxthread.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <memory>

#include "thread/deadline.h"

namespace {

// Shared between start() and the thread's entry function, so it stays valid even if the thread
// outlives a handle that was started again.
struct EndFlag {
  // Set by start() once the new thread's handle is stored: run() waits for it, so that
  // isCurrentThread() is already true inside run().
  std::atomic<bool> handleStored{false};
  // Set by the entry function once run() has returned.
  std::atomic<bool> ended{false};
};

struct Launch {
  IThread* thread;
  std::shared_ptr<EndFlag> flag;
};

}  // namespace

// The handle cell: zero (no thread) until start(), and again once finished() has seen the end.
// The signal-0 probe cannot tell an ended but unjoined thread from a running one on current
// glibc, so the end is read from a flag the entry function sets after run().
struct IThread::Cell {
  pthread_t handle = 0;
  bool joined = false;
  std::shared_ptr<EndFlag> flag;
};

static void* func(void* arg) {
  std::unique_ptr<Launch> launch(static_cast<Launch*>(arg));
  while (!launch->flag->handleStored.load(std::memory_order_acquire)) sched_yield();
  launch->thread->run();
  launch->flag->ended = true;
  return nullptr;
}

IThread::IThread() : _cell(new Cell) {}

IThread::~IThread() {
  if (_cell->handle != 0 && !_cell->joined) pthread_detach(_cell->handle);
  delete _cell;
}

void IThread::start() {
  // A previous thread that nobody joined releases its resources when it ends.
  if (_cell->handle != 0 && !_cell->joined) pthread_detach(_cell->handle);
  _cell->handle = 0;
  _cell->joined = false;
  _cell->flag = std::make_shared<EndFlag>();
  auto* launch = new Launch{this, _cell->flag};
  pthread_t handle;
  int rc = pthread_create(&handle, nullptr, func, launch);
  if (rc != 0) {
    delete launch;
    _cell->flag.reset();
    fprintf(stderr, "pthread_create: %s\n", strerror(rc));
    fflush(stderr);
    return;
  }
  _cell->handle = handle;
  _cell->flag->handleStored.store(true, std::memory_order_release);
}

void IThread::wait() {
  if (_cell->handle == 0 || _cell->joined) return;
  pthread_join(_cell->handle, nullptr);
  _cell->joined = true;
}

bool IThread::finished() {
  if (_cell->handle == 0) return true;
  if (!_cell->flag->ended) return false;
  if (!_cell->joined) pthread_join(_cell->handle, nullptr);
  _cell->handle = 0;
  _cell->joined = false;
  _cell->flag.reset();
  return true;
}

bool IThread::isCurrentThread() const {
  return _cell->handle != 0 && pthread_equal(_cell->handle, pthread_self());
}

void IThread::sleep(unsigned long ms) {
  uint32_t us = uint32_t(ms) * 1000u;
  struct timespec t;
  t.tv_sec = us / 1000000u;
  t.tv_nsec = long(us % 1000000u) * 1000;
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

unsigned long IThread::identify() { return (unsigned long)pthread_self(); }

int IThread::getCpuCount() {
  static std::atomic<int> count{0};
  int known = count;
  if (known != 0) return known;
  FILE* f = fopen("/proc/cpuinfo", "r");
  if (!f) return 0;
  char line[256];
  int n = 0;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, "processor", 9) == 0) ++n;
  fclose(f);
  count = n;
  return n;
}

int IThread::getTimestamp() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return millisecondStamp(now.tv_sec, now.tv_usec);
}

void CyclicThread::run() {
  while (_running) _cycle(this);
}
