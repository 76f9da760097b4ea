#include <gtest/gtest.h>

#include <atomic>

#include "thread/deadline.h"
#include "thread/lxmutex.h"
#include "thread/lxthread.h"

namespace {

// Runs a function object on its own thread.
template <typename F>
class FnThread : public IThread {
public:
  explicit FnThread(F f) : _f(f) {}
  ~FnThread() override {}
  void run() override { _f(this); }

private:
  F _f;
};
template <typename F>
FnThread<F>* makeThread(F f) { return new FnThread<F>(f); }

// Polls finished() until it reports the end; the bound only guards against a hang.
bool endsWithin(IThread& t, int ms) {
  for (int i = 0; i < ms; ++i) {
    if (t.finished()) return true;
    IThread::sleep(1);
  }
  return t.finished();
}

}  // namespace

TEST(Mutex, IsRecursiveAndNeedsOneUnlockPerLock) {
  IMutex m;
  m.lock();
  m.lock();
  m.unlock();
  std::atomic<bool> got{false};
  auto* other = makeThread([&](IThread*) {
    m.lock();
    got = true;
    m.unlock();
  });
  other->start();
  IThread::sleep(30);
  EXPECT_FALSE(got) << "one unlock after two locks must keep the mutex held";
  m.unlock();
  other->wait();
  EXPECT_TRUE(got);
  delete other;
}

TEST(WaitCondition, TimesOutAndWakes) {
  IWaitCondition cond;
  EXPECT_FALSE(cond.wait(0)) << "nobody wakes a private-mutex wait";
  IMutex m;
  m.lock();
  EXPECT_FALSE(cond.wait(&m, 20));
  m.unlock();  // still held after the wait: this unlock must balance the lock above

  std::atomic<bool> waiting{false}, woken{false}, result{false};
  auto* waiter = makeThread([&](IThread*) {
    m.lock();
    waiting = true;
    result = cond.wait(&m, -1);
    woken = true;
    m.unlock();
  });
  waiter->start();
  while (!waiting) IThread::sleep(1);
  // Holding the mutex proves the waiter has released it inside its wait.
  for (int i = 0; i < 5000 && !woken; ++i) {
    m.lock();
    cond.wakeOne();
    m.unlock();
    IThread::sleep(1);
  }
  waiter->wait();
  EXPECT_TRUE(woken);
  EXPECT_TRUE(result);
  delete waiter;
}

TEST(ClockArithmetic, DeadlineCarriesMicrosecondsIntoSeconds) {
  struct timespec t = waitDeadline(100, 999500, 1700);
  EXPECT_EQ(t.tv_sec, 102);
  EXPECT_EQ(t.tv_nsec, 699500000L);
  t = waitDeadline(5, 0, 0);
  EXPECT_EQ(t.tv_sec, 5);
  EXPECT_EQ(t.tv_nsec, 0);
  t = waitDeadline(7, 123456, 999);
  EXPECT_EQ(t.tv_sec, 8);
  EXPECT_EQ(t.tv_nsec, 122456000L);
}

TEST(ClockArithmetic, TimestampWrapsEveryTwoMillionSeconds) {
  EXPECT_EQ(millisecondStamp(1999999, 500000), 1999999500);
  EXPECT_EQ(millisecondStamp(1999999, 999999), 1999999999);
  EXPECT_EQ(millisecondStamp(2000000, 0), 0);
  EXPECT_EQ(millisecondStamp(6000000, 1500), 1);
  EXPECT_EQ(millisecondStamp(1764000123, 456789), 123456);
  int now = IThread::getTimestamp();
  EXPECT_GE(now, 0);
  EXPECT_LT(now, 2000000000);
}

TEST(Thread, FinishedTracksRunAndAllowsRestart) {
  std::atomic<int> runs{0};
  std::atomic<bool> release{false};
  std::atomic<bool> sawItself{false};
  auto* t = makeThread([&](IThread* self) {
    sawItself = self->isCurrentThread();
    while (!release) IThread::sleep(1);
    ++runs;
  });
  EXPECT_TRUE(t->finished()) << "never started";
  t->wait();  // returns at once

  t->start();
  EXPECT_FALSE(t->finished());
  EXPECT_FALSE(t->isCurrentThread());
  release = true;
  ASSERT_TRUE(endsWithin(*t, 10000));
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(sawItself);

  t->start();  // the same object runs again
  t->wait();
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(t->finished()) << "a joined thread still reports its end";
  delete t;
}

static std::atomic<int> cycles{0};
static void countCycle(CyclicThread* t) {
  if (++cycles >= 100) t->setRunning(false);
}

TEST(Thread, CyclicThreadRunsWhileFlagged) {
  cycles = 0;
  CyclicThread idle(countCycle, false);
  idle.start();
  idle.wait();
  EXPECT_EQ(cycles, 0) << "a cleared flag before start means no call at all";

  CyclicThread busy(countCycle);
  busy.start();
  busy.wait();
  EXPECT_EQ(cycles, 100) << "the loop ends right after the call that cleared the flag";
}

TEST(Thread, CpuCountIsStable) {
  int n = IThread::getCpuCount();
  EXPECT_GE(n, 1);
  EXPECT_EQ(IThread::getCpuCount(), n);
  EXPECT_NE(IThread::identify(), 0UL);
}
