// Test helper: what the codec makes of a simulated stream, and what it should make of it.
#ifndef RAVIK_TESTS_KORBALT_DECODE_H
#define RAVIK_TESTS_KORBALT_DECODE_H

#include <stdint.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "codec/tdc56.h"
#include "korbalt/sources.h"

// The timestamps a decoder should produce for items: markers expand, time advances vanish.
inline std::vector<PpTimest> expectedTimestamps(const std::vector<korbalt::SimEvent>& items,
                                                uint32_t markerMask) {
  static const uint8_t kMarkerOfFlag[9] = {100, 101, 102, 103, 104, 200, 201, 202, 203};
  std::vector<PpTimest> out;
  for (const korbalt::SimEvent& e : items) {
    if (e.channel == korbalt::kMarkerChannel) {
      const int64_t flags = e.time % 5000;
      for (int b = 0; b < 9; ++b) {
        if (((flags & markerMask) >> b) & 1) out.push_back({e.time - flags, kMarkerOfFlag[b]});
      }
    } else if (e.channel != korbalt::kAdvanceChannel) {
      out.push_back({e.time, e.channel});
    }
  }
  return out;
}

// Decodes words fed in blocks of the given sizes (cycled), as a reader of a file would.
inline std::vector<PpTimest> decodeWords(const std::vector<uint32_t>& words,
                                         const std::vector<int32_t>& sizes,
                                         uint32_t markerMask) {
  Tdc56Instance* codec = tdc56Init();
  std::vector<PpTimest> block(kTdc56ListSize);
  std::vector<PpTimest> out;
  for (size_t pos = 0, k = 0; pos + 2 <= words.size(); ++k) {
    const int32_t left = static_cast<int32_t>(words.size() - pos);
    int32_t n = std::min(sizes[k % sizes.size()], left);
    if (left - n == 1) ++n;  // no word is left behind alone
    tdc56Decode60(codec, words.data() + pos, n, markerMask);
    const int32_t got = tdc56Pop(codec, block.data());
    out.insert(out.end(), block.begin(), block.begin() + got);
    pos += n;
  }
  tdc56DeInit(codec);
  return out;
}

// Reports the first difference only, so that a broken stream costs one line.
inline testing::AssertionResult sameTimestamps(const std::vector<PpTimest>& a,
                                               const std::vector<PpTimest>& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i].time != b[i].time || a[i].channel != b[i].channel) {
      return testing::AssertionFailure() << "at " << i << ": " << a[i].time << "/"
                                         << int(a[i].channel) << " vs " << b[i].time << "/"
                                         << int(b[i].channel);
    }
  }
  if (a.size() != b.size()) {
    return testing::AssertionFailure() << "sizes " << a.size() << " vs " << b.size();
  }
  return testing::AssertionSuccess();
}

#endif
