// Test helper: what the codec makes of a simulated stream, and what it should make of it.
#ifndef RAVIK_TESTS_KORBALT_DECODE_H
#define RAVIK_TESTS_KORBALT_DECODE_H

#include <algorithm>
#include <vector>

#include "codec_stamps.h"
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

// Decodes words fed in blocks of the given sizes (cycled), as a reader of a file would.
inline Stamps decodeWords(const Words& words, const std::vector<int32_t>& sizes,
                          uint32_t markerMask) {
  Tdc56Instance* codec = tdc56Init();
  Stamps out;
  for (size_t pos = 0, k = 0; pos + 2 <= words.size(); ++k) {
    const int32_t left = int32_t(words.size() - pos);
    int32_t n = std::min(sizes[k % sizes.size()], left);
    if (left - n == 1) ++n;  // no word is left behind alone
    tdc56Decode60(codec, &words[pos], n, markerMask);
    const Stamps got = popStamps(codec);
    out.insert(out.end(), got.begin(), got.end());
    pos += size_t(n);
  }
  tdc56DeInit(codec);
  return out;
}

// Reports the first difference only, so that a broken stream costs one line.
inline testing::AssertionResult sameTimestamps(const Stamps& a, const Stamps& b) {
  const auto d = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (d.first == a.end() && d.second == b.end()) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure()
      << "sizes " << a.size() << " vs " << b.size() << ", first difference at "
      << d.first - a.begin();
  if (d.first != a.end() && d.second != b.end()) failure << ": " << *d.first << " vs " << *d.second;
  return failure;
}

#endif
