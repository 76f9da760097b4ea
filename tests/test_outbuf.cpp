// The merge's text lines, formatted by hand, against printf's "%lld, %hd\n": each sequence of
// lines from a fresh start, as a merge or a part of a stretch begins.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <new>
#include <random>
#include <string>
#include <vector>

#include "merge/hugebuffer.h"
#include "merge/outbuf.h"

namespace {

struct Line {
  int64_t time;
  int16_t channel;
};

std::string printed(const std::vector<Line>& lines) {
  std::string all;
  char line[64];
  for (const Line& l : lines)
    all.append(line, size_t(snprintf(line, sizeof line, "%lld, %hd\n",
                                     static_cast<long long>(l.time), l.channel)));
  return all;
}

std::string formatted(const std::vector<Line>& lines) {
  std::vector<char> area(40 * lines.size() + 64);
  OutBuf::TopDigits digits;
  char* p = area.data();
  for (const Line& l : lines) p = OutBuf::putText(digits, p, l.time, l.channel);
  return std::string(area.data(), p);
}

}  // namespace

TEST(OutBufText, LinesAreThoseOfPrintf) {
  constexpr int64_t e8 = 100000000, e16 = e8 * e8;
  const std::vector<std::vector<Line>> cases = {
      {{e8, 0}},                      // the first line in the range a fresh start holds
      {{2 * e8 - 1, 4}},
      {{2 * e8, 7}, {e8 + 5, 1}},     // and back into it
      {{e8 - 1, 3}, {e8, 3}, {e8 - 1, 3}},
      {{e16 - 1, 99}, {e16, 99}, {e16 + 1, 0}, {e16 - 1, 0}},
      {{0, 0}, {-1, 10}, {-e8, 100}, {INT64_MIN, -32768}, {INT64_MAX, 32767}, {5 * e8, -1}},
      {{123456789012, 100}, {123456789012, 99}, {123456789013, 203}, {123456789014, 12}},
      {{3 * e8 + 7, 5}, {4 * e8, 5}, {3 * e8 + 8, 5}, {99 * e8 + 1, 42}},
  };
  for (const std::vector<Line>& lines : cases) {
    SCOPED_TRACE(testing::Message() << "first time " << lines.front().time);
    EXPECT_EQ(formatted(lines), printed(lines));
  }

  // A recording's times, rising in small steps across many changes of the leading digits, on
  // random channels.
  std::mt19937_64 rng(7);
  std::vector<Line> rising;
  int64_t t = e8 * 977 - 5000000;
  for (int i = 0; i < 20000; ++i) {
    t += int64_t(rng() % 20000);
    rising.push_back({t, int16_t(rng() % 110)});
  }
  EXPECT_EQ(formatted(rising), printed(rising));
}

// The merge's working memory: whole large pages on a large page's boundary, all zero (the HDF5
// output's channel counts rely on it), every byte writable; a move hands the memory over.
TEST(HugeBuffer, IsZeroedAlignedAndMovable) {
  HugeBuffer none(0);
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.size(), 0u);
  EXPECT_THROW(HugeBuffer(SIZE_MAX - 1), std::bad_alloc);

  HugeBuffer buffer(HugeBuffer::kLargePage + 1);
  ASSERT_NE(buffer.data(), nullptr);
  EXPECT_EQ(buffer.size(), 2 * HugeBuffer::kLargePage);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % HugeBuffer::kLargePage, 0u);
  for (size_t at = 0; at < buffer.size(); at += 4096 - 8) ASSERT_EQ(buffer.data()[at], 0) << at;
  buffer.data()[0] = 1;
  buffer.data()[buffer.size() - 1] = 2;

  char* const memory = buffer.data();
  HugeBuffer moved(std::move(buffer));
  EXPECT_EQ(buffer.data(), nullptr);
  EXPECT_EQ(moved.data(), memory);
  HugeBuffer other(1);
  other = std::move(moved);
  EXPECT_EQ(other.data(), memory);
  EXPECT_EQ(other.size(), 2 * HugeBuffer::kLargePage);
  EXPECT_EQ(other.data()[0] + other.data()[other.size() - 1], 3);
}
