#include "chain/recording.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "chain/devicecore.h"
#include "device/korbalt.h"
#include "chain/recordcore.h"
#include "chain/paramsjson.h"
#include "merge/inputfile.h"
#include "monitor/monitorcore.h"
#include "report/runmanifest.h"
#include "report/runreport.h"

std::vector<RecordedDevice*> Recording::_registry;

Recording::Recording(const std::vector<FoundDevice>& chain) {
  for (const FoundDevice& found : chain) {
    _devices.emplace_back(new RecordedDevice);
    _devices.back()->device = found;
  }
}

Recording::~Recording() {
  if (_running) stop();
}

int32_t Recording::startDevice(RecordedDevice* dev, const std::string& dir) {
  dev->events.store(0, std::memory_order_relaxed);
  dev->write.reset();
  const std::string name = tempFileName(dir, dev->device.index);
  const int32_t rc =
      startDeviceRecording(dev->device.index, applyParams(dev), name, &dev->file);
  if (rc != 0) return rc;
  dev->rawName = name;
  dev->log.start(name);
  if (_registry.size() <= dev->device.index) _registry.resize(dev->device.index + 1, nullptr);
  _registry[dev->device.index] = dev;
  return 0;
}

void Recording::setMonitor(MonitorCore* monitor) {
  for (size_t i = 0; i < _devices.size(); ++i) _devices[i]->tap = monitor->tap(i);
}

int32_t Recording::applyParams(RecordedDevice* dev) {
  if (!dev->apply) return 0;
  const int32_t rc = writeDeviceParams(dev->device.index, *dev->apply, &dev->refusedCall);
  // What the device holds now, not what it was asked for (a device may refuse a value).
  DeviceParams held = *dev->apply;
  if (readDeviceParams(dev->device.index, dev->device.link.features, &held) == 0) {
    held.fiveChannel = dev->params ? dev->params->fiveChannel : held.fiveChannel;
    dev->params = held;
  }
  dev->device.link.markers = dev->params ? dev->params->markers : dev->apply->markers;
  // The five-channel mode is the chain's: the master's setting goes to every capable device,
  // as the window does.
  if (rc == 0 && dev->device.link.chainPos == 0)
    for (const auto& other : _devices)
      followChainFiveChannel(other->device.index, other->device.link.features,
                             dev->apply->fiveChannel);
  return rc;
}

void Recording::stopDevice(RecordedDevice* dev) {
  if (dev->rawName.empty()) return;
  finishTempStream(dev->device.index, dev->device.link.chainPos, &dev->file, &dev->write,
                   &dev->log);
}

int32_t Recording::start(const std::string& dir, const Report& report) {
  _running = true;
  const int32_t count = int32_t(_devices.size());
  const int32_t rc = startRecording(
      count,
      [&](int32_t i) {
        RecordedDevice* dev = _devices[size_t(i)].get();
        const int32_t code = startDevice(dev, dir);
        if (code != 0 && !dev->refusedCall.empty())
          report(rcMessage(code, dev->refusedCall + " (device " + dev->device.serial + ")"));
        else if (code != 0)
          report(startMessage(code, dev->device.serial, tempFileName(dir, dev->device.index)));
        return code;
      },
      &Recording::deliver);
  if (rc == 0) return 0;
  stop();
  // The callback never ran, so the files created are empty: nothing recorded is lost.
  for (const auto& dev : _devices) {
    const std::string left = dev->rawName.empty() ? "" : removeTempFile(dev->rawName);
    if (!left.empty()) report("warning: " + left);
    dev->rawName.clear();
  }
  return rc;
}

void Recording::stop() {
  stopRecording(int32_t(_devices.size()),
                [this](int32_t i) { stopDevice(_devices[size_t(i)].get()); });
  _registry.clear();
  _running = false;
}

void Recording::poll() {
  for (const auto& dev : _devices) {
    const uint32_t now = dev->events.load(std::memory_order_relaxed);
    // The difference is right across a wrap of the counter, as long as fewer than 2^32
    // events come between two polls.
    dev->totalEvents += uint32_t(now - dev->lastEvents);
    dev->lastEvents = now;
    const int32_t index = dev->device.index, chainPos = dev->device.link.chainPos;
    const DeviceStatus status = _running && !dev->rawName.empty()
                                    ? refreshRecording(index, chainPos, dev->write, &dev->log)
                                    : readDeviceStatus(index, chainPos);
    dev->lostNow = status.lost;
    dev->inSync = status.inSync;
  }
}

void Recording::deliver(int32_t** index, int, int words, int, uint32_t* data) {
  const uint32_t i = uint32_t(**index);
  RecordedDevice* dev = i < _registry.size() ? _registry[i] : nullptr;
  if (dev == nullptr) return;
  recordBlock(dev->file, dev->write, dev->events, data, words);
  tapBlock(dev->tap, data, words);
}

std::vector<SessionDevice> sessionDevices(const Recording& recording) {
  // The chain's five-channel mode is the master's: its setting went to every capable device.
  bool fiveChannel = false;
  for (const auto& dev : recording.devices())
    if (dev->device.link.chainPos == 0 && dev->params) fiveChannel = dev->params->fiveChannel;
  std::vector<SessionDevice> devices;
  for (const auto& dev : recording.devices()) {
    SessionDevice d;
    d.serial = dev->device.serial;
    d.index = dev->device.index;
    d.chainPos = dev->device.link.chainPos;
    d.features = dev->device.link.features;
    d.markers = dev->device.link.markers;
    d.fiveChannel = fiveChannel;
    d.rawName = dev->rawName;
    d.written = &dev->write.bytes;
    d.log = &dev->log;
    d.params = dev->params;
    devices.push_back(d);
  }
  return devices;
}

bool checkChainChannels(const Recording& recording, std::string* error) {
  const std::vector<ChainChannels> chain = chainChannels(sessionDevices(recording));
  std::vector<NamedChannels> named;
  for (size_t i = 0; i < chain.size(); ++i) {
    const FoundDevice& d = recording.devices()[i]->device;
    named.push_back({chain[i], roleText(d.link.chainPos), d.serial});
  }
  const std::string clash = markerClash(named);
  if (!clash.empty()) {
    *error = clash + "; nothing recorded";
    return false;
  }
  // What is left are inputs of two devices on one channel: the five-channel mode beside a device
  // without it.
  const std::vector<ChannelOverlap> overlaps = channelOverlaps(chain);
  if (overlaps.empty()) return true;
  std::vector<std::string> names;
  for (const NamedChannels& d : named) names.push_back(d.role + " " + d.serial);
  const ChannelOverlap& o = overlaps.front();
  const RecordedDevice& a = *recording.devices()[o.a];
  const RecordedDevice& b = *recording.devices()[o.b];
  *error = "output " + overlapText(o, names) + " would hold the timestamps of two devices; " +
           "five-channel mode is on, and " +
           (hasFiveChannel(a.device.link.features) ? b : a).device.serial +
           " does not have it: set five_channel false; nothing recorded";
  return false;
}

ReadFiles replayedStreams() {
  const char* value = getenv("RAVIK_SIM_REPLAY");
  ReadFiles streams;
  if (value == nullptr || *value == '\0') return streams;
  struct stat st;
  RunManifest run;
  std::string error;
  if (stat(value, &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string text;
    if (readRegularFile(manifestPath(value), &text, &error) &&
        manifestFromJson(nlohmann::json::parse(text, nullptr, false), &run, &error))
      for (const ManifestDevice& d : run.devices)
        streams.push_back({"replayed stream", std::string(value) + "/" + d.stream});
    return streams;
  }
  std::istringstream list(value);
  for (std::string file; std::getline(list, file, ',');)
    streams.push_back({"replayed stream", file});
  return streams;
}
