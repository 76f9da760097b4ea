// The file of ravik-record --params: the device parameters to set before recording.
//
// Either a run report, whose "devices" each give "serial", "chain" and "parameters" (so that a
// run can be repeated from its report), or one parameters object (chain/paramsjson.h) for every
// device. Only the keys a parameters object names are set; a device keeps its other values.
#ifndef RAVIK_CHAIN_PARAMSFILE_H
#define RAVIK_CHAIN_PARAMSFILE_H

#include <stdint.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct ParamsEntry {
  std::string name;           // the entry, for messages: "devices[1]", or "parameters"
  std::string where;          // its place in the file, for messages: "devices[1].parameters"
  bool anyDevice = false;     // a bare parameters object: for every device
  std::string serial;         // empty: none given
  int32_t chain = -1;         // -1: none given
  nlohmann::json parameters;  // checked by loadParamsFile()
};

// Reads and checks the whole file; false with one line naming the file and the key at fault.
bool loadParamsFile(const std::string& path, std::vector<ParamsEntry>* entries,
                    std::string* error);

// A device of the chain found, as the entries name it.
struct ParamsDevice {
  std::string serial;
  int32_t chain;
};

// The entry for each of `devices` (in their order; null: none), once the chain is found: the one
// with its serial, else the one with its chain position whose serial is none of the chain's;
// a bare parameters object for all. False with a message naming the file (`path`) and the entry
// when an entry is for no device of the chain (a misspelt serial, a chain position not found),
// or is a second entry for one device: either would be ignored without a word.
bool matchParams(const std::string& path, const std::vector<ParamsEntry>& entries,
                 const std::vector<ParamsDevice>& devices,
                 std::vector<const ParamsEntry*>* matched, std::string* error);

#endif
