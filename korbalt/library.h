// The library's one state: the discovered devices, the addressed one, the codec instances and
// the delivery thread. Every entry point works on Library::instance() under its lock.
#ifndef RAVIK_KORBALT_LIBRARY_H
#define RAVIK_KORBALT_LIBRARY_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "device/korbalt.h"
#include "korbalt/scenario.h"
#include "korbalt/simdevice.h"
#include "thread/lxmutex.h"

namespace korbalt {

class Delivery;

// Holds an IMutex for one scope.
class Guard {
public:
  explicit Guard(IMutex& mutex) : _mutex(mutex) { _mutex.lock(); }
  ~Guard() { _mutex.unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

private:
  IMutex& _mutex;
};

// Milliseconds of a monotonic clock.
int64_t nowMs();
// The chain's shared time axis in picoseconds. It starts at one second rather than zero, since
// a stream time of 0 means "no time yet" to a decoder.
int64_t axisNowPs();

class Library {
public:
  static Library& instance();
  ~Library();

  // Guards everything here and in the devices. Never held while the callback runs.
  IMutex& lock() { return _lock; }

  void allowSim(bool allow) { _allowSim = allow; }
  // Ends the delivery, forgets the devices and discovers those of the current scenario. A replay
  // that cannot be done fails it with KORBALT_DISCOVERY_FAILED and no device.
  int32_t discover(uint32_t* count);
  // Why the last discovery failed, when the library knows more than its code says; else empty.
  const std::string& discoveryError() const { return _discoveryError; }
  const Scenario& scenario() const { return _scenario; }
  uint32_t count() const { return static_cast<uint32_t>(_devices.size()); }
  // Null for an index out of range.
  SimDevice* device(uint32_t index);
  int32_t address(uint32_t index);
  // Null when no device is addressed.
  SimDevice* addressed() { return _addressed < 0 ? nullptr : _devices[_addressed].get(); }

  // Starts, redirects or (null) ends the delivery. Ending waits for the delivery thread and for
  // every delivery ended earlier from inside its callback, except the caller's own thread, so
  // that no callback runs after the call.
  int32_t setCallback(KorbaltEventCallback callback);
  // Null for an index that was never discovered.
  Tdc56Instance* decoder(uint32_t index);

private:
  Library() = default;
  void reapRetired();

  IMutex _lock;
  bool _allowSim = false;
  Scenario _scenario;
  std::string _discoveryError;
  std::vector<std::unique_ptr<SimDevice>> _devices;  // by library index
  int32_t _addressed = -1;
  std::vector<Tdc56Instance*> _decoders;  // owned, by library index; kept for the library's life
  Delivery* _delivery = nullptr;          // owned
  // Deliveries ended from their own thread (from inside the callback), joined later. Owned.
  std::vector<Delivery*> _retired;
};

}  // namespace korbalt

#endif
