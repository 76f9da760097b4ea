// Clock arithmetic of the thread primitives, kept apart so it can be checked with given clock values.
#ifndef RAVIK_THREAD_DEADLINE_H
#define RAVIK_THREAD_DEADLINE_H

#include <stdint.h>
#include <time.h>

// Absolute deadline `ms` milliseconds (ms >= 0) after the wall-clock time sec.usec.
inline struct timespec waitDeadline(int64_t sec, int64_t usec, int ms) {
  int64_t u = usec + int64_t(ms % 1000) * 1000;
  struct timespec t;
  t.tv_sec = time_t(sec + ms / 1000 + u / 1000000);
  t.tv_nsec = long((u % 1000000) * 1000);
  return t;
}

// Millisecond stamp of the wall-clock time sec.usec; starts again from 0 every 2,000,000 seconds,
// so the largest value, 1,999,999,999, fits a signed 32-bit integer.
inline int32_t millisecondStamp(int64_t sec, int64_t usec) {
  return int32_t((sec % 2000000) * 1000 + usec / 1000);
}

#endif
