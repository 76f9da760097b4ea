// One recorded device as a Session takes it: plain facts, whichever face recorded it (the
// window builds them from its device rows, ravik-record and the Python package from their
// Recording). From them come the run manifest's and the run report's device entries and the
// output channels the chain filled. No Qt.
#ifndef RAVIK_CHAIN_SESSIONDEVICE_H
#define RAVIK_CHAIN_SESSIONDEVICE_H

#include <stdint.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "chain/deviceparams.h"
#include "chain/recordcore.h"
#include "merge/channelmap.h"
#include "report/runmanifest.h"
#include "report/runreport.h"

struct SessionDevice {
  std::string serial;
  uint32_t index = 0;      // library index
  int32_t chainPos = 0;    // 0 master, 1.. slaves
  uint32_t features = 0;   // feature mask
  uint32_t markers = 0;    // enabled-marker mask, bits 0..8
  bool fiveChannel = false;  // recorded with the chain's five-channel mode on
  std::string rawName;     // its raw (temp) file
  // How far the raw file was written, while it grows; and what the recording noted of losses,
  // write failures and the clock. Both owned by the face's device, which outlives the session.
  const std::atomic<int64_t>* written = nullptr;
  const LossLog* log = nullptr;
  std::optional<DeviceParams> params;  // the parameters it recorded with; none: not known
};

// The run manifest's entries of `devices` (in chain order).
std::vector<ManifestDevice> manifestDevices(const std::vector<SessionDevice>& devices);
// The run report's entries of `devices`, before the merge's facts (reportMerge()).
std::vector<ReportDevice> reportDevices(const std::vector<SessionDevice>& devices);
// The output channels the devices fill: four or five inputs each, as its mode and features
// give, and its enabled markers.
std::vector<ChainChannels> chainChannels(const std::vector<SessionDevice>& devices);
// The output channels that two of `devices` filled, for the run report.
std::vector<ReportOverlap> reportOverlaps(const std::vector<SessionDevice>& devices);

#endif
