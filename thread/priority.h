// Scheduling priority of the merge's threads while and after the devices record.
#ifndef RAVIK_THREAD_PRIORITY_H
#define RAVIK_THREAD_PRIORITY_H

// Lowers the calling thread's priority (nice 10) so that it gives way to the recording's threads
// when the processors are scarce; threads it starts later inherit the lower priority. Best
// effort: where it is refused the thread only competes on equal terms.
void yieldToRecording();

// Gives every thread of this process that yielded (and those they started) the normal priority
// back, once there is no recording to give way to. Best effort: raising a priority takes the
// right to (root, or an RLIMIT_NICE that allows it); without it they stay at the lower one.
void endYieldToRecording();

#endif
