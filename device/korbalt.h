// The device library: discovery, connection, parameters and data transport of the chained
// time-tagger devices.
//
// These are exactly the calls the program makes. They are implemented by the stand-in library
// libkorbalt.so (simulated devices, see the README) or by the device maker's library,
// which can be linked in its place.
//
// Every TDC_ and UL_ call returns a signed 32-bit code, 0 for success; TDC_perror() gives its
// text. The library keeps one addressed device: TDC_addressDevice() selects it, TDC_connect()
// leaves the connected device selected, and every call without an index acts on it. Device
// indexes run from 0 to the count of TDC_discover() minus 1.
//
// Times, delays, dead times and the coincidence window are in whole picoseconds; thresholds in
// volts. Any thread may make the calls; the event callback runs on a thread of the library.
#ifndef RAVIK_DEVICE_KORBALT_H
#define RAVIK_DEVICE_KORBALT_H

#include <stdint.h>
#include <stdio.h>

struct Tdc56Instance;
struct TraceParams;

extern "C" {

// --- Codes ---------------------------------------------------------------------------------------

enum KorbaltCode : int32_t {
  KORBALT_OK = 0,
  KORBALT_BAD_INDEX = 1,          // no device with this index
  KORBALT_NOT_CONNECTED = 2,      // the device (or the addressed one) is not connected
  KORBALT_NO_DEVICE = 3,          // no device is addressed
  KORBALT_BAD_ARGUMENT = 4,       // an argument is out of range or a pointer is null
  KORBALT_UNKNOWN_PARAMETER = 5,  // UL_inquireParameter() of a parameter never set
  KORBALT_DISCOVERY_FAILED = 7,
  KORBALT_CONNECT_FAILED = 8,
  KORBALT_INFO_FAILED = 9,
  KORBALT_NO_ACK = 10,            // the device did not acknowledge a parameter call
  KORBALT_FILE_OPEN_FAILED = 11,  // also used by the program for a temp file it cannot open
  KORBALT_BAD_EVENT = 12,         // UL_setEventCallback() with an event code other than 3840
  KORBALT_NOT_SUPPORTED = 13,     // the device lacks the feature
};

// Feature bits of TDC_checkFeatures().
enum KorbaltFeature : int32_t {
  KORBALT_FEATURE_CHANNEL3 = 0x04,  // input channel 3 (also implied by KORBALT_FEATURE_CHANNEL4)
  KORBALT_FEATURE_CHANNEL4 = 0x08,  // input channels 3 and 4
  KORBALT_FEATURE_FIVE_CHANNEL = 0x10,  // the start input can count as channel 5
  KORBALT_FEATURE_MARKERS = 0x20,
  KORBALT_FEATURE_FILTERS = 0x40,
};

// The only event code of UL_setEventCallback(): data blocks.
constexpr int32_t KORBALT_EVENT_DATA = 3840;
// Size of the serial-number buffer of TDC_getDeviceInfo(), terminating zero included.
constexpr int32_t KORBALT_SERIAL_SIZE = 32;
// Number of entries of the TDC_setChannelDelays() array, one per channel 0..7.
constexpr int32_t KORBALT_DELAY_COUNT = 8;

// Called with one data block of one device: `index` points to a pointer to the sending device's
// 32-bit index; `words` 32-bit words at `data` in the 60-bit word-pair format. The two unnamed
// ints carry nothing. The block is valid during the call only.
typedef void (*KorbaltEventCallback)(int32_t** index, int unused1, int words, int unused2,
                                     uint32_t* data);

// The zero-terminated text of a code; never null.
const char* TDC_perror(int32_t code);

// --- Discovery and connection --------------------------------------------------------------------

// Lets later discoveries report simulated devices as well.
void baseAllowFindSimDevice(bool allow);
// Finds the devices. Closes every connection, removes the event callback and forgets the
// addressed device first, since the indexes may now mean other devices.
int32_t TDC_discover(uint32_t* count);
// `type` receives 1 for a simulated device; `id` a number unique within the discovery; `serial`
// (KORBALT_SERIAL_SIZE bytes) the serial number; `connected` 1 while the device is connected.
// Any of the pointers may be null.
int32_t TDC_getDeviceInfo(uint32_t index, int32_t* type, int32_t* id, char* serial,
                          int32_t* connected);
// Opens the device and addresses it.
int32_t TDC_connect(uint32_t index);
int32_t TDC_disconnect(uint32_t index);
// Makes the device the one that calls without an index act on; it need not be connected.
int32_t TDC_addressDevice(uint32_t index);

// --- State of the addressed device ---------------------------------------------------------------

// The feature mask (KorbaltFeature bits), also of a device not connected; 0 when none addressed.
int32_t TDC_checkFeatures();
// 0 for the master, 1 and up for slaves, negative when the device is outside any chain.
// `chainLength` (may be null) receives the number of devices the chain was built with.
int32_t TDC_getChainPosition(int32_t* position, int32_t* chainLength);
// `running` non-zero while a calibration runs.
int32_t TDC_getCalibrationState(int32_t* running);
int32_t TDC_startCalibration();
// `lost` non-zero when data were lost since the last query; the query clears it.
int32_t TDC_getDataLost(int32_t* lost);
// `input` non-zero when the device is locked to the chain's clock (slaves); `output` non-zero
// when it drives a good clock to the chain (the master, and slaves passing it on).
int32_t TDC_getClockState(int32_t* input, int32_t* output);

// --- Parameters of the addressed device ----------------------------------------------------------
// Setters keep the values as given; getters return them unchanged.

// Bit i enables input channel i (0..4); bit 5 is the start input, which is channel 0.
int32_t TDC_enableChannels(int32_t mask);
int32_t TDC_getChannelsEnabled(int32_t* mask);
int32_t TDC_preselectSingleStop(bool on);
int32_t TDC_getSingleStopPreselection(int32_t* on);
// Test pulses on the channels of `mask`: `period` in units of 5 ns, `count` pulses per burst,
// `distance` between bursts in units of 20 ns. A mask of 0 switches them off.
int32_t TDC_configureSelftest(int32_t mask, int32_t period, int32_t count, int32_t distance);
int32_t TDC_setCoincidenceWindow(int32_t ps);
// `coincWindow` in ps; `channelMask` (may be null) receives the channel enable mask.
int32_t TDC_getDeviceParams(int32_t* coincWindow, int32_t* channelMask);
int32_t TDC_configureSyncDivider(int32_t divider, bool reconstruct);
int32_t TDC_getSyncDivider(int32_t* divider, int32_t* reconstruct);
// Channel 0..4. `type` 1 LVTTL, 2 NIM, 3 Misc; `edge` 0 falling, 1 rising; `threshold` in V.
int32_t TDC_configureSignalConditioning(int32_t channel, int32_t type, int32_t edge,
                                        double threshold);
int32_t TDC_getSignalConditioning(int32_t channel, int32_t* edge, double* threshold);
// Channel 0..4, dead time in ps.
int32_t TDC_setDeadTime(int32_t channel, int32_t ps);
int32_t TDC_getDeadTime(int32_t channel, int32_t* ps);
// KORBALT_DELAY_COUNT delays in ps, entry i for channel i.
int32_t TDC_setChannelDelays(const int32_t* delays);
int32_t TDC_getChannelDelays(int32_t* delays);
// Filter of channel 1..5 (5 is the start input, channel 0): `type` 0 none, 1 mute, 2 coincidence,
// 3 sync; `mask` bit j + 1 selects channel j.
int32_t TDC_configureFilter(int32_t channel, int32_t type, int32_t mask);
int32_t TDC_getFilter(int32_t channel, int32_t* type, int32_t* mask);
// Bit k enables marker k (0..8). Markers need KORBALT_FEATURE_MARKERS unless the mask is 0.
int32_t TDC_enableMarkers(uint32_t mask);
int32_t TDC_getMarkersEnabled(uint32_t* mask);
// Needs KORBALT_FEATURE_FIVE_CHANNEL.
int32_t TDC_setFiveChannelMode(bool on);
int32_t TDC_getFiveChannelMode(int32_t* on);

// --- Numbered parameters of a device by index ----------------------------------------------------
// 960 (sub-index: channel 0..4) is the input type as set by TDC_configureSignalConditioning().
// 699 with value 1 opens a new recording session: the data-loss flag is cleared. Any other
// parameter is kept and read back as written.
int32_t UL_setParameter(uint32_t index, int32_t parameter, int32_t subIndex, int32_t value);
int32_t UL_inquireParameter(uint32_t index, int32_t parameter, int32_t subIndex, int32_t* value);

// --- Data, merge support and log -----------------------------------------------------------------

// `event` must be KORBALT_EVENT_DATA. While a callback is registered, every connected device
// streams its data blocks to it. After registering null has returned, no call runs any more.
int32_t UL_setEventCallback(int32_t event, KorbaltEventCallback callback);
// The codec instance of the device `index`, owned by the library and valid until it is unloaded;
// null for an index that was never discovered.
Tdc56Instance* baseGetDecoder(uint32_t index);
// Writes the binary file header of the addressed device at the file's current position (the
// layout is in the README). `flags` must be 0. Without a connected device the header says
// so and KORBALT_NO_DEVICE or KORBALT_NOT_CONNECTED is returned.
int32_t writeFileHeader(FILE* file, int32_t flags);
// The library writes its trace lines through the caller's log.
int32_t UL_initTrace(TraceParams* params);

}  // extern "C"

#endif
