#include "merge/channelmap.h"

#include <map>

namespace {

// The device's own channel numbers: inputs 0..5, markers 100..104 and 200..203.
std::vector<int32_t> deviceChannels(const ChainChannels& d) {
  std::vector<int32_t> channels;
  for (int32_t c = 0; c < 6; ++c)
    if (d.inputs & (1u << c)) channels.push_back(c);
  for (int32_t k = 0; k < 9; ++k)
    if (d.markers & (1u << k)) channels.push_back(k < 5 ? 100 + k : 200 + k - 5);
  return channels;
}

std::string channelName(int32_t channel) {
  return channel < 100 ? "input " + std::to_string(channel) : "marker " + std::to_string(channel);
}

}  // namespace

std::vector<ChannelOverlap> channelOverlaps(const std::vector<ChainChannels>& devices,
                                            bool markersOnly) {
  struct Filler {
    size_t device;
    int32_t channel;
  };
  std::map<int32_t, Filler> first;  // output channel -> its first filler
  std::map<int32_t, ChannelOverlap> overlaps;
  for (size_t i = 0; i < devices.size(); ++i) {
    for (int32_t c : deviceChannels(devices[i])) {
      // The merge's renumbering: in 32 bits, stored as a signed 16-bit number.
      const int32_t output = int16_t(5 * devices[i].chainPos + c);
      const auto taken = first.emplace(output, Filler{i, c});
      if (taken.second) continue;
      const Filler& other = taken.first->second;
      if (devices[other.device].chainPos == devices[i].chainPos) continue;
      if (markersOnly && other.channel < 100 && c < 100) continue;
      overlaps.emplace(output, ChannelOverlap{output, other.device, i, other.channel, c});
    }
  }
  std::vector<ChannelOverlap> list;
  for (const auto& o : overlaps) list.push_back(o.second);
  return list;
}

bool chainHasChannel(const std::vector<ChainChannels>& devices, int32_t output) {
  for (const ChainChannels& d : devices)
    for (int32_t c : deviceChannels(d))
      if (int16_t(5 * d.chainPos + c) == output) return true;
  return false;
}

std::string overlapText(const ChannelOverlap& o, const std::vector<std::string>& names) {
  return "channel " + std::to_string(o.output) + " (" + names[o.a] + " " +
         channelName(o.channelA) + ", " + names[o.b] + " " + channelName(o.channelB) + ")";
}
