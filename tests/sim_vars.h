// Test helper: the simulated chain's scenario read from the given RAVIK_SIM_* variables instead
// of the environment.
#ifndef RAVIK_TESTS_SIM_VARS_H
#define RAVIK_TESTS_SIM_VARS_H

#include <map>
#include <string>

#include "korbalt/scenario.h"

inline korbalt::Scenario scenarioOf(const std::map<std::string, std::string>& vars) {
  static std::map<std::string, std::string> current;  // the reader takes a plain function
  current = vars;
  return korbalt::readScenario([](const char* name) {
    const auto it = current.find(name);
    return it == current.end() ? nullptr : it->second.c_str();
  });
}

#endif
