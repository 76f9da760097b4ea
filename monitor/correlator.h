// The correlation histogram of t(B) - t(A) for two output channels A and B, fed with their
// events in time order, and the figures of its peak.
#ifndef RAVIK_MONITOR_CORRELATOR_H
#define RAVIK_MONITOR_CORRELATOR_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct CorrelationSettings {
  int32_t channelA = 1;       // output channels: 5 x chain position + device channel
  int32_t channelB = 6;
  int64_t rangePs = 10000;    // delays from -range up to (not including) +range
  int64_t binWidthPs = 10;
};

constexpr int64_t kMinBinWidthPs = 1;
constexpr int64_t kMaxBinWidthPs = 1000000;
constexpr int64_t kMaxBins = 1 << 21;

// Empty when the settings can be used, else what is wrong with them.
std::string correlationError(const CorrelationSettings& settings);
// Number of bins: 2 x range / bin width, the last bin cut at +range when it does not divide.
int64_t binCount(const CorrelationSettings& settings);

// What the peak of a histogram shows.
struct Peak {
  bool found = false;        // false for an empty histogram
  int64_t positionPs = 0;    // lower edge of the highest bin (the first of equal ones)
  uint64_t height = 0;
  double fwhmPs = 0;         // width at half height, interpolated between bin centres
  uint64_t coincidences = 0;  // counts within one bin of the peak
  double coincidenceRate = 0;  // those per second of the time the histogram covers
};

// `seconds`: the stream time the counts were gathered over.
Peak findPeak(const std::vector<uint64_t>& counts, const CorrelationSettings& settings,
              double seconds);

// Writes the histogram as CSV: the line "delay_ps,count", then one line per bin with its lower
// edge in ps and its count. False when a write failed.
bool writeHistogramCsv(FILE* out, const std::vector<uint64_t>& counts,
                       const CorrelationSettings& settings);

class Correlator {
public:
  // Settings as correlationError() accepts them; the histogram starts empty.
  explicit Correlator(const CorrelationSettings& settings);

  // One event of A (`isA`), of B, or of both when A = B; times in non-decreasing order. Every
  // pair within the range is counted once, by whichever of its two events comes later.
  void add(int64_t time, bool isA, bool isB);
  void reset();

  const CorrelationSettings& settings() const { return _settings; }
  const std::vector<uint64_t>& counts() const { return _counts; }
  // Stream time from the first to the last event added since the reset.
  double seconds() const { return _first < 0 ? 0 : double(_last - _first) / 1e12; }
  // Events that fell out of the recent-event window before their time (far above the
  // window's capacity per range): their pairs are missing.
  bool overflowed() const { return _overflowed; }

private:
  // Times of the recent events of one channel, oldest first; bounded.
  class Recent {
  public:
    Recent();
    void clear() { _begin = _end = 0; }
    // False when the oldest had to go to make room.
    bool push(int64_t t);
    void dropBefore(int64_t t);
    size_t size() const { return size_t(_end - _begin); }
    int64_t fromNewest(size_t i) const { return _times[(_end - 1 - i) & kMask]; }

  private:
    static constexpr uint64_t kMask = (1u << 16) - 1;
    std::vector<int64_t> _times;
    uint64_t _begin = 0, _end = 0;
  };

  void count(int64_t delay) {
    if (delay >= -_settings.rangePs && delay < _settings.rangePs)
      ++_counts[size_t((delay + _settings.rangePs) / _settings.binWidthPs)];
  }

  CorrelationSettings _settings;
  std::vector<uint64_t> _counts;
  Recent _a, _b;
  int64_t _first = -1, _last = 0;
  bool _overflowed = false;
};

#endif
