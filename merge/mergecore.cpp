#include "merge/mergecore.h"

#include <memory>
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
};

// Makes the source's next page current (at the end of the stream the head is the end-of-data
// entry). Returns the bytes read for it.
__attribute__((noinline)) int64_t refill(TBuf& t) { return t.ahead.take(t.index, &t.cur, &t.end); }

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

// The same choice while no head is a marker: the earliest time, the first source on equal
// times.
inline int32_t earliest(const int64_t* times, int32_t n) {
  int32_t k = 0;
  int64_t best = times[0];
  for (int32_t i = 1; i < n; ++i) {
    const bool earlier = times[i] < best;
    best = earlier ? times[i] : best;
    k = earlier ? i : k;
  }
  return k;
}

struct LoopState {
  TBuf* const* bufs;
  OutBuf& text;
  OutBuf& binary;
  double bytes;
  std::atomic<double>& bytesRead;
  const std::atomic<bool>& running;
};

// The merge loop for one combination of outputs (so that the per-record work holds no tests
// that never change) and any number of sources.
//
// The heads live in small local arrays rather than behind each source's TBuf: the choice of the
// next source depends on the previous one, and every load on that path adds to each record.
template <bool kText, bool kBinary>
int64_t mergeLoop(LoopState& s, int32_t n) {
  std::vector<int64_t> times(static_cast<size_t>(n));
  std::vector<const PpTimest*> cur(static_cast<size_t>(n)), end(static_cast<size_t>(n));
  std::vector<int16_t> base(static_cast<size_t>(n));
  int32_t markerHeads = 0;
  for (int32_t i = 0; i < n; ++i) {
    TBuf& t = *s.bufs[i];
    cur[size_t(i)] = t.cur;
    end[size_t(i)] = t.end;
    times[size_t(i)] = t.cur->time;
    base[size_t(i)] = int16_t(5 * t.source.chainPos);
    markerHeads += isMarker(*t.cur);
  }
  int64_t records = 0;
  while (s.running.load(std::memory_order_relaxed)) {
    int32_t k;
    if (markerHeads) {
      for (int32_t i = 0; i < n; ++i) s.bufs[i]->cur = cur[size_t(i)];
      k = chooseHead(s.bufs, n);
    } else {
      k = earliest(times.data(), n);
    }
    const PpTimest* head = cur[size_t(k)];
    if (head->time == kEndOfData) break;
    markerHeads -= isMarker(*head);
    const int16_t channel = int16_t(base[size_t(k)] + head->channel);
    if (kText) s.text.putText(head->time, channel);
    if (kBinary) s.binary.putBinary(head->time, channel);
    ++records;
    if (head < end[size_t(k)]) {
      ++head;
    } else {
      TBuf& t = *s.bufs[k];
      s.bytes += refill(t);
      s.bytesRead.store(s.bytes, std::memory_order_relaxed);
      head = t.cur;
      end[size_t(k)] = t.end;
    }
    cur[size_t(k)] = head;
    times[size_t(k)] = head->time;
    markerHeads += isMarker(*head);
  }
  for (int32_t i = 0; i < n; ++i) s.bufs[i]->cur = cur[size_t(i)];
  return records;
}

// a where mask is all ones, b where it is zero; without a branch, whatever the compiler would
// prefer, because which source comes next is a coin toss for interleaved streams.
inline int64_t pick(int64_t mask, int64_t a, int64_t b) { return (a & mask) | (b & ~mask); }

// The merge loop for a small fixed number of sources. Each source's head time, the time of the
// entry after its head, and its head pointer are held in variables of their own (the arrays below
// are indexed only by constants once the loops are unrolled), and the chosen source is marked by
// an all-ones mask. So the step from one choice to the next is a few compares and masks: the
// time that becomes the chosen source's new head was loaded a record earlier, and the load of
// the one after it runs alongside.
template <bool kText, bool kBinary, int32_t N>
int64_t mergeFixed(LoopState& s) {
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
    const int16_t channel = int16_t(base[k] + h->channel);
    if (kText) s.text.putText(h->time, channel);
    if (kBinary) s.binary.putBinary(h->time, channel);
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
        s.bytes += refill(*s.bufs[i]);
        s.bytesRead.store(s.bytes, std::memory_order_relaxed);
        load(i);
      }
    }
  }
#pragma GCC unroll 8
  for (int32_t i = 0; i < N; ++i) s.bufs[i]->cur = reinterpret_cast<const PpTimest*>(cur[i]);
  return records;
}

template <bool kText, bool kBinary>
int64_t mergeLoopFor(LoopState& s, int32_t count) {
  switch (count) {
    case 1: return mergeFixed<kText, kBinary, 1>(s);
    case 2: return mergeFixed<kText, kBinary, 2>(s);
    case 3: return mergeFixed<kText, kBinary, 3>(s);
    case 4: return mergeFixed<kText, kBinary, 4>(s);
    default: return mergeLoop<kText, kBinary>(s, count);
  }
}

}  // namespace

int64_t mergeStreams(const MergeSource* sources, int32_t count, const MergeOutputs& outputs,
                     std::atomic<double>& bytesRead, const std::atomic<bool>& running) {
  if (count <= 0) return 0;
  DecodeAhead ahead(sources, count, true, &bytesRead);
  std::vector<std::unique_ptr<TBuf>> owned;
  std::vector<TBuf*> bufs;
  double bytes = bytesRead.load(std::memory_order_relaxed);
  for (int32_t i = 0; i < count; ++i) {
    owned.emplace_back(new TBuf(sources[i], ahead, i));
    bufs.push_back(owned.back().get());
    bytes += read1(*bufs.back());
    bytesRead.store(bytes, std::memory_order_relaxed);
  }
  OutBuf text(outputs.text), binary(outputs.binary, outputs.records);
  if (outputs.binary && outputs.header) outputs.header(outputs.binary, true);

  LoopState s{bufs.data(), text, binary, bytes, bytesRead, running};
  int64_t records = 0;
  if (text.open() && binary.open())
    records = mergeLoopFor<true, true>(s, count);
  else if (text.open())
    records = mergeLoopFor<true, false>(s, count);
  else if (binary.open())
    records = mergeLoopFor<false, true>(s, count);
  else
    records = mergeLoopFor<false, false>(s, count);

  text.flush();
  binary.flush();
  if (outputs.binary && outputs.header) outputs.header(outputs.binary, false);
  return records;
}
