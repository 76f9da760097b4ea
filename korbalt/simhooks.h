// Hooks into the simulated devices for tests and benchmarks; the program does not use them.
#ifndef RAVIK_KORBALT_SIMHOOKS_H
#define RAVIK_KORBALT_SIMHOOKS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "korbalt/sources.h"

namespace korbalt {

// From the next registration of a callback on, keeps up to `limit` of the items the device
// `index` delivers (0 keeps none), in delivery order; the kept record starts empty. False for an
// index that was not discovered. Call while no callback is registered.
bool simKeepRecord(uint32_t index, size_t limit);
// The items kept. Call while no callback is registered.
std::vector<SimEvent> simTakeRecord(uint32_t index);
// Events (not time advances) the device `index` delivered since its discovery.
uint64_t simDelivered(uint32_t index);
// Raises the device's data-loss flag as a loss would, without losing or restarting anything,
// so that a test decides when the program reads it. False for an index that was not discovered.
bool simRaiseDataLost(uint32_t index);

}  // namespace korbalt

#endif
