// A write stream for the merge's outputs that knows its position on any kind of file.
//
// The binary header's offset field is filled in from the stream's position (ftell). A pipe or
// another descriptor that cannot seek has none, so the stream counts the bytes it has written
// and gives that count as its position there: the trailer then still tells the record count.
// Write errors are caught at the system call and kept with their errno, so that another thread
// can watch for them while the merge writes.
#ifndef RAVIK_MERGE_OUTPUTSTREAM_H
#define RAVIK_MERGE_OUTPUTSTREAM_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <string>

// Write-behind of a file that is written from its start: every kStep bytes the new part is
// handed to the disk at once, and the part before it, written by then, is let go from memory.
// An output of many gigabytes, left to the system, fills memory with dirty pages until the system
// runs short and every writer, the recording's callback among them, waits while it writes them
// out; so the output's pages in memory stay a few steps' worth. Rewriting bytes already handed on
// (the binary trailer, HDF5 metadata) only brings them back. Failures here change nothing that
// the writes themselves do not report.
struct WriteBehind {
  static constexpr int64_t kStep = int64_t(8) << 20;
  int64_t synced = 0, dropped = 0;  // handed to the disk up to, let go from memory up to
  // The file `fd` now holds `end` bytes.
  void advance(int fd, int64_t end);
};

// What a stream writes through: the descriptor, the first write error and the bytes written.
struct StreamSink {
  int fd = -1;
  std::atomic<int> error{0};  // errno of the first failed write or close; 0 while none failed
  int64_t written = 0;        // bytes written through the stream (the writing thread only)
  bool ownedByStream = false;  // deleted when the stream is closed
  // The position is the count of bytes written, also where the descriptor could seek: for an
  // output that was open before (standard output appending to a log), whose records start
  // wherever the descriptor stood.
  bool countedPosition = false;
  // A pipe or socket, whose reader may stop reading: the writes wait for room in short polls and
  // give up (EINTR) once `cancel` is set or a stop signal (SIGINT, SIGTERM, SIGHUP) is pending.
  // Call watchPipe() to set it up.
  bool pipe = false;
  size_t pipeChunk = 0;           // the most one write may take without blocking
  std::atomic<bool> cancel{false};
  // Write-behind of a regular file. `regular` is found at the first step: 1 a regular file, 0
  // anything else, -1 not yet known.
  WriteBehind behind;
  int8_t regular = -1;
  // A named pipe that had no reader when the output was made (see deferPipe()): opened by the
  // first write, which waits for a reader in short polls as a write waits for room; fd is -1
  // until then. Empty: fd is open.
  std::string pendingPipe;
};

// Makes the sink open the named pipe `path` at its first write (see StreamSink::pendingPipe). A
// stream closed before then opens it only when a reader waits, so that the reader sees the end.
void deferPipe(StreamSink* sink, const std::string& path);

// Makes the sink watch its descriptor when it is a pipe or a socket (see StreamSink::pipe).
void watchPipe(StreamSink* sink);

// A stream that writes through `sink` (which must outlive it unless ownedByStream); fclose
// closes sink->fd. Null when no stream could be made; sink->fd is then left open.
FILE* openSinkStream(StreamSink* sink);

// Writes all `size` bytes of `data` to the descriptor `fd` (of a small file: a manifest, a hold),
// again after a signal; false with errno set (ENOSPC where the system wrote nothing).
bool writeAll(int fd, const void* data, size_t size);

// Creates or truncates `path` like fopen(path, "w"), as a stream over a sink of its own, which
// lives until closeOutputStream(). Null with errno set when the file cannot be opened.
FILE* openOutputStream(const char* path);

// Flushes and closes a stream made by openOutputStream(): 0 when every byte written to it
// reached the file, otherwise the errno of the first failed write or of the close.
int closeOutputStream(FILE* file);

#endif
