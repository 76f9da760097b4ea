// The correlation of two channels over log-spaced lags, from picoseconds to seconds, as
// fluorescence correlation by photon counting uses it. Fed and read like every Measurement
// (measurements.h), with the same exactness and thread rules.
#ifndef RAVIK_MONITOR_LOGCORRELATION_H
#define RAVIK_MONITOR_LOGCORRELATION_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "monitor/measurements.h"
#include "monitor/sortedtimes.h"

// Histogram of t(b) - t(a) over every pair of a record of channel a and a different record of
// channel b, whatever their order of arrival, in bins whose edges grow by a constant factor: a
// == b gives the auto-correlation (each pair once, with its positive lag).
//
// The edges are whole ps: minLagPs * 10^(k / binsPerDecade) rounded, for k = 0, 1, ... while
// below maxLagPs, an edge equal to the one before it left out (so each bin is 1 ps wide or
// more), and maxLagPs as the last edge. Bin k holds edge[k] <= t(b) - t(a) < edge[k + 1].
//
// How it is exact and fast: the recent records of a are kept in time order, and for each edge
// a cursor into them that moves on through each batch's records of b, so that each record of a
// or b costs a few steps per edge (the time grows with the number of bins and the rates of a and
// b, not with the number of pairs; the bins at lags shorter than the records of a are apart
// have their few pairs counted one by one instead). A record of a that comes after records of
// b it pairs with (a step back) is paired with those kept records of b. The records of a kept
// are those that a record of b still to come can pair with: maxLagPs and kMaxStepBackPs of
// stream time. When that would be more than kMaxHistory records, the oldest go: the pairs at
// the longest lags are then missing, and overflowed() says so; the bins below the lags the
// history still spans stay exact.
class LogCorrelation : public Measurement {
public:
  // Refuses (std::invalid_argument) minLagPs < 1, maxLagPs <= minLagPs or beyond the time axis,
  // binsPerDecade < 1, and more than kMaxMeasurementBins bins.
  LogCorrelation(int16_t a, int16_t b, int64_t minLagPs, int64_t maxLagPs, int32_t binsPerDecade);

  int16_t channelA() const { return _a; }
  int16_t channelB() const { return _b; }

  // Per bin.
  std::vector<int64_t> data() const;
  // The bins' edges, one more than the bins: minLagPs first, maxLagPs last.
  const std::vector<int64_t>& binEdgesPs() const { return _edges; }
  // g(2): counts / (rate_a * rate_b * width_k * span), rates = records of a (of b) since the
  // clear / span, width_k = edge[k + 1] - edge[k]; the same as Correlation::normalized() for a
  // bin both have. All 0 while the span or either count is 0.
  std::vector<double> normalized() const;
  // Records of a and of b since the clear.
  int64_t countA() const;
  int64_t countB() const;

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  void forgetPartners() override;
  int64_t countedLocked() const override;
  const ChannelSieve* sieve() const override { return &_sieve; }

private:
  // Per edge: the position in _histA of the first time above t - lag, t the record of b the
  // cursors are at; sweep() moves it on through each batch's records of b.
  struct Cursor {
    int64_t lag;
    uint64_t pos;
  };
  // Moves the cursors `which` (K of them) through the batch's records of b (_batchB), adding
  // up their positions in _sums; kShort: which = {0, _split}, and the pairs between them go
  // to the bins below _split one by one.
  template <size_t K, bool kShort>
  void sweep(const size_t* which);
  // The sums of the cursors from `from` on, for a batch whose records of b are in time order
  // after the one the cursors are at, walked over the records of a instead (there are fewer,
  // and each is looked up in _below rather than stepped to); the cursors end at the batch's
  // last record of b. False, having done nothing, for any other batch and one whose records of
  // b are too bunched for _below: sweep() does those.
  bool sumOverA(size_t from);
  // Sets _split for the batch, by the spacing of the records of a.
  void chooseSplit();
  // Moves the cursors on to the oldest kept time where they lie before it.
  void keepCursorsIn();
  // A record of a at t: its pairs with the kept records of b at t + minLagPs or later, which
  // came before it.
  void pairAsA(int64_t t, const SortedTimes& bs);

  int16_t _a, _b;
  ChannelSieve _sieve;
  std::vector<int64_t> _edges;
  std::vector<int64_t> _counts;
  std::vector<Cursor> _cursors;
  std::vector<uint64_t> _sums;  // per cursor, for sweep()
  // The bins below it have their pairs counted one by one, and the cursors between 0 and it
  // rest.
  size_t _split = 0;
  int64_t _previousB = INT64_MIN;  // the record of b the cursors are at
  std::vector<int64_t> _batchA, _batchB;  // the records of a and of b of the batch being added
  // For sumOverA(): per stretch of the batch's time from its first record of b on (all as
  // wide, a power of two ps), the number of its records of b before the stretch.
  std::vector<uint32_t> _below;
  std::vector<uint64_t> _keyB;  // the batch's records of b for sumOverA()
  SortedTimes _histA;  // recent records of a (and of b when a == b)
  SortedTimes _histB;  // recent records of b, for records of a that come after them
  int64_t _nA = 0, _nB = 0;
};

#endif
