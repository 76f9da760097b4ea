// Scheduling priority of the merge's threads while and after the devices record.
#ifndef RAVIK_THREAD_PRIORITY_H
#define RAVIK_THREAD_PRIORITY_H

#include <atomic>
#include <mutex>

// Lowers the calling thread's priority (nice 10) so that it gives way to the recording's threads
// when the processors are scarce; threads it starts later inherit the lower priority. Best
// effort: where it is refused the thread only competes on equal terms.
void yieldToRecording();

// Gives every thread of this process that yielded (and those they started) the normal priority
// back, once there is no recording to give way to. Best effort: raising a priority takes the
// right to (root, or an RLIMIT_NICE that allows it); without it they stay at the lower one.
void endYieldToRecording();

// The "still recording" flag of a merge that runs beside a recording (its sources' `growing`),
// with the merge's priority tied to it: the merge gives way while the devices record, and has
// the normal priority back before the flag drops, so that what it catches up after the stop
// runs on equal terms. One per recording; any thread.
class RecordingYield {
public:
  // True until end(); for the merge's sources.
  const std::atomic<bool>* growing() const { return &_growing; }
  bool ended() const { return !_growing.load(std::memory_order_acquire); }
  // On the merge's thread, before it starts threads of its own: yields, unless the recording
  // has ended already (then there is nothing to give way to, and nobody would give the
  // priority back).
  void yieldHere();
  // The recording has stopped and its files are complete: the threads that yielded get the
  // normal priority back, then the flag drops (release). Idempotent.
  void end();

private:
  std::mutex _lock;  // orders yieldHere() against end()
  std::atomic<bool> _growing{true};
  bool _yielded = false;
};

#endif
