// One simulated device: identity, connection, acquisition parameters, calibration, clock and
// data-loss state. The library's lock guards every member except the loss flag, which the
// delivery thread raises.
#ifndef RAVIK_KORBALT_SIMDEVICE_H
#define RAVIK_KORBALT_SIMDEVICE_H

#include <stdint.h>

#include <atomic>
#include <map>
#include <utility>
#include <vector>

#include "device/korbalt.h"
#include "korbalt/scenario.h"
#include "korbalt/sources.h"

namespace korbalt {

// Filter channels are 1..5, where 5 stands for input 0.
constexpr int32_t kFilterChannels = 6;

// Values as the setters received them; the getters hand them back unchanged.
struct DeviceParams {
  int32_t channelMask = 0x1F;
  bool singleStop = false;
  int32_t selftest[4] = {};  // mask, period, burst count, burst distance
  int32_t coincWindowPs = 0;
  int32_t divider = 1;
  bool reconstruct = false;
  int32_t type[kInputChannels] = {1, 1, 1, 1, 1};
  int32_t edge[kInputChannels] = {1, 1, 1, 1, 1};
  double threshold[kInputChannels] = {1.5, 1.5, 1.5, 1.5, 1.5};
  int32_t deadTimePs[kInputChannels] = {};
  int32_t delayPs[KORBALT_DELAY_COUNT] = {};
  int32_t filterType[kFilterChannels] = {};
  int32_t filterMask[kFilterChannels] = {};
  uint32_t markers = 0;
  bool fiveChannel = false;
  std::map<std::pair<int32_t, int32_t>, int32_t> numbered;  // UL_setParameter values
};

class SimDevice {
public:
  // Holds the replay file, if any, under an exclusive advisory lock until the device is
  // forgotten, as a recording holds its raw files: no output of Ravik replaces it. (Where
  // another program holds it already, it is replayed without.)
  SimDevice(const DeviceSetup& setup, uint32_t index, const Scenario& scenario);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  const DeviceSetup& setup() const { return _setup; }
  uint32_t index() const { return _index; }
  bool connected() const { return _connected; }
  void setConnected(bool on) { _connected = on; }
  DeviceParams& params() { return _params; }
  const DeviceParams& params() const { return _params; }

  // Whether input channel c (0..4) exists on this device.
  bool hasChannel(int32_t c) const;
  bool hasFeature(int32_t feature) const { return (_setup.features & feature) != 0; }
  // What the parameters make of the stream.
  StreamConfig streamConfig() const;

  void startCalibration(int64_t nowMs) { _calibrationEndMs = nowMs + _calibrationMs; }
  bool calibrating(int64_t nowMs) const { return nowMs < _calibrationEndMs; }
  void clockState(int32_t* input, int32_t* output) const;

  // Raised by the delivery thread; a query returns and clears it.
  void raiseDataLost() { _dataLost.store(true, std::memory_order_relaxed); }
  bool takeDataLost() { return _dataLost.exchange(false, std::memory_order_relaxed); }

  // Items the delivery thread packed for this device, kept for tests while a limit is set.
  std::vector<SimEvent>& record() { return _record; }
  size_t recordLimit() const { return _recordLimit; }
  void setRecordLimit(size_t limit) { _recordLimit = limit; }
  // Events delivered since discovery; written by the delivery thread.
  std::atomic<uint64_t>& delivered() { return _delivered; }

private:
  DeviceSetup _setup;
  uint32_t _index;
  int32_t _calibrationMs;
  bool _badClock;
  bool _connected = false;
  DeviceParams _params;
  int64_t _calibrationEndMs = 0;
  std::atomic<bool> _dataLost{false};
  std::vector<SimEvent> _record;
  size_t _recordLimit = 0;
  std::atomic<uint64_t> _delivered{0};
  int _replayLock = -1;  // descriptor of the replay file, holding its lock
};

}  // namespace korbalt

#endif
