#include "merge/channelmap.h"

#include <map>
#include <set>

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

// "a", "a and b", "a, b and c"
std::string listText(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i)
    text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
  return text;
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

std::string markerClash(const std::vector<NamedChannels>& devices) {
  std::vector<ChainChannels> chain;
  std::vector<std::string> names;
  for (const NamedChannels& d : devices) {
    chain.push_back(d.channels);
    names.push_back(d.role + " " + d.serial);
  }
  std::vector<ChannelOverlap> clashes;
  for (const ChannelOverlap& o : channelOverlaps(chain))
    if (o.channelA >= 100 || o.channelB >= 100) clashes.push_back(o);
  if (clashes.empty()) return std::string();
  std::set<int32_t> positions;
  std::set<size_t> marked;  // the devices whose markers take part, in chain order
  for (const ChannelOverlap& o : clashes) {
    positions.insert({devices[o.a].channels.chainPos, devices[o.b].channels.chainPos});
    if (o.channelA >= 100) marked.insert(o.a);
    if (o.channelB >= 100) marked.insert(o.b);
  }
  std::vector<std::string> positionList, serials;
  for (int32_t p : positions) positionList.push_back(std::to_string(p));
  for (size_t i : marked) serials.push_back(devices[i].serial);
  const size_t more = clashes.size() - 1;
  return "chain positions " + listText(positionList) + " would share output " +
         overlapText(clashes.front(), names) +
         (more == 0 ? "" : " and " + std::to_string(more) + " more output channel" +
                               (more == 1 ? "" : "s")) +
         "; disable the markers of " + listText(serials) + " or use chain positions below 20";
}
