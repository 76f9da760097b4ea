#include "chain/recordtime.h"

#include <stdint.h>
#include <sys/resource.h>

RecordInstant RecordInstant::now() {
  RecordInstant i;
  i.steady = std::chrono::steady_clock::now();
  clock_gettime(CLOCK_REALTIME, &i.wall);
  struct rusage use;
  getrusage(RUSAGE_SELF, &use);
  i.processorSeconds = double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                       1e-6 * double(use.ru_utime.tv_usec + use.ru_stime.tv_usec);
  return i;
}

RecordTime recordTime(const RecordInstant& start, const RecordInstant& stop) {
  const int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(stop.steady - start.steady).count();
  RecordTime t{start, stop, 1e-9 * double(ns), stop.processorSeconds - start.processorSeconds};
  // The stop on the wall clock is the start's plus the recording's length: one time for both,
  // whatever the wall clock did meanwhile.
  const int64_t wallNs = int64_t(start.wall.tv_nsec) + ns;
  t.stop.wall.tv_sec = start.wall.tv_sec + time_t(wallNs / 1000000000);
  t.stop.wall.tv_nsec = long(wallNs % 1000000000);
  return t;
}

double secondsSince(const RecordInstant& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start.steady).count();
}
