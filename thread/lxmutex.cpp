#include "thread/lxmutex.h"

#include <errno.h>
#include <pthread.h>
#include <sys/time.h>

#include "thread/deadline.h"

IMutex::IMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  auto* m = new pthread_mutex_t;
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  _cell = m;
}

IMutex::~IMutex() {
  auto* m = static_cast<pthread_mutex_t*>(_cell);
  pthread_mutex_destroy(m);
  delete m;
}

void IMutex::lock() { pthread_mutex_lock(static_cast<pthread_mutex_t*>(_cell)); }

void IMutex::unlock() { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(_cell)); }

IWaitCondition::IWaitCondition() {
  auto* c = new pthread_cond_t;
  pthread_cond_init(c, nullptr);
  _cell = c;
}

IWaitCondition::~IWaitCondition() {
  auto* c = static_cast<pthread_cond_t*>(_cell);
  pthread_cond_destroy(c);
  delete c;
}

bool IWaitCondition::wait(IMutex* mutex, int ms) {
  auto* c = static_cast<pthread_cond_t*>(_cell);
  auto* m = static_cast<pthread_mutex_t*>(mutex->native());
  if (ms < 0) {
    pthread_cond_wait(c, m);
    return true;
  }
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct timespec deadline = waitDeadline(now.tv_sec, now.tv_usec, ms);
  return pthread_cond_timedwait(c, m, &deadline) != ETIMEDOUT;
}

bool IWaitCondition::wait(int ms) {
  IMutex own;
  own.lock();
  bool woken = wait(&own, ms);
  own.unlock();
  return woken;
}

bool IWaitCondition::wakeOne() {
  pthread_cond_signal(static_cast<pthread_cond_t*>(_cell));
  return true;
}
