// Which output channels the devices of a chain fill, and where two devices would fill the same
// one. The merge writes channel c of the device at chain position p as 5p + c and its markers as
// 5p + 100..104 and 5p + 200..203: a device in five-channel mode beside one without it, or chain
// positions from 20 up beside enabled markers, give two devices one output channel, and their
// timestamps could no longer be told apart.
#ifndef RAVIK_MERGE_CHANNELMAP_H
#define RAVIK_MERGE_CHANNELMAP_H

#include <stdint.h>

#include <string>
#include <vector>

// The inputs a device reports (bit c: channel c): 0..4 in four-channel mode, 1..5 in
// five-channel mode (its start input as channel 5); any of 0..5 when the mode is not known.
constexpr uint32_t kFourChannelInputs = 0x1F;
constexpr uint32_t kFiveChannelInputs = 0x3E;
constexpr uint32_t kAnyInputs = 0x3F;

struct ChainChannels {
  int32_t chainPos;
  uint32_t inputs;   // see above
  uint32_t markers;  // enabled-marker mask, bits 0..8
};

// One output channel that two devices would fill: by device `a` (an index into the list) with
// its channel `channelA`, and by device `b` with `channelB` (inputs 0..5, markers 100..203).
struct ChannelOverlap {
  int32_t output;
  size_t a, b;
  int32_t channelA, channelB;
};

// Every output channel that devices at different chain positions would share (devices that share
// a position mix on purpose, see kSharedPositionsOption), once each, in rising order. With
// `markersOnly` only overlaps with a marker on at least one side count: for streams whose mode is
// not known, whose inputs may overlap the next device's only when the modes differ.
std::vector<ChannelOverlap> channelOverlaps(const std::vector<ChainChannels>& devices,
                                            bool markersOnly = false);

// True when a device of the chain fills output channel `output`.
bool chainHasChannel(const std::vector<ChainChannels>& devices, int32_t output);

// "channel 5 (chain position 0 input 5, chain position 1 input 0)", the positions as given by
// `names` (one per device, e.g. "chain position 1" or "slave 1 TK24072").
std::string overlapText(const ChannelOverlap& overlap, const std::vector<std::string>& names);

// A device about to record, with the names a message gives it.
struct NamedChannels {
  ChainChannels channels;
  std::string role;    // "Master", "Slave 20"
  std::string serial;  // "TK24071"
};

// The check before any recording starts, in the window and in ravik-record: empty when no
// device's enabled markers share an output channel with another device's channels (from chain
// position 20 up, or 19 for input 5); otherwise one line naming the chain positions concerned,
// the first shared channel and the devices whose markers must be disabled to record the chain:
// "chain positions 0 and 20 would share output channel 100 (Master TK24071 marker 100, Slave 20
// TK24072 input 0); disable the markers of TK24071 or use chain positions below 20".
std::string markerClash(const std::vector<NamedChannels>& devices);

#endif
