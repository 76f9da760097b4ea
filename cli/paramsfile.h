// The file of ravik-record --params: the device parameters to set before recording.
//
// Either a run report, whose "devices" each give "serial", "chain" and "parameters" (so that a
// run can be repeated from its report), or one parameters object (device/paramsjson.h) for every
// device. Only the keys a parameters object names are set; a device keeps its other values.
#ifndef RAVIK_CLI_PARAMSFILE_H
#define RAVIK_CLI_PARAMSFILE_H

#include <stdint.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct ParamsEntry {
  std::string where;          // its place in the file, for messages: "devices[1].parameters"
  bool anyDevice = false;     // a bare parameters object: for every device
  std::string serial;         // empty: none given
  int32_t chain = -1;         // -1: none given
  nlohmann::json parameters;  // checked by loadParamsFile()
};

// Reads and checks the whole file; false with one line naming the file and the key at fault.
bool loadParamsFile(const std::string& path, std::vector<ParamsEntry>* entries,
                    std::string* error);

// The entry of the device with this serial and chain position: the first with its serial, else
// the first with its chain position; null when none.
const ParamsEntry* matchParams(const std::vector<ParamsEntry>& entries, const std::string& serial,
                               int32_t chain);

#endif
