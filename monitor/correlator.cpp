#include "monitor/correlator.h"

#include <inttypes.h>

#include <algorithm>
#include <cmath>

std::string correlationError(const CorrelationSettings& s) {
  if (s.channelA < 0 || s.channelB < 0) return "channels are 0 and up";
  if (s.binWidthPs < kMinBinWidthPs || s.binWidthPs > kMaxBinWidthPs)
    return "the bin width must lie between 1 ps and 1000000 ps (1 us)";
  if (s.rangePs < 1) return "the range must be 1 ps or more";
  if (s.binWidthPs > s.rangePs) return "the bin width must not exceed the range";
  if (s.rangePs > INT64_MAX / 4 || binCount(s) > kMaxBins)
    return "range / bin width gives more than " + std::to_string(kMaxBins) + " bins";
  return std::string();
}

int64_t binCount(const CorrelationSettings& s) {
  return (2 * s.rangePs + s.binWidthPs - 1) / s.binWidthPs;
}

Peak findPeak(const std::vector<uint64_t>& counts, const CorrelationSettings& s,
              double seconds) {
  Peak peak;
  size_t top = 0;
  for (size_t i = 1; i < counts.size(); ++i)
    if (counts[i] > counts[top]) top = i;
  if (counts.empty() || counts[top] == 0) return peak;
  peak.found = true;
  peak.height = counts[top];
  peak.positionPs = -s.rangePs + int64_t(top) * s.binWidthPs;
  const double half = double(peak.height) / 2;
  // Walk out from the peak to the first bin at or below half height on each side and place
  // the crossing between the two bin centres; outside the histogram counts as 0.
  auto at = [&](int64_t i) {
    return i < 0 || i >= int64_t(counts.size()) ? 0.0 : double(counts[size_t(i)]);
  };
  int64_t left = int64_t(top), right = int64_t(top);
  while (at(left - 1) > half) --left;
  while (at(right + 1) > half) ++right;
  const double leftEdge = double(left) - (at(left) - half) / (at(left) - at(left - 1));
  const double rightEdge = double(right) + (at(right) - half) / (at(right) - at(right + 1));
  peak.fwhmPs = (rightEdge - leftEdge) * double(s.binWidthPs);
  for (int64_t i = int64_t(top) - 1; i <= int64_t(top) + 1; ++i) peak.coincidences += uint64_t(at(i));
  peak.coincidenceRate = seconds > 0 ? double(peak.coincidences) / seconds : 0;
  double others = 0;
  for (size_t i = 0; i < counts.size(); ++i)
    if (i != top) others += double(counts[i]);
  const double mean = counts.size() > 1 ? others / double(counts.size() - 1) : 0;
  peak.significant = double(peak.height) - mean > kPeakSignificance * std::sqrt(std::max(mean, 1.0));
  return peak;
}

bool writeHistogramCsv(FILE* out, const std::vector<uint64_t>& counts,
                       const CorrelationSettings& s) {
  bool ok = fputs("delay_ps,count\n", out) >= 0;
  for (size_t i = 0; i < counts.size() && ok; ++i)
    ok = fprintf(out, "%" PRId64 ",%" PRIu64 "\n", -s.rangePs + int64_t(i) * s.binWidthPs,
                 counts[i]) > 0;
  return ok;
}
