// Entry points: discovery, connection, device state, data delivery and the shared log.
#include <string.h>

#include <chrono>
#include <thread>

#include "device/korbalt.h"
#include "korbalt/entry.h"
#include "trace/trace.h"

using korbalt::Guard;
using korbalt::Library;
using korbalt::SimDevice;
using korbalt::onAddressed;
using korbalt::onDevice;
using korbalt::put;

extern "C" {

void baseAllowFindSimDevice(bool allow) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  library.allowSim(allow);
}

int32_t TDC_discover(uint32_t* count) { return Library::instance().discover(count); }

int32_t TDC_getDeviceInfo(uint32_t index, int32_t* type, int32_t* id, char* serial,
                          int32_t* connected) {
  return onDevice(index, [&](Library& library, SimDevice& d) -> int32_t {
    if ((library.scenario().failInfo >> index) & 1) return KORBALT_INFO_FAILED;
    if (type != nullptr) *type = 1;
    if (id != nullptr) *id = 1001 + d.setup().member;
    if (serial != nullptr) {
      strncpy(serial, d.setup().serial.c_str(), KORBALT_SERIAL_SIZE - 1);
      serial[KORBALT_SERIAL_SIZE - 1] = '\0';
    }
    if (connected != nullptr) *connected = d.connected();
    return KORBALT_OK;
  });
}

int32_t TDC_connect(uint32_t index) {
  return onDevice(index, [&](Library& library, SimDevice& d) -> int32_t {
    if ((library.scenario().failConnect >> index) & 1) return KORBALT_CONNECT_FAILED;
    d.setConnected(true);
    library.address(index);
    traceTrace("Device %u (%s) connected", index, d.setup().serial.c_str());
    return KORBALT_OK;
  });
}

int32_t TDC_disconnect(uint32_t index) {
  return onDevice(index, [&](Library&, SimDevice& d) -> int32_t {
    if (!d.connected()) return KORBALT_NOT_CONNECTED;
    d.setConnected(false);
    traceTrace("Device %u disconnected", index);
    return KORBALT_OK;
  });
}

int32_t TDC_addressDevice(uint32_t index) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  return library.address(index);
}

int32_t TDC_checkFeatures() {
  Library& library = Library::instance();
  Guard guard(library.lock());
  const SimDevice* d = library.addressed();
  return d == nullptr ? 0 : d->setup().features;
}

int32_t TDC_getChainPosition(int32_t* position, int32_t* chainLength) {
  return onAddressed(__func__, [&](SimDevice& d) {
    if (chainLength != nullptr) *chainLength = static_cast<int32_t>(Library::instance().count());
    return put(position, d.setup().chainPos);
  });
}

int32_t TDC_getCalibrationState(int32_t* running) {
  return onAddressed(__func__,
                     [&](SimDevice& d) { return put(running, d.calibrating(korbalt::nowMs())); });
}

int32_t TDC_startCalibration() {
  return onAddressed(__func__, [&](SimDevice& d) {
    d.startCalibration(korbalt::nowMs());
    return KORBALT_OK;
  });
}

int32_t TDC_getDataLost(int32_t* lost) {
  return onAddressed(__func__, [&](SimDevice& d) {
    if (lost == nullptr) return KORBALT_BAD_ARGUMENT;
    return put(lost, d.takeDataLost());
  });
}

int32_t TDC_getClockState(int32_t* input, int32_t* output) {
  return onAddressed(__func__, [&](SimDevice& d) {
    if (input == nullptr || output == nullptr) return KORBALT_BAD_ARGUMENT;
    d.clockState(input, output);
    return KORBALT_OK;
  });
}

int32_t UL_setEventCallback(int32_t event, KorbaltEventCallback callback) {
  if (event != KORBALT_EVENT_DATA) return KORBALT_BAD_EVENT;
  Library& library = Library::instance();
  const int32_t rc = library.setCallback(callback);
  int32_t delayMs = 0;
  {
    Guard guard(library.lock());
    delayMs = library.scenario().registerDelayMs;
  }
  // A library slow to return from the registration while the data already flow to the callback.
  if (rc == KORBALT_OK && callback != nullptr && delayMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  return rc;
}

Tdc56Instance* baseGetDecoder(uint32_t index) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  return library.decoder(index);
}

int32_t UL_initTrace(TraceParams* params) {
  if (params == nullptr) return KORBALT_BAD_ARGUMENT;
  traceInit(params);
  return KORBALT_OK;
}

}  // extern "C"
