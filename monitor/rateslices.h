// The monitor's rate counts: per key (a device's monitor channel), the records of each slice of
// stream time over the last slices. Bins are [k*width, (k+1)*width) on the time axis and the
// newest holds the latest time counted or reached; an earlier record still counts in its own
// slice while that is in the window. The same counts as a TimeTrace of the keys, without its
// span and locking, fed one record at a time straight from the monitor's merge.
#ifndef RAVIK_MONITOR_RATESLICES_H
#define RAVIK_MONITOR_RATESLICES_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

class RateSlices {
public:
  RateSlices(size_t keys, int64_t widthPs, int32_t slices);

  // One record of `key` (below the keys given) at `timePs`.
  void add(size_t key, int64_t timePs) {
    // Nearly every record falls into the newest slice: two compares and an increment.
    if (timePs >= _fastFrom && timePs < _fastTo)
      ++_newestRow[key];
    else
      addSlow(key, timePs);
  }
  // The stream has passed `timePs`: the window rolls on as a record there would move it.
  void reach(int64_t timePs);

  // [key][slice], oldest slice first; zeros before the first record.
  std::vector<std::vector<int64_t>> data() const;
  // Lower edge of the oldest slice in ps; 0 before the first record.
  int64_t firstBinPs() const;

private:
  void addSlow(size_t key, int64_t timePs);
  // Moves the window so that slice `k` is its newest, emptying the slices it enters.
  void rollTo(int64_t k);
  size_t column(int64_t k) const { return size_t(((k % _slices) + _slices) % _slices); }

  size_t _keys;
  int64_t _width;
  int32_t _slices;
  std::vector<int64_t> _counts;  // ring: [k mod slices][key]
  int64_t _newest = INT64_MIN;   // index k of the newest slice, INT64_MIN before any
  // The newest slice's time range and counts; an empty range before any.
  int64_t _fastFrom = INT64_MAX, _fastTo = INT64_MIN;
  int64_t* _newestRow = nullptr;
};

#endif
