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

  SortedTimes() : _ring(64, INT64_MAX) {}
  // Inserts t after every time <= t. False when the ring had grown to kMaxHistory places and
  // the oldest time had to go.
  bool insert(int64_t t) {
    bool kept = true;
    if (size() + 1 + kBeyond > _ring.size()) kept = makeRoom();
    uint64_t pos = _end++;
    while (pos > _begin && at(pos - 1) > t) {
      slot(pos) = at(pos - 1);
      --pos;
    }
    slot(pos) = t;
    for (size_t i = 0; i < kBeyond; ++i) slot(_end + i) = INT64_MAX;
    return kept;
  }
  // Drops the oldest times while they are below t.
  void dropBefore(int64_t t) {
    while (_begin != _end && at(_begin) < t) ++_begin;
  }
  void clear() {
    _begin = _end = 0;
    for (size_t i = 0; i < kBeyond; ++i) slot(i) = INT64_MAX;
  }
  size_t size() const { return size_t(_end - _begin); }
  // Positions [begin(), end()) hold the times, oldest first.
  uint64_t begin() const { return _begin; }
  uint64_t end() const { return _end; }
  // The time at `pos`; at(end()) up to at(end() + kBeyond - 1) are INT64_MAX, so that a loop
  // that moves on while the times are below some limit stops there without a check of its own.
  int64_t at(uint64_t pos) const { return _ring[size_t(pos) & (_ring.size() - 1)]; }
  // For a loop over many positions: at(pos) is ring()[pos & mask()].
  const int64_t* ring() const { return _ring.data(); }
  uint64_t mask() const { return uint64_t(_ring.size() - 1); }
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
  int64_t& slot(uint64_t pos) { return _ring[size_t(pos) & (_ring.size() - 1)]; }
  // The ring keeps kBeyond places after the newest time. A full ring doubles up to kMaxHistory
  // places; beyond, the oldest time goes (false).
  bool makeRoom() {
    if (_ring.size() >= kMaxHistory) {
      ++_begin;
      return false;
    }
    // Each time keeps its absolute position: a position maps to pos mod size in either ring.
    std::vector<int64_t> bigger(_ring.size() * 2);
    for (uint64_t pos = _begin; pos < _end + kBeyond; ++pos) bigger[size_t(pos) & (bigger.size() - 1)] = at(pos);
    _ring.swap(bigger);
    return true;
  }

  std::vector<int64_t> _ring;  // its size a power of two, above the number of times
  uint64_t _begin = 0, _end = 0;
};

#endif
