// The simulated chain: which devices discovery reports, how they behave and which faults they
// inject. Read from RAVIK_SIM_* environment variables at every discovery (listed in the README).
//
// A bad value never stops the library: it is reported on standard error and the setting falls
// back to its default as a whole. A replay that cannot be done is no bad value but a failure of
// the discovery (Scenario::replayError): replaying something else would record wrong data.
#ifndef RAVIK_KORBALT_SCENARIO_H
#define RAVIK_KORBALT_SCENARIO_H

#include <stdint.h>

#include <string>
#include <vector>

namespace korbalt {

constexpr int32_t kInputChannels = 5;
// Longest serial number, so that it fits the file header with its terminating zero.
constexpr size_t kMaxSerialLength = 23;
constexpr int32_t kMaxDevices = 32;

struct DeviceSetup {
  int32_t member;      // position in the scenario's own device list, which seeds the device
  std::string serial;
  int32_t chainPos;
  int32_t features;    // KorbaltFeature bits
  double rates[kInputChannels];  // events per second of input channels 0..4
  std::string replay;  // raw stream file it streams instead of generated events; empty: none
  uint32_t markers = 0;  // enabled markers at discovery (those its replayed run recorded with)
};

// A parameter call that fails with KORBALT_NO_ACK.
struct ParamFault {
  std::string call;    // the function name, e.g. "TDC_enableChannels"
  int32_t index;       // the library index it fails for; -1 for every device
};

struct Scenario {
  std::vector<DeviceSetup> devices;  // in discovery order: entry i has library index i
  uint64_t seed = 1;
  double pairRate = 20000;          // correlated pairs per second, across the chain
  int64_t pairDelayPs = 2500;       // the second event of a pair comes this much later
  // ... and, when not 0, an exponential time of this mean later still (a fluorescence decay)
  int64_t pairLifetimePs = 0;
  int64_t jitterPs = 10;            // standard deviation of every event's timing jitter
  bool maxRate = false;             // produce as fast as the receiver takes the data
  int32_t fifoWords = 1 << 20;      // device buffer; more backlog than this is lost
  int32_t blockWords = 8192;        // largest block handed to the callback
  int32_t calibrationMs = 1000;
  int32_t registerDelayMs = 0;      // UL_setEventCallback returns this long after the data flow
  bool failDiscover = false;
  uint32_t failInfo = 0;            // bit i: TDC_getDeviceInfo fails for library index i
  uint32_t failConnect = 0;
  uint32_t dataLoss = 0;            // bit i: the device loses data now and then by itself
  uint32_t replayLoss = 0;          // bit i: its replay raises the loss flag at each restart
  uint32_t badClock = 0;
  std::vector<ParamFault> failParams;
  // Why the replay asked for cannot be done (a file missing or no raw stream, files out of chain
  // order, a run folder without a readable manifest); discovery then fails with it. Empty: none.
  std::string replayError;

  bool paramFails(const char* call, int32_t index) const;
};

// Looks a variable up by name; null when it is not set.
typedef const char* (*EnvLookup)(const char* name);

// Builds the scenario from the variables; `env` is getenv outside the tests.
Scenario readScenario(EnvLookup env);

}  // namespace korbalt

#endif
