// One recording of the chain without a window: every device's blocks go through the event
// callback into the device's raw file, with the window's core for naming, opening, appending
// and closing, and the window's order of starting and stopping.
//
// Only one Recording may exist at a time: the callback finds the devices through a registry
// of the class, which is changed only while no callback is registered.
#ifndef RAVIK_CHAIN_RECORDING_H
#define RAVIK_CHAIN_RECORDING_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chain/devicesearch.h"
#include "chain/deviceparams.h"
#include "chain/recordcore.h"
#include "chain/sessiondevice.h"
#include "merge/channelmap.h"
#include "merge/outputcheck.h"

class MonitorCore;
class TapQueue;

// One device of the recording.
struct RecordedDevice {
  FoundDevice device;
  std::string rawName;              // its raw file; empty until started
  // The raw file while it is open. It keeps the default stdio buffer: a block larger than the
  // buffer goes to the file in one system call without a copy, which at full rate is faster
  // than gathering the blocks in a larger buffer.
  FILE* file = nullptr;
  std::atomic<uint32_t> events{0};  // written by the callback, wraps at 2^32
  TempWriteState write;             // how far the raw file was written
  TapQueue* tap = nullptr;          // the live monitor's queue, or null; not owned
  // Parameters written before its recording starts (--params); none: it keeps its own.
  std::optional<DeviceParams> apply;
  // Its parameters for the run report: as read back after `apply` was written, or as read; none
  // when they could not be read.
  std::optional<DeviceParams> params;
  // The library call that refused a parameter of `apply`; empty when none did.
  std::string refusedCall;

  // Kept by poll() on the main thread.
  uint64_t totalEvents = 0;  // events since the start, without wrapping
  uint32_t lastEvents = 0;   // `events` at the previous poll
  LossLog log;               // losses, write failures and clock state since the start
  bool lostNow = false;      // data loss reported at the last poll
  bool inSync = false;       // clock state at the last poll
};

class Recording;

// The recording's devices as the Session takes them, in chain order (their raw files named once
// started).
std::vector<SessionDevice> sessionDevices(const Recording& recording);

class Recording {
public:
  // `chain`: the devices in chain order, all connected.
  explicit Recording(const std::vector<FoundDevice>& chain);
  // Stops a recording still running.
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // Creates every device's raw file "<dir>/ravik-<index>.tmp" and starts the devices in chain
  // order (each first written its `apply` parameters, if any), then registers the callback. When a device fails to start, reports it (naming the
  // device and, for a raw file that cannot be created, the file) and abandons the recording: the devices started are stopped and their
  // raw files, which no block has reached, are removed. Returns 0 or the failing code.
  int32_t start(const std::string& dir, const Report& report);
  // Before start(): every device's blocks also go to the monitor's tap (its devices in chain
  // order, as here).
  void setMonitor(MonitorCore* monitor);
  // Removes the callback, then closes the raw files, which stay on disk, and completes the
  // devices' loss logs.
  void stop();
  // Reads every device's counter and its loss and clock state (main thread); while recording,
  // notes what went wrong in the device's log.
  void poll();

  const std::vector<std::unique_ptr<RecordedDevice>>& devices() const { return _devices; }

private:
  // The event callback: one lookup, one write, one addition, the monitor's tap.
  static void deliver(int32_t** index, int unused1, int words, int unused2, uint32_t* data);
  int32_t startDevice(RecordedDevice* dev, const std::string& dir);
  // Writes the device's `apply` parameters, if any; the code of the writing, or 0.
  int32_t applyParams(RecordedDevice* dev);
  void stopDevice(RecordedDevice* dev);

  // Devices by library index, null where none records; read by the callback.
  static std::vector<RecordedDevice*> _registry;

  std::vector<std::unique_ptr<RecordedDevice>> _devices;  // chain order
  bool _running = false;
};

// Before the start: false with a one-line message naming the devices when two of them would fill
// one output channel, through markers beside chain positions from 20 up (see markerClash()) or
// through the five-channel mode beside a device without it.
bool checkChainChannels(const Recording& recording, std::string* error);

// The raw streams that simulated devices will replay (RAVIK_SIM_REPLAY: the files, or the streams
// that the manifest of a run folder lists), which a recording reads as it goes: no output may
// replace them. Empty without the variable.
ReadFiles replayedStreams();

#endif
