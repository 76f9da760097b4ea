// Threads over POSIX threads.
//
// IThread is the base of every worker: derive, implement run(), start() it, and poll finished()
// or wait() for it. The object must outlive its thread: destroy it only after run() has returned.
#ifndef RAVIK_THREAD_LXTHREAD_H
#define RAVIK_THREAD_LXTHREAD_H

#include <atomic>

class IThread {
public:
  IThread();
  // Frees the handle cell; neither waits for the thread nor stops it.
  virtual ~IThread() = 0;
  IThread(const IThread&) = delete;
  IThread& operator=(const IThread&) = delete;

  // The thread's work.
  virtual void run() = 0;
  // Creates a thread that calls run() and ends. On failure a line "pthread_create: <reason>" goes
  // to standard error and no thread runs.
  virtual void start();
  // Blocks until run() has returned; returns at once when no thread was started.
  virtual void wait();

  // True when no thread runs: never started, or run() has returned (the object may then be
  // started again).
  bool finished();
  // True when the calling thread is this object's thread.
  bool isCurrentThread() const;

  // Suspends the calling thread; ms is converted to microseconds in 32 bits, so at most
  // 4,294,967 ms per call.
  static void sleep(unsigned long ms);
  // The calling thread's handle as an opaque integer.
  static unsigned long identify();
  // Number of processors listed in /proc/cpuinfo; 0 when it cannot be read.
  static int getCpuCount();
  // Wall-clock milliseconds, starting again from 0 every 2,000,000 seconds.
  static int getTimestamp();

private:
  struct Cell;
  Cell* _cell;  // owned
};

// Calls one function over and over while its running flag is set. Clearing the flag from another
// thread ends the loop after the current call.
class CyclicThread : public IThread {
public:
  typedef void (*CycleFunc)(CyclicThread*);

  explicit CyclicThread(CycleFunc cycle, bool running = true) : _cycle(cycle), _running(running) {}
  ~CyclicThread() override {}

  void run() override;

  void setRunning(bool running) { _running = running; }
  bool running() const { return _running; }

private:
  CycleFunc _cycle;
  std::atomic<bool> _running;
};

#endif
