// The merged records on their way from the merge's thread to one reader (Python's
// Chain.stream()): whole blocks of 10-byte binary records, at most a fixed number of bytes queued.
//
// From the start of a recording the queue collects the records, so that a reader who comes a
// little later still gets them from the first one; until a reader attaches, a full queue drops
// its oldest blocks. While a reader is attached, a full queue holds the merge up until the reader
// takes a block, so the reader sees every record in merge order; the recording itself never waits
// for it (the merge reads the raw files, which keep growing). Once the reader detaches, nothing
// more is collected for that recording. No Qt.
#ifndef RAVIK_CHAIN_RECORDQUEUE_H
#define RAVIK_CHAIN_RECORDQUEUE_H

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

class RecordQueue {
public:
  // `maxBytes`: the most bytes of records queued at once (at least one block is always taken).
  explicit RecordQueue(size_t maxBytes);

  // Writer side (the merge's thread). Copies `count` records of 10 bytes; waits while the queue
  // is full and the reader attached.
  void push(const char* records, size_t count);
  // No more records of this recording: the reader gets what is queued, then the end.
  // `complete` false: the merge ended before the end of the recording, so the records stop
  // short of it (see endedEarly()).
  void finish(bool complete = true);
  // A new recording begins: forgets what is left of the previous one and collects again.
  void reopen();

  // Reader side. attach() begins a stream with what is collected and what comes; detach() ends
  // it, drops what is queued and releases a waiting writer. detach() returns true when the
  // reader had taken every record: the recording's merge had run to its end and nothing was
  // left.
  void attach();
  bool detach();
  // After kEnd: the merge of the recording ended before the recording's end.
  bool endedEarly() const;
  // Bytes dropped since reopen() because the queue was full before a reader came.
  int64_t droppedBytes() const;

  enum class Pop { kBlock, kTimeout, kEnd };
  // The next block into *block (replacing its content); waits at most `timeoutMs`. kEnd once the
  // recording has finished and everything queued was taken, or when no reader is attached.
  Pop pop(std::vector<char>* block, int32_t timeoutMs);

private:
  const size_t _maxBytes;
  mutable std::mutex _lock;
  std::condition_variable _changed;
  std::deque<std::vector<char>> _blocks;
  size_t _bytes = 0;
  int64_t _dropped = 0;
  bool _collecting = false;  // the records pushed are kept
  bool _attached = false;
  bool _finished = true;     // no recording runs
  bool _complete = true;     // the merge of the last recording ran to its end
};

#endif
