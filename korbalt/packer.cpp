#include "korbalt/packer.h"

namespace korbalt {

namespace {

constexpr uint32_t kSecond = 0x80000000u;
constexpr uint32_t kTypeBit = 0x40000000u;
constexpr uint32_t kLow30 = 0x3FFFFFFFu;
constexpr uint32_t kLow27 = 0x07FFFFFFu;
constexpr uint32_t kLow17 = 0x0001FFFFu;
// Largest positive difference of each width (two's complement).
constexpr uint64_t kMax17 = (1u << 16) - 1;
constexpr uint64_t kMax27 = (1u << 26) - 1;

}  // namespace

void packAbsolute(int64_t time, uint32_t* out) {
  const uint64_t t = static_cast<uint64_t>(time);
  out[0] = static_cast<uint32_t>(t) & kLow30;
  out[1] = kSecond | (static_cast<uint32_t>(t >> 30) & kLow30);
}

Packed packEvents(const SimEvent* items, int32_t count, bool flush, int64_t* last,
                  uint32_t* out, int32_t capacity) {
  int64_t previous = *last;
  int32_t i = 0;
  int32_t w = 0;
  int32_t advances = 0;
  while (w + 2 <= capacity && i < count) {
    const int32_t left = count - i;
    if (left < 3 && !flush) break;
    const uint64_t d0 = static_cast<uint64_t>(items[i].time - previous);
    const uint32_t c0 = items[i].channel;
    advances += c0 == kAdvanceChannel;
    if (left >= 3) {
      const uint64_t d1 = static_cast<uint64_t>(items[i + 1].time - items[i].time);
      const uint64_t d2 = static_cast<uint64_t>(items[i + 2].time - items[i + 1].time);
      if ((d0 | d1 | d2) <= kMax17) {
        const uint32_t c1 = items[i + 1].channel;
        const uint32_t c2 = items[i + 2].channel;
        advances += (c1 == kAdvanceChannel) + (c2 == kAdvanceChannel);
        out[w] = kTypeBit | (static_cast<uint32_t>(d1 & 0x3FF) << 20) | (c0 << 17) |
                 static_cast<uint32_t>(d0 & kLow17);
        out[w + 1] = kSecond | (c2 << 27) | (static_cast<uint32_t>(d2 & kLow17) << 10) |
                     (c1 << 7) | static_cast<uint32_t>(d1 >> 10);
        previous = items[i + 2].time;
        i += 3;
        w += 2;
        continue;
      }
    }
    if (left >= 2) {
      const uint64_t d1 = static_cast<uint64_t>(items[i + 1].time - items[i].time);
      if ((d0 | d1) <= kMax27) {
        advances += items[i + 1].channel == kAdvanceChannel;
        out[w] = (c0 << 27) | static_cast<uint32_t>(d0);
        out[w + 1] = kSecond | kTypeBit | (static_cast<uint32_t>(items[i + 1].channel) << 27) |
                     static_cast<uint32_t>(d1);
        previous = items[i + 1].time;
        i += 2;
        w += 2;
        continue;
      }
    }
    out[w] = kTypeBit | (static_cast<uint32_t>(d0) & kLow30);
    out[w + 1] = kSecond | kTypeBit | (c0 << 27) | (static_cast<uint32_t>(d0 >> 30) & kLow27);
    previous = items[i].time;
    i += 1;
    w += 2;
  }
  *last = previous;
  return Packed{w, i, advances};
}

}  // namespace korbalt
