// A device's parameter set as JSON: the "parameters" object of each device in the run report,
// which ravik-record --params reads back. Keys are named after the dialog's fields, with the unit
// where there is one; combo boxes by their entry texts (null: no entry), masks as numbers.
//
//   {"channels": [{"enable": true, "type": "LVTTL", "trigger": "Falling Edge",
//                  "threshold_v": 2.0, "signal_delay_ns": 0.0, "dead_time_ns": 0.0,
//                  "filter": "None", "filter_channels": 0}, ... one per channel 0..4],
//    "markers": 16, "divider": 1, "reconstruct": false, "five_channel": false,
//    "coincidence_window_ns": 0.0, "single_stop": false,
//    "generate": false, "period_ns": 40.0, "burst_count": 1, "burst_distance_us": 1.0}
//
// "markers" is the enabled-marker mask (bit k: marker k, 0x10 the ms tick), "filter_channels"
// the channel's filter boxes (bit j: channel j). Delays, dead times and the coincidence window
// are what the device applies, to the ps (1.5 ns is 1500 ps, 1.234 ns 1234 ps), whatever the
// dialog shows; the other numbers are at the dialog's resolution. No Qt.
#ifndef RAVIK_CHAIN_PARAMSJSON_H
#define RAVIK_CHAIN_PARAMSJSON_H

#include <string>

#include <nlohmann/json.hpp>

#include "chain/deviceparams.h"

nlohmann::json paramsToJson(const DeviceParams& params);

// Sets the parameters that `json` names and leaves the others alone; values are taken at the
// dialog's resolution, times of the device to the ps (truncated, as the dialog writes them).
// False on the first unknown key, wrong type or value out of the dialog's range, with a message
// naming the key after `where` (e.g. "devices[1].parameters") in *error.
bool paramsFromJson(const nlohmann::json& json, const std::string& where, DeviceParams* params,
                    std::string* error);

#endif
