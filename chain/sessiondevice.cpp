#include "chain/sessiondevice.h"

#include "chain/devicecore.h"
#include "chain/devicesearch.h"
#include "chain/paramsjson.h"

namespace {

// What the manifest's and the report's entry of a device have in common.
template <class Entry>
Entry deviceEntry(const SessionDevice& dev) {
  Entry d;
  d.serial = dev.serial;
  d.index = dev.index;
  d.chain = dev.chainPos;
  d.role = roleText(d.chain);
  if (dev.params) d.parameters = paramsToJson(*dev.params);
  return d;
}

}  // namespace

std::vector<ManifestDevice> manifestDevices(const std::vector<SessionDevice>& devices) {
  std::vector<ManifestDevice> entries;
  for (const SessionDevice& dev : devices) {
    ManifestDevice d = deviceEntry<ManifestDevice>(dev);
    d.markers = dev.markers;
    d.stream = dev.rawName.substr(dev.rawName.rfind('/') + 1);
    entries.push_back(d);
  }
  return entries;
}

std::vector<ReportDevice> reportDevices(const std::vector<SessionDevice>& devices) {
  std::vector<ReportDevice> entries;
  for (const SessionDevice& dev : devices) {
    ReportDevice d = deviceEntry<ReportDevice>(dev);
    d.stream = dev.rawName;
    d.clockOk = dev.log != nullptr && dev.log->clockBad() ? 0 : 1;
    entries.push_back(d);
  }
  return entries;
}

std::vector<ChainChannels> chainChannels(const std::vector<SessionDevice>& devices) {
  std::vector<ChainChannels> chain;
  for (const SessionDevice& dev : devices)
    chain.push_back({dev.chainPos, recordedInputs(dev.fiveChannel, dev.features), dev.markers});
  return chain;
}

std::vector<ReportOverlap> reportOverlaps(const std::vector<SessionDevice>& devices) {
  const std::vector<ChainChannels> chain = chainChannels(devices);
  std::vector<ReportOverlap> overlaps;
  for (const ChannelOverlap& o : channelOverlaps(chain))
    overlaps.push_back(
        {o.output, chain[o.a].chainPos, o.channelA, chain[o.b].chainPos, o.channelB});
  return overlaps;
}
