// Recent times of one channel kept in time order, for a measurement that counts them by time
// whatever their order of arrival: a record that steps back is inserted in its place (records
// step back only a little, so only a few times move). Positions are absolute: a position keeps
// naming the same place while the ring grows and while the oldest times go, so that a
// measurement can keep positions into it from one record to the next.
#ifndef RAVIK_MONITOR_SORTEDTIMES_H
#define RAVIK_MONITOR_SORTEDTIMES_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

#include "monitor/measurements.h"

class SortedTimes {
public:
  // The places after the newest time that hold INT64_MAX.
  static constexpr size_t kBeyond = 4;

  SortedTimes() : _ring(64 + kBeyond, INT64_MAX), _mask(63) {}
  // Inserts t after every time <= t. False when the ring had grown to kMaxHistory places and
  // the oldest time had to go.
  bool insert(int64_t t) {
    bool kept = true;
    if (size() + 1 + kBeyond > capacity()) kept = makeRoom();
    uint64_t pos = _end++;
    while (pos > _begin && at(pos - 1) > t) {
      put(pos, at(pos - 1));
      --pos;
    }
    put(pos, t);
    // The places after the newest time held INT64_MAX but for the last, which is new.
    put(_end + kBeyond - 1, INT64_MAX);
    return kept;
  }
  // insert() for each of times[0..n), those in time order after the newest in one pass
  // without a search; false when any made the oldest go.
  bool insertAll(const int64_t* times, size_t n) {
    bool kept = true;
    for (size_t i = 0; i < n;) {
      if (size() + 1 + kBeyond > capacity() || times[i] < newest()) {
        kept &= insert(times[i++]);
        continue;
      }
      // A run in order, as far as the room goes: each after the one before it.
      int64_t* ring = _ring.data();
      const uint64_t mask = _mask, room = capacity() - kBeyond - size();
      uint64_t end = _end;
      int64_t last = times[i];
      const size_t stop = size_t(std::min<uint64_t>(n, i + room));
      for (; i < stop && times[i] >= last; ++i) {
        last = times[i];
        ring[end & mask] = last;
        if ((end & mask) < kBeyond) ring[(end & mask) + capacity()] = last;
        ++end;
      }
      _end = end;
      for (uint64_t pos = _end; pos < _end + kBeyond; ++pos) put(pos, INT64_MAX);
    }
    return kept;
  }
  // Drops the oldest times while they are below t.
  void dropBefore(int64_t t) {
    while (_begin != _end && at(_begin) < t) ++_begin;
  }
  void clear() {
    _begin = _end = 0;
    for (size_t i = 0; i < kBeyond; ++i) put(i, INT64_MAX);
  }
  size_t size() const { return size_t(_end - _begin); }
  // Positions [begin(), end()) hold the times, oldest first.
  uint64_t begin() const { return _begin; }
  uint64_t end() const { return _end; }
  // The time at `pos`; at(end()) up to at(end() + kBeyond - 1) are INT64_MAX, so that a loop
  // that moves on while the times are below some limit stops there without a check of its own.
  int64_t at(uint64_t pos) const { return _ring[size_t(pos & _mask)]; }
  // For a loop over many positions: at(pos + i) is ring()[(pos & mask()) + i] for i up to
  // kBeyond, without a wrap: the ring's first kBeyond places are repeated after its last.
  const int64_t* ring() const { return _ring.data(); }
  uint64_t mask() const { return _mask; }
  // The newest time, INT64_MIN when there is none.
  int64_t newest() const { return _end == _begin ? INT64_MIN : at(_end - 1); }
  // The first position whose time is t or more (end() when none is).
  uint64_t lowerBound(int64_t t) const {
    uint64_t lo = _begin, n = _end - _begin;
    while (n > 0) {
      const uint64_t half = n / 2;
      if (at(lo + half) < t) {
        lo += half + 1;
        n -= half + 1;
      } else {
        n = half;
      }
    }
    return lo;
  }

private:
  size_t capacity() const { return size_t(_mask) + 1; }
  // Writes the time at `pos`, and its copy after the last place for the first kBeyond places.
  void put(uint64_t pos, int64_t t) {
    const size_t i = size_t(pos & _mask);
    _ring[i] = t;
    if (i < kBeyond) _ring[i + capacity()] = t;
  }
  // The ring keeps kBeyond places after the newest time. A full ring doubles up to kMaxHistory
  // places; beyond, the oldest time goes (false).
  bool makeRoom() {
    if (capacity() >= kMaxHistory) {
      ++_begin;
      return false;
    }
    // Each time keeps its absolute position: a position maps to pos mod size in either ring.
    SortedTimes bigger;
    bigger._ring.assign(capacity() * 2 + kBeyond, INT64_MAX);
    bigger._mask = capacity() * 2 - 1;
    for (uint64_t pos = _begin; pos < _end + kBeyond; ++pos) bigger.put(pos, at(pos));
    _ring.swap(bigger._ring);
    _mask = bigger._mask;
    return true;
  }

  // Its capacity a power of two, above the number of times, and kBeyond places more.
  std::vector<int64_t> _ring;
  uint64_t _mask;  // the capacity - 1
  uint64_t _begin = 0, _end = 0;
};

#endif
