// Delay histograms from a start channel: to every record of several stop channels, stepped
// through a scan by a "next" channel (TimeDifferences), and the joint histogram of the delays to
// two stop channels (Histogram2D). Fed and read like every Measurement (measurements.h), with
// the same exactness and thread rules.
#ifndef RAVIK_MONITOR_TIMEDIFFERENCES_H
#define RAVIK_MONITOR_TIMEDIFFERENCES_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "monitor/measurements.h"

// Histograms of t(stop) - t(start) over every pair of a start record and a different record of
// a stop channel with 0 <= delay < nBins * binWidthPs, whatever their order in the stream; one
// histogram per stop channel, bin i holding i*binWidthPs <= delay < (i+1)*binWidthPs.
// With a `next` channel the pairs are spread over nHistograms histograms per stop channel, the
// rows of a scan: a pair goes to the row that was current when its start record came, and each
// record of `next` (before any other role of the same record) moves the current row on by one,
// from the last row back to the first. Without one (next < 0) there is one row.
class TimeDifferences : public Measurement {
public:
  TimeDifferences(int16_t start, std::vector<int16_t> stops, int64_t binWidthPs, int32_t nBins,
                  int16_t next = -1, int32_t nHistograms = 1);

  int16_t startChannel() const { return _start; }
  const std::vector<int16_t>& stopChannels() const { return _stops; }
  int16_t nextChannel() const { return _next; }
  int64_t binWidthPs() const { return _binWidth; }
  int32_t binCount() const { return _nBins; }
  int32_t histogramCount() const { return _nHistograms; }

  // [stop][row][bin], flat: (stop * histogramCount() + row) * binCount() + bin.
  std::vector<int64_t> data() const;
  // The row that the next start record goes to (0 after a clear).
  int32_t currentHistogram() const;

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  int64_t countedLocked() const override;
  void forgetPartners() override;

private:
  int16_t _start;
  std::vector<int16_t> _stops;
  int16_t _next;
  int64_t _binWidth;
  BinOf _binOf;
  int32_t _nBins, _nHistograms;
  ChannelSieve _sieve;
  std::vector<int16_t> _stopSlot;  // channel -> index in _stops + 1, 0: not a stop
  std::vector<int64_t> _counts;
  TimeHistory _starts{true};          // recent starts, marked with their row
  std::vector<TimeHistory> _stopHistory;  // per stop: recent records, for starts that come later
  int32_t _row = 0;
};

// The joint histogram of (t(stop1) - t(start), t(stop2) - t(start)), where stop1 (stop2) is
// the first record of its channel after the start record in merge order (after it, not at it,
// when it is the start's channel): bin (i, j) holds i*binWidth1Ps <= d1 < (i+1)*binWidth1Ps and
// j*binWidth2Ps <= d2 < (j+1)*binWidth2Ps. A start counts once both of its stops have come, and
// only when both delays fall in range; several starts before one stop all end at that stop.
class Histogram2D : public Measurement {
public:
  Histogram2D(int16_t start, int16_t stop1, int16_t stop2, int64_t binWidth1Ps, int32_t nBins1,
              int64_t binWidth2Ps, int32_t nBins2);

  int16_t startChannel() const { return _start; }
  int16_t stop1Channel() const { return _stop1; }
  int16_t stop2Channel() const { return _stop2; }
  int64_t binWidth1Ps() const { return _width1; }
  int64_t binWidth2Ps() const { return _width2; }
  int32_t binCount1() const { return _n1; }
  int32_t binCount2() const { return _n2; }

  // [i][j], flat: i * binCount2() + j.
  std::vector<int64_t> data() const;

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  int64_t countedLocked() const override;
  void forgetPartners() override;

private:
  // A start waiting for one or both of its stops; a delay of INT64_MIN has not come yet.
  struct Pending {
    int64_t start, d1, d2;
  };
  Pending& pendingAt(uint64_t i) { return _ring[i & (_ring.size() - 1)]; }
  bool pushPending(int64_t t);
  // Counts and drops the oldest starts while both of their delays are known.
  void countComplete();

  int16_t _start, _stop1, _stop2;
  int64_t _width1, _width2;
  BinOf _binOf1, _binOf2;
  int32_t _n1, _n2;
  ChannelSieve _sieve;
  std::vector<int64_t> _counts;
  std::vector<Pending> _ring;  // a ring, its size a power of two
  uint64_t _begin = 0, _end = 0;
  // The first pending start still without its stop1 (stop2): those after it have none either.
  uint64_t _waiting1 = 0, _waiting2 = 0;
};

#endif
