#include "merge/mergecore.h"

#include <algorithm>
#include <map>
#include <memory>
#include <type_traits>
#include <vector>

#include "codec/tdc56.h"
#include "merge/decodeahead.h"
#include "merge/outbuf.h"

namespace {

constexpr int64_t kEndOfData = INT64_MAX;

// The read state of one source: the current page of its decoded timestamps and the head.
struct TBuf {
  TBuf(const MergeSource& s, DecodeAhead& a, int32_t i) : source(s), ahead(a), index(i) {}
  const MergeSource& source;
  DecodeAhead& ahead;
  int32_t index;
  const PpTimest* cur = nullptr;
  const PpTimest* end = nullptr;  // the last valid entry, inclusive
  bool inOrder = false;           // the page's times never go back, and it holds no marker
};

// Makes the source's next page current (at the end of the stream the head is the end-of-data
// entry). Returns the bytes read for it.
__attribute__((noinline)) int64_t refill(TBuf& t) {
  return t.ahead.take(t.index, &t.cur, &t.end, &t.inOrder);
}

// Advances the source's head; returns the bytes read for it.
inline int64_t read1(TBuf& t) {
  if (t.cur < t.end) {
    ++t.cur;
    return 0;
  }
  return refill(t);
}

inline bool isMarker(const PpTimest& head) {
  return head.channel >= 100 && head.time != kEndOfData;
}

// The source whose head is written next: the earliest head, the first source on equal times,
// except that a marker at a head displaces the choice so far (and one at source 0 wins at once).
int32_t chooseHead(TBuf* const* bufs, int32_t n) {
  if (n == 1 || isMarker(*bufs[0]->cur)) return 0;
  int32_t k = 0;
  for (int32_t i = 1; i < n; ++i) {
    const PpTimest& head = *bufs[i]->cur;
    if (head.time < bufs[k]->cur->time || isMarker(head)) k = i;
  }
  return k;
}

// The new key of leaf k plays its way up a tournament tree of losers with `leaves` leaves
// (`levels` matches): whichever loses a match stays at its node. Returns the overall winner.
// Without a branch: which key wins is a coin toss when devices interleave.
template <class Key>
__attribute__((always_inline)) inline Key playUp(Key* loser, int32_t k, int32_t leaves,
                                                 int32_t levels, Key key) {
#pragma GCC unroll 8
  for (int32_t level = 0, j = (k + leaves) >> 1; level < levels; ++level, j >>= 1) {
    const Key other = loser[j];
    const bool otherWins = other < key;
    loser[j] = otherWins ? key : other;
    key = otherWins ? other : key;
  }
  return key;
}

// playUp() for a tree of a fixed depth whose root match is held by the caller (in a register):
// a level's node is found with one shift of k.
template <int32_t kLevels>
__attribute__((always_inline)) inline uint64_t playUpTo(uint64_t* loser, uint64_t& root,
                                                        size_t k, uint64_t key) {
  constexpr int32_t kLeaves = 1 << kLevels;
#pragma GCC unroll 8
  for (int32_t level = 1; level < kLevels; ++level) {
    uint64_t& node = loser[size_t(kLeaves >> level) + (k >> level)];
    const uint64_t other = node;
    const bool otherWins = other < key;
    node = otherWins ? key : other;
    key = otherWins ? other : key;
  }
  const uint64_t other = root;
  const bool otherWins = other < key;
  root = otherWins ? key : other;
  return otherWins ? other : key;
}

// The records of a stretch in which each source's times never go back, chosen by two merges
// at once: one takes the earliest records from the front, the other the latest from the back,
// until together they have taken all `total`. Each is a chain of dependent steps (the next
// choice waits for the last); two independent chains keep the processor twice as busy. Their
// order is the merge's: by time, then by source; source i's records are lo[i] up to hi[i]
// (excluded), and every record from hi[i] on is later than all of them: the front takes its
// keys as they come, up to the one after hi[i], which may be read, as its count keeps it from
// ever taking hi[i]. Writes the binary records from `out` on.
constexpr int32_t kLaneMinRecords = 256;
constexpr int64_t kLaneMaxRecords = 65536;
template <int32_t kLevels, class Cursor>
__attribute__((noinline)) void mergeLanes(const PpTimest* const* lo, const PpTimest* const* hi,
                                          const int16_t* base, int32_t n, int64_t total,
                                          Cursor out) {
  constexpr int32_t kLeaves = 1 << kLevels;
  constexpr uint64_t kMask = kLeaves - 1;
  constexpr uint64_t kNoKey = UINT64_MAX;  // above every key: a source with nothing left
  // The front orders by time and source; the back by the complement, so that both trees take
  // the least key, and minus one, so that no key of the back meets kNoKey.
  const auto frontKey = [](int64_t time, size_t i) { return uint64_t(time) << kLevels | i; };
  const auto backKey = [](int64_t time, size_t i) { return ~(uint64_t(time) << kLevels | i) - 1; };
  static const PpTimest kNothing[2] = {};
  uint64_t fLoser[kLeaves], bLoser[kLeaves], fNext[kLeaves], bNext[kLeaves];
  uint64_t fLeaf[2 * kLeaves], bLeaf[2 * kLeaves];
  const PpTimest* fAt[kLeaves];  // the front's next record of each source
  const PpTimest* bAt[kLeaves];  // the back's next record of each source
  const PpTimest* bStop[kLeaves];
  int16_t bases[kLeaves];
  for (int32_t i = 0; i < kLeaves; ++i) {
    const bool some = i < n && lo[i] < hi[i];
    bases[i] = i < n ? base[i] : 0;
    fAt[i] = some ? lo[i] : kNothing;
    bAt[i] = some ? hi[i] - 1 : kNothing;
    bStop[i] = some ? lo[i] : kNothing;
    fLeaf[kLeaves + i] = some ? frontKey(lo[i]->time, i) : kNoKey;
    bLeaf[kLeaves + i] = some ? backKey(hi[i][-1].time, i) : kNoKey;
    fNext[i] = some ? frontKey(lo[i][1].time, i) : kNoKey;
    bNext[i] = some && hi[i] - lo[i] >= 2 ? backKey(hi[i][-2].time, i) : kNoKey;
  }
  for (int32_t j = kLeaves - 1; j >= 1; --j) {
    const uint64_t fa = fLeaf[2 * j], fb = fLeaf[2 * j + 1], ba = bLeaf[2 * j], bb = bLeaf[2 * j + 1];
    fLeaf[j] = fa < fb ? fa : fb;
    fLoser[j] = fa < fb ? fb : fa;
    bLeaf[j] = ba < bb ? ba : bb;
    bLoser[j] = ba < bb ? bb : ba;
  }
  uint64_t fTop = fLeaf[1], bTop = bLeaf[1];
  uint64_t fRoot = fLoser[1], bRoot = bLoser[1];
  Cursor fOut = out;
  Cursor bOut = out.plus(total - 1);

  // One step of a lane: writes the chosen source's record, moves that source on, and lets its
  // next key (known a step ahead) play up the tree.
  const auto front = [&]() __attribute__((always_inline)) {
    const size_t k = size_t(fTop & kMask);
    const PpTimest* h = fAt[k];
    fOut.put(h->time, int16_t(bases[k] + h->channel));
    fOut.forward();
    fAt[k] = h + 1;
    const uint64_t key = fNext[k];
    fNext[k] = frontKey(h[2].time, k);  // h + 2 is at most one past hi[k]
    fTop = playUpTo<kLevels>(fLoser, fRoot, k, key);
  };
  const auto back = [&]() __attribute__((always_inline)) {
    const size_t k = size_t(~(bTop + 1) & kMask);
    const PpTimest* h = bAt[k];
    bOut.put(h->time, int16_t(bases[k] + h->channel));
    bOut.backward();
    bAt[k] = h - 1;
    uint64_t key = bNext[k];
    const bool more = h - bStop[k] >= 2;
    const PpTimest* before = more ? h - 2 : h;  // never before lo[k]
    const uint64_t beforeKey = backKey(before->time, k);
    bNext[k] = more ? beforeKey : kNoKey;
    bTop = playUpTo<kLevels>(bLoser, bRoot, k, key);
  };
  for (int64_t pairs = total / 2; pairs > 0; --pairs) {
    front();
    back();
  }
  if (total & 1) front();
}

// The upper part of a stretch of mergeLanes(), which the decoding thread merges (and formats as
// text, with the text output open) while the merge thread does the lower part: the merge thread
// chooses every record of a stretch at the rate of one core, and the decoding thread, which keeps
// up with a stream's decoding in a fraction of that, has time to spare.
template <int32_t kLevels, class Cursor>
struct UpperLanes {
  std::vector<const PpTimest*> lo, hi;  // per source
  const int16_t* base = nullptr;
  int32_t n = 0;
  int64_t total = 0;
  Cursor records{};  // where its binary records go
  std::vector<char> text;   // its text lines, when the text output is open; empty: none
  size_t textBytes = 0;

  static void run(void* self) {
    UpperLanes& u = *static_cast<UpperLanes*>(self);
    mergeLanes<kLevels>(u.lo.data(), u.hi.data(), u.base, u.n, u.total, u.records);
    if (u.text.empty()) return;
    OutBuf::TopDigits digits;
    char* t = u.text.data();
    for (int64_t i = 0; i < u.total; ++i)
      t = OutBuf::putText(digits, t, u.records.time(i), u.records.channel(i));
    u.textBytes = size_t(t - u.text.data());
  }
};

// Stretches of at least this many records are split between the two threads.
constexpr int64_t kSplitMinRecords = 4096;

// Writes the records into the open outputs at cursors of its own (see OutBuf). A local object
// of the merge loop, so that the cursors live in registers. The binary records go as 10-byte
// records (RecordCursor) or as columns (ColumnCursor, see OutBuf::columns()); with columns each
// buffer is filled to its end before it goes, and the writer notes a record earlier than the one
// before it.
template <bool kText, bool kBinary, class Cursor>
class RecordWriter {
public:
  RecordWriter(OutBuf& text, OutBuf& binary)
      : _text(text), _binary(binary), _t(kText ? text.cursor() : nullptr),
        _tLimit(kText ? text.limit() : nullptr) {
    if (kBinary) takeBuffer();
  }
  ~RecordWriter() {
    if (kText) _text.commit(_t);
    if (kBinary) {
      if constexpr (Cursor::kColumns) {
        if (_unordered) _binary.noteUnordered();
        _binary.commit(_b);
      } else {
        _binary.commit(_b.at);
      }
    }
  }

  // Set when the merge may try its lanes again: with columns, after each full buffer, as the
  // lanes may run no further than kColumnOverflow records past a buffer's end.
  bool tryLanes = true;

  __attribute__((always_inline)) void put(int64_t time, int16_t channel) {
    if (kText) {
      _t = _text.putText(_t, time, channel);
      if (__builtin_expect(_t >= _tLimit, 0)) drainText();
    }
    if (kBinary) {
      if (Cursor::kColumns) {
        _unordered |= time < _last;
        _last = time;
      }
      _b.put(time, channel);
      _b.forward();
      if (__builtin_expect(_b.reached(_bLimit), 0)) drainBinary();
    }
  }

  // Records putLanes() may take at once: with columns, no more than the buffer has room for,
  // past its end included (OutBuf::kColumnOverflow).
  int64_t laneRoom() const {
    if (kBinary && Cursor::kColumns)
      return std::min(kLaneMaxRecords, room() + OutBuf::kColumnOverflow);
    return kLaneMaxRecords;
  }

  // The `total` records of mergeLanes() over lo..hi (at most laneRoom()): chosen into the
  // binary buffer, or into `scratch` without one, and formatted from there as text. When
  // `upper` is given (its lo, hi, base and n set), its records, from upper->lo on, are merged by
  // the job offered to `ahead`, and lo..upper->lo here.
  template <int32_t kLevels>
  void putLanes(const PpTimest* const* lo, const PpTimest* const* hi, const int16_t* base,
                int32_t n, int64_t total, char* scratch, DecodeAhead& ahead,
                UpperLanes<kLevels, Cursor>* upper) {
    Cursor records{};
    if constexpr (kBinary) {
      // (Columns have room for `total`, past the buffer's end if need be: see laneRoom().)
      if (!Cursor::kColumns && room() < total) drainBinary();
      records = _b;
    } else {
      records = RecordCursor{scratch};
    }
    int64_t lower = total;
    if (upper != nullptr) {
      lower = total - upper->total;
      upper->records = records.plus(lower);
      ahead.offerJob(&UpperLanes<kLevels, Cursor>::run, upper);
      hi = upper->lo.data();
    }
    mergeLanes<kLevels>(lo, hi, base, n, lower, records);
    if (kText) putTextOf(records, lower);
    if (upper != nullptr) {
      ahead.completeJob();
      if (kText) putTextBytes(upper->text.data(), upper->textBytes);
    }
    if (kBinary) {
      if (Cursor::kColumns) {  // the lanes' records are in time order
        _unordered |= records.time(0) < _last;
        _last = records.time(total - 1);
      }
      _b = _b.plus(total);
      if (Cursor::kColumns && _b.reached(_bLimit)) drainBinary();
    }
  }

private:
  int64_t room() const {
    if constexpr (Cursor::kColumns) return _bLimit.times - _b.times;
    else return (_bLimit.at - _b.at) / 10;
  }
  void takeBuffer() {
    if constexpr (Cursor::kColumns) {
      _b = _binary.columnCursor();
      _bLimit = _binary.columnLimit();
    } else {
      _b = RecordCursor{_binary.cursor()};
      _bLimit = RecordCursor{_binary.limit()};
    }
  }
  // A drain may hand the output a fresh buffer (see OutBuf::offload()): the limit moves with it.
  __attribute__((noinline)) void drainText() {
    _t = _text.drain(_t);
    _tLimit = _text.limit();
  }
  __attribute__((noinline)) void drainBinary() {
    if constexpr (Cursor::kColumns) {
      if (_unordered) _binary.noteUnordered();
      _unordered = false;
      _binary.drain(_b);
      tryLanes = true;
    } else {
      _binary.drain(_b.at);
    }
    takeBuffer();
  }
  // Text lines of `count` binary records.
  void putTextOf(const Cursor& records, int64_t count) {
    // In locals, which the stores of text cannot change, so that they stay in registers.
    char* t = _t;
    char* limit = _tLimit;
    OutBuf::TopDigits digits = _text.topDigits();
    for (int64_t i = 0; i < count; ++i) {
      t = OutBuf::putText(digits, t, records.time(i), records.channel(i));
      if (__builtin_expect(t >= limit, 0)) {
        _t = t;
        drainText();
        t = _t;
        limit = _tLimit;
      }
    }
    _text.setTopDigits(digits);
    _t = t;
  }
  // Text formatted elsewhere, as it is.
  void putTextBytes(const char* bytes, size_t size) {
    while (size > 0) {
      const size_t room = size_t(_tLimit - _t) + 1;
      const size_t piece = size < room ? size : room;
      memcpy(_t, bytes, piece);
      _t += piece;
      bytes += piece;
      size -= piece;
      if (_t >= _tLimit) drainText();
    }
  }

  OutBuf& _text;
  OutBuf& _binary;
  char* _t;
  char* _tLimit;  // moves with the buffer, as _bLimit
  Cursor _b{};
  Cursor _bLimit{};  // moves with the buffer: a drain may hand the binary output a fresh one
  bool _unordered = false;    // with columns: a record of the buffer is earlier than the one before
  int64_t _last = INT64_MIN;  // with columns: the time of the last record
};

struct LoopState {
  DecodeAhead& ahead;
  TBuf* const* bufs;
  OutBuf& text;
  OutBuf& binary;
  const std::atomic<bool>& running;
  ResumeLog* resume;  // null: no points noted
};

// Notes where the merge stands after `records` records, the heads at cur[0..n).
template <class Head>
__attribute__((noinline)) void noteResume(LoopState& s, int64_t records, const Head* cur,
                                          int32_t n) {
  if (!s.resume->due(records)) return;
  ResumePoint point;
  point.records = records;
  for (int32_t i = 0; i < n; ++i)
    point.sources.push_back(s.ahead.point(i, reinterpret_cast<const PpTimest*>(cur[i])));
  s.resume->note(std::move(point));
}

// A head's place in the order of the tree: its time, then its source, as one number. Two
// encodings: a 64-bit one for trees of up to 2^kLevels leaves, whose compares are a third of the
// work of the wide one, but which holds only times from 0 to about 2^(64 - kLevels) ps (a head
// outside that is treated like a marker: the heads are scanned until it has gone); and the wide
// one for any time and any depth.
struct WideKeys {
  using Key = __int128;
  static Key make(int64_t time, int32_t source) { return Key(time) * (Key(1) << 32) + source; }
  static bool atEnd(Key key) { return int64_t(key >> 32) == kEndOfData; }
  static int32_t source(Key key) { return int32_t(uint32_t(key)); }
  static bool outside(int64_t) { return false; }
};
template <int32_t kLevels>
struct NarrowKeys {
  using Key = uint64_t;
  // The time part of the end of data's key (INT64_MAX shifted out of range keeps all its ones):
  // higher than that of any time held.
  static constexpr uint64_t kEndTime = UINT64_MAX >> kLevels;
  static Key make(int64_t time, int32_t source) { return uint64_t(time) << kLevels | uint32_t(source); }
  static bool atEnd(Key key) { return key >> kLevels == kEndTime; }
  static int32_t source(Key key) { return int32_t(key & ((1u << kLevels) - 1)); }
  // True also for the end of data, which odd() below tells apart.
  static bool outside(int64_t time) { return uint64_t(time) >= kEndTime; }
};

// Plans the stretches of the current pages that mergeTree() merges in lanes (see mergeLanes()):
// the records up to the earliest last time of the pages, when every page with records left is
// in order and its times fit the keys; no more than the record writer has room for, and, when
// there are enough of them, split in two halves by time for the two threads (see UpperLanes).
template <int32_t kLevels, class Keys, class Cursor>
class LaneStretchPlanner {
public:
  // For `n` sources of a tree with `slots` leaves, whose channels start at base[i]; the records
  // are formatted as `text`, and go to a buffer of the writer's only with `binary`.
  LaneStretchPlanner(size_t slots, const int16_t* base, int32_t n, bool text, bool binary)
      : _n(n), _scratch(!binary && kLevels > 0 ? 10 * kLaneMaxRecords : 0), _hi(slots) {
    _upper.lo.resize(slots);
    _upper.hi.resize(slots);
    _upper.base = base;
    _upper.n = n;
    // Its text area holds the longest lines of all its records.
    if (text && kLevels > 0) _upper.text.resize(32 * kLaneMaxRecords);
  }

  // The records of the next stretch from the heads cur[] of the pages that end at end[] (in
  // order where inOrder[] is set), at most `room` of them; 0 when there is no stretch to merge.
  // Source i's part of it ends at hi()[i].
  int64_t plan(const PpTimest* const* cur, const PpTimest* const* end, const uint8_t* inOrder,
               int64_t room) {
    if (room < kLaneMinRecords) return 0;
    int64_t horizon = kEndOfData, lowest = kEndOfData;
    for (int32_t i = 0; i < _n; ++i) {
      if (cur[i]->time == kEndOfData) continue;  // the end of data, or taken as such
      if (!inOrder[i] || Keys::outside(cur[i]->time) || Keys::outside(end[i]->time)) return 0;
      horizon = std::min(horizon, end[i]->time);
      lowest = std::min(lowest, cur[i]->time);
    }
    if (horizon <= lowest || horizon == kEndOfData) return 0;
    int64_t total = countBelow(cur, end, horizon);
    if (total > room) {
      // Too many: the horizon for nearly as many as there is room for, found by halves, so
      // that one stretch fills most of the room (with columns, what is left of the buffer)
      // rather than half of it, and a buffer takes few stretches.
      int64_t low = lowest, high = horizon;  // below low: some room left; below high: too many
      total = 0;
      while (high - low > 1 && total < room - room / 8) {
        const int64_t middle = low + (high - low) / 2;
        const int64_t count = countBelow(cur, end, middle);
        if (count <= room) low = middle, total = count;
        else high = middle;
      }
      horizon = low;
      countBelow(cur, end, horizon);  // the ends below `low` (the last count may be high's)
    }
    if (total < kLaneMinRecords) return 0;
    _halves = total >= kSplitMinRecords && split(cur, lowest, horizon, total);
    if (_halves)
      for (int32_t i = 0; i < _n; ++i) _upper.hi[size_t(i)] = _hi[size_t(i)];
    return total;
  }

  const PpTimest* const* hi() const { return _hi.data(); }
  // The upper half of the stretch planned last, its lo, hi and total set; null: not split.
  UpperLanes<kLevels, Cursor>* upper() { return _halves ? &_upper : nullptr; }
  // Where the records go without a binary output, to be formatted from there as text.
  char* scratch() { return _scratch.data(); }

private:
  static const PpTimest* below(const PpTimest* from, const PpTimest* to, int64_t time) {
    return std::lower_bound(from, to, time,
                            [](const PpTimest& e, int64_t t) { return e.time < t; });
  }
  // The records below a horizon, each source's end of them in _hi.
  int64_t countBelow(const PpTimest* const* cur, const PpTimest* const* end, int64_t time) {
    int64_t count = 0;
    for (int32_t i = 0; i < _n; ++i) {
      _hi[size_t(i)] = cur[i]->time == kEndOfData ? cur[i] : below(cur[i], end[i], time);
      count += _hi[size_t(i)] - cur[i];
    }
    return count;
  }
  // Splits the stretch below `horizon` (above `lowest`) in two of about half its records each,
  // by time, the upper one from _upper.lo on; false when that cannot be done.
  bool split(const PpTimest* const* cur, int64_t lowest, int64_t horizon, int64_t total) {
    int64_t low = lowest, high = horizon;  // below low: too few records; below high: enough
    for (int32_t step = 0; step < 24 && high - low > 1; ++step) {
      const int64_t middle = low + (high - low) / 2;
      int64_t count = 0;
      for (int32_t i = 0; i < _n; ++i) {
        const PpTimest* const from = cur[i];
        _upper.lo[size_t(i)] =
            from->time == kEndOfData ? from : below(from, _hi[size_t(i)], middle);
        count += _upper.lo[size_t(i)] - cur[i];
      }
      if (count >= total * 3 / 8 && count <= total * 5 / 8) {
        _upper.total = total - count;
        return true;
      }
      (count < total / 2 ? low : high) = middle;
    }
    return false;
  }

  const int32_t _n;
  std::vector<char> _scratch;
  std::vector<const PpTimest*> _hi;  // per source: the end of its part of the stretch
  UpperLanes<kLevels, Cursor> _upper;
  bool _halves = false;
};

// The merge loop for two sources and more: a tournament tree of losers over the sources' heads
// with 2^levels leaves (leaves beyond `n` stay empty), so that the next source costs one walk
// from a leaf to the root, `levels` compares without a branch, instead of a scan of every head.
// The tree orders heads by time and then by source, which is the merge's choice while no head
// is a marker; while one is, the heads are scanned in order as the marker rule asks, and the
// tree is built afresh afterwards (markers are rare: a few in every thousand timestamps).
// kLevels > 0 fixes the depth, so that the walk up is unrolled; 0 takes it from `levels`.
template <bool kText, bool kBinary, class Cursor, int32_t kLevels>
// (Kept out of line: inlined into mergeStreams() the loop lost a fifth of its speed to the
// surrounding code's register use.)
__attribute__((noinline)) int64_t mergeTree(LoopState& s, int32_t n, int32_t levels) {
  using Keys = typename std::conditional<(kLevels > 0), NarrowKeys<kLevels>, WideKeys>::type;
  using TreeKey = typename Keys::Key;
  if (kLevels > 0) levels = kLevels;
  const int32_t leaves = 1 << levels;
  const size_t slots = size_t(leaves);
  std::vector<TreeKey> loserKeys(slots);  // [1, leaves): the losers of the matches
  // [1, leaves): the winners of the matches, [leaves, 2 leaves): the heads' keys; only while
  // the tree is built, which happens again inside the merge loop.
  std::vector<TreeKey> winnerKeys(2 * slots);
  std::vector<const PpTimest*> curs(slots), ends(slots);
  std::vector<int64_t> follows(slots, kEndOfData);
  std::vector<int16_t> bases(slots, 0);
  std::vector<uint8_t> inOrders(slots, 0);
  TreeKey* const loser = loserKeys.data();
  const PpTimest** const cur = curs.data();
  const PpTimest** const end = ends.data();
  int64_t* const following = follows.data();  // time of the entry after the head, if any
  const int16_t* const base = bases.data();
  static const PpTimest kNone[2] = {{kEndOfData, 0}, {kEndOfData, 0}};
  // Heads the tree cannot order: markers, and times its keys do not hold.
  auto odd = [](const PpTimest& head) {
    return (head.channel >= 100 || Keys::outside(head.time)) && head.time != kEndOfData;
  };

  auto load = [&](int32_t i) {
    const TBuf& t = *s.bufs[i];
    cur[i] = t.cur;
    end[i] = t.end;
    following[i] = t.cur < t.end ? t.cur[1].time : kEndOfData;
    inOrders[size_t(i)] = t.inOrder;
  };
  int32_t markerHeads = 0;
  for (int32_t i = 0; i < n; ++i) {
    load(i);
    markerHeads += odd(*cur[i]);
    bases[size_t(i)] = int16_t(5 * s.bufs[i]->source.chainPos);
  }
  for (size_t i = size_t(n); i < slots; ++i) curs[i] = ends[i] = kNone;
  // Plays every match from the current heads; returns the overall winner.
  TreeKey* const winner = winnerKeys.data();
  auto build = [&]() {
    for (int32_t i = 0; i < leaves; ++i) winner[leaves + i] = Keys::make(cur[i]->time, i);
    for (int32_t j = leaves - 1; j >= 1; --j) {
      const TreeKey a = winner[2 * j], b = winner[2 * j + 1];
      winner[j] = a < b ? a : b;
      loser[j] = a < b ? b : a;
    }
    return winner[1];
  };
  RecordWriter<kText, kBinary, Cursor> out(s.text, s.binary);
  int64_t records = 0;
  // Once a page has been taken (out.tryLanes), a stretch of the current pages may be merged in
  // lanes: every source's head moves past its part of it.
  LaneStretchPlanner<kLevels, Keys, Cursor> lanes(slots, base, n, kText, kBinary);
  auto mergeInLanes = [&]() -> int64_t {
    const int64_t total = lanes.plan(cur, end, inOrders.data(), out.laneRoom());
    if (total == 0) return 0;
    const PpTimest* const* hi = lanes.hi();
    out.template putLanes<kLevels>(cur, hi, base, n, total, lanes.scratch(), s.ahead,
                                   lanes.upper());
    for (int32_t i = 0; i < n; ++i) {
      cur[i] = hi[i];
      following[i] = cur[i] < end[i] ? cur[i][1].time : kEndOfData;
    }
    return total;
  };
  // Writes source k's head and moves on; returns the new head's time.
  auto writeAndAdvance = [&](int32_t k, const PpTimest* h) __attribute__((always_inline)) {
    out.put(h->time, int16_t(base[k] + h->channel));
    ++records;
    int64_t time;
    if (__builtin_expect(h < end[k], 1)) {
      // h + 2 lies at most one entry past the last valid one: inside the buffer.
      time = following[k];
      following[k] = h[2].time;
      cur[k] = ++h;
    } else {
      refill(*s.bufs[k]);
      load(k);
      h = cur[k];
      time = h->time;
      out.tryLanes = true;
      if (s.resume != nullptr) noteResume(s, records, cur, n);
    }
    markerHeads += odd(*h);
    return time;
  };

  TreeKey top = build();
  while (s.running.load(std::memory_order_relaxed)) {
    if (__builtin_expect(markerHeads != 0, 0)) {
      for (int32_t i = 0; i < n; ++i) s.bufs[i]->cur = cur[i];
      const int32_t k = chooseHead(s.bufs, n);
      if (cur[k]->time == kEndOfData) break;
      markerHeads -= odd(*cur[k]);
      writeAndAdvance(k, cur[k]);
      if (markerHeads == 0) top = build();
      continue;
    }
    if (kLevels > 0 && __builtin_expect(out.tryLanes, 0)) {
      out.tryLanes = false;
      const int64_t done = mergeInLanes();
      if (done > 0) {
        records += done;
        top = build();
        // With columns the stretch may have stopped short at the buffer's end: the next one
        // goes on in lanes from the next buffer.
        out.tryLanes = out.tryLanes || Cursor::kColumns;
        continue;
      }
    }
    // No head is odd: the winner is no marker.
    const int32_t k = Keys::source(top);
    if (Keys::atEnd(top)) break;
    const int64_t time = writeAndAdvance(k, cur[k]);
    // The new head of source k plays its way up.
    top = playUp(loser, k, leaves, levels, Keys::make(time, k));
  }
  for (int32_t i = 0; i < n; ++i) s.bufs[i]->cur = cur[i];
  return records;
}

// a where mask is all ones, b where it is zero; without a branch, whatever the compiler would
// prefer, because which source comes next is a coin toss for interleaved streams.
inline int64_t pick(int64_t mask, int64_t a, int64_t b) { return (a & mask) | (b & ~mask); }

// The merge loop for a small fixed number of sources (used for a single source: from two on the
// tree is faster, as it moves only the chosen source's state). Each source's head time, the time of the
// entry after its head, and its head pointer are held in variables of their own (the arrays below
// are indexed only by constants once the loops are unrolled), and the chosen source is marked by
// an all-ones mask. So the step from one choice to the next is a few compares and masks: the
// time that becomes the chosen source's new head was loaded a record earlier, and the load of
// the one after it runs alongside.
template <bool kText, bool kBinary, class Cursor, int32_t N>
__attribute__((noinline)) int64_t mergeFixed(LoopState& s) {
  int64_t times[N];     // head times
  int64_t following[N]; // time of the entry after the head, when the head is not the last one
  uintptr_t cur[N];     // head entries
  const PpTimest* end[N];
  int16_t base[N];
  int32_t markerHeads = 0;
  auto load = [&](int32_t i) {
    TBuf& t = *s.bufs[i];
    cur[i] = uintptr_t(t.cur);
    end[i] = t.end;
    times[i] = t.cur->time;
    following[i] = t.cur < t.end ? t.cur[1].time : kEndOfData;
    markerHeads += isMarker(*t.cur);
  };
#pragma GCC unroll 8
  for (int32_t i = 0; i < N; ++i) {
    load(i);
    base[i] = int16_t(5 * s.bufs[i]->source.chainPos);
  }
  RecordWriter<kText, kBinary, Cursor> out(s.text, s.binary);
  int64_t records = 0;
  while (s.running.load(std::memory_order_relaxed)) {
    int64_t chosen[N];
    if (markerHeads) {
#pragma GCC unroll 8
      for (int32_t i = 0; i < N; ++i) s.bufs[i]->cur = reinterpret_cast<const PpTimest*>(cur[i]);
      const int32_t k = chooseHead(s.bufs, N);
#pragma GCC unroll 8
      for (int32_t i = 0; i < N; ++i) chosen[i] = -int64_t(i == k);
    } else {
      // The earliest head, the first source on equal times.
      int64_t best = times[0];
      chosen[0] = -1;
#pragma GCC unroll 8
      for (int32_t i = 1; i < N; ++i) {
        const int64_t earlier = -int64_t(times[i] < best);
        best = pick(earlier, times[i], best);
#pragma GCC unroll 8
        for (int32_t j = 0; j < i; ++j) chosen[j] &= ~earlier;
        chosen[i] = earlier;
      }
    }
    int32_t k = 0;
    uintptr_t head = 0;
#pragma GCC unroll 8
    for (int32_t i = 0; i < N; ++i) {
      k |= int32_t(chosen[i] & i);
      head |= cur[i] & uintptr_t(chosen[i]);
    }
    const PpTimest* h = reinterpret_cast<const PpTimest*>(head);
    if (h->time == kEndOfData) break;
    markerHeads -= isMarker(*h);
    out.put(h->time, int16_t(base[k] + h->channel));
    ++records;
    if (__builtin_expect(h < end[k], 1)) {
      // h + 2 lies at most one entry past the last valid one: inside the buffer.
      const int64_t after = h[2].time;
#pragma GCC unroll 8
      for (int32_t i = 0; i < N; ++i) {
        cur[i] += uintptr_t(chosen[i]) & sizeof(PpTimest);
        times[i] = pick(chosen[i], following[i], times[i]);
        following[i] = pick(chosen[i], after, following[i]);
      }
      markerHeads += isMarker(h[1]);
    } else {
#pragma GCC unroll 8
      for (int32_t i = 0; i < N; ++i) {
        if (i != k) continue;
        refill(*s.bufs[i]);
        load(i);
      }
      if (s.resume != nullptr) noteResume(s, records, cur, N);
    }
  }
#pragma GCC unroll 8
  for (int32_t i = 0; i < N; ++i) s.bufs[i]->cur = reinterpret_cast<const PpTimest*>(cur[i]);
  return records;
}

template <bool kText, bool kBinary, class Cursor = RecordCursor>
int64_t mergeLoopFor(LoopState& s, int32_t count) {
  // From two sources on the tree with compact keys is ahead of the fixed path: its walk up is a
  // compare and two moves a level, where the fixed path updates every source's state per record.
  switch (count) {
    case 1: return mergeFixed<kText, kBinary, Cursor, 1>(s);
    case 2: return mergeTree<kText, kBinary, Cursor, 1>(s, count, 1);
    case 3: case 4: return mergeTree<kText, kBinary, Cursor, 2>(s, count, 2);
    case 5: case 6: case 7: case 8: return mergeTree<kText, kBinary, Cursor, 3>(s, count, 3);
    default: {
      int32_t levels = 4;
      while ((1 << levels) < count) ++levels;
      return levels == 4 ? mergeTree<kText, kBinary, Cursor, 4>(s, count, 4)
                         : mergeTree<kText, kBinary, Cursor, 0>(s, count, levels);
    }
  }
}

}  // namespace

int64_t mergeStreams(const MergeSource* sources, int32_t count, const MergeOutputs& outputs,
                     std::atomic<int64_t>& bytesRead, const std::atomic<bool>& running,
                     std::vector<MergeSourceStats>* stats) {
  if (count <= 0) return 0;
  // The decoding side adds the bytes read to bytesRead as the merge takes them, and as it passes
  // over stretches without timestamps.
  DecodeAhead ahead(sources, count, true, &bytesRead);
  std::vector<std::unique_ptr<TBuf>> owned;
  std::vector<TBuf*> bufs;
  for (int32_t i = 0; i < count; ++i) {
    owned.emplace_back(new TBuf(sources[i], ahead, i));
    bufs.push_back(owned.back().get());
    read1(*bufs.back());
  }
  OutBuf text(outputs.text), binary(outputs.binary, outputs.records);
  text.offload(&ahead, DecodeAhead::kTextJob);
  binary.offload(&ahead, DecodeAhead::kBinaryJob);
  if (outputs.binary && outputs.header) outputs.header(outputs.binary, true);

  LoopState s{ahead, bufs.data(), text, binary, running, outputs.resume};
  int64_t records = 0;
  if (binary.columns())
    records = text.open() ? mergeLoopFor<true, true, ColumnCursor>(s, count)
                          : mergeLoopFor<false, true, ColumnCursor>(s, count);
  else if (text.open() && binary.open())
    records = mergeLoopFor<true, true>(s, count);
  else if (text.open())
    records = mergeLoopFor<true, false>(s, count);
  else if (binary.open())
    records = mergeLoopFor<false, true>(s, count);
  else
    records = mergeLoopFor<false, false>(s, count);

  text.finish();
  binary.finish();
  if (outputs.binary && outputs.header) outputs.header(outputs.binary, false);
  std::vector<MergeSourceStats> decoded = ahead.stats();
  if (binary.columns()) {
    // The sink of columns counts no channels: the decoding side has counted them per source.
    std::map<int16_t, int64_t> counts;
    int64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
      total += decoded[size_t(i)].records;
      for (size_t c = 0; c < decoded[size_t(i)].channels.size(); ++c)
        if (decoded[size_t(i)].channels[c] != 0)
          counts[int16_t(5 * sources[i].chainPos + int32_t(c))] += decoded[size_t(i)].channels[c];
    }
    if (total == records) outputs.records->putChannelCounts(counts);
  }
  if (stats != nullptr) *stats = std::move(decoded);
  return records;
}
