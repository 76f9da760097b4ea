// The process's standard descriptors.
#ifndef RAVIK_THREAD_STDFDS_H
#define RAVIK_THREAD_STDFDS_H

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file the
// program opens later gets one of them and receives its messages or its output. Call first thing
// in main(). False when /dev/null itself cannot be opened.
bool openStandardDescriptors();

#endif
