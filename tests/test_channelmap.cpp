// Output channels that two devices of a chain would fill: mixed channel modes, chain positions
// from 20 up beside markers, and what does not count (a shared position, inputs when only
// markers are asked about).
#include <gtest/gtest.h>

#include "merge/channelmap.h"

namespace {

TEST(ChannelMap, OverlapsOfTheChain) {
  const ChainChannels four0{0, kFourChannelInputs, 0}, five0{0, kFiveChannelInputs, 0};
  const ChainChannels four1{1, kFourChannelInputs, 0}, five1{1, kFiveChannelInputs, 0};
  const struct {
    std::vector<ChainChannels> chain;
    bool markersOnly;
    std::vector<std::vector<int32_t>> overlaps;  // output, a, b, channel a, channel b
  } cases[] = {
      {{four0, four1, {2, kFourChannelInputs, 0}}, false, {}},
      {{five0, five1, {2, kFiveChannelInputs, 0x1FF}}, false, {}},
      // A master in five-channel mode beside a slave without it: channel 5 twice.
      {{five0, four1}, false, {{5, 0, 1, 5, 0}}},
      {{four0, five1, four1}, false, {}},  // same position: mixed on purpose
      {{five0, four1}, true, {}},
      // Position 20's inputs are the master's markers 100..104 (only the enabled ones).
      {{{0, kFourChannelInputs, 0x011}, {20, kFourChannelInputs, 0}}, false,
       {{100, 0, 1, 100, 0}, {104, 0, 1, 104, 4}}},
      {{{0, kFourChannelInputs, 0}, {20, kFourChannelInputs, 0}}, false, {}},
      // Input 5 of position 19 is the master's marker 100, when it may be in use.
      {{{0, kFourChannelInputs, 0x1}, {19, kAnyInputs, 0}}, true, {{100, 0, 1, 100, 5}}},
      {{{0, kFourChannelInputs, 0x1}, {19, kFourChannelInputs, 0}}, true, {}},
      // Markers 200.. of position 0 and markers 100.. of position 20.
      {{{0, 0, 0x020}, {20, 0, 0x001}}, true, {{200, 0, 1, 200, 100}}},
      // Far positions wrap in 16 bits as the merge stores them: 5 * 13107 + 1 = 65536 -> 0.
      {{{0, kFourChannelInputs, 0}, {13107, kAnyInputs, 0}}, false,
       {{0, 0, 1, 0, 1}, {1, 0, 1, 1, 2}, {2, 0, 1, 2, 3}, {3, 0, 1, 3, 4}, {4, 0, 1, 4, 5}}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    std::vector<std::vector<int32_t>> found;
    for (const ChannelOverlap& o : channelOverlaps(cases[i].chain, cases[i].markersOnly))
      found.push_back({o.output, int32_t(o.a), int32_t(o.b), o.channelA, o.channelB});
    EXPECT_EQ(found, cases[i].overlaps) << "case " << i;
  }
  const ChannelOverlap o = channelOverlaps({five0, four1}).front();
  EXPECT_EQ(overlapText(o, {"Master A", "Slave 1 B"}),
            "channel 5 (Master A input 5, Slave 1 B input 0)");
}

// The check at the start of a recording names every chain position and every device whose markers
// take part, and only marker clashes count.
TEST(ChannelMap, MarkerClashNamesThePositionsAndTheMarkedDevices) {
  const auto device = [](int32_t chain, uint32_t inputs, uint32_t markers, const char* serial) {
    const std::string role = chain == 0 ? "Master" : "Slave " + std::to_string(chain);
    return NamedChannels{{chain, inputs, markers}, role, serial};
  };
  const struct {
    std::vector<NamedChannels> chain;
    std::string message;
  } cases[] = {
      {{device(0, kFourChannelInputs, 0x1FF, "A"), device(1, kFourChannelInputs, 0x1FF, "B")}, ""},
      // Inputs on inputs (the five-channel mode beside a device without it) are no marker clash.
      {{device(0, kFiveChannelInputs, 0, "A"), device(1, kFourChannelInputs, 0, "B")}, ""},
      {{device(0, kFourChannelInputs, 0x2, "A"), device(20, kFourChannelInputs, 0, "B")},
       "chain positions 0 and 20 would share output channel 101 (Master A marker 101, Slave 20 B "
       "input 1); disable the markers of A or use chain positions below 20"},
      // Position 21's inputs 0..3 are position 1's markers 100..103, position 20's its markers
      // 200..203; position 0's marker 200 is position 20's marker 100.
      {{device(0, kFourChannelInputs, 0x20, "A"), device(1, kFourChannelInputs, 0x1, "B"),
        device(20, kFourChannelInputs, 0x1, "C"), device(21, kFourChannelInputs, 0, "D")},
       "chain positions 0, 1, 20 and 21 would share output channel 105 (Slave 1 B marker 100, "
       "Slave 21 D input 0) and 1 more output channel; disable the markers of A, B and C or use "
       "chain positions below 20"},
  };
  for (const auto& c : cases) EXPECT_EQ(markerClash(c.chain), c.message);
}

}  // namespace
