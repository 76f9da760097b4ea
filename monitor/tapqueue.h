// The monitor's tap on the recording path: a bounded queue of one device's data blocks, filled
// by the event callback and emptied by the monitor thread.
//
// The callback never blocks and never allocates here. A block that fits is copied; one that
// does not is dropped, but its packets are still walked for their time alone, so that the
// monitor's decoder can carry on at the right time after the gap (the stream is delta-coded).
// The walk costs several times a copy, so a consumer that falls behind walks blocks itself
// (see crowded()) long before the tap has to.
//
// One producer thread and one consumer thread; each side touches only its own members and
// the two positions.
#ifndef RAVIK_MONITOR_TAPQUEUE_H
#define RAVIK_MONITOR_TAPQUEUE_H

#include <stdint.h>

#include <atomic>
#include <memory>

// What a run of dropped blocks did to the stream's time, in the terms of the 60-bit decoder.
struct TapGap {
  bool absolute = false;  // an absolute-time packet lay in the gap: `time` is the stream time
  uint64_t time = 0;      // else the sum of the time differences of the gap's packets
  uint32_t pendingWord = 0;  // the first half of a packet left open by the gap's last block
  uint64_t words = 0;        // words dropped
};

// Follows a 60-bit word-pair stream's time without producing events, exactly as
// tdc56Decode60() moves its time and pending word, for `words[0..count)`.
void advanceTime60(TapGap* gap, const uint32_t* words, int32_t count);

// Brings a decoder's state past a gap: its time and pending word become what decoding the
// dropped blocks would have left. A decoder that has seen no absolute time yet stays so unless
// the gap held one.
struct Tdc56Instance;
void applyGap(Tdc56Instance* codec, const TapGap& gap);

struct TapEntry {
  bool isGap;
  const uint32_t* words;  // the block (not for a gap); valid until pop()
  int32_t count;
  TapGap gap;
};

class TapQueue {
public:
  // Room for `capacityWords` words (rounded up to a power of two) of blocks and headers.
  explicit TapQueue(uint32_t capacityWords);
  TapQueue(const TapQueue&) = delete;
  TapQueue& operator=(const TapQueue&) = delete;

  // Producer: queues one delivered block, or drops it into the current gap.
  void push(const uint32_t* words, int32_t count);

  // Consumer: the oldest entry, false when there is none. It stays until pop().
  bool front(TapEntry* entry);
  void pop();

  // Consumer: whether more than half the room is taken, so that the consumer should catch up.
  bool crowded() const {
    return _head.load(std::memory_order_acquire) - _tail.load(std::memory_order_relaxed) >
           _capacity / 2;
  }

  // Words dropped since construction; read by any thread.
  uint64_t droppedWords() const { return _dropped.load(std::memory_order_relaxed); }

private:
  // The position after placing an entry of `n` words at `head`, with the padding that keeps
  // every entry in one piece.
  uint64_t place(uint64_t head, uint32_t n) const;
  uint64_t write(uint64_t head, uint32_t kind, const uint32_t* payload, uint32_t n);

  const uint32_t _capacity;  // a power of two
  std::unique_ptr<uint32_t[]> _ring;
  std::atomic<uint64_t> _head{0};  // words written, moved by the producer
  std::atomic<uint64_t> _tail{0};  // words released, moved by the consumer
  std::atomic<uint64_t> _dropped{0};

  // Producer side.
  uint32_t _pending = 0;  // the decoder's pending word after the last block pushed
  bool _inGap = false;
  TapGap _gap;

  // Consumer side.
  uint64_t _frontEnd = 0;  // the position after the entry front() returned
};

// The one step the event callbacks take for the monitor: nothing when no monitor runs.
inline void tapBlock(TapQueue* tap, const uint32_t* words, int32_t count) {
  if (tap != nullptr) tap->push(words, count);
}

#endif
