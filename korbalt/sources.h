// Where a simulated device's events come from, on the chain's shared time axis (picoseconds).
//
// Four sources are merged in time order: uncorrelated background events on the enabled inputs,
// the device's share of the correlated pairs (one event on one device, the other a fixed delay
// later on the next device of the chain), marker packets once per millisecond, and time-advance
// items that keep the stream's time moving through quiet stretches.
#ifndef RAVIK_KORBALT_SOURCES_H
#define RAVIK_KORBALT_SOURCES_H

#include <stdint.h>

#include <functional>
#include <queue>
#include <vector>

#include "korbalt/random.h"
#include "korbalt/scenario.h"

namespace korbalt {

// One item of a device's stream. Channels 0..5 are events, 6 a marker packet whose time
// carries the marker flags in its remainder modulo 5000, 7 only advances the time.
struct SimEvent {
  int64_t time;
  uint8_t channel;
};

// Channels 0..5 carry events.
constexpr int32_t kEventChannels = 6;
constexpr uint8_t kMarkerChannel = 6;
constexpr uint8_t kAdvanceChannel = 7;
constexpr int64_t kNever = INT64_MAX;
constexpr int64_t kPsPerMs = 1000000000;
// Longest stretch without any item: then a time-advance item follows.
constexpr int64_t kQuietPs = kPsPerMs;
// Input channel that carries both events of a correlated pair.
constexpr uint8_t kPairChannel = 1;

// What the device's parameters make of its stream.
struct StreamConfig {
  double rates[kInputChannels];  // events/s of the inputs that are enabled and present, else 0
  bool pairChannelOn;            // kPairChannel is enabled and present
  uint32_t markers;              // enabled markers of a device that has them
  bool fiveChannel;              // input 0 is reported as channel 5
  int32_t delaysPs[kEventChannels];  // signal delay of each reported channel

  bool operator==(const StreamConfig& o) const;
  bool operator!=(const StreamConfig& o) const { return !(*this == o); }
};

// Uncorrelated events of all enabled inputs: one Poisson process of the summed rate, each event
// given to an input with the probability of its share.
class BackgroundSource {
public:
  explicit BackgroundSource(uint64_t seed) : _state{Random(seed), kNever, 0} {}
  void configure(const StreamConfig& config);
  // The next event comes after `t`.
  void seek(int64_t t);
  int64_t next() const { return _state.next; }
  uint8_t channel() const { return _state.channel; }
  void advance() { draw(_state, _state.next); }
  // Appends the events due up to `bound` that follow the item at *last within kQuietPs, at most
  // `max`; returns their number and moves *last to the last of them. The hot loop of a stream.
  int32_t run(SimEvent* out, int32_t max, int64_t bound, int64_t* last);

private:
  // The state of the process; run() works on a local copy, which can stay in registers.
  struct Draw {
    Random random;
    int64_t next;
    uint8_t channel;
  };
  void draw(Draw& d, int64_t from) const;

  Draw _state;
  double _meanPs = 0;                    // 0: no input enabled
  uint32_t _limit[kInputChannels] = {};  // cumulative shares in 1/65536
  uint8_t _channelOf[kInputChannels] = {};
};

// One device's share of the correlated pairs, as first or as second member. Every device walks
// the same pair sequence, which is cut into 1 ms windows seeded from the scenario's seed, so
// that all devices agree on it without talking to each other and a walk may start anywhere.
// Pair j of window w joins chain member (w + j) mod n with the member after it. With a lifetime
// the later event of each pair comes a further exponential time of that mean after the delay, as
// a fluorescence photon after its excitation; such events are handed out in time order (a pair's
// decay may end after later pairs'). A seek forgets the decays still under way.
class PairWalker {
public:
  // `member` of `members` scenario devices; `second`: this device is the later one of its pairs.
  void init(uint64_t seed, double pairRate, int64_t delayPs, int32_t members, int32_t member,
            bool second, int64_t lifetimePs = 0);
  // The next event is at `t` or later.
  void seek(int64_t t);
  int64_t next() const { return _next; }
  void advance();

private:
  void enterWindow(int64_t window);
  // Moves _pairTime on to the next pair this device takes part in.
  void nextPair();
  // With a lifetime: decays the pairs until the earliest decay pending is due before any pair
  // still to come, and makes it the next event.
  void settleDecays();

  uint64_t _seed = 0;
  double _meanPs = 0;   // 0: no pairs
  int64_t _offset = 0;  // delay of this device's event after the pair's time
  int32_t _members = 0;
  int32_t _wanted = 0;  // the first member of the pairs this device takes part in
  int64_t _window = 0;
  int32_t _pairInWindow = 0;
  int64_t _pairTime = 0;
  Random _random;
  int64_t _next = kNever;
  double _lifetimePs = 0;  // 0: no decay
  Random _decay;
  std::priority_queue<int64_t, std::vector<int64_t>, std::greater<int64_t>> _decays;
};

// Marker packets on the millisecond grid: the "ms Tick" marker every millisecond; marker
// input k (0..3) rises every 10 * 2^k ms and falls half a period later.
class MarkerSource {
public:
  void configure(uint32_t enabled) { _enabled = enabled & 0x1FF; }
  void seek(int64_t t);
  int64_t next() const { return _next; }
  void advance() { find(_tick + 1); }
  // Flags of a millisecond tick, before the enabled mask.
  static uint32_t flagsAt(int64_t tick);

private:
  void find(int64_t tick);

  uint32_t _enabled = 0;
  int64_t _tick = 0;
  int64_t _next = kNever;
};

// All sources of one device, merged.
class EventSources {
public:
  EventSources(const DeviceSetup& setup, const Scenario& scenario);
  void configure(const StreamConfig& config);
  // Starts the stream anew at `t`: nothing before it is produced.
  void restart(int64_t t);
  // Appends up to `max` items with times up to `until`; returns their number.
  int32_t fill(SimEvent* out, int32_t max, int64_t until);
  // Time of the next item that fill() would produce.
  int64_t nextTime() const;
  int64_t last() const { return _last; }

private:
  void updateOther();
  // Consumes the source whose next item is at `t` and returns the item's channel.
  uint8_t take(int64_t t);

  BackgroundSource _background;
  PairWalker _firstOfPair;
  PairWalker _secondOfPair;
  MarkerSource _markers;
  StreamConfig _config{};
  int64_t _other = kNever;  // earliest of pairs and markers
  int64_t _last = 0;        // time of the last item produced
};

}  // namespace korbalt

#endif
