// The JSON form of a list of virtual channels (monitor/virtualchannels.h): the file of
// ravik-record --virtual, the window's ravik-virtual.json and the run manifest's "virtual" list.
//
//   [{"type": "coincidence", "channels": [1, 6], "window_ps": 5000},
//    {"type": "delayed", "channel": 6, "delay_ps": -1500},
//    {"type": "combined", "channels": [1, 6]},
//    {"type": "gated", "channel": 6, "gate_open": 100, "gate_close": 101}]
//
// Each entry may give "output", its output channel in the virtual block; without it the k-th
// entry (from 0) is 30000 + k. Channels are output channel numbers; an entry may name the output
// of an entry before it. No Qt.
#ifndef RAVIK_CHAIN_VIRTUALJSON_H
#define RAVIK_CHAIN_VIRTUALJSON_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "monitor/virtualchannels.h"

// The list with every output channel given, as virtualFromJson() reads it back.
nlohmann::json virtualToJson(const std::vector<VirtualChannel>& list);

// The definitions of `json`, checked and with their output channels; false with a message
// naming the entry and key ("[1].window_ps: ...") in *error.
bool virtualFromJson(const nlohmann::json& json, std::vector<VirtualChannel>* list,
                     std::string* error);

// The run report's "virtual" entry of channels written to the outputs: [{"channel", "label"}].
nlohmann::json virtualReport(const std::vector<VirtualChannel>& list);
// Each channel's label, for the HDF5 output's detectors.
std::map<int16_t, std::string> virtualLabels(const std::vector<VirtualChannel>& list);

// Reads a file of that form; false with a message that begins with the file's path.
bool loadVirtualFile(const std::string& path, std::vector<VirtualChannel>* list,
                     std::string* error);

#endif
