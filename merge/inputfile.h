// Opening the files a program reads (streams, loss files, manifests, parameter and metadata
// files) so that it never waits on one. The open() of a named pipe waits for a writer, and a read
// of a device may wait for ever, in a call that no stop signal ends while the programs keep their
// stop signals blocked for their own wait: only regular files are read.
#ifndef RAVIK_MERGE_INPUTFILE_H
#define RAVIK_MERGE_INPUTFILE_H

#include <stdio.h>

#include <string>

// Opens `path` (links followed) read-only and close-on-exec when it is a regular file. Returns
// the descriptor, or -1 with a message naming the file in *error: "<path>: cannot open: <the
// system's text>" with errno kept from the failed call (ENOENT: not there), or "<path>: is a
// named pipe, not a regular file" (a directory, a device, a socket alike) with errno 0. Never
// waits, whatever the file is.
int openRegularFile(const std::string& path, std::string* error);

// The same as a stream for reading ("rb"); null with the message.
FILE* fopenRegularFile(const std::string& path, std::string* error);

// Reads the whole regular file; false with a message naming the file.
bool readRegularFile(const std::string& path, std::string* text, std::string* error);

#endif
