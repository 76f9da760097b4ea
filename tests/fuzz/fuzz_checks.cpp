#include "tests/fuzz/fuzz_checks.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "codec/tdc56.h"

namespace {

void require(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "codec property violated: %s\n", what);
  abort();
}

// The configuration prefix of an input and the block sizes drawn from it: flags, divider, start
// period, marker mask, largest block, seed of the block sizes, sorting offsets.
struct FuzzInput {
  static constexpr size_t kPrefix = 16;

  FuzzInput(const uint8_t* data, size_t size)
      : payload(data + std::min(size, kPrefix)), payloadSize(size - std::min(size, kPrefix)) {
    memcpy(prefix, data, std::min(size, kPrefix));
    state = prefix[7] | 1u;
  }
  uint32_t markerMask() const { return uint32_t(prefix[4] | prefix[5] << 8); }
  void configure(Tdc56Instance* codec) const {
    int32_t offsets[8];
    for (int i = 0; i < 8; ++i) offsets[i] = int8_t(prefix[8 + i]);
    if (prefix[0] & 1) tdc56SetOffsets(codec, offsets);
    if (prefix[0] & 2) tdc56SetDivider(codec, prefix[1] % 9);
    if (prefix[0] & 4) tdc56SetStartPeriod(codec, int16_t(prefix[2] | prefix[3] << 8));
  }
  // Next block size in units, 1 .. min(left, largest block).
  size_t nextBlock(size_t left) {
    state = state * 1103515245u + 12345u;
    return std::min<size_t>(left, 1 + (state >> 16) % (1u + prefix[6]));
  }

  uint8_t prefix[kPrefix] = {};
  uint32_t state;
  const uint8_t* payload;
  size_t payloadSize;
};

// Collects what a decoder delivered into `out` (exactly kTdc56ListSize entries), checks the
// output rules of both modes and returns the count.
size_t popChecked(Tdc56Instance* codec, std::vector<PpTimest>& out) {
  const int32_t appended = codec->outCount;
  const bool sorting = codec->sortActive != 0;
  const int32_t n = tdc56Pop(codec, out.data());
  require(n >= 0 && n <= kTdc56ListSize, "pop count within the list");
  if (!sorting) {
    require(n == std::min(appended, kTdc56ListSize), "pop returns the direct list");
    require(codec->outCount == 0, "pop empties the direct list");
  }
  for (int32_t i = 0; sorting && i < n; ++i) {
    require(out[i].time <= codec->lastTime, "queue releases only up to the stream time");
    require(i == 0 || out[i - 1].time <= out[i].time, "queue releases in time order");
  }
  return size_t(n);
}

// One instance and one pop area serve every input: allocating 256 KiB twice per input would
// make the fuzzer crawl. Reset starts each input's stream afresh, as it does in the merge.
Tdc56Instance* freshInstance() {
  static Tdc56Instance* const codec = tdc56Init();
  tdc56Reset(codec);
  return codec;
}

std::vector<PpTimest>& popArea() {
  static std::vector<PpTimest> area(kTdc56ListSize);
  return area;
}

// Feeds the payload in blocks of `unit` bytes each, every block copied to a buffer of its exact
// size so that the sanitizer sees any read beyond it.
void feedBlocks(const uint8_t* data, size_t size, size_t unit,
                const std::function<void(Tdc56Instance*, const uint8_t*, size_t, uint32_t)>& decode) {
  FuzzInput input(data, size);
  Tdc56Instance* codec = freshInstance();
  input.configure(codec);
  const size_t units = input.payloadSize / unit;
  for (size_t at = 0, n; at < units; at += n) {
    n = input.nextBlock(units - at);
    std::vector<uint8_t> block(input.payload + at * unit, input.payload + (at + n) * unit);
    decode(codec, block.data(), n, input.markerMask());
    popChecked(codec, popArea());
  }
}

// feedBlocks in 32-bit words; the decoder is given the input's marker mask.
void feedWords(const uint8_t* data, size_t size,
               const std::function<void(Tdc56Instance*, const uint32_t*, int32_t, uint32_t)>& decode) {
  feedBlocks(data, size, 4, [&decode](Tdc56Instance* codec, const uint8_t* bytes, size_t n, uint32_t mask) {
    std::vector<uint32_t> words(n);
    memcpy(words.data(), bytes, n * 4);
    decode(codec, words.data(), int32_t(n), mask);
  });
}

// Sorted positive timestamps of input channels and markers, from 6 bytes each; gaps are below
// 2^(32 + maxShift).
std::vector<PpTimest> timestampsOf(const uint8_t* data, size_t size, int maxShift) {
  static const uint8_t kChannels[16] = {0, 1, 2, 3, 4, 5, 0, 1,
                                        100, 101, 102, 103, 104, 200, 201, 203};
  std::vector<PpTimest> out;
  uint64_t time = 1;
  for (size_t i = 0; i + 6 <= size; i += 6) {
    uint32_t gap;
    memcpy(&gap, data + i, 4);
    time += uint64_t(gap) << (data[i + 4] % (maxShift + 1));
    if (time >= uint64_t(1) << 59) break;  // the absolute time carries 60 bits
    out.push_back(PpTimest{int64_t(time), kChannels[data[i + 5] % 16]});
  }
  return out;
}

}  // namespace

void fuzzDecode60(const uint8_t* data, size_t size) {
  feedWords(data, size, [](Tdc56Instance* codec, const uint32_t* words, int32_t n, uint32_t mask) {
    tdc56Decode60(codec, words, n, mask);
    require((codec->pendingWord & 0x80000000u) == 0, "pending word is a first word");
  });
}

void fuzzDecode(const uint8_t* data, size_t size) {
  feedWords(data, size, [](Tdc56Instance* codec, const uint32_t* words, int32_t n, uint32_t) {
    tdc56Decode(codec, words, n);
  });
}

void fuzzDecode52x(const uint8_t* data, size_t size) {
  feedWords(data, size, [](Tdc56Instance* codec, const uint32_t* words, int32_t n, uint32_t) {
    std::vector<PpTimest> out(static_cast<size_t>(n));
    const int32_t appended = codec->outCount;
    const int32_t written = tdc56Decode52x(codec, words, n, out.data());
    require(written >= 0 && written <= n, "flagged decoder writes at most count");
    require(codec->outCount == appended, "flagged decoder leaves the list alone");
  });
}

void fuzzDecode52(const uint8_t* data, size_t size) { feedWords(data, size, tdc56Decode52); }

// Whole-word blocks go in as word counts, others as negated byte counts. A record that begins in
// the block is read whole, so the block is followed by room for the longest record.
void fuzzDecode60b(const uint8_t* data, size_t size) {
  feedBlocks(data, size, 1, [](Tdc56Instance* codec, const uint8_t* bytes, size_t n, uint32_t mask) {
    std::vector<uint8_t> padded(bytes, bytes + n);
    padded.resize(n + 7);
    const int32_t count = n % 4 == 0 ? int32_t(n / 4) : -int32_t(n);
    tdc56Decode60b(codec, padded.data(), count, mask);
  });
}

void fuzzPack60(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  // The single-event encoder cuts differences to 57 bits; the packer starts over with an
  // absolute time instead, so only it gets gaps beyond.
  const bool single = input.prefix[0] & 8;
  const std::vector<PpTimest> in = timestampsOf(input.payload, input.payloadSize, single ? 23 : 25);
  const auto encode = single ? tdc56Encode60 : tdc56Pack60;
  Tdc56Instance* codec = freshInstance();
  std::vector<uint32_t> stream;
  for (size_t used = 0; used < in.size();) {
    std::vector<uint32_t> block(3 + input.nextBlock(300));
    int32_t count = int32_t(input.nextBlock(in.size() - used));
    const int32_t capacity = int32_t(block.size());
    const int32_t n = encode(codec, &in[used], &count, block.data(), capacity);
    require(n >= 0 && n <= capacity && count >= 0, "encoder stays within its area");
    stream.insert(stream.end(), block.begin(), block.begin() + n);
    used += size_t(count);
  }
  tdc56Reset(codec);
  std::vector<PpTimest> out;
  std::vector<PpTimest>& popped = popArea();
  for (size_t at = 0; at < stream.size();) {
    size_t n = input.nextBlock(stream.size() - at);
    // A first word of 0 cannot wait for its second word in the next block (0 means none
    // pending); a stream split there loses the packet, so the split moves on by one.
    if (stream[at + n - 1] == 0 && at + n < stream.size()) ++n;
    const std::vector<uint32_t> words(stream.begin() + long(at), stream.begin() + long(at + n));
    tdc56Decode60(codec, words.data(), int32_t(n), 0x1FF);
    const size_t got = popChecked(codec, popped);
    out.insert(out.end(), popped.begin(), popped.begin() + long(got));
    at += n;
  }
  require(out.size() == in.size(), "every timestamp comes back");
  for (size_t i = 0; i < in.size(); ++i) {
    const int64_t time = in[i].channel >= 100 ? in[i].time / 5000 * 5000 : in[i].time;
    require(out[i].time == time && out[i].channel == in[i].channel, "timestamps come back");
  }
}

const FuzzCheck kFuzzChecks[6] = {
    {"decode60", fuzzDecode60}, {"decode", fuzzDecode},     {"decode52x", fuzzDecode52x},
    {"decode52", fuzzDecode52}, {"decode60b", fuzzDecode60b}, {"pack60", fuzzPack60},
};
