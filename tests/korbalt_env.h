// Test helper: a simulated chain chosen through RAVIK_SIM_* variables, discovered at once, and the
// scenario that given variables describe.
#ifndef RAVIK_TESTS_KORBALT_ENV_H
#define RAVIK_TESTS_KORBALT_ENV_H

#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/korbalt.h"
#include "korbalt/scenario.h"

inline void clearSimVariables() {
  for (const char* name : {"DEVICES", "CHAIN", "ORDER", "SERIALS", "FEATURES", "RATES",
                           "CORRELATION", "JITTER_PS", "SEED", "MAX_RATE", "FIFO_WORDS", "BLOCK_WORDS",
                           "CALIBRATION_MS", "REGISTER_DELAY_MS", "FAIL_DISCOVER", "FAIL_INFO",
                           "FAIL_CONNECT", "FAIL_PARAM", "DATA_LOSS", "BAD_CLOCK", "REPLAY"})
    unsetenv((std::string("RAVIK_SIM_") + name).c_str());
}

// True once `done` holds, polled while the simulated devices run; false after 30 seconds.
inline bool waitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Sets the variables for its lifetime (every other RAVIK_SIM_* variable is unset) and
// discovers the simulated devices; the destructor removes the callback and the variables.
class SimChain {
public:
  typedef std::vector<std::pair<std::string, std::string>> Vars;
  explicit SimChain(const Vars& vars = Vars()) {
    clearSimVariables();
    for (const auto& v : vars) setenv(v.first.c_str(), v.second.c_str(), 1);
    baseAllowFindSimDevice(true);
    _rc = TDC_discover(&_count);
  }
  ~SimChain() {
    UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
    clearSimVariables();
  }
  SimChain(const SimChain&) = delete;
  SimChain& operator=(const SimChain&) = delete;

  int32_t rc() const { return _rc; }
  uint32_t count() const { return _count; }
  // Connects every device; false when one fails.
  bool connectAll() const {
    for (uint32_t i = 0; i < _count; ++i)
      if (TDC_connect(i) != 0) return false;
    return true;
  }

private:
  int32_t _rc = 0;
  uint32_t _count = 0;
};

// The simulated chain's scenario read from the given RAVIK_SIM_* variables instead of the
// environment.
inline korbalt::Scenario scenarioOf(const std::map<std::string, std::string>& vars) {
  static std::map<std::string, std::string> current;  // the reader takes a plain function
  current = vars;
  return korbalt::readScenario([](const char* name) {
    const auto it = current.find(name);
    return it == current.end() ? nullptr : it->second.c_str();
  });
}

#endif
