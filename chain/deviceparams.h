// A device's acquisition parameters as its parameter dialog holds them, and their reading from
// and writing to the device. No Qt: the dialog (RmtDev) and ravik-record --params share this, so
// both write with the same sequence and both report the same values.
//
// The signal delays, dead times and the coincidence window are the whole picoseconds the device
// takes and applies; the dialog shows them in ns (a delay in whole ns, see delayShownNs()). The
// other values are in the dialog's units and at its resolution: the self test's times in ns (µs
// for the burst distance), thresholds in V, two decimals, within the ranges of the dialog's
// controls; a combo box is its entry index, -1 for no entry.
#ifndef RAVIK_CHAIN_DEVICEPARAMS_H
#define RAVIK_CHAIN_DEVICEPARAMS_H

#include <stdint.h>

#include <string>

constexpr int kParamChannels = 5;  // the dialog's channel rows 0..4
constexpr int kParamMarkers = 9;   // marker k is bit k of the marker mask

struct ChannelParams {
  bool enable = false;
  int32_t type = 0;             // 0 LVTTL, 1 NIM, 2 Misc
  int32_t edge = 0;             // trigger: 0 Falling Edge, 1 Rising Edge
  double threshold = 2;         // V
  int32_t delayPs = 0;          // signal delay
  int32_t deadTimePs = 0;
  int32_t filter = 0;           // 0 None, 1 Mute, 2 Coinc, 3 Sync
  uint32_t filterChannels = 0;  // bit j: filter box j (channel j), j = 0..4
};

struct DeviceParams {
  ChannelParams channel[kParamChannels];
  uint32_t markers = 0;          // enabled-marker mask, bits 0..8
  int32_t divider = 1;           // start divider 1, 2, 4 or 8; 0: no entry
  bool reconstruct = false;
  bool fiveChannel = false;      // shared by the chain: not written by writeDeviceParams()
  int32_t coincidenceWindowPs = 0;
  bool singleStop = false;
  // The self test; the device cannot report it, so reading leaves these alone.
  bool generate = false;
  double period = 40;            // ns
  double burstCount = 1;         // whole number
  double burstDistance = 1;      // µs
};

// The range and resolution of a control holding a parameter.
struct ParamRange {
  double min, max;
  int decimals;
};
constexpr ParamRange kThresholdRange{-3, 3, 2};
constexpr ParamRange kDelayRange{0, 2000, 2};
constexpr ParamRange kDeadTimeRange{0, 2000000, 2};
constexpr ParamRange kCoincidenceRange{0, 2000000, 2};
constexpr ParamRange kPeriodRange{40, 1200, 2};
constexpr ParamRange kBurstCountRange{1, 65000, 0};
constexpr ParamRange kBurstDistanceRange{0.1, 800, 2};

// `value` as the control shows it: within the range, rounded to its decimals.
double controlValue(double value, const ParamRange& range);

// A time in ns (a control's value, a parameter file's) as the whole ps the device takes,
// truncated; ns from ps exactly.
int32_t psFromNs(double ns);
inline double nsFromPs(int32_t ps) { return ps / 1000.0; }
// A signal delay as the dialog shows it: whole ns, the division truncating.
inline double delayShownNs(int32_t ps) { return double(ps / 1000); }

// Reads the parameters of device `index` (feature mask `features`) into *params, with the
// dialog's order of calls: after the first failing call no further value is read (those not read
// show 0, an input type of 0 no entry), except the filters, which are read whatever happened.
// Markers not read keep their value in *params; the self test is left alone. Returns the first
// non-zero code, or 0.
int32_t readDeviceParams(uint32_t index, uint32_t features, DeviceParams* params);

// Writes the parameters to device `index` with the dialog's Apply sequence: enable mask, single
// stop, self test, coincidence window and divider, stopping at the first failure; then, only
// after success, each channel's conditioning, dead time and filter; the markers always; the delays
// last, only after success. Returns the first non-zero code of the sequence, or 0. The five-channel
// mode is not written (see setFiveChannel()). With `failedCall` every call's code counts, those
// the dialog ignores too (a device that refuses its markers), and the first failing call is named
// there.
int32_t writeDeviceParams(uint32_t index, const DeviceParams& params,
                          std::string* failedCall = nullptr);

#endif
