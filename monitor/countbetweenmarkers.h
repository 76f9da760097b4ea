// A gated counter synchronised to the experiment: the records of one channel counted per step
// of a pixel clock, a scan line or a scan step. Fed and read like every Measurement
// (measurements.h), with the same exactness and thread rules.
#ifndef RAVIK_MONITOR_COUNTBETWEENMARKERS_H
#define RAVIK_MONITOR_COUNTBETWEENMARKERS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "monitor/measurements.h"
#include "monitor/sortedtimes.h"

// Counts of the records of `channel` per gate, nValues gates to a frame.
//
// - The gates: each record of `begin` opens one at its time. It closes at the next record of
//   `begin` (which opens the next gate at once), or, when an `end` channel is given (end >= 0),
//   at the first record of `end` after it, whichever comes first in merge order; records of
//   `end` while no gate is open close nothing. Gate i's time is [t(open), t(close)), empty when
//   the closing record's time is not above the opening one's.
// - What counts: every record of `channel` whose time lies in a gate, whatever its order of
//   arrival (so a record that came after a marker which it precedes in time counts in the gate
//   before, where it belongs); a record in the time between an end and the next begin counts
//   nowhere, nor one before the first begin. `channel` may be `begin` or `end` too: a record of
//   `begin` then counts in the gate it opens, one of `end` outside the gate it closes. A
//   record counts in every gate whose time holds it (gates overlap only where their records
//   step back).
// - Bins and frames: gate i counts in bin i mod nValues. Gate nValues goes to bin 0 again (a new
//   frame), the bin cleared as the gate opens: until then each bin shows its gate of the frame
//   before, as a scanned image shows the last frame beyond the pixel being scanned. The gate
//   still open shows the records so far.
// - The duration of each bin is that of its gate, t(close) - t(open) in ps (0 when empty); for
//   the gate still open, up to the latest record of the three channels so far. Bins not yet
//   reached since the clear hold 0 and 0.
// - A clear starts again at bin 0 with no gate open. stop() and start() leave the gate open
//   (records while stopped count nowhere); the next recording (newStream()) closes the open
//   gate at the latest record of its channels in the recording before.
class CountBetweenMarkers : public Measurement {
public:
  // Refuses negative channels (except end = -1: no end channel), end == begin, and nValues < 1
  // or above kMaxMeasurementBins.
  CountBetweenMarkers(int16_t channel, int16_t begin, int16_t end, int32_t nValues);

  int16_t channel() const { return _channel; }
  int16_t beginChannel() const { return _begin; }
  int16_t endChannel() const { return _end; }
  int32_t valueCount() const { return _nValues; }

  // Counts per bin, nValues of them.
  std::vector<int64_t> data() const;
  // Durations of the bins in ps.
  std::vector<int64_t> binWidthsPs() const;
  // nValues gates have closed since the clear: every bin holds a whole gate.
  bool frameComplete() const;

protected:
  void add(const TimeTag* tags, size_t count) override;
  void reset() override;
  void forgetPartners() override;

private:
  // A gate whose counts may still change: a record of `channel` still to come may fall in it.
  // A count of -1 is not yet final (the records before its time are not all in).
  struct Gate {
    uint64_t index;     // since the clear
    int64_t open, close;  // close: kOpen while the gate is open
    int64_t before, beforeClose;  // records of `channel` with time < open (< close)
  };
  static constexpr int64_t kOpen = INT64_MIN;

  Gate& gateAt(uint64_t i) { return _gates[size_t(i) & (_gates.size() - 1)]; }
  const Gate& gateAt(uint64_t i) const { return _gates[size_t(i) & (_gates.size() - 1)]; }
  void openGate(int64_t t);
  void closeGate(int64_t t);
  // Records of `channel` fed of this stream with time < x: final once the stream is past x by
  // kMaxStepBackPs.
  int64_t countBelow(int64_t x) const;
  // The count and duration of a pending gate, going by the records so far.
  int64_t countOf(const Gate& g) const;
  int64_t widthOf(const Gate& g) const;
  // Makes the counts below `future` final and moves the gates with both final into the bins.
  void settle(int64_t future);
  // The gate's bin has not yet gone to a gate of a later frame.
  bool ownsBin(const Gate& g) const { return g.index + uint64_t(_nValues) >= _nextIndex; }

  int16_t _channel, _begin, _end;
  int32_t _nValues;
  ChannelSieve _sieve;
  std::vector<int64_t> _counts, _widths;  // the gates that are settled, per bin
  std::vector<Gate> _gates;  // a ring, its size a power of two: the pending gates, oldest first
  uint64_t _first = 0, _last = 0;
  bool _isOpen = false;       // the newest pending gate is open
  uint64_t _nextIndex = 0;    // of the next gate to open
  uint64_t _closed = 0;       // gates closed since the clear
  SortedTimes _times;         // recent records of `channel`
  int64_t _fed = 0;           // records of `channel` of this stream
  int64_t _latest = INT64_MIN;  // latest record of the three channels of this stream
};

#endif
