#include "chain/devicesearch.h"

#include "chain/devicecore.h"
#include "device/korbalt.h"
#include "chain/recordcore.h"

namespace {

// Connects every discovered device, in discovery order; those that fail are reported and left.
std::vector<FoundDevice> connectAll(uint32_t count, const Report& report,
                                    std::vector<uint32_t>* connected) {
  // No callback may run while the devices are set up.
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  std::vector<FoundDevice> found;
  for (uint32_t index = 0; index < count; ++index) {
    FoundDevice dev;
    dev.index = index;
    int32_t type = 0, unused = 0;
    char serial[KORBALT_SERIAL_SIZE];
    serial[0] = '\0';
    int32_t rc = TDC_getDeviceInfo(index, &type, &dev.id, serial, &unused);
    if (rc != 0) {
      report(rcMessage(rc, "TDC_getDeviceInfo"));
      continue;
    }
    dev.serial = serial;
    rc = connectDevice(index, &dev.link);
    if (dev.link.connected) connected->push_back(index);
    if (rc != 0) {
      report(rcMessage(rc, connectOperation(index, count)));
      continue;
    }
    found.push_back(dev);
  }
  return found;
}

// The master's five-channel mode, as the window reads it into the master's dialog: off unless
// the master has the feature and it is on.
bool masterFiveChannel(const std::vector<FoundDevice>& found) {
  bool on = false;
  for (const FoundDevice& dev : found) {
    if (dev.link.chainPos != 0) continue;
    int32_t mode = 0;
    const bool capable = hasFiveChannel(dev.link.features);
    on = capable && TDC_addressDevice(dev.index) == 0 && TDC_getFiveChannelMode(&mode) == 0 &&
         mode != 0;
  }
  return on;
}

std::vector<FoundDevice> placeInChain(const std::vector<FoundDevice>& found,
                                      const Report& report) {
  std::vector<int32_t> positions;
  for (const FoundDevice& dev : found) {
    positions.push_back(dev.link.chainPos);
    if (dev.link.chainPos < 0) report(noPositionMessage(dev.serial, dev.link.chainPos));
  }
  const bool fiveChannel = masterFiveChannel(found);
  std::vector<FoundDevice> chain;
  for (const ChainStep& step : chainOrder(positions)) {
    if (step.kind != ChainStep::Place) {
      report(chainMessage(step));
      continue;
    }
    const FoundDevice& dev = found[size_t(step.device)];
    chain.push_back(dev);
    followChainFiveChannel(dev.index, dev.link.features, fiveChannel);
  }
  return chain;
}

}  // namespace

SearchResult searchDevices(bool allowSim, const Report& report) {
  SearchResult result;
  uint32_t count = 0;
  baseAllowFindSimDevice(allowSim);
  const int32_t rc = TDC_discover(&count);
  if (rc != 0) {
    report(rcMessage(rc, "TDC_discover"));
    return result;
  }
  const std::vector<FoundDevice> found = connectAll(count, report, &result.connected);
  if (!found.empty()) result.chain = placeInChain(found, report);
  return result;
}

void disconnectDevices(const SearchResult& result) {
  for (uint32_t index : result.connected) TDC_disconnect(index);
}

std::string roleText(int32_t chainPos) {
  if (chainPos == 0) return "Master";
  return chainPos > 0 ? "Slave " + std::to_string(chainPos) : std::string();
}
