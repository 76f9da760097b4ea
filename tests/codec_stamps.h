// Test helper: timestamps compared and printed, and a fresh codec instance for every test.
#ifndef RAVIK_TESTS_CODEC_STAMPS_H
#define RAVIK_TESTS_CODEC_STAMPS_H

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "codec/tdc56.h"

// Global, where lookup from PpTimest finds them.
inline bool operator==(const PpTimest& a, const PpTimest& b) {
  return a.time == b.time && a.channel == b.channel;
}
inline std::ostream& operator<<(std::ostream& os, const PpTimest& t) {
  return os << "(" << t.time << ", " << int(t.channel) << ")";
}

using Stamps = std::vector<PpTimest>;
using Words = std::vector<uint32_t>;
constexpr uint32_t kEveryMarker = 0x1FF;

// What tdc56Pop() hands out now.
inline Stamps popStamps(Tdc56Instance* codec) {
  static Stamps area(kTdc56ListSize);
  return Stamps(area.begin(), area.begin() + tdc56Pop(codec, area.data()));
}

// The words of a device stream of `events`, packed by a fresh encoder.
inline Words packStream(const Stamps& events) {
  Tdc56Instance* enc = tdc56Init();
  Words words(4 * events.size() + 4);
  int32_t n = int32_t(events.size());
  words.resize(size_t(tdc56Pack60(enc, events.data(), &n, words.data(), int32_t(words.size()))));
  tdc56DeInit(enc);
  return words;
}

// `count` timestamps on a grid of `grid` ps (so that devices tie), on inputs 0 to 5; one in
// `markerOneIn` is a marker 100 to 104, one more a marker 200 to 203.
inline Stamps gridStamps(int32_t count, uint32_t seed, int64_t grid, uint32_t markerOneIn) {
  std::mt19937 rng(seed);
  Stamps events;
  int64_t t = 1000000;
  for (int32_t i = 0; i < count; ++i) {
    t += grid * int64_t(rng() % 4);
    const uint32_t r = rng() % markerOneIn;
    events.push_back({t, uint8_t(r == 0 ? 100 + rng() % 5 : r == 1 ? 200 + rng() % 4 : r % 6)});
  }
  return events;
}

// Writes `words` as the file `path`; false when that fails.
inline bool writeWords(const std::string& path, const Words& words) {
  std::ofstream file(path, std::ios::binary);
  return bool(file.write(reinterpret_cast<const char*>(words.data()), 4 * words.size()).flush());
}

// A temporary file that holds the words of a device stream of `events`, rewound.
inline FILE* streamFile(const Stamps& events) {
  FILE* f = tmpfile();
  const Words words = packStream(events);
  EXPECT_EQ(fwrite(words.data(), 4, words.size(), f), words.size());
  rewind(f);
  return f;
}

// The timestamps of `n` words decoded in calls of the given sizes (cycled; by default 4096 words,
// the size of a device block), popped after each call.
inline Stamps decodeBlock(Tdc56Instance* codec, const uint32_t* words, size_t n,
                          uint32_t markerMask = 0, const std::vector<int32_t>& sizes = {4096}) {
  Stamps out;
  for (size_t pos = 0, k = 0, step; pos < n; pos += step, ++k) {
    step = std::min(size_t(sizes[k % sizes.size()]), n - pos);
    if (n - pos - step == 1) ++step;  // no word is left behind alone
    tdc56Decode60(codec, words + pos, int32_t(step), markerMask);
    const Stamps s = popStamps(codec);
    out.insert(out.end(), s.begin(), s.end());
  }
  return out;
}

// Decodes words with a fresh codec fed in blocks of the given sizes (cycled), as a reader of a
// file would.
inline Stamps decodeWords(const Words& words, const std::vector<int32_t>& sizes,
                          uint32_t markerMask) {
  Tdc56Instance* codec = tdc56Init();
  const Stamps out = decodeBlock(codec, words.data(), words.size(), markerMask, sizes);
  tdc56DeInit(codec);
  return out;
}

// Reports the first difference only, so that a broken stream of timestamps or records (time,
// channel) costs one line.
template <typename T>
testing::AssertionResult sameTimestamps(const std::vector<T>& a, const std::vector<T>& b) {
  const auto d = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (d.first == a.end() && d.second == b.end()) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure()
      << "sizes " << a.size() << " vs " << b.size() << ", first difference at "
      << d.first - a.begin();
  if (d.first != a.end() && d.second != b.end())
    failure << ": " << testing::PrintToString(*d.first) << " vs " << testing::PrintToString(*d.second);
  return failure;
}

class CodecTest : public ::testing::Test {
protected:
  ~CodecTest() override { tdc56DeInit(codec); }
  Stamps pop() { return popStamps(codec); }
  Tdc56Instance* const codec = tdc56Init();
};

#endif
