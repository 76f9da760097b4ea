// The time of a recording, read on the clocks that its summary, live lines, report and HDF5
// output share.
#ifndef RAVIK_CHAIN_RECORDTIME_H
#define RAVIK_CHAIN_RECORDTIME_H

#include <time.h>

#include <chrono>

// One instant of a recording, read on three clocks at once: the monotonic clock for its
// lengths, the wall clock for the run report's times, the process's processor time.
struct RecordInstant {
  std::chrono::steady_clock::time_point steady;
  timespec wall;
  double processorSeconds;  // of the whole process so far, all threads

  static RecordInstant now();
};

// The recording's one time: from its start (before the devices start, the run report's
// start_utc) to its stop (the callback removed, stop_utc, on the wall clock the start's time plus
// `seconds`). The summary, the live lines, the report and the HDF5 output's acquisition duration
// all take it from here.
struct RecordTime {
  RecordInstant start, stop;
  double seconds;           // from the start to the stop
  double processorSeconds;  // processor time of the process meanwhile, all threads
};

RecordTime recordTime(const RecordInstant& start, const RecordInstant& stop);
// Seconds from `start` until now.
double secondsSince(const RecordInstant& start);

#endif
