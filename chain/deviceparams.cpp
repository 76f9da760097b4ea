#include "chain/deviceparams.h"

#include <math.h>

#include "device/korbalt.h"

namespace {

// Bit 5 of the enable mask is channel 0 a second time: the start input used as channel 5.
constexpr int32_t kChannel5Bit = 1 << 5;
// The parameter that reports a channel's input type (1..3).
constexpr int32_t kParamInputType = 960;
constexpr int32_t kDividers[] = {1, 2, 4, 8};

// Whole units of a non-negative value. The dialog's values are decimal values that binary
// doubles cannot represent exactly (2.3 ns * 1000 is 2299.9999...), so a rounding error far
// below the controls' resolution must not cost a whole unit.
int32_t truncated(double value) { return int32_t(value + 1e-6); }

// Filter calls address channel 0 as 5.
int32_t filterChannel(int ch) { return ch == 0 ? 5 : ch; }

// The divider entry whose index is the lowest set bit of `divider` (1, 2, 4, 8 -> 0..3); no
// entry (0) when that bit is above 3 or none of bits 0..30 is set.
int32_t dividerEntry(int32_t divider) {
  for (int bit = 0; bit < 31; ++bit)
    if (divider & (1 << bit)) return bit < 4 ? kDividers[bit] : 0;
  return 0;
}

// A combo box entry index for a value read from the device; -1 (no entry) outside the list.
int32_t entry(int32_t index, int32_t entries) { return index >= 0 && index < entries ? index : -1; }

}  // namespace

int32_t psFromNs(double ns) { return truncated(ns * 1000); }

double controlValue(double value, const ParamRange& range) {
  const double scale = pow(10.0, range.decimals);
  const double rounded = round(value * scale) / scale;
  return rounded < range.min ? range.min : rounded > range.max ? range.max : rounded;
}

int32_t readDeviceParams(uint32_t index, uint32_t features, DeviceParams* p) {
  int32_t fiveCh = 0, singleStop = 0, reconstruct = 0, divider = 0, mask = 0, coincWin = 0;
  int32_t delays[8] = {0};
  int32_t rc = TDC_addressDevice(index);
  if (rc == 0 && (features & KORBALT_FEATURE_FIVE_CHANNEL)) rc = TDC_getFiveChannelMode(&fiveCh);
  if (rc == 0) rc = TDC_getChannelsEnabled(&mask);
  if (rc == 0) rc = TDC_getMarkersEnabled(&p->markers);
  if (rc == 0) rc = TDC_getSingleStopPreselection(&singleStop);
  if (rc == 0) rc = TDC_getDeviceParams(&coincWin, nullptr);
  if (rc == 0) rc = TDC_getChannelDelays(delays);
  if (rc == 0) rc = TDC_getSyncDivider(&divider, &reconstruct);

  p->singleStop = singleStop != 0;
  p->fiveChannel = fiveCh != 0;
  p->reconstruct = reconstruct != 0;
  p->divider = dividerEntry(divider);
  p->coincidenceWindowPs = coincWin;
  for (int ch = 0; ch < kParamChannels; ++ch) {
    ChannelParams& c = p->channel[ch];
    int32_t edge = 0, type = 0, filterType = 0, filterMask = 0, deadTime = 0;
    double threshold = 0;
    if (rc == 0) rc = TDC_getSignalConditioning(ch, &edge, &threshold);
    if (rc == 0) rc = TDC_getDeadTime(ch, &deadTime);
    if (rc == 0) rc = UL_inquireParameter(index, kParamInputType, ch, &type);
    c.enable = (mask >> ch) & 1;
    c.delayPs = delays[ch];
    c.deadTimePs = deadTime;
    c.type = entry(type - 1, 3);
    c.edge = entry(edge, 2);
    c.threshold = controlValue(threshold, kThresholdRange);
    TDC_getFilter(filterChannel(ch), &filterType, &filterMask);
    c.filter = entry(filterType, 4);
    c.filterChannels = uint32_t(filterMask >> 1) & 0x1F;
  }
  p->channel[0].enable = (mask & (1 | kChannel5Bit)) != 0;
  return rc;
}

namespace {

// The codes of a write sequence: the first failure of a call whose code counts stops the calls
// after it that depend on success; the dialog ignores the codes of the others. When `failedCall`
// is given every code counts, and the first failing call is named there.
class WriteSteps {
public:
  explicit WriteSteps(std::string* failedCall) : _failedCall(failedCall) {}
  bool ok() const { return _rc == 0; }
  int32_t rc() const { return _rc; }
  void must(const char* call, int32_t code) {
    if (_rc != 0 || code == 0) return;
    _rc = code;
    if (_failedCall != nullptr) *_failedCall = call;
  }
  void may(const char* call, int32_t code) {
    if (_failedCall != nullptr) must(call, code);
  }

private:
  std::string* _failedCall;
  int32_t _rc = 0;
};

}  // namespace

int32_t writeDeviceParams(uint32_t index, const DeviceParams& p, std::string* failedCall) {
  int32_t mask = 0;
  for (int ch = 0; ch < kParamChannels; ++ch)
    if (p.channel[ch].enable) mask |= 1 << ch;
  if (p.channel[0].enable) mask |= kChannel5Bit;
  const int32_t selftestMask = p.generate ? mask : 0;

  WriteSteps s(failedCall);
  s.must("TDC_addressDevice", TDC_addressDevice(index));
  if (s.ok()) s.must("TDC_enableChannels", TDC_enableChannels(mask));
  if (s.ok()) s.must("TDC_preselectSingleStop", TDC_preselectSingleStop(p.singleStop));
  if (s.ok())
    s.must("TDC_configureSelftest",
           TDC_configureSelftest(selftestMask, truncated(p.period / 5), truncated(p.burstCount),
                                 truncated(p.burstDistance * 50)));
  if (s.ok())
    s.must("TDC_setCoincidenceWindow", TDC_setCoincidenceWindow(p.coincidenceWindowPs));
  if (s.ok()) s.must("TDC_configureSyncDivider", TDC_configureSyncDivider(p.divider, p.reconstruct));
  int32_t delays[8] = {0};
  if (s.ok()) {
    for (int ch = 0; ch < kParamChannels; ++ch) {
      const ChannelParams& c = p.channel[ch];
      s.may("TDC_configureSignalConditioning",
            TDC_configureSignalConditioning(ch, c.type + 1, c.edge, c.threshold));
      s.may("TDC_setDeadTime", TDC_setDeadTime(ch, c.deadTimePs));
      delays[ch] = c.delayPs;
      s.may("TDC_configureFilter",
            TDC_configureFilter(filterChannel(ch), c.filter, int32_t(c.filterChannels << 1)));
    }
  }
  const bool beforeMarkers = s.ok();
  s.may("TDC_enableMarkers", TDC_enableMarkers(p.markers));
  if (beforeMarkers) s.must("TDC_setChannelDelays", TDC_setChannelDelays(delays));
  return s.rc();
}
