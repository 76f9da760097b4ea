#include "monitor/tapqueue.h"

#include <string.h>

#include "codec/tdc56.h"

namespace {

constexpr uint32_t kSecondWordBit = 1u << 31;
constexpr uint32_t kLow30 = (1u << 30) - 1;

// Entry header: kind in the top two bits, payload words below.
constexpr uint32_t kBlock = 0;
constexpr uint32_t kGap = 1;
constexpr uint32_t kPad = 2;  // the rest of the ring up to its end is unused
constexpr int kKindShift = 30;
constexpr uint32_t kGapWords = 7;

template <int kBits>
uint64_t signExtend(uint64_t value) {
  return uint64_t(int64_t(value << (64 - kBits)) >> (64 - kBits));
}

// The time of a gap as a walk over its packets, kept in registers.
struct TimeWalk {
  uint64_t time;
  bool absolute;

  // One packet: moves or sets the time; false on an ordering error.
  bool step(uint32_t first, uint32_t second) {
    if (((first >> 31) | (~second >> 31)) != 0) return false;
    const uint32_t type = (second >> 29 & 2) | (first >> 30 & 1);
    if (type == 0) {
      time = uint64_t(second & kLow30) << 30 | (first & kLow30);
      absolute = true;
      return true;
    }
    if (absolute && time == 0) return true;  // no time yet: the decoder skips the packet
    const uint64_t three = signExtend<17>(first) +
                           signExtend<17>((first >> 20 & 0x3FF) | (second & 0x7F) << 10) +
                           signExtend<17>(second >> 10);
    const uint64_t two = signExtend<27>(first) + signExtend<27>(second);
    const uint64_t one = signExtend<57>(uint64_t(second & ((1u << 27) - 1)) << 30 | (first & kLow30));
    time += type == 1 ? three : type == 2 ? two : one;
    return true;
  }
};

bool misaligned(const uint32_t* words, int32_t count) {
  return count >= 2 && ((words[0] ^ words[1]) & kSecondWordBit) == 0;
}

uint32_t pendingAfter(const uint32_t* words, int32_t count) {
  const uint32_t last = words[count - 1];
  return (last & kSecondWordBit) ? 0 : last;
}

}  // namespace

void advanceTime60(TapGap* gap, const uint32_t* words, int32_t count) {
  if (count <= 0 || misaligned(words, count)) return;
  TimeWalk walk{gap->time, gap->absolute};
  int32_t i = 0;
  bool ok = true;
  if (words[0] & kSecondWordBit) {
    i = 1;
    if (gap->pendingWord != 0) ok = walk.step(gap->pendingWord, words[0]);
  }
  for (; ok && i + 1 < count; i += 2) ok = walk.step(words[i], words[i + 1]);
  gap->time = walk.time;
  gap->absolute = walk.absolute;
  if (ok) gap->pendingWord = pendingAfter(words, count);
}

void applyGap(Tdc56Instance* codec, const TapGap& gap) {
  if (gap.absolute)
    codec->lastTime = int64_t(gap.time);
  else if (codec->lastTime != 0)
    codec->lastTime = int64_t(uint64_t(codec->lastTime) + gap.time);
  codec->pendingWord = gap.pendingWord;
}

TapQueue::TapQueue(uint32_t capacityWords)
    : _capacity([capacityWords] {
        uint32_t c = 64;
        while (c < capacityWords && c < (1u << 31)) c <<= 1;
        return c;
      }()),
      _ring(new uint32_t[_capacity]()) {}  // touched now, so the callback meets no page fault

uint64_t TapQueue::place(uint64_t head, uint32_t n) const {
  const uint32_t toEnd = _capacity - uint32_t(head & (_capacity - 1));
  return head + (n <= toEnd ? n : toEnd + n);
}

uint64_t TapQueue::write(uint64_t head, uint32_t kind, const uint32_t* payload, uint32_t n) {
  uint32_t pos = uint32_t(head & (_capacity - 1));
  if (n + 1 > _capacity - pos) {
    _ring[pos] = kPad << kKindShift;
    head += _capacity - pos;
    pos = 0;
  }
  _ring[pos] = kind << kKindShift | n;
  memcpy(&_ring[pos + 1], payload, size_t(n) * sizeof(uint32_t));
  return head + n + 1;
}

void TapQueue::push(const uint32_t* words, int32_t count) {
  if (count <= 0) return;
  const uint64_t tail = _tail.load(std::memory_order_acquire);
  uint64_t head = _head.load(std::memory_order_relaxed);
  uint64_t end = place(head, uint32_t(count) + 1);
  if (_inGap) end = place(place(head, kGapWords + 1), uint32_t(count) + 1);
  if (uint64_t(count) >= _capacity || end - tail > _capacity) {
    if (!_inGap) {
      _gap = TapGap();
      _gap.pendingWord = _pending;
      _inGap = true;
    }
    advanceTime60(&_gap, words, count);
    _gap.words += uint64_t(count);
    _pending = _gap.pendingWord;
    _dropped.fetch_add(uint64_t(count), std::memory_order_relaxed);
    return;
  }
  if (_inGap) {
    const uint32_t payload[kGapWords] = {uint32_t(_gap.time),     uint32_t(_gap.time >> 32),
                                         _gap.absolute ? 1u : 0u, _gap.pendingWord,
                                         uint32_t(_gap.words),    uint32_t(_gap.words >> 32),
                                         0};
    head = write(head, kGap, payload, kGapWords);
    _inGap = false;
  }
  head = write(head, kBlock, words, uint32_t(count));
  if (!misaligned(words, count)) _pending = pendingAfter(words, count);
  _head.store(head, std::memory_order_release);
}

bool TapQueue::front(TapEntry* entry) {
  uint64_t tail = _tail.load(std::memory_order_relaxed);
  const uint64_t head = _head.load(std::memory_order_acquire);
  while (tail != head) {
    const uint32_t pos = uint32_t(tail & (_capacity - 1));
    const uint32_t header = _ring[pos];
    const uint32_t kind = header >> kKindShift;
    if (kind == kPad) {
      tail += _capacity - pos;
      _tail.store(tail, std::memory_order_release);
      continue;
    }
    const uint32_t n = header & ((1u << kKindShift) - 1);
    const uint32_t* payload = &_ring[pos + 1];
    entry->isGap = kind == kGap;
    entry->words = payload;
    entry->count = int32_t(n);
    if (entry->isGap) {
      entry->gap.time = uint64_t(payload[1]) << 32 | payload[0];
      entry->gap.absolute = payload[2] != 0;
      entry->gap.pendingWord = payload[3];
      entry->gap.words = uint64_t(payload[5]) << 32 | payload[4];
    }
    _frontEnd = tail + n + 1;
    return true;
  }
  return false;
}

void TapQueue::pop() { _tail.store(_frontEnd, std::memory_order_release); }
