// The live monitor: decodes every tapped block of every device with codec instances of its own,
// merges the devices' records on the chain's common time axis in the order the merge writes
// them, and feeds them to measurements: the rates of every channel (a time trace of the last
// second), the correlation histogram of two chosen channels and a time trace of those two, and
// any measurement added to measurements().
//
// The order is the merge's: the earliest record first, the earlier device in chain order on
// equal times, a marker at a device's head before the others. A device with nothing decoded yet
// holds the others back until its stream time has passed theirs; only a marker that such a quiet
// device decodes next may then come later than in the merged output (still in time order). A
// device that has sent nothing at all holds them back for 100 ms of stream time at most.
//
// Threads: the event callbacks push into tap(i); one monitor thread calls drain(); any thread
// may read a snapshot() or change the correlation. The callbacks never wait for the others.
#ifndef RAVIK_MONITOR_MONITORCORE_H
#define RAVIK_MONITOR_MONITORCORE_H

#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "monitor/correlator.h"
#include "monitor/measurements.h"
#include "monitor/rateslices.h"
#include "monitor/tapqueue.h"
#include "monitor/virtualchannels.h"

struct Tdc56Instance;
struct PpTimest;

// Per device: 6 input channels (0..5), then the 9 markers 100..104 and 200..203.
constexpr int32_t kMonitorChannels = 15;
// Rates count the events of the last kRateSlices slices of kSlicePs of stream time.
constexpr int64_t kSlicePs = 100000000000;  // 100 ms
constexpr int32_t kRateSlices = 10;
// The time trace of the correlated channels: the last 5 s in bins of 20 ms.
constexpr int64_t kTraceBinPs = 20000000000;
constexpr int32_t kTraceBins = 250;

// The output channel of a device's monitor channel `local` (0..14) at chain position `chainPos`.
int32_t outputChannel(int32_t chainPos, int32_t local);

struct MonitorDevice {
  int32_t chainPos;  // 0 master, 1.. slaves
  uint32_t markers;  // enabled-marker mask, bits 0..8
};

struct DeviceRates {
  double perSecond[kMonitorChannels] = {};
  int64_t fromPs = 0, toPs = 0;  // the stream time the rates cover; equal before a full slice
};

struct MonitorSnapshot {
  std::vector<DeviceRates> devices;  // in the order given to the constructor
  CorrelationSettings correlation;
  std::vector<uint64_t> histogram;  // bin i holds delays from -range + i x bin width
  double histogramSeconds = 0;      // stream time the histogram covers
  Peak peak;
  // Blocks were dropped within the rates' last second: the monitor is behind and shows
  // partial data. The recording itself has everything.
  bool behind = false;
  // Blocks or partners were dropped since the histogram's reset.
  bool histogramPartial = false;
  uint64_t droppedWords = 0;  // by the taps, all devices, since the start
  uint64_t skippedWords = 0;  // not decoded to catch up, all devices, since the start
  // Counts per kTraceBinPs of channel A ([0]) and B ([1]), oldest first, the newest bin the
  // one being filled; traceFromPs is the lower edge of the oldest.
  std::vector<std::vector<int64_t>> trace;
  int64_t traceFromPs = 0;
  // The recording has stopped (finish() ran): the figures are those at its end.
  bool finished = false;
};

class MonitorCore {
public:
  // `queueWords`: each device's tap room in 32-bit words.
  MonitorCore(const std::vector<MonitorDevice>& devices, uint32_t queueWords = 1u << 19);
  ~MonitorCore();
  MonitorCore(const MonitorCore&) = delete;
  MonitorCore& operator=(const MonitorCore&) = delete;

  // The tap of device i, for its event callback.
  TapQueue* tap(size_t i);

  // Monitor thread: decodes up to `maxEntries` queued entries; false when none was waiting.
  bool drain(int32_t maxEntries = 64);
  // After the last block: hands the histogram the events still held back for a device that
  // might have sent earlier ones.
  void finish();

  // Any thread. New settings (checked with correlationError()) start a new, empty histogram
  // and time trace.
  void setCorrelation(const CorrelationSettings& settings);
  // Clears the histogram and the time trace.
  void resetHistogram();
  MonitorSnapshot snapshot() const;

  // The measurements fed with every merged record; add and remove them at any time.
  MeasurementSet& measurements() { return _set; }

  // Before the first drain(): the measurements (the correlation's A and B too) see these
  // virtual channels' records besides the merged ones. Throws std::invalid_argument as
  // resolveVirtualChannels() does.
  void setVirtualChannels(std::vector<VirtualChannel> definitions);

private:
  struct Device;
  // Moves the device's decoder past words it does not decode; the measurements miss them.
  void skip(Device& dev, const TapGap& gap);
  void decodeBlock(Device& dev, const uint32_t* words, int32_t count);
  void holdStamps(Device& dev, const PpTimest* stamps, int32_t n);
  // Feeds the held records in merge order as far as every device's decoding allows, or all
  // of them when `all`.
  void release(bool all);
  // Index of the device whose head the merge writes next; -1 when none holds a record.
  int32_t nextDevice() const;
  // Whether a device with nothing held may still decode a record before `timePs`.
  bool heldBack(int64_t timePs) const;
  // The latest time up to which no device can still decode an earlier record than those held:
  // below every device's horizon (the wait of a device that has sent nothing included).
  int64_t settledTime() const;
  // Feeds the held records up to `limit` in merge order while every head is an ordinary
  // record: the earliest head first, the earlier device on equal times. Stops at a marker at
  // a head, which release() then takes by the exact rules.
  void mergeUpTo(int64_t limit);
  // mergeUpTo()'s loop over the cursors, for any number of devices.
  void mergeCursors();
  // The same for a chain of exactly `kDevices` devices, in registers; it may stop early at the
  // ring's end.
  template <size_t kDevices>
  void mergeFixed();
  // Feeds device k's head.
  void releaseHead(int32_t k);
  int64_t latestHorizon() const;
  void flush();
  // Feeds _withVirtual to _set.
  void feedWithVirtual();
  void lost();

  std::vector<std::unique_ptr<Device>> _devices;
  // mergeUpTo()'s view of each device: where it reads and its next time; kept here so that
  // no call allocates.
  struct Cursor;
  std::vector<Cursor> _cursors;
  std::vector<int64_t> _nextTimes;
  std::unique_ptr<PpTimest[]> _stamps;  // one decoded piece
  CorrelationSettings _settings;
  MeasurementSet _set;
  std::shared_ptr<Correlation> _histogram;  // in _set
  std::shared_ptr<TimeTrace> _trace;        // in _set: channels A and B
  // Every device's channels under monitor keys, device i's local channel c as 15 i + c, in
  // slices of kSlicePs; counted as the records go to _set.
  RateSlices _rates;
  int64_t _firstRatePs = INT64_MIN;  // time of the first record fed to _rates
  std::unique_ptr<TimeTag[]> _batch;  // records on their way to _set
  std::unique_ptr<VirtualChannels> _virtuals;  // null: none
  std::vector<TimeTag> _withVirtual;           // a batch and its virtual records
  size_t _batchSize = 0;
  bool _finished = false;
  mutable std::mutex _lock;  // everything but the taps
};

#endif
