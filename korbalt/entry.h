// What the C entry points share: running a call on the addressed or an indexed device under the
// library's lock, with the scenario's injected failures.
#ifndef RAVIK_KORBALT_ENTRY_H
#define RAVIK_KORBALT_ENTRY_H

#include <stdint.h>

#include "device/korbalt.h"
#include "korbalt/library.h"

namespace korbalt {

// Runs `body(device)` on the addressed, connected device unless the scenario makes `call` fail
// for it; returns the code.
template <class Body>
int32_t onAddressed(const char* call, Body body) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  SimDevice* d = library.addressed();
  if (d == nullptr) return KORBALT_NO_DEVICE;
  if (!d->connected()) return KORBALT_NOT_CONNECTED;
  if (library.scenario().paramFails(call, static_cast<int32_t>(d->index()))) return KORBALT_NO_ACK;
  return body(*d);
}

// Runs `body(library, device)` on the device `index`, connected or not, under the lock.
template <class Body>
int32_t onDevice(uint32_t index, Body body) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  SimDevice* d = library.device(index);
  return d == nullptr ? KORBALT_BAD_INDEX : body(library, *d);
}

// Runs `body(device)` on the connected device `index` unless the scenario makes `call` fail.
template <class Body>
int32_t onIndexed(const char* call, uint32_t index, Body body) {
  return onDevice(index, [&](Library& library, SimDevice& d) -> int32_t {
    if (!d.connected()) return KORBALT_NOT_CONNECTED;
    if (library.scenario().paramFails(call, static_cast<int32_t>(index))) return KORBALT_NO_ACK;
    return body(d);
  });
}

// Stores `value` through an output pointer of a getter.
template <class T, class V>
KorbaltCode put(T* out, V value) {
  if (out == nullptr) return KORBALT_BAD_ARGUMENT;
  *out = static_cast<T>(value);
  return KORBALT_OK;
}

}  // namespace korbalt

#endif
