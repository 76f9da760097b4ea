// Scheduling priority of the calling thread.
#ifndef RAVIK_THREAD_PRIORITY_H
#define RAVIK_THREAD_PRIORITY_H

// Lowers the calling thread's priority (nice 10) so that it gives way to the recording's threads
// when the processors are scarce; threads it starts later inherit the lower priority. Best
// effort: where it is refused the thread only competes on equal terms.
void yieldToRecording();

#endif
