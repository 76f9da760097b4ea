// Decoding of the merge's sources ahead of the merge, on a thread of its own.
//
// Each source's raw stream is read and decoded exactly as the merge would do it inline: 100-word
// blocks, a tdc56Pop() after each block. The decoded timestamps are handed over in pages, two per
// source, so that one page is being merged while the next is decoded. Memory stays a few pages
// per source whatever the size of the files. A source whose file is still being written
// (MergeSource::growing) is read as it grows: its next page waits for the next whole block.
#ifndef RAVIK_MERGE_DECODEAHEAD_H
#define RAVIK_MERGE_DECODEAHEAD_H

#include <stdint.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/tdc56.h"
#include "merge/hugebuffer.h"
#include "merge/resumepoint.h"

struct MergeSource;
struct MergeSourceStats;

class DecodeAhead {
public:
  // A page is closed once fewer than a full decoder list would still fit into it, or once it
  // holds 64 KiB of the stream.
  static constexpr int32_t kPageEntries = kTdc56ListSize + 8192;

  // Resets the sources' decoders and starts the decoding thread. take() decodes a page on the
  // caller's thread whenever the page is not ready and the thread is not at it; without the
  // thread (`onThread` false, or no thread to be had) it does all the decoding: slower, but the
  // same result. When `bytesRead` is given, the bytes of every page are added to it as the page is
  // taken, and those of a stretch without timestamps every 64 KiB as it is read: such a stretch
  // is passed over on the decoding side, without handing pages to the merge.
  DecodeAhead(const MergeSource* sources, int32_t count, bool onThread = true,
              std::atomic<int64_t>* bytesRead = nullptr);
  // Stops the decoding thread (within one page or 64 KiB) and waits for it.
  ~DecodeAhead();
  DecodeAhead(const DecodeAhead&) = delete;
  DecodeAhead& operator=(const DecodeAhead&) = delete;

  // Releases source i's current page and makes the next one current, decoding it or waiting
  // until it is decoded. *first is its first entry and *last its last one. At the end of the stream the page
  // is empty: *first is an entry with time INT64_MAX and *last == *first. The entry after *last
  // may be read (its value is meaningless). Pages without a timestamp are passed over. Returns
  // the raw bytes consumed for the pages. *inOrder, if given, tells that the page's times surely
  // never go back and that it holds no marker.
  int64_t take(int32_t i, const PpTimest** first, const PpTimest** last,
               bool* inOrder = nullptr);

  // Where source i stands with its head at `head` in the current page (or at its end): the
  // merge's thread, between take()s.
  SourcePoint point(int32_t i, const PpTimest* head) const;

  // What the pages decoded so far hold, per source.
  std::vector<MergeSourceStats> stats();

  // Work of the merge's that the decoding thread may take on while it is free of decoding: each
  // job runs exactly once, by the decoding thread if it starts the job before the merge needs
  // it done, else by the merge itself in completeJob(), which must be called for every job
  // before the DecodeAhead goes. Between the two calls the job runs alongside the caller, so it
  // must not call take() and must touch nothing the caller changes meanwhile.
  // Jobs of one kind run one at a time and in the order offered, whichever thread runs them,
  // and up to kOutputSlots of them may be offered at a time. A stretch job, which the merge
  // waits for within its stretch and the decoding thread takes between any two blocks it
  // decodes, is offered one at a time. An output's jobs (its full buffers to write), which the
  // merge needs done only when it needs the buffer again, and which the decoding thread takes
  // between pages, before any page, are offered two at a time, so that the merge can fill a
  // buffer while the one before waits for the decoding thread and another is being written.
  enum JobKind : int32_t { kStretchJob = 0, kBinaryJob = 1, kTextJob = 2, kJobKinds = 3 };
  static constexpr int32_t kOutputSlots = 2;
  void offerJob(void (*run)(void* arg), void* arg, JobKind kind = kStretchJob);
  // Runs offered jobs of that kind on the caller's thread, oldest first, unless the decoding
  // thread has started them, and returns once no more than `leave` of them are not done (the
  // newest ones); `leave` is 0 for a stretch job. Returns at once when there are no more.
  void completeJob(JobKind kind = kStretchJob, int32_t leave = 0);

private:
  struct Page {
    // Not cleared when made: a cleared page costs a page fault and a memset for every one of
    // its 4 KiB before the merge starts. Each fill sets the entry after its last one.
    PpTimest entries[kPageEntries + 1];
    int32_t count = 0;
    bool last = false;  // the stream ends with this page
    int64_t bytes = 0;  // raw bytes read for it
    int32_t readError = 0;  // errno of the read that ended the stream early
    bool inOrder = false;   // its times never go back, and no marker is among them
    int64_t earliest = INT64_MAX, latest = INT64_MIN;  // its least and greatest time
    std::array<int64_t, 256> channels{};  // its entries by channel
    int64_t decodeErrors = 0;   // packets its blocks lost to faults
    int64_t zeroPackets = 0;    // of those, word pairs of zeros
    int64_t backwardSteps = 0;  // timestamps earlier than the one before them, markers aside
    SourcePoint start;  // where decoding it began (see point())
    int64_t end = 0;    // byte offset after its last block
  };
  struct Source;

  bool fill(Source& s, bool decodingThread);
  static void markStart(Source& s, Page& page);
  static void dropSkipped(Source& s, Page& page);
  struct JobQueue;
  static bool jobWaiting(const JobQueue& queue);
  static bool runNextJob(JobQueue& queue);
  static void count(Source& s, Page& page, const PpTimest* from, const PpTimest* end,
                    bool inOrder);
  void addBytesRead(int64_t bytes);
  void signal();
  void await(std::unique_lock<std::mutex>& hold);
  bool recording() const;
  template <class Changed>
  bool watch(std::chrono::steady_clock::time_point until, Changed changed) const;
  void filled(Source& s);
  void decodeLoop();

  HugeBuffer _sourceMemory;
  std::vector<Source*> _sources;  // in _sourceMemory
  std::mutex _lock;
  std::condition_variable _changed;  // a page filled or released, or stop
  std::atomic<uint64_t> _signals{0};  // counts the changes _changed tells of; written under _lock
  // The last page of a file still being written ended at the file's end: the merge waits for
  // the writer rather than for the other thread.
  std::atomic<bool> _caughtUp{false};
  bool _stop = false;
  std::atomic<bool> _stopping{false};  // _stop, for the decoding side between pages
  std::atomic<int64_t>* _bytesRead;  // not owned; may be null
  struct Job {
    void (*run)(void*) = nullptr;  // written before the job is offered, read by its runner
    void* arg = nullptr;
  };
  // The jobs of one kind, in a ring of kOutputSlots: job n (counted from 0) in slot
  // n % kOutputSlots.
  struct JobQueue {
    Job slots[kOutputSlots];
    std::atomic<uint64_t> offered{0};  // jobs offered so far; written by the merge
    // 2 x the jobs done so far, + 1 while the next one runs: one word, so that taking the next
    // job (the one after the last done, once offered) is one compare-and-swap, and no job can
    // start before the one before it is done.
    std::atomic<uint64_t> progress{0};
  };
  JobQueue _jobs[kJobKinds];
  std::thread _thread;
};

#endif
