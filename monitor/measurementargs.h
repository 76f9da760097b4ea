// The checks and small helpers that every measurement's constructor and add() share: channels,
// bins, the 65536-entry channel tables and saturated arithmetic on the time axis.
#ifndef RAVIK_MONITOR_MEASUREMENTARGS_H
#define RAVIK_MONITOR_MEASUREMENTARGS_H

#include <stddef.h>
#include <stdint.h>

#include <stdexcept>
#include <string>

#include "monitor/measurements.h"

namespace measurementargs {

// Index of a channel in the 65536-entry lookup tables.
inline size_t tableIndex(int16_t channel) { return size_t(int32_t(channel) + 32768); }

// A latest record at `latest` (INT64_MIN: none yet) lies in [t - window, t], for 0 <= window:
// the rule of a coincidence, tested without branches and with one comparison for the window
// (t - latest, unsigned, is above the window also where latest is after t).
inline bool inWindowBefore(int64_t latest, int64_t t, int64_t window) {
  return (latest != INT64_MIN) & (uint64_t(t) - uint64_t(latest) <= uint64_t(window));
}

inline void requireChannel(int16_t channel) {
  if (channel < 0)
    throw std::invalid_argument("channel " + std::to_string(channel) +
                                ": channels are 0 and up (negative ones are loss records)");
}

inline void requireBins(int64_t binWidthPs, int32_t nBins) {
  if (binWidthPs < 1) throw std::invalid_argument("the bin width must be 1 ps or more");
  if (nBins < 1 || nBins > kMaxMeasurementBins)
    throw std::invalid_argument("the number of bins must lie between 1 and " +
                                std::to_string(kMaxMeasurementBins));
  // Delays and bin edges must stay far inside the 64-bit time axis.
  if (binWidthPs > (INT64_MAX / 4) / nBins)
    throw std::invalid_argument("bin width x number of bins is beyond the time axis");
}

// a - b, held at INT64_MIN rather than wrapping below it.
inline int64_t minusSaturated(int64_t a, int64_t b) { return a < INT64_MIN + b ? INT64_MIN : a - b; }

}  // namespace measurementargs

#endif
