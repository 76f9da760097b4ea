#include "chain/paramsfile.h"

#include <errno.h>
#include <string.h>

#include "chain/paramsjson.h"
#include "merge/inputfile.h"

using json = nlohmann::json;

namespace {

// One device of a run report; false with the key at fault in *error.
bool deviceEntry(const json& device, const std::string& where, ParamsEntry* entry,
                 std::string* error) {
  entry->name = where;
  entry->where = where + ".parameters";
  if (!device.is_object()) {
    *error = where + ": an object is expected";
    return false;
  }
  const json serial = device.value("serial", json(nullptr));
  const json chain = device.value("chain", json(nullptr));
  if (!serial.is_null() && !serial.is_string()) {
    *error = where + ".serial: a string or null is expected";
    return false;
  }
  if (!chain.is_null() && !chain.is_number_integer()) {
    *error = where + ".chain: a whole number or null is expected";
    return false;
  }
  if (serial.is_string()) entry->serial = serial.get<std::string>();
  if (chain.is_number_integer() && chain.get<int64_t>() >= 0 && chain.get<int64_t>() <= INT32_MAX)
    entry->chain = chain.get<int32_t>();
  entry->parameters = device.value("parameters", json(nullptr));
  return true;
}

}  // namespace

bool loadParamsFile(const std::string& path, std::vector<ParamsEntry>* entries,
                    std::string* error) {
  std::string text;
  if (!readRegularFile(path, &text, error)) return false;
  const json file = json::parse(text, nullptr, false);
  if (file.is_discarded()) {
    *error = path + ": not a JSON document";
    return false;
  }
  entries->clear();
  if (file.is_object() && file.contains("devices")) {
    const json& devices = file["devices"];
    if (!devices.is_array()) {
      *error = path + ": devices: an array is expected";
      return false;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
      ParamsEntry entry;
      if (!deviceEntry(devices[i], "devices[" + std::to_string(i) + "]", &entry, error)) {
        *error = path + ": " + *error;
        return false;
      }
      // A device whose parameters were not known gives none.
      if (!entry.parameters.is_null()) entries->push_back(entry);
    }
  } else {
    entries->push_back({"parameters", "parameters", true, "", -1, file});
  }
  for (const ParamsEntry& entry : *entries) {
    DeviceParams check;
    if (!paramsFromJson(entry.parameters, entry.where, &check, error)) {
      *error = path + ": " + *error;
      return false;
    }
  }
  return true;
}

namespace {

std::string entryText(const ParamsEntry& e) {
  const std::string serial = e.serial.empty() ? "no serial" : "serial " + e.serial;
  const std::string chain =
      e.chain < 0 ? "no chain position" : "chain position " + std::to_string(e.chain);
  return e.name + " (" + serial + ", " + chain + ")";
}

std::string chainText(const std::vector<ParamsDevice>& devices) {
  std::string text;
  for (const ParamsDevice& d : devices)
    text += (text.empty() ? "" : ", ") + d.serial + " at " + std::to_string(d.chain);
  return text;
}

}  // namespace

bool matchParams(const std::string& path, const std::vector<ParamsEntry>& entries,
                 const std::vector<ParamsDevice>& devices,
                 std::vector<const ParamsEntry*>* matched, std::string* error) {
  matched->assign(devices.size(), nullptr);
  const auto second = [&](const ParamsEntry& e, size_t i) {
    *error = path + ": " + entryText(e) + " is a second entry for " + devices[i].serial +
             ", after " + (*matched)[i]->name;
    return false;
  };
  // Entries by serial first, so that no entry takes by its chain position a device that another
  // entry names by its serial.
  std::vector<const ParamsEntry*> byChain;
  for (const ParamsEntry& e : entries) {
    size_t i = 0;
    while (i < devices.size() && (e.serial.empty() || devices[i].serial != e.serial)) ++i;
    if (e.anyDevice || i == devices.size()) {
      byChain.push_back(&e);
      continue;
    }
    if ((*matched)[i] != nullptr) return second(e, i);
    (*matched)[i] = &e;
  }
  for (const ParamsEntry* e : byChain) {
    bool found = false;
    for (size_t i = 0; i < devices.size(); ++i) {
      if (!e->anyDevice && (e->chain < 0 || devices[i].chain != e->chain)) continue;
      if ((*matched)[i] != nullptr) return second(*e, i);
      (*matched)[i] = e;
      found = true;
    }
    if (found) continue;
    *error = path + ": " + entryText(*e) + " is for no device of this chain (" +
             chainText(devices) + ")";
    return false;
  }
  return true;
}
