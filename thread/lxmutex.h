// Mutex and wait condition over POSIX threads.
//
// Each class owns its thread-library object in a separately allocated cell, so that this header
// does not depend on the thread library's types.
#ifndef RAVIK_THREAD_LXMUTEX_H
#define RAVIK_THREAD_LXMUTEX_H

// A recursive mutex: the thread that holds it may lock it again; every lock needs its unlock.
class IMutex {
public:
  IMutex();
  ~IMutex();
  IMutex(const IMutex&) = delete;
  IMutex& operator=(const IMutex&) = delete;

  void lock();
  void unlock();

  // The pthread_mutex_t this object owns, for IWaitCondition.
  void* native() const { return _cell; }

private:
  void* _cell;  // owned: pthread_mutex_t
};

// A condition variable with default attributes. There is no predicate and no wake-all:
// a waiter wakes on wakeOne(), on time-out, or spuriously.
class IWaitCondition {
public:
  IWaitCondition();
  ~IWaitCondition();
  IWaitCondition(const IWaitCondition&) = delete;
  IWaitCondition& operator=(const IWaitCondition&) = delete;

  // Waits on a mutex private to this call, so a wakeOne() that comes before the wait is lost.
  // ms < 0 waits without limit. Returns false only when the wait timed out.
  bool wait(int ms);
  // The caller holds `mutex`; it is released while waiting and held again on return.
  bool wait(IMutex* mutex, int ms);
  // Wakes one waiting thread; always true.
  bool wakeOne();

private:
  void* _cell;  // owned: pthread_cond_t
};

#endif
