#include "merge/decodeahead.h"

#include <errno.h>
#include <stdio.h>

#include <system_error>

#include "merge/mergecore.h"

namespace {

// The decoder takes the stream 100 words at a time.
constexpr int32_t kBlockWords = 100;
// The file is read in chunks of whole blocks, so that blocks fall exactly where 100-word reads
// of the file would put them.
constexpr int32_t kChunkWords = 164 * kBlockWords;
// A page ends after at most this many bytes of the stream, however few timestamps they hold: the
// merge publishes its progress once per page, and a watcher expects it to move smoothly.
constexpr int64_t kPageBytes = 64 * 1024;

// Hands out a raw stream in blocks of up to 100 whole words. A trailing part of a word at the
// end of the file is never handed out.
class BlockReader {
public:
  explicit BlockReader(FILE* file)
      : _file(file), _pos(0), _len(0), _eof(file == nullptr), _error(0) {}

  bool more() const { return _pos < _len || !_eof; }

  // The next block at *words; its word count (0 at the end).
  int32_t next(const uint32_t** words) {
    if (_pos == _len && !_eof) fill();
    int32_t n = _len - _pos < kBlockWords ? _len - _pos : kBlockWords;
    *words = _chunk + _pos;
    _pos += n;
    return n;
  }

  // errno of a failed read, after which nothing more is handed out; 0 when none failed.
  int32_t error() const { return _error; }

private:
  void fill() {
    _pos = 0;
    _len = int32_t(fread(_chunk, sizeof(uint32_t), kChunkWords, _file));
    if (_len < kChunkWords) _eof = true;
    if (_len < kChunkWords && ferror(_file)) _error = errno != 0 ? errno : EIO;
  }

  FILE* _file;  // not owned
  int32_t _pos, _len;
  bool _eof;
  int32_t _error;
  uint32_t _chunk[kChunkWords];
};

}  // namespace

struct DecodeAhead::Source {
  explicit Source(const MergeSource& s) : source(s), reader(s.file) {}
  const MergeSource& source;
  BlockReader reader;     // used by the decoding side only
  Page pages[2];
  int64_t filled = 0;     // pages decoded so far; guarded by _lock
  int64_t taken = 0;      // pages made current so far; guarded by _lock
  bool ended = false;     // its last page is decoded; guarded by _lock
  MergeSourceStats stats; // of the pages decoded; guarded by _lock
  PpTimest endOfData[2] = {{INT64_MAX, 0}, {INT64_MAX, 0}};
};

DecodeAhead::DecodeAhead(const MergeSource* sources, int32_t count, bool onThread,
                         std::atomic<double>* bytesRead)
    : _bytesRead(bytesRead) {
  for (int32_t i = 0; i < count; ++i) {
    tdc56Reset(sources[i].decoder);
    _sources.emplace_back(new Source(sources[i]));
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
  }
  _changed.notify_all();
  if (_thread.joinable()) _thread.join();
}

// Decodes the source's next page into the free one of its two pages: blocks until the page could
// not take another full decoder list or another block within kPageBytes, or until the stream
// ends.
void DecodeAhead::fill(Source& s) {
  Page& page = s.pages[s.filled % 2];
  page.count = 0;
  page.bytes = 0;
  while (s.reader.more() && page.count <= kPageEntries - kTdc56ListSize &&
         page.bytes + 4 * kBlockWords <= kPageBytes) {
    const uint32_t* words;
    const int32_t n = s.reader.next(&words);
    page.bytes += 4 * int64_t(n);
    if (n < 2) continue;  // a lone last word holds no packet
    tdc56Decode60(s.source.decoder, words, n, s.source.markers);
    page.count += tdc56Pop(s.source.decoder, page.entries + page.count);
  }
  page.last = !s.reader.more();
  page.readError = s.reader.error();
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
  }
  if (page.readError != 0) st.readError = page.readError;
}

std::vector<MergeSourceStats> DecodeAhead::stats() {
  std::lock_guard<std::mutex> hold(_lock);
  std::vector<MergeSourceStats> all;
  for (const auto& s : _sources) all.push_back(s->stats);
  return all;
}

// Keeps every source's next page decoded: of the two pages of a source one is current (being
// merged) and the other is free or ready. Fills first the source the merge waits for, and sleeps
// while every source has its next page ready or has ended.
void DecodeAhead::decodeLoop() {
  std::unique_lock<std::mutex> hold(_lock);
  for (;;) {
    Source* next = nullptr;
    for (const auto& s : _sources)
      if (!s->ended && s->filled <= s->taken &&
          (next == nullptr || s->filled - s->taken < next->filled - next->taken))
        next = s.get();
    if (_stop) return;
    if (next == nullptr) {
      bool allEnded = true;
      for (const auto& s : _sources) allEnded = allEnded && s->ended;
      if (allEnded) return;
      _changed.wait(hold);
      continue;
    }
    // The page being filled is neither current nor ready, so the merge does not touch it.
    hold.unlock();
    fill(*next);
    hold.lock();
    filled(*next);
    _changed.notify_all();
  }
}

int64_t DecodeAhead::take(int32_t i, const PpTimest** first, const PpTimest** last) {
  Source& s = *_sources[size_t(i)];
  std::unique_lock<std::mutex> hold(_lock);
  int64_t bytes = 0;
  for (;;) {
    if (s.taken > 0 && s.pages[(s.taken - 1) % 2].last) {
      // Past the end already.
      *first = *last = s.endOfData;
      return bytes;
    }
    // The page taken before is released by taking the next one; it may now be filled again.
    if (!_thread.joinable() && s.filled == s.taken) {
      hold.unlock();
      fill(s);
      hold.lock();
      filled(s);
    }
    ++s.taken;
    _changed.notify_all();
    _changed.wait(hold, [&] { return s.filled >= s.taken; });
    const Page& page = s.pages[(s.taken - 1) % 2];
    bytes += page.bytes;
    if (_bytesRead != nullptr)
      _bytesRead->store(_bytesRead->load(std::memory_order_relaxed) + double(page.bytes),
                        std::memory_order_relaxed);
    if (page.count > 0) {
      *first = page.entries;
      *last = page.entries + (page.count - 1);
      return bytes;
    }
    // A stretch of the stream without timestamps: its bytes count, and the next page follows.
    if (page.last) {
      *first = *last = s.endOfData;
      return bytes;
    }
  }
}
