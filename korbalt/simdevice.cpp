#include "korbalt/simdevice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace korbalt {

namespace {

constexpr int32_t kStartInputBit = 1 << 5;

}  // namespace

SimDevice::SimDevice(const DeviceSetup& setup, uint32_t index, const Scenario& scenario)
    : _setup(setup),
      _index(index),
      _calibrationMs(scenario.calibrationMs),
      _badClock((scenario.badClock >> index) & 1) {
  int32_t present = 0;
  for (int32_t c = 0; c < kInputChannels; ++c) present |= hasChannel(c) ? 1 << c : 0;
  _params.channelMask = present;
  _params.markers = setup.markers;
  if (!setup.replay.empty()) {
    _replayLock = open(setup.replay.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (_replayLock >= 0) flock(_replayLock, LOCK_EX | LOCK_NB);
  }
}

SimDevice::~SimDevice() {
  if (_replayLock >= 0) close(_replayLock);
}

bool SimDevice::hasChannel(int32_t c) const {
  if (c == 3) return hasFeature(KORBALT_FEATURE_CHANNEL3 | KORBALT_FEATURE_CHANNEL4);
  if (c == 4) return hasFeature(KORBALT_FEATURE_CHANNEL4);
  return c >= 0 && c < 3;
}

StreamConfig SimDevice::streamConfig() const {
  StreamConfig config{};
  const int32_t mask = _params.channelMask;
  for (int32_t c = 0; c < kInputChannels; ++c) {
    // Input 0 is the start input as well; either bit switches it on.
    const bool on = (mask & (1 << c)) != 0 || (c == 0 && (mask & kStartInputBit) != 0);
    config.rates[c] = on && hasChannel(c) ? _setup.rates[c] : 0;
  }
  config.pairChannelOn = (mask & (1 << kPairChannel)) != 0;
  config.markers = hasFeature(KORBALT_FEATURE_MARKERS) ? _params.markers : 0;
  config.fiveChannel = _params.fiveChannel && hasFeature(KORBALT_FEATURE_FIVE_CHANNEL);
  for (int32_t c = 0; c < kEventChannels; ++c) config.delaysPs[c] = _params.delayPs[c];
  // In five-channel mode channel 5 is input 0, and its signal has input 0's delay.
  if (config.fiveChannel) config.delaysPs[5] = _params.delayPs[0];
  return config;
}

void SimDevice::clockState(int32_t* input, int32_t* output) const {
  // The master runs on its own oscillator and drives the chain; slaves lock to it and pass it
  // on. A device outside any chain neither locks nor drives.
  const int32_t position = _setup.chainPos;
  *input = !_badClock && position > 0;
  *output = !_badClock && position >= 0;
}

}  // namespace korbalt
