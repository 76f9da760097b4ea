#include "korbalt/library.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>

#include "codec/tdc56.h"
#include "korbalt/delivery.h"
#include "trace/trace.h"

namespace korbalt {

namespace {

constexpr int64_t kAxisOriginPs = 1000 * kPsPerMs;

const std::chrono::steady_clock::time_point kEpoch = std::chrono::steady_clock::now();

const char* environment(const char* name) { return getenv(name); }

}  // namespace

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t axisNowPs() {
  const auto elapsed = std::chrono::steady_clock::now() - kEpoch;
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  return kAxisOriginPs + ns * 1000;
}

Library& Library::instance() {
  static Library library;
  return library;
}

Library::~Library() {
  setCallback(nullptr);
  for (Tdc56Instance* d : _decoders) tdc56DeInit(d);
}

int32_t Library::discover(uint32_t* count) {
  if (count == nullptr) return KORBALT_BAD_ARGUMENT;
  setCallback(nullptr);
  Guard guard(_lock);
  *count = 0;
  _devices.clear();
  _addressed = -1;
  _scenario = _allowSim ? readScenario(environment) : Scenario();
  _discoveryError = _scenario.replayError;
  if (_scenario.failDiscover || !_discoveryError.empty()) return KORBALT_DISCOVERY_FAILED;
  for (const DeviceSetup& setup : _scenario.devices) {
    const uint32_t index = static_cast<uint32_t>(_devices.size());
    _devices.push_back(std::make_unique<SimDevice>(setup, index, _scenario));
  }
  while (_decoders.size() < _devices.size()) _decoders.push_back(tdc56Init());
  *count = this->count();
  traceTrace("Discovered %u devices", *count);
  return KORBALT_OK;
}

SimDevice* Library::device(uint32_t index) {
  return index < _devices.size() ? _devices[index].get() : nullptr;
}

int32_t Library::address(uint32_t index) {
  if (index >= _devices.size()) return KORBALT_BAD_INDEX;
  _addressed = static_cast<int32_t>(index);
  return KORBALT_OK;
}

int32_t Library::setCallback(KorbaltEventCallback callback) {
  Delivery* ended = nullptr;
  {
    Guard guard(_lock);
    if (callback != nullptr && _delivery != nullptr) {
      _delivery->setCallback(callback);
      return KORBALT_OK;
    }
    if (callback != nullptr) {
      _delivery = new Delivery(*this, callback);
      _delivery->start();
      return KORBALT_OK;
    }
    ended = _delivery;
    _delivery = nullptr;
  }
  if (ended != nullptr) {
    ended->stop();
    Guard guard(_lock);
    _retired.push_back(ended);
  }
  // A delivery ended from inside its own callback may still be running that callback; once a
  // removal has returned on any other thread, none may.
  reapRetired();
  return KORBALT_OK;
}

void Library::reapRetired() {
  std::vector<Delivery*> ended;
  {
    // A delivery's own thread cannot join itself: its entry stays listed, so that a removal on
    // another thread still finds and waits for it.
    Guard guard(_lock);
    const auto own = std::stable_partition(_retired.begin(), _retired.end(),
                                           [](Delivery* d) { return d->isCurrentThread(); });
    ended.assign(own, _retired.end());
    _retired.erase(own, _retired.end());
  }
  for (Delivery* d : ended) {
    d->wait();
    delete d;
  }
}

Tdc56Instance* Library::decoder(uint32_t index) {
  return index < _decoders.size() ? _decoders[index] : nullptr;
}

}  // namespace korbalt
