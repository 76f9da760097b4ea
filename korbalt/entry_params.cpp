// Entry points: the acquisition parameters. The device keeps each value as given and hands it
// back unchanged; only values the hardware could not hold are refused.
#include <math.h>

#include <algorithm>

#include "device/korbalt.h"
#include "korbalt/entry.h"

using korbalt::DeviceParams;
using korbalt::SimDevice;
using korbalt::kFilterChannels;
using korbalt::kInputChannels;
using korbalt::onAddressed;
using korbalt::onIndexed;
using korbalt::put;

namespace {

constexpr int32_t kAllChannelBits = 0x3F;  // inputs 0..4 and the start input
constexpr int32_t kAllMarkerBits = 0x1FF;
constexpr double kMaxThreshold = 3.0;
constexpr int32_t kInputTypeParameter = 960;
constexpr int32_t kSessionParameter = 699;

bool isInput(int32_t channel) { return channel >= 0 && channel < kInputChannels; }
bool isFilterChannel(int32_t channel) { return channel >= 1 && channel < kFilterChannels; }

}  // namespace

extern "C" {

int32_t TDC_enableChannels(int32_t mask) {
  if ((mask & ~kAllChannelBits) != 0) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__, [&](SimDevice& d) {
    d.params().channelMask = mask;
    return KORBALT_OK;
  });
}

int32_t TDC_getChannelsEnabled(int32_t* mask) {
  return onAddressed(__func__, [&](SimDevice& d) { return put(mask, d.params().channelMask); });
}

int32_t TDC_preselectSingleStop(bool on) {
  return onAddressed(__func__, [&](SimDevice& d) {
    d.params().singleStop = on;
    return KORBALT_OK;
  });
}

int32_t TDC_getSingleStopPreselection(int32_t* on) {
  return onAddressed(__func__, [&](SimDevice& d) { return put(on, d.params().singleStop); });
}

int32_t TDC_configureSelftest(int32_t mask, int32_t period, int32_t count, int32_t distance) {
  if ((mask & ~kAllChannelBits) != 0 || period < 0 || count < 0 || distance < 0) {
    return KORBALT_BAD_ARGUMENT;
  }
  return onAddressed(__func__, [&](SimDevice& d) {
    const int32_t values[4] = {mask, period, count, distance};
    std::copy(values, values + 4, d.params().selftest);
    return KORBALT_OK;
  });
}

int32_t TDC_setCoincidenceWindow(int32_t ps) {
  if (ps < 0) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__, [&](SimDevice& d) {
    d.params().coincWindowPs = ps;
    return KORBALT_OK;
  });
}

int32_t TDC_getDeviceParams(int32_t* coincWindow, int32_t* channelMask) {
  return onAddressed(__func__, [&](SimDevice& d) {
    if (channelMask != nullptr) *channelMask = d.params().channelMask;
    return put(coincWindow, d.params().coincWindowPs);
  });
}

int32_t TDC_configureSyncDivider(int32_t divider, bool reconstruct) {
  return onAddressed(__func__, [&](SimDevice& d) {
    d.params().divider = divider;
    d.params().reconstruct = reconstruct;
    return KORBALT_OK;
  });
}

int32_t TDC_getSyncDivider(int32_t* divider, int32_t* reconstruct) {
  return onAddressed(__func__, [&](SimDevice& d) {
    if (divider == nullptr) return KORBALT_BAD_ARGUMENT;
    *divider = d.params().divider;
    return put(reconstruct, d.params().reconstruct);
  });
}

int32_t TDC_configureSignalConditioning(int32_t channel, int32_t type, int32_t edge,
                                        double threshold) {
  if (!isInput(channel) || type < 1 || type > 3 || edge < 0 || edge > 1 ||
      !(fabs(threshold) <= kMaxThreshold)) {
    return KORBALT_BAD_ARGUMENT;
  }
  return onAddressed(__func__, [&](SimDevice& d) {
    DeviceParams& p = d.params();
    p.type[channel] = type;
    p.edge[channel] = edge;
    p.threshold[channel] = threshold;
    return KORBALT_OK;
  });
}

int32_t TDC_getSignalConditioning(int32_t channel, int32_t* edge, double* threshold) {
  if (!isInput(channel)) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__, [&](SimDevice& d) {
    if (edge == nullptr) return KORBALT_BAD_ARGUMENT;
    *edge = d.params().edge[channel];
    return put(threshold, d.params().threshold[channel]);
  });
}

int32_t TDC_setDeadTime(int32_t channel, int32_t ps) {
  if (!isInput(channel) || ps < 0) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__, [&](SimDevice& d) {
    d.params().deadTimePs[channel] = ps;
    return KORBALT_OK;
  });
}

int32_t TDC_getDeadTime(int32_t channel, int32_t* ps) {
  if (!isInput(channel)) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__,
                     [&](SimDevice& d) { return put(ps, d.params().deadTimePs[channel]); });
}

int32_t TDC_setChannelDelays(const int32_t* delays) {
  if (delays == nullptr) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__, [&](SimDevice& d) {
    std::copy(delays, delays + KORBALT_DELAY_COUNT, d.params().delayPs);
    return KORBALT_OK;
  });
}

int32_t TDC_getChannelDelays(int32_t* delays) {
  if (delays == nullptr) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__, [&](SimDevice& d) {
    std::copy(d.params().delayPs, d.params().delayPs + KORBALT_DELAY_COUNT, delays);
    return KORBALT_OK;
  });
}

int32_t TDC_configureFilter(int32_t channel, int32_t type, int32_t mask) {
  if (!isFilterChannel(channel) || type < 0 || type > 3 || (mask & ~0x3E) != 0) {
    return KORBALT_BAD_ARGUMENT;
  }
  return onAddressed(__func__, [&](SimDevice& d) {
    if (!d.hasFeature(KORBALT_FEATURE_FILTERS)) return KORBALT_NOT_SUPPORTED;
    d.params().filterType[channel] = type;
    d.params().filterMask[channel] = mask;
    return KORBALT_OK;
  });
}

int32_t TDC_getFilter(int32_t channel, int32_t* type, int32_t* mask) {
  if (!isFilterChannel(channel)) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__, [&](SimDevice& d) {
    if (type == nullptr) return KORBALT_BAD_ARGUMENT;
    *type = d.params().filterType[channel];
    return put(mask, d.params().filterMask[channel]);
  });
}

int32_t TDC_enableMarkers(uint32_t mask) {
  if ((mask & ~kAllMarkerBits) != 0) return KORBALT_BAD_ARGUMENT;
  return onAddressed(__func__, [&](SimDevice& d) {
    if (mask != 0 && !d.hasFeature(KORBALT_FEATURE_MARKERS)) return KORBALT_NOT_SUPPORTED;
    d.params().markers = mask;
    return KORBALT_OK;
  });
}

int32_t TDC_getMarkersEnabled(uint32_t* mask) {
  return onAddressed(__func__, [&](SimDevice& d) { return put(mask, d.params().markers); });
}

int32_t TDC_setFiveChannelMode(bool on) {
  return onAddressed(__func__, [&](SimDevice& d) {
    if (!d.hasFeature(KORBALT_FEATURE_FIVE_CHANNEL)) return KORBALT_NOT_SUPPORTED;
    d.params().fiveChannel = on;
    return KORBALT_OK;
  });
}

int32_t TDC_getFiveChannelMode(int32_t* on) {
  return onAddressed(__func__, [&](SimDevice& d) { return put(on, d.params().fiveChannel); });
}

int32_t UL_setParameter(uint32_t index, int32_t parameter, int32_t subIndex, int32_t value) {
  return onIndexed(__func__, index, [&](SimDevice& d) {
    if (parameter == kInputTypeParameter) {
      if (!isInput(subIndex) || value < 1 || value > 3) return KORBALT_BAD_ARGUMENT;
      d.params().type[subIndex] = value;
      return KORBALT_OK;
    }
    if (parameter == kSessionParameter && value == 1) d.takeDataLost();
    d.params().numbered[{parameter, subIndex}] = value;
    return KORBALT_OK;
  });
}

int32_t UL_inquireParameter(uint32_t index, int32_t parameter, int32_t subIndex, int32_t* value) {
  return onIndexed(__func__, index, [&](SimDevice& d) {
    if (parameter == kInputTypeParameter) {
      return isInput(subIndex) ? put(value, d.params().type[subIndex]) : KORBALT_BAD_ARGUMENT;
    }
    const auto it = d.params().numbered.find({parameter, subIndex});
    return it == d.params().numbered.end() ? KORBALT_UNKNOWN_PARAMETER : put(value, it->second);
  });
}

}  // extern "C"
