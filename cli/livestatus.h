// What ravik-record shows about the devices on standard error: the live lines while it records
// and the devices' part of the summary.
#ifndef RAVIK_CLI_LIVESTATUS_H
#define RAVIK_CLI_LIVESTATUS_H

#include <stdint.h>
#include <stdio.h>

#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "chain/recording.h"
#include "chain/recordtime.h"

class FreeSpaceWatch;
class MonitorCore;
struct DeviceRates;
struct MonitorSnapshot;

class LiveStatus {
public:
  // `terminal`: `out` is a terminal, whose lines can be rewritten in place.
  LiveStatus(FILE* out, bool terminal) : _out(out), _terminal(terminal) {}

  // Shows the devices (just polled) after `seconds` of recording. On a terminal one line per
  // device, rewritten in place at every call; otherwise one line for all devices, written only
  // when a new whole second has begun. The rate is that since the previous line shown.
  void update(const Recording& recording, double seconds);

  // From now on every update also shows the live monitor's per-channel rates of each device
  // (`rates`) and the peak of its histogram (`peak`), and says when the monitor is behind. On a
  // terminal each takes lines of its own; otherwise they join the one line.
  void showMonitor(const MonitorCore* monitor, bool rates, bool peak);

  // From now on every update also shows the free space of the file system that fills first and
  // the time left until it reaches the margin (null: not shown).
  void showSpace(const FreeSpaceWatch* space) { _space = space; }

private:
  std::string deviceLine(const RecordedDevice& dev, double rate) const;
  std::string ratesText(const RecordedDevice& dev, const DeviceRates& rates) const;
  // The monitor's lines, or its parts of the one line.
  std::vector<std::string> monitorLines(const Recording& recording) const;

  const MonitorCore* _monitor = nullptr;  // not owned
  const FreeSpaceWatch* _space = nullptr;  // not owned
  bool _rates = false, _peak = false;

  FILE* _out;
  bool _terminal;
  int32_t _linesShown = 0;        // terminal lines to rewrite at the next update
  int64_t _lastSecond = 0;        // the last whole second shown (not on a terminal)
  double _lastSeconds = 0;        // time of the last line shown
  std::vector<uint64_t> _lastTotals;  // events of each device at the last line shown
};

// Per device: role, serial, library index, the devices' estimate of its events, and events/s;
// then the recording time with the records the merge wrote (`records`; -1: not merged) and
// their rate, also per processor-second, and the devices' estimate for the whole chain.
void printDeviceSummary(FILE* out, const Recording& recording, const RecordTime& time,
                        int64_t records);

// "A 1, B 6: peak at 2500 ps, height 27622, FWHM 10.0 ps, 6.63 k coincidences/s within 1 bin".
std::string peakText(const MonitorSnapshot& snapshot);

#endif
