// The settings of the monitor's correlation histogram of t(B) - t(A) for two output channels A
// and B (the histogram itself is a Correlation measurement), the figures of its peak and its CSV.
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
// A bin wider than the range is refused.
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
  // The highest bin stands out of the others' counting noise: above their mean by more than
  // kPeakSignificance standard deviations (of a Poisson count, at least 1). A count of 2 in an
  // otherwise empty histogram is noise, not a peak.
  bool significant = false;
};

constexpr double kPeakSignificance = 5;

// `seconds`: the stream time the counts were gathered over.
Peak findPeak(const std::vector<uint64_t>& counts, const CorrelationSettings& settings,
              double seconds);

// Writes the histogram as CSV: the line "delay_ps,count", then one line per bin with its lower
// edge in ps and its count. False when a write failed.
bool writeHistogramCsv(FILE* out, const std::vector<uint64_t>& counts,
                       const CorrelationSettings& settings);

#endif
