#include "device/tempremoval.h"

#include <system_error>

#include "device/recordcore.h"

namespace {

void removeAll(const std::vector<std::string>& names) {
  for (const std::string& name : names) removeTempFile(name);
}

}  // namespace

TempFileRemoval::~TempFileRemoval() { wait(); }

void TempFileRemoval::remove(std::vector<std::string> names) {
  wait();  // one thread at a time: the earlier deletions come first
  try {
    _thread = std::thread(removeAll, names);  // a copy: `names` stays for the fallback
  } catch (const std::system_error&) {
    removeAll(names);
  }
}

void TempFileRemoval::wait() {
  if (_thread.joinable()) _thread.join();
}
