// Test helper: timestamps compared and printed, and a fresh codec instance for every test.
#ifndef RAVIK_TESTS_CODEC_STAMPS_H
#define RAVIK_TESTS_CODEC_STAMPS_H

#include <gtest/gtest.h>

#include <stdint.h>

#include <ostream>
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
constexpr uint32_t kAllMarkers = 0x1FF;

// What tdc56Pop() hands out now.
inline Stamps popStamps(Tdc56Instance* codec) {
  static Stamps area(kTdc56ListSize);
  return Stamps(area.begin(), area.begin() + tdc56Pop(codec, area.data()));
}

class CodecTest : public ::testing::Test {
protected:
  ~CodecTest() override { tdc56DeInit(codec); }
  Stamps pop() { return popStamps(codec); }
  Tdc56Instance* const codec = tdc56Init();
};

#endif
