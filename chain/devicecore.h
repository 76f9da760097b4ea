// The device library steps that the window and the headless recorder take alike: connecting a
// device, starting and stopping the recording of a chain in a safe order, reading a device's
// loss and clock state, and the texts of their reports. No Qt; the window adds its dialogs,
// boxes and lamps around these.
#ifndef RAVIK_CHAIN_DEVICECORE_H
#define RAVIK_CHAIN_DEVICECORE_H

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>

#include "device/korbalt.h"
#include "chain/recordcore.h"

// What a connect learns about a device.
struct DeviceLink {
  int32_t chainPos = -99;  // 0 master, 1.. slaves, negative: none or unknown
  uint32_t features = 0;   // KorbaltFeature bits
  uint32_t markers = 0;    // enabled-marker mask, bits 0..8
  bool connected = false;  // the library connection is open
};

// Opens device `index` (unless link->connected), reads its chain position, marker mask and
// feature mask, and switches off its parameters 48/1 and 48/2. Stops at the first non-zero code
// and returns it; the feature mask is read even when the connect or the chain position fails
// (from whatever device the library has addressed). Leaves the device addressed.
int32_t connectDevice(uint32_t index, DeviceLink* link);

// Opens a new recording session of device `index`, whose parameters were just applied with the
// code `configured`, and when that is 0 and `fileName` is not empty, creates its temp file into
// *file. The session is opened whatever `configured` says. Returns `configured`, or the result
// of openTempFile(), or 0.
int32_t startDeviceRecording(uint32_t index, int32_t configured, const std::string& fileName,
                             FILE** file);

// Starts the devices 0..count-1 in chain order with startOne(i), stopping at the first non-zero
// result, which is returned: the callback is then not registered and the caller abandons the
// recording with stopRecording(). When all started, registers `callback`, so that every temp
// file is open before the first block can arrive.
int32_t startRecording(int32_t count, const std::function<int32_t(int32_t)>& startOne,
                       KorbaltEventCallback callback);

// Notes the time of the stop, removes the event callback, then stopOne(i) for every device in
// order. Once the removal has returned no callback runs any more, so stopOne may close the temp
// files (finishTempStream()).
void stopRecording(int32_t count, const std::function<void(int32_t)>& stopOne);

// Switches the five-channel mode of device `index`, when it can be addressed.
void setFiveChannel(uint32_t index, bool on);

// The five-channel mode is the chain's: the master's setting holds on every device that has the
// feature, and the others record four channels.
bool hasFiveChannel(uint32_t features);
// The inputs (bit mask) that a device with `features` records under the master's mode `chainMode`.
uint32_t recordedInputs(bool chainMode, uint32_t features);
// Gives the master's mode `on` to device `index` when it has the feature; whether it has.
bool followChainFiveChannel(uint32_t index, uint32_t features, bool on);

struct DeviceStatus {
  bool lost;    // data were lost since the previous reading
  bool inSync;  // master: drives a good clock to the chain; others: locked to the chain clock
};

// Addresses device `index` and reads its data-loss flag (which the reading clears) and its
// clock state. Codes are not checked: an output the library leaves alone reads as 0.
DeviceStatus readDeviceStatus(uint32_t index, int32_t chainPos);

// One refresh of a recording device: reads its state and notes in `log` a loss it reports, a bad
// clock, and a failed write of its temp file.
DeviceStatus refreshRecording(uint32_t index, int32_t chainPos, const TempWriteState& write,
                              LossLog* log);

// Closes a device's temp file once stopRecording() has removed the callback and completes its
// log: a failed close counts as a failed write, and a last refresh catches a loss reported since
// the previous one. Returns the device's state at that refresh.
DeviceStatus finishTempStream(uint32_t index, int32_t chainPos, FILE** file,
                              TempWriteState* write, LossLog* log);

// The binary header and trailer of the chain's first device, at library index `index`, made here
// in memory from the device's header: the merge writes them on its own thread while the devices
// are polled, which addresses them one by one, so that the device addressed then may be any.
// Throws std::bad_alloc when there is no memory for it.
std::function<void(FILE* binary, bool first)> chainDeviceHeader(uint32_t index);

// "<operation> returned "<library text of rc>"".
std::string rcMessage(int32_t rc, const std::string& operation);
// The report of a device that failed to start with `rc`: names the device (`serial`) and, when
// the temp file is the cause, the file.
std::string startMessage(int32_t rc, const std::string& serial, const std::string& fileName);
// The report of devices left out of the chain because they have no chain position.
std::string noPositionMessage(const std::string& serial, int32_t position);
// "connect (dev <index + 1> of <count>)", the operation name of a device's connect.
std::string connectOperation(uint32_t index, uint32_t count);
// "Sequence number not unique: <p>" or "Sequence number missing: <p>" for a report step of
// chainOrder(); empty for a Place step.
std::string chainMessage(const ChainStep& step);

#endif
