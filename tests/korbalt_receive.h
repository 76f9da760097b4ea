// Test helper: what the simulated devices sent through the event callback, per library index.
#ifndef RAVIK_TESTS_KORBALT_RECEIVE_H
#define RAVIK_TESTS_KORBALT_RECEIVE_H

#include <atomic>
#include <chrono>
#include <thread>

#include "codec_stamps.h"
#include "device/korbalt.h"

// What the callback received, written on the library's thread. The words are read by the test
// only after the callback has been removed; their counts at any time.
struct Received {
  Words words[3];
  std::atomic<size_t> sizes[3] = {{0}, {0}, {0}};
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
