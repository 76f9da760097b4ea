// Test helper: what the simulated devices sent through the event callback, what the codec makes
// of a simulated stream, and what it should make of it.
#ifndef RAVIK_TESTS_KORBALT_DECODE_H
#define RAVIK_TESTS_KORBALT_DECODE_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "codec_stamps.h"
#include "device/korbalt.h"
#include "korbalt/sources.h"

// The timestamps a decoder should produce for items: markers expand, time advances vanish.
inline Stamps expectedTimestamps(const std::vector<korbalt::SimEvent>& items, uint32_t markerMask) {
  static const uint8_t kMarkerOfFlag[9] = {100, 101, 102, 103, 104, 200, 201, 202, 203};
  Stamps out;
  for (const korbalt::SimEvent& e : items) {
    const int64_t flags = e.time % 5000;
    for (int b = 0; e.channel == korbalt::kMarkerChannel && b < 9; ++b) {
      if ((flags & markerMask) >> b & 1) out.push_back({e.time - flags, kMarkerOfFlag[b]});
    }
    if (e.channel < korbalt::kMarkerChannel) out.push_back({e.time, e.channel});
  }
  return out;
}

struct Block {
  int32_t device;
  Words words;
};

// What the callback received from each of `devices` devices, written on the library's thread:
// their words, and the blocks in the order they came. These are read by the test only after the
// callback has been removed; the counts of the words at any time.
struct Received {
  explicit Received(size_t devices = 3) : words(devices), sizes(devices) {}
  std::vector<Words> words;
  std::vector<std::atomic<size_t>> sizes;
  std::vector<Block> blocks;
  size_t stopAt = 0;  // the callback removes itself once every device sent this many words
  int stallMs = 0;    // the first call sleeps this long
  int lingerMs = 0;   // the call that removed the callback stays this long before it returns
  std::atomic<int> calls{0};
  std::atomic<bool> inside{false}, stopped{false};
};
inline Received* gReceived = nullptr;

inline void receive(int32_t** index, int, int words, int, uint32_t* data) {
  Received& r = *gReceived;
  r.inside = true;
  if (r.calls++ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.stallMs));
  Words& got = r.words[**index];
  got.insert(got.end(), data, data + words);
  r.blocks.push_back({**index, Words(data, data + words)});
  r.sizes[**index] = got.size();
  bool enough = r.stopAt > 0;
  for (const Words& w : r.words) enough = enough && w.size() >= r.stopAt;
  if (enough && !r.stopped) {
    EXPECT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
    r.stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(r.lingerMs));
  }
  r.inside = false;
}

// Registers `receive` for `r`.
inline int32_t listen(Received& r) {
  gReceived = &r;
  return UL_setEventCallback(KORBALT_EVENT_DATA, receive);
}

#endif
