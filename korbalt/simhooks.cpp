#include "korbalt/simhooks.h"

#include "korbalt/library.h"

namespace korbalt {

bool simKeepRecord(uint32_t index, size_t limit) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  SimDevice* d = library.device(index);
  if (d == nullptr) return false;
  d->record().clear();
  d->setRecordLimit(limit);
  return true;
}

std::vector<SimEvent> simTakeRecord(uint32_t index) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  SimDevice* d = library.device(index);
  std::vector<SimEvent> taken;
  if (d != nullptr) taken.swap(d->record());
  return taken;
}

uint64_t simDelivered(uint32_t index) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  SimDevice* d = library.device(index);
  return d == nullptr ? 0 : d->delivered().load(std::memory_order_relaxed);
}

bool simRaiseDataLost(uint32_t index) {
  Library& library = Library::instance();
  Guard guard(library.lock());
  SimDevice* d = library.device(index);
  if (d == nullptr) return false;
  d->raiseDataLost();
  return true;
}

}  // namespace korbalt
