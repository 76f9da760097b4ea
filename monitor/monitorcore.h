// The live monitor: decodes every tapped block of every device with codec instances of its own,
// keeps each output channel's events of the last second as a rate, and feeds the events of two
// chosen output channels, across devices and in time order on the chain's common time axis,
// to a correlation histogram.
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
#include "monitor/tapqueue.h"

struct Tdc56Instance;
struct PpTimest;

// Per device: 6 input channels (0..5), then the 9 markers 100..104 and 200..203.
constexpr int32_t kMonitorChannels = 15;
// Rates count the events of the last kRateSlices slices of kSlicePs of stream time.
constexpr int64_t kSlicePs = 100000000000;  // 100 ms
constexpr int32_t kRateSlices = 10;

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

  // Any thread. New settings (checked with correlationError()) start a new, empty histogram.
  void setCorrelation(const CorrelationSettings& settings);
  void resetHistogram();
  MonitorSnapshot snapshot() const;

private:
  struct Device;
  // Moves the device's decoder past words it does not decode.
  void skip(Device& dev, const TapGap& gap);
  void decodeBlock(Device& dev, const uint32_t* words, int32_t count);
  void countStamps(Device& dev, const PpTimest* stamps, int32_t n);
  void closeSlices(Device& dev, int64_t time);
  void selectChannels();
  // Passes held-back events up to `bound` to the correlator, merged in time order.
  void release(int64_t bound);
  int64_t releaseBound() const;

  std::vector<std::unique_ptr<Device>> _devices;
  std::unique_ptr<PpTimest[]> _stamps;  // one decoded piece
  Correlator _correlator;
  bool _gapSinceReset = false;
  mutable std::mutex _lock;  // everything but the taps
};

#endif
