#include "merge/decodeahead.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>

#include "merge/mergecore.h"
#include "merge/resumepoint.h"

namespace {

// The decoder takes the stream 100 words at a time.
constexpr int32_t kBlockWords = 100;
// The file is read in chunks of whole blocks, so that blocks fall exactly where 100-word reads
// of the file would put them.
constexpr int32_t kChunkWords = 656 * kBlockWords;
// A page ends after at most this many bytes of the stream, however few timestamps they hold: the
// merge publishes its progress once per page, and a watcher expects it to move smoothly.
constexpr int64_t kPageBytes = 64 * 1024;
// How long a thread that waits for the other one watches for its next step before it sleeps.
// The other thread's next step (a page filled or released, a job offered) usually comes within
// tens of microseconds, and a sleep and a wake-up cost about as much on a virtual machine.
constexpr std::chrono::microseconds kWatch{50};
// How often a file being written is looked at again when the merge waits for its next block.
constexpr std::chrono::milliseconds kGrowthPoll{1};
// A file being written is handed to the disk, and what the merge has read of it let go from
// memory, in steps of this many bytes (see BlockReader::release()).
constexpr off_t kReleaseStep = off_t(8) << 20;

int64_t zeroWords(const uint32_t* words, int32_t count) {
  return std::count(words, words + count, 0u);
}

// Hands out a raw stream in blocks of up to 100 whole words. A trailing part of a word at the
// end of the file is never handed out.
//
// A file that is still being written (`growing` true) is read with positioned reads of its
// descriptor, and only whole blocks are handed out until it is complete: so the blocks fall where
// they fall in the finished file, and the merge gives the same records as on the finished file.
class BlockReader {
public:
  // From byte `start` on, a multiple of the block size: the whole file is read from there as if
  // it began there.
  BlockReader(FILE* file, const std::atomic<bool>* growing, const std::atomic<int64_t>* written,
              int64_t start)
      : _file(file), _growing(file != nullptr ? growing : nullptr), _written(written), _pos(0),
        _len(0), _eof(file == nullptr), _error(0), _handed(start), _offset(off_t(start)),
        _synced(off_t(start)), _dropped(off_t(start)) {
    const bool seeks = _file != nullptr && _growing == nullptr && start > 0;
    if (seeks && fseeko(_file, off_t(start), SEEK_SET) != 0) {
      _error = errno != 0 ? errno : EIO;
      _eof = true;
    }
  }

  bool more() const { return _pos < _len || !_eof; }

  // The next block at *words: its word count, 0 at the end, or -1 while the next whole block of
  // a growing file has not been written yet.
  int32_t next(const uint32_t** words) {
    if (_len - _pos < kBlockWords && !_eof) {
      if (_growing == nullptr)
        fill();
      else if (!fillGrowing())
        return -1;
    }
    int32_t n = _len - _pos < kBlockWords ? _len - _pos : kBlockWords;
    *words = _chunk + _pos;
    _pos += n;
    _handed += 4 * int64_t(n);
    return n;
  }

  // Byte offset of the next block to be handed out.
  int64_t handed() const { return _handed; }

  // errno of a failed read, after which nothing more is handed out; 0 when none failed.
  int32_t error() const { return _error; }

private:
  void fill() {
    _pos = 0;
    _len = int32_t(fread(_chunk, sizeof(uint32_t), kChunkWords, _file));
    if (_len < kChunkWords) _eof = true;
    if (_len < kChunkWords && ferror(_file)) _error = errno != 0 ? errno : EIO;
  }

  // Keeps the unread rest (less than a block, maybe with part of a word) and appends what the
  // file holds now. False while there is still no whole block and the file may grow.
  bool fillGrowing() {
    // Read before the file: once the writer has finished, what follows is all there is.
    const bool complete = !_growing->load(std::memory_order_acquire);
    // Until then, not past the blocks written whole: a failed write may yet be cut back.
    const int64_t limit = complete || _written == nullptr
                              ? INT64_MAX
                              : _written->load(std::memory_order_acquire);
    char* bytes = reinterpret_cast<char*>(_chunk);
    size_t got = _lenBytes - sizeof(uint32_t) * size_t(_pos);
    memmove(bytes, bytes + sizeof(uint32_t) * size_t(_pos), got);
    while (got < sizeof _chunk && _offset < limit) {
      const size_t want = size_t(std::min<int64_t>(int64_t(sizeof _chunk - got), limit - _offset));
      const ssize_t n = pread(fileno(_file), bytes + got, want, _offset);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) _error = errno != 0 ? errno : EIO;
      if (n <= 0) break;
      got += size_t(n);
      _offset += n;
    }
    _pos = 0;
    _lenBytes = got;
    _len = int32_t(got / sizeof(uint32_t));
    if ((complete && got < sizeof _chunk) || _error != 0) _eof = true;
    release();
    return _eof || _len >= kBlockWords;
  }

  // A recording writes its temp files at tens of MB/s for as long as it goes; left to itself the
  // system keeps all of it in memory until it runs short, and the recording's writes then wait
  // for memory to be found (on a virtual machine, for the host to map new pages). So what the
  // merge has read is handed to the disk at once, and let go from memory one step later, once it
  // has been written: the file's pages in memory stay a few steps' worth, reused over and over.
  // Pages still unwritten are kept by the system; a file system held in memory keeps them all.
  void release() {
    if (_offset - _synced < kReleaseStep) return;
    const int fd = fileno(_file);
    posix_fadvise(fd, _dropped, _synced - _dropped, POSIX_FADV_DONTNEED);
    _dropped = _synced;
    sync_file_range(fd, _synced, _offset - _synced, SYNC_FILE_RANGE_WRITE);
    _synced = _offset;
  }

  FILE* _file;                        // not owned
  const std::atomic<bool>* _growing;  // not owned; null: the file is complete
  const std::atomic<int64_t>* _written;  // not owned; null: no limit
  int32_t _pos, _len;                 // in words
  bool _eof;
  int32_t _error;
  int64_t _handed;                    // bytes of the file handed out or passed over
  off_t _offset;                      // growing file: bytes read so far
  off_t _synced;                      // growing file: bytes handed to the disk
  off_t _dropped;                     // growing file: bytes let go from memory
  size_t _lenBytes = 0;               // growing file: bytes in _chunk
  uint32_t _chunk[kChunkWords];
};

}  // namespace

struct DecodeAhead::Source {
  explicit Source(const MergeSource& s)
      : source(s), reader(s.file, s.growing, s.written, s.from != nullptr ? s.from->offset : 0),
        skip(s.from != nullptr ? s.from->skip : 0) {
    if (s.from != nullptr) {
      firstStamp = s.from->first;
      lastTime = s.from->lastBefore;
      decoded = s.from->before;
    }
  }
  const MergeSource& source;
  BlockReader reader;     // used by the decoding side only
  Page pages[2];
  int64_t filled = 0;     // pages decoded so far; guarded by _lock
  int64_t taken = 0;      // pages made current so far; guarded by _lock
  bool ended = false;     // its last page is decoded; guarded by _lock
  bool filling = false;   // a thread is decoding its next page; guarded by _lock
  // Bytes passed over without timestamps and not yet counted by take(); already in bytesRead.
  std::atomic<int64_t> passed{0};
  MergeSourceStats stats; // of the pages decoded; guarded by _lock
  int64_t lastTime = INT64_MIN;  // of its last timestamp decoded that is no marker
  int64_t firstStamp = INT64_MAX;  // time of its first timestamp decoded
  int64_t decoded = 0;  // timestamps decoded before the page being filled (all of the stream's)
  int64_t skip;  // timestamps still to be passed over before the first page (a merge taken up)
  PpTimest endOfData[2] = {{INT64_MAX, 0}, {INT64_MAX, 0}};
};

DecodeAhead::DecodeAhead(const MergeSource* sources, int32_t count, bool onThread,
                         std::atomic<int64_t>* bytesRead)
    : _bytesRead(bytesRead) {
  // The sources side by side, each on its own cache lines: their read chunks and pages are
  // the merge's working memory.
  const size_t each = (sizeof(Source) + 63) / 64 * 64;
  _sourceMemory = HugeBuffer(each * size_t(count));
  for (int32_t i = 0; i < count; ++i) {
    tdc56Reset(sources[i].decoder);
    if (sources[i].from != nullptr) restoreDecoder(sources[i].decoder, sources[i].from->state);
    _sources.push_back(new (_sourceMemory.data() + each * size_t(i)) Source(sources[i]));
  }
  if (!onThread) return;
  try {
    _thread = std::thread([this] { decodeLoop(); });
  } catch (const std::system_error&) {
    // No thread to be had: take() decodes each page when it is needed.
  }
}

DecodeAhead::~DecodeAhead() {
  {
    std::lock_guard<std::mutex> hold(_lock);
    _stop = true;
    _signals.fetch_add(1, std::memory_order_release);
  }
  _stopping.store(true, std::memory_order_relaxed);
  _changed.notify_all();
  if (_thread.joinable()) _thread.join();
  for (Source* s : _sources) s->~Source();
}

// Decodes the source's next page into the free one of its two pages: blocks until the page could
// not take another full decoder list or another block within kPageBytes, or until the stream
// ends, or until a growing file has no further whole block yet. False when nothing was read.
bool DecodeAhead::fill(Source& s, bool decodingThread) {
  Page& page = s.pages[s.filled % 2];
  page.count = 0;
  page.bytes = 0;
  page.inOrder = true;
  page.earliest = INT64_MAX;
  page.latest = INT64_MIN;
  page.channels.fill(0);
  page.decodeErrors = 0;
  page.zeroPackets = 0;
  page.backwardSteps = 0;
  markStart(s, page);
  while (s.reader.more() && page.count <= kPageEntries - kTdc56ListSize &&
         page.bytes + 4 * kBlockWords <= kPageBytes) {
    // A job offered by the merge goes first: the merge may be waiting for it.
    if (decodingThread && jobWaiting(_jobs[kStretchJob])) runNextJob(_jobs[kStretchJob]);
    // The page's point is that of its first block with a timestamp: decoding from there gives
    // its entries again (see SourcePoint).
    if (page.count == 0) markStart(s, page);
    const uint32_t* words;
    const int32_t n = s.reader.next(&words);
    if (n < 0) {
      _caughtUp.store(true, std::memory_order_relaxed);
      break;
    }
    page.bytes += 4 * int64_t(n);
    if (n >= 2) {  // a lone last word holds no packet
      bool inOrder;
      int32_t dropped;
      const PpTimest* const from = page.entries + page.count;
      page.count += tdc56Decode60Pop(s.source.decoder, words, n, s.source.markers,
                                     page.entries + page.count, &inOrder, &dropped);
      page.inOrder = page.inOrder && inOrder;
      page.decodeErrors += dropped;
      // Only blocks with a fault are looked at again: a device stream has none.
      if (dropped > 0) page.zeroPackets += std::min<int64_t>(dropped, zeroWords(words, n) / 2);
      count(s, page, from, page.entries + page.count, inOrder);
    }
    // 64 KiB without a timestamp: counted here, so that the merge, which waits for this
    // source's next timestamp anyway, need not take an empty page every 64 KiB.
    if (page.count == 0 && page.bytes + 4 * kBlockWords > kPageBytes && s.reader.more() &&
        !_stopping.load(std::memory_order_relaxed)) {
      s.passed.fetch_add(page.bytes, std::memory_order_relaxed);
      addBytesRead(page.bytes);
      page.bytes = 0;
    }
  }
  page.start.skip = 0;
  s.decoded += page.count;
  if (s.skip > 0 && page.count > 0) dropSkipped(s, page);
  if (page.count > 0 && s.firstStamp == INT64_MAX) s.firstStamp = page.entries[0].time;
  page.end = s.reader.handed();
  page.entries[page.count] = PpTimest{INT64_MAX, 0};  // read by the merge, never used
  // A page cut short by a file still being written: the merge has caught up with the writer.
  // A page closed full: it is behind.
  if (s.reader.more() && !_stopping.load(std::memory_order_relaxed) &&
      (page.count > kPageEntries - kTdc56ListSize || page.bytes + 4 * kBlockWords > kPageBytes))
    _caughtUp.store(false, std::memory_order_relaxed);
  page.last = !s.reader.more();
  page.readError = s.reader.error();
  return page.bytes > 0 || page.last;
}

void DecodeAhead::markStart(Source& s, Page& page) {
  page.start.offset = s.reader.handed();
  page.start.state = decoderState(s.source.decoder);
  page.start.first = s.firstStamp;
  page.start.lastBefore = s.lastTime;
  page.start.before = s.decoded;
}

// The first page of a merge taken up at a point: the timestamps before the point's head were
// merged before, and are not counted again.
void DecodeAhead::dropSkipped(Source& s, Page& page) {
  const int32_t drop = int32_t(std::min<int64_t>(s.skip, page.count));
  for (int32_t k = 0; k < drop; ++k) --page.channels[page.entries[k].channel];
  std::copy(page.entries + drop, page.entries + page.count, page.entries);
  page.count -= drop;
  page.start.skip = drop;
  s.skip -= drop;
}

SourcePoint DecodeAhead::point(int32_t i, const PpTimest* head) const {
  const Source& s = *_sources[size_t(i)];
  if (s.taken == 0) return SourcePoint{};
  const Page& page = s.pages[(s.taken - 1) % 2];
  SourcePoint at = page.start;
  if (head >= page.entries && head < page.entries + page.count) {
    at.skip += head - page.entries;
    return at;
  }
  // Past its end: nothing of it is left.
  at.offset = page.end;
  at.before += at.skip + page.count;
  at.skip = 0;
  return at;
}

// Adds the entries from..end, decoded in order or not, to the page's counts: the summary's
// per-channel counts and time span and the steps back in time, without a second decoding of the
// streams. A marker's time is cut down to its grid, so markers take no part in the steps.
void DecodeAhead::count(Source& s, Page& page, const PpTimest* from, const PpTimest* end,
                        bool inOrder) {
  if (from == end) return;
  // Channels 0..7, nearly all entries, are counted in the eight bytes of one register: an add
  // to a counter in memory would wait for the store of the one before on the same channel.
  // The bytes go to the page's counts before any can reach 256.
  for (const PpTimest* e = from; e < end;) {
    const PpTimest* const stop = e + std::min<ptrdiff_t>(end - e, 255);
    static constexpr uint64_t kOne[8] = {1ull, 1ull << 8, 1ull << 16, 1ull << 24,
                                         1ull << 32, 1ull << 40, 1ull << 48, 1ull << 56};
    uint64_t packed = 0;
    const auto one = [&](uint32_t c) {
      if (__builtin_expect(c < 8, 1))
        packed += kOne[c];
      else
        ++page.channels[c];
    };
    // Four at a time, with one test that all four are below 8.
    for (; stop - e >= 4; e += 4) {
      const uint32_t c0 = e[0].channel, c1 = e[1].channel, c2 = e[2].channel, c3 = e[3].channel;
      if (__builtin_expect((c0 | c1 | c2 | c3) < 8, 1)) {
        packed += kOne[c0] + kOne[c1] + kOne[c2] + kOne[c3];
      } else {
        one(c0), one(c1), one(c2), one(c3);
      }
    }
    for (; e < stop; ++e) one(e->channel);
    for (size_t c = 0; c < 8; ++c) page.channels[c] += int64_t((packed >> (8 * c)) & 0xFF);
  }
  if (inOrder) {
    page.earliest = std::min(page.earliest, from->time);
    page.latest = std::max(page.latest, end[-1].time);
    page.backwardSteps += from->time < s.lastTime;
    s.lastTime = end[-1].time;
    return;
  }
  for (const PpTimest* e = from; e < end; ++e) {
    page.earliest = std::min(page.earliest, e->time);
    page.latest = std::max(page.latest, e->time);
    if (e->channel >= 100) continue;
    page.backwardSteps += e->time < s.lastTime;
    s.lastTime = e->time;
  }
}

void DecodeAhead::addBytesRead(int64_t bytes) {
  if (_bytesRead == nullptr) return;
  _bytesRead->fetch_add(bytes, std::memory_order_relaxed);
}

// Accounts for the page just filled; under the lock.
void DecodeAhead::filled(Source& s) {
  const Page& page = s.pages[s.filled % 2];
  ++s.filled;
  s.ended = page.last;
  MergeSourceStats& st = s.stats;
  st.records += page.count;
  if (page.count > 0) {
    if (st.first == INT64_MAX) st.first = page.entries[0].time;
    st.last = page.entries[page.count - 1].time;
    st.earliest = std::min(st.earliest, page.earliest);
    st.latest = std::max(st.latest, page.latest);
    for (size_t c = 0; c < st.channels.size(); ++c) st.channels[c] += page.channels[c];
  }
  if (page.readError != 0) st.readError = page.readError;
  st.decodeErrors += page.decodeErrors;
  st.zeroPackets += page.zeroPackets;
  st.backwardSteps += page.backwardSteps;
}

std::vector<MergeSourceStats> DecodeAhead::stats() {
  std::lock_guard<std::mutex> hold(_lock);
  std::vector<MergeSourceStats> all;
  for (const auto& s : _sources) all.push_back(s->stats);
  return all;
}

// Keeps every source's next page decoded: of the two pages of a source one is current (being
// merged) and the other is free or ready. Fills first the source the merge waits for; when the
// files that need a page are still growing and hold no new block, looks again a little later.
// Sleeps while every source has its next page ready or has ended.
void DecodeAhead::decodeLoop() {
  std::unique_lock<std::mutex> hold(_lock);
  std::vector<Source*> due;
  for (;;) {
    if (_stop) return;
    // Jobs before pages: the merge waits for a stretch job soon; an output job goes before the
    // pages as well, as the merge, which decodes a page itself when it is not ready, can take
    // over decoding, but does not write the output while the job is offered.
    bool ranJob = false;
    for (const JobKind kind : {kStretchJob, kBinaryJob, kTextJob}) {
      if (!jobWaiting(_jobs[kind])) continue;
      hold.unlock();
      ranJob = runNextJob(_jobs[kind]);
      hold.lock();
      if (ranJob) break;
    }
    if (ranJob) continue;
    due.clear();
    for (const auto& s : _sources)
      if (!s->ended && !s->filling && s->filled <= s->taken) due.push_back(s);
    if (due.empty()) {
      // Also once every stream has ended: the merge of the last pages may still offer jobs.
      await(hold);
      continue;
    }
    std::stable_sort(due.begin(), due.end(), [](const Source* a, const Source* b) {
      return a->filled - a->taken < b->filled - b->taken;
    });
    bool progressed = false;
    for (Source* next : due) {
      // Each time under the lock: while this thread was filling another, the merge may have
      // filled this one itself.
      if (next->ended || next->filling || next->filled > next->taken) continue;
      // The page being filled is neither current nor ready, so the merge does not touch it.
      next->filling = true;
      hold.unlock();
      progressed = fill(*next, true);
      hold.lock();
      next->filling = false;
      if (!progressed) continue;
      filled(*next);
      signal();
      break;
    }
    if (!progressed) _changed.wait_for(hold, kGrowthPoll);
  }
}

int64_t DecodeAhead::take(int32_t i, const PpTimest** first, const PpTimest** last,
                          bool* inOrder) {
  Source& s = *_sources[size_t(i)];
  std::unique_lock<std::mutex> hold(_lock);
  int64_t bytes = 0;
  for (;;) {
    if (s.taken > 0 && s.pages[(s.taken - 1) % 2].last) {
      // Past the end already.
      *first = *last = s.endOfData;
      if (inOrder != nullptr) *inOrder = false;
      return bytes;
    }
    // The page taken before is released by taking the next one; it may now be filled again.
    ++s.taken;
    signal();
    // Rather than wait for the decoding thread, which may be busy with other sources, the
    // caller decodes the page it needs itself: so both processors decode while the merge is
    // ahead (and without the thread, the caller does all the decoding).
    while (s.filled < s.taken) {
      if (s.filling) {
        await(hold);
        continue;
      }
      s.filling = true;
      hold.unlock();
      const bool got = fill(s, false);
      hold.lock();
      s.filling = false;
      if (got) {
        filled(s);
        signal();
      } else {
        _changed.wait_for(hold, kGrowthPoll);  // a growing file without a new block yet
      }
    }
    const Page& page = s.pages[(s.taken - 1) % 2];
    bytes += page.bytes + s.passed.exchange(0, std::memory_order_relaxed);
    addBytesRead(page.bytes);
    if (page.count > 0) {
      *first = page.entries;
      *last = page.entries + (page.count - 1);
      if (inOrder != nullptr) *inOrder = page.inOrder;
      return bytes;
    }
    // A stretch of the stream without timestamps: its bytes count, and the next page follows.
    if (page.last) {
      *first = *last = s.endOfData;
      if (inOrder != nullptr) *inOrder = false;
      return bytes;
    }
  }
}

// Tells a waiting thread that something changed; under the lock.
void DecodeAhead::signal() {
  _signals.fetch_add(1, std::memory_order_release);
  _changed.notify_all();
}

// Runs `changed` every few pause instructions until it is true (then true) or `until` has
// passed (then false). While files are still being written, the merge shares the processors
// with the recording: then the watch lets any other thread that is ready run between two looks
// rather than take the processor from it. (A replay at maximum rate ends about a tenth sooner
// that way than with a watch that only pauses, or with a sleep at once.)
template <class Changed>
bool DecodeAhead::watch(std::chrono::steady_clock::time_point until, Changed changed) const {
  const bool share = recording();
  for (;;) {
    if (share) {
      if (changed()) return true;
      std::this_thread::yield();
    } else {
      for (int32_t i = 0; i < 32; ++i) {
        if (changed()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();  // lets the other hardware thread of the core run meanwhile
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
      }
    }
    if (std::chrono::steady_clock::now() >= until) return false;
  }
}

// Waits for the other thread's next signal() or for stop; called and returns under `hold`.
void DecodeAhead::await(std::unique_lock<std::mutex>& hold) {
  const uint64_t seen = _signals.load(std::memory_order_relaxed);
  const auto moved = [&] {
    return _signals.load(std::memory_order_acquire) != seen ||
           _stopping.load(std::memory_order_relaxed);
  };
  hold.unlock();
  // Once the merge has caught up with files being written, the next step waits for the
  // writer, milliseconds away: then a watch would only take processor time from the recording.
  const bool early = !_caughtUp.load(std::memory_order_relaxed) &&
                     watch(std::chrono::steady_clock::now() + kWatch, moved);
  hold.lock();
  if (!early) _changed.wait(hold, [&] { return _stop || moved(); });
}

// True while the file of a source is still being written.
bool DecodeAhead::recording() const {
  for (const auto& s : _sources)
    if (s->source.growing != nullptr && s->source.growing->load(std::memory_order_relaxed))
      return true;
  return false;
}

void DecodeAhead::offerJob(void (*run)(void*), void* arg, JobKind kind) {
  JobQueue& queue = _jobs[kind];
  Job& slot = queue.slots[queue.offered.load(std::memory_order_relaxed) % kOutputSlots];
  slot.run = run;
  slot.arg = arg;
  {
    // Under the lock, so that a decoding thread about to wait sees the job first.
    std::lock_guard<std::mutex> hold(_lock);
    queue.offered.fetch_add(1, std::memory_order_release);
    _signals.fetch_add(1, std::memory_order_release);
  }
  _changed.notify_all();
}

void DecodeAhead::completeJob(JobKind kind, int32_t leave) {
  JobQueue& queue = _jobs[kind];
  const uint64_t offered = queue.offered.load(std::memory_order_relaxed);
  if (offered <= uint64_t(leave)) return;
  const uint64_t target = offered - uint64_t(leave);
  // The decoding thread runs it: a stretch of the merge's own length or one output buffer, so a
  // short wait, watched without a system call for as long as a stretch job takes.
  const auto until = std::chrono::steady_clock::now() + 4 * kWatch;
  for (;;) {
    const uint64_t seen = queue.progress.load(std::memory_order_acquire);
    if (seen / 2 >= target) return;
    if (runNextJob(queue)) continue;  // not started on the decoding thread: here
    const auto moved = [&] { return queue.progress.load(std::memory_order_acquire) != seen; };
    if (!watch(until, moved)) std::this_thread::yield();
  }
}

// Whether the queue's next job is offered and not yet taken (a hint: another thread may take
// it first).
bool DecodeAhead::jobWaiting(const JobQueue& queue) {
  const uint64_t progress = queue.progress.load(std::memory_order_relaxed);
  return progress % 2 == 0 && progress / 2 < queue.offered.load(std::memory_order_relaxed);
}

// On either thread: takes the queue's next job, if it is offered and no job of the queue runs,
// and runs it; false when there was none to take.
bool DecodeAhead::runNextJob(JobQueue& queue) {
  uint64_t seen = queue.progress.load(std::memory_order_acquire);
  if (seen % 2 == 1 || seen / 2 >= queue.offered.load(std::memory_order_acquire)) return false;
  if (!queue.progress.compare_exchange_strong(seen, seen + 1, std::memory_order_acquire))
    return false;
  const Job& job = queue.slots[seen / 2 % kOutputSlots];
  job.run(job.arg);
  queue.progress.store(seen + 2, std::memory_order_release);
  return true;
}
