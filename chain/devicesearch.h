// Finding, connecting and ordering the devices without a window: the window's search with its
// rules and report texts, where every report is a line and the search goes on as after Ok.
#ifndef RAVIK_CHAIN_DEVICESEARCH_H
#define RAVIK_CHAIN_DEVICESEARCH_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "chain/devicecore.h"

// One connected device.
struct FoundDevice {
  uint32_t index = 0;  // library device index
  int32_t id = 0;
  std::string serial;
  DeviceLink link;
};

struct SearchResult {
  std::vector<FoundDevice> chain;  // the devices placed in the chain, master first
  std::vector<uint32_t> connected; // library indexes of every device left connected
};

// Reports one message (the text of the window's box).
using Report = std::function<void(const std::string& message)>;

// Discovers the devices (simulated ones too when `allowSim`), connects each and places the
// connected ones in chain order; gives every capable placed device the master's five-channel
// mode. Failed discovery, device information or connect, devices without a chain position, and
// duplicate or missing chain positions are reported and skipped over. No event callback is registered afterwards.
SearchResult searchDevices(bool allowSim, const Report& report);

// Disconnects the devices of the search.
void disconnectDevices(const SearchResult& result);

// The role the window shows for a chain position: "Master", "Slave <position>", or empty outside
// the chain.
std::string roleText(int32_t chainPos);

#endif
