// The thread primitives: the recursive mutex, waits, clock arithmetic, a thread's end and the
// cyclic thread.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "thread/deadline.h"
#include "thread/lxmutex.h"
#include "thread/lxthread.h"

namespace {

// Runs a function on its own thread; joined before it is destroyed, also when a check failed.
struct FnThread : IThread {
  explicit FnThread(std::function<void(IThread*)> f) : _f(std::move(f)) {}
  ~FnThread() override { wait(); }
  void run() override { _f(this); }
  std::function<void(IThread*)> _f;
};

std::atomic<int> cycles{0};
void countCycle(CyclicThread* t) {
  if (++cycles >= 100) t->setRunning(false);
}

TEST(WaitCondition, TimesOutAndWakes) {
  IWaitCondition cond;
  EXPECT_FALSE(cond.wait(0)) << "nobody wakes a private-mutex wait";
  IMutex m;
  m.lock();
  EXPECT_FALSE(cond.wait(&m, 20));
  m.unlock();  // still held after the wait: this unlock must balance the lock above

  std::atomic<bool> woken{false}, result{false};
  FnThread waiter([&](IThread*) {
    m.lock();
    result = cond.wait(&m, -1);
    woken = true;
    m.unlock();
  });
  waiter.start();
  // Holding the mutex proves the waiter is inside its wait or has not yet taken it.
  for (int i = 0; i < 5000 && !woken; ++i) {
    m.lock();
    cond.wakeOne();
    m.unlock();
    IThread::sleep(1);
  }
  waiter.wait();
  EXPECT_TRUE(woken && result);
}

TEST(ClockArithmetic, DeadlineCarriesAndTimestampWraps) {
  const struct { int64_t sec, usec; int ms; int64_t tvSec; long tvNsec; } deadlines[] = {
      {100, 999500, 1700, 102, 699500000L}, {5, 0, 0, 5, 0}, {7, 123456, 999, 8, 122456000L}};
  for (const auto& d : deadlines) {
    struct timespec t = waitDeadline(d.sec, d.usec, d.ms);
    EXPECT_TRUE(t.tv_sec == d.tvSec && t.tv_nsec == d.tvNsec)
        << d.sec << "." << d.usec << " + " << d.ms << " gave " << t.tv_sec << " s " << t.tv_nsec;
  }
  EXPECT_EQ(millisecondStamp(1999999, 999999), 1999999999);
  EXPECT_EQ(millisecondStamp(6000000, 1500), 1) << "wraps every 2,000,000 s";
}

TEST(Thread, FinishedTracksRunAllowsRestartAndCyclicThreadsRunWhileFlagged) {
  std::atomic<int> runs{0};
  std::atomic<bool> entered{false}, release{false}, sawItself{false};
  FnThread t([&](IThread* self) {
    sawItself = self->isCurrentThread();
    entered = true;
    while (!release) IThread::sleep(1);
    ++runs;
  });
  EXPECT_TRUE(t.finished()) << "never started";
  t.wait();  // returns at once

  t.start();
  for (int i = 0; i < 10000 && !entered; ++i) IThread::sleep(1);
  EXPECT_FALSE(t.finished()) << "run() has begun but not returned";
  EXPECT_FALSE(t.isCurrentThread());
  release = true;
  for (int i = 0; i < 10000 && !t.finished(); ++i) IThread::sleep(1);
  ASSERT_TRUE(t.finished());
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(sawItself);

  t.start();  // the same object runs again
  t.wait();
  EXPECT_EQ(runs, 2);

  CyclicThread busy(countCycle);
  busy.start();
  busy.wait();
  EXPECT_EQ(cycles, 100) << "a cyclic thread ends right after the call that cleared its flag";
}

}  // namespace
