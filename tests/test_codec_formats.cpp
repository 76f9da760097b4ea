// Encoders, the 28-bit, 26-bit and byte decoders, and round trips through every format.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "codec/tdc56.h"

bool operator==(const PpTimest& a, const PpTimest& b) {
  return a.time == b.time && a.channel == b.channel;
}
std::ostream& operator<<(std::ostream& os, const PpTimest& t) {
  return os << "(" << t.time << ", " << int(t.channel) << ")";
}

namespace {

using Stamps = std::vector<PpTimest>;
using Words = std::vector<uint32_t>;
constexpr uint32_t kAllMarkers = 0x1FF;
const uint8_t kMarkers[] = {100, 101, 102, 103, 104, 200, 201, 202, 203};

class Formats : public ::testing::Test {
protected:
  void TearDown() override { tdc56DeInit(codec); }
  Stamps pop() {
    Stamps out(kTdc56ListSize);
    out.resize(size_t(tdc56Pop(codec, out.data())));
    return out;
  }
  Tdc56Instance* codec = tdc56Init();
  std::mt19937 random{7};
};

TEST_F(Formats, TimeBaseFormats) {
  const Stamps in = {{(1 << 28) + 5, 1}, {(1 << 28) + 9, 2}};
  Words out(10);
  int32_t count = 2;
  ASSERT_EQ(tdc56Encode(codec, in.data(), &count, out.data(), 10), 3);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(out[0] & 0x1FFFFFFF, (1u << 28) + 1);
  tdc56Decode(codec, out.data(), 3);
  EXPECT_EQ(pop(), in);

  tdc56Reset(codec);
  count = 1;
  EXPECT_EQ(tdc56Encode(codec, in.data(), &count, out.data(), 1), 1);
  EXPECT_EQ(count, 0);
  // A high part that shrinks writes no time-base word.
  const Stamps back = {{(2 << 28) + 1, 1}, {(1 << 28) + 2, 1}};
  count = 2;
  EXPECT_EQ(tdc56Encode(codec, back.data(), &count, out.data(), 10), 3);
  EXPECT_EQ(out[2], 2u | 1u << 29);

  // Before a time base nothing; a smaller low part is a wrap of the 28-bit format.
  tdc56Reset(codec);
  const Words words = {5u | 2u << 29, (1u << 28) | 3, 5u | 2u << 29, 4};
  tdc56Decode(codec, words.data(), 4);
  EXPECT_EQ(pop(), (Stamps{{(int64_t(3) << 28) + 5, 2}, {(int64_t(4) << 28) + 4, 0}}));
  // The flagged variant: bit 31 marks events; written straight to the caller, list untouched.
  tdc56Reset(codec);
  tdc56Push(codec, 1, 1);
  const Words flagged = {0x80000001u | 3u << 28, 3, 0x80000005u | 7u << 28, 0x80000004u};
  Stamps direct(4);
  ASSERT_EQ(tdc56Decode52x(codec, flagged.data(), 4, direct.data()), 2);
  EXPECT_EQ(direct[0], (PpTimest{(int64_t(3) << 28) + 5, 7}));
  EXPECT_EQ(direct[1], (PpTimest{(int64_t(4) << 28) + 4, 0}));
  EXPECT_EQ(codec->outCount, 1);
}

TEST_F(Formats, Format26CodesAndMarkers) {
  const Stamps in = {{104, 104}, {105, 101}, {106, 202}};
  Words out(3);
  int32_t count = 3;
  ASSERT_EQ(tdc56Encode52(codec, in.data(), &count, out.data(), 3), 3);
  EXPECT_EQ(out[0] >> 26, 41u);
  EXPECT_EQ(out[1] >> 26, 34u);
  EXPECT_EQ(out[2] >> 26, 39u);

  // Codes 32 and 42..62 mean nothing but still move the time.
  const Words words = {63u << 26 | 1, 34u << 26 | 10, 32u << 26 | 11, 62u << 26 | 12};
  tdc56Decode52(codec, words.data(), 4, 0x002);
  EXPECT_EQ(pop(), (Stamps{{(1 << 26) + 10, 101}}));
  EXPECT_EQ(codec->lastTime, (1 << 26) + 12);
  tdc56Decode52(codec, words.data(), 4, 0);
  EXPECT_TRUE(pop().empty());

  // Sorting on: codes 0..7 are queued, 8..31 and markers go to the direct list; no wrap
  // correction, the time goes back.
  const int32_t offsets[8] = {0, 0, 0, 1};
  tdc56SetOffsets(codec, offsets);
  const Words events = {20u << 26 | 50, 3u << 26 | 40};
  tdc56Decode52(codec, events.data(), 2, 0);
  EXPECT_EQ(codec->outCount, 1);
  ASSERT_EQ(codec->queue.size(), 1u);
  EXPECT_EQ(codec->queue.front().time, (1 << 26) + 41);
  EXPECT_EQ(codec->lastTime, (1 << 26) + 40);
}

TEST_F(Formats, Encode60) {
  const Stamps in = {{1000, 2}, {1500, 3}, {12345, 201}};
  Words out(6);
  int32_t count = 3;
  EXPECT_EQ(tdc56Encode60(codec, in.data(), &count, out.data(), 3), 2);
  EXPECT_EQ(count, 0);
  count = 3;
  ASSERT_EQ(tdc56Encode60(codec, in.data(), &count, out.data(), 6), 6);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(out, (Words{1000, 0x80000000u, 0x40000000u, 0xC0000000u | 2u << 27, 0x40000000u | 500,
                        0xC0000000u | 3u << 27}));
  tdc56Decode60(codec, out.data(), 6, kAllMarkers);
  EXPECT_EQ(pop(), (Stamps{{1000, 2}, {1500, 3}}));

  count = 1;
  ASSERT_EQ(tdc56Encode60(codec, in.data() + 2, &count, out.data(), 4), 4);
  EXPECT_EQ(codec->encodeState, 10000 + 64);
  tdc56Decode60(codec, out.data(), 4, kAllMarkers);
  EXPECT_EQ(pop(), (Stamps{{10000, 201}}));
}

TEST_F(Formats, ByteFormat) {
  const Stamps in = {{70000, 1}, {300, 1}, {0, 1}};
  uint8_t out[8] = {};
  int32_t count = 3;
  EXPECT_EQ(tdc56Encode60b(codec, in.data(), &count, out, 2), 1);
  EXPECT_EQ(count, 3);
  const uint8_t expected[8] = {1 << 2 | 1, 0x70, 0x11, 0x01, 1 << 2, 0x2C, 0x01, 0};
  EXPECT_TRUE(std::equal(out, out + 8, expected));

  // Absolute 1000, then -1 on channel 1; a record cut off by the end of the block is dropped.
  const uint8_t data[12] = {4 * 1000 % 256 + 3, 4 * 1000 / 256, 0, 0, 0, 0, 0, 0,
                            1 << 2, 0xFF, 0xFF, 2 << 2};
  tdc56Decode60b(codec, data, -11, kAllMarkers);
  EXPECT_EQ(pop(), (Stamps{{999, 1}}));
  tdc56Decode60b(codec, data, 2, kAllMarkers);
  EXPECT_EQ(codec->lastTime, 1000);
  tdc56Decode60b(codec, data + 8, 1, kAllMarkers);
  EXPECT_EQ(pop(), (Stamps{{999, 1}}));
  // After a reset differences count from 0; negative times wait for an absolute time.
  tdc56Reset(codec);
  const uint8_t marker[3] = {34 << 2, 7, 0};
  tdc56Decode60b(codec, marker, -3, 0x002);
  EXPECT_EQ(pop(), (Stamps{{7, 101}}));
}

// Sorted random timestamps from `first` on, with gaps drawn to reach every packet width.
Stamps randomStamps(std::mt19937& random, size_t n, int64_t first, int64_t maxGap,
                    const std::function<uint8_t()>& channel) {
  Stamps out;
  int64_t time = first;
  for (size_t i = 0; i < n; ++i) {
    const int64_t scale = maxGap >> (random() % 4 * 10);
    time += int64_t(random() % uint64_t(std::max<int64_t>(scale, 1)));
    out.push_back({time, channel()});
  }
  return out;
}

using Encoder = std::function<int32_t(const PpTimest*, int32_t*, uint32_t*, int32_t)>;

// Encodes `in` in calls of random size and capacity.
Words encodeAll(std::mt19937& random, const Stamps& in, const Encoder& encode) {
  Words stream;
  for (size_t used = 0; used < in.size();) {
    Words block(4 + random() % 60);
    int32_t count = int32_t(std::min<size_t>(in.size() - used, 1 + random() % 40));
    const int32_t n = encode(in.data() + used, &count, block.data(), int32_t(block.size()));
    stream.insert(stream.end(), block.begin(), block.begin() + n);
    used += size_t(count);
  }
  return stream;
}

// Feeds `stream` to `decode` in blocks of random size (at least 2 words), popping after each.
Stamps decodeAll(std::mt19937& random, Tdc56Instance* codec, const Words& stream,
                 const std::function<void(const uint32_t*, int32_t)>& decode) {
  Stamps all, out(kTdc56ListSize);
  for (size_t at = 0; at < stream.size();) {
    const size_t n = std::min<size_t>(stream.size() - at, 2 + random() % 30);
    decode(stream.data() + at, int32_t(n));
    out.resize(size_t(tdc56Pop(codec, out.data())));
    all.insert(all.end(), out.begin(), out.end());
    out.resize(kTdc56ListSize);
    at += n;
  }
  return all;
}

TEST_F(Formats, RoundTrips) {
  auto anyChannel = [&] { return uint8_t(random() % 8); };
  auto someMarker = [&] { return kMarkers[random() % 9]; };
  auto inputOrMarker = [&] { return random() % 5 ? uint8_t(random() % 6) : someMarker(); };
  auto codeChannel = [&] { return random() % 5 ? uint8_t(random() % 32) : someMarker(); };
  auto onGrid = [](Stamps s) {  // markers come back at the 5000 grid below their time
    for (PpTimest& t : s) if (t.channel >= 100) t.time = t.time / 5000 * 5000;
    return s;
  };
  for (int round = 0; round < 20; ++round) {
    using namespace std::placeholders;
    const Stamps in28 = randomStamps(random, 500, 1 << 28, int64_t(1) << 40, anyChannel);
    tdc56Reset(codec);
    const Words s28 = encodeAll(random, in28, std::bind(tdc56Encode, codec, _1, _2, _3, _4));
    EXPECT_EQ(decodeAll(random, codec, s28, std::bind(tdc56Decode, codec, _1, _2)), in28);

    const Stamps in26 = randomStamps(random, 500, 1 << 26, int64_t(1) << 36, codeChannel);
    tdc56Reset(codec);
    const Words s26 = encodeAll(random, in26, std::bind(tdc56Encode52, codec, _1, _2, _3, _4));
    EXPECT_EQ(decodeAll(random, codec, s26, std::bind(tdc56Decode52, codec, _1, _2, kAllMarkers)),
              in26);

    const Stamps in60 = randomStamps(random, 500, 1, int64_t(1) << 50, inputOrMarker);
    for (auto encode : {tdc56Encode60, tdc56Pack60}) {
      tdc56Reset(codec);
      const Words s60 = encodeAll(random, in60, std::bind(encode, codec, _1, _2, _3, _4));
      EXPECT_EQ(decodeAll(random, codec, s60, std::bind(tdc56Decode60, codec, _1, _2, kAllMarkers)),
                onGrid(in60));
    }
  }
}

TEST_F(Formats, ByteFormatRoundTrip) {
  // The encoder writes values as they are: an absolute time above 32 bits, then differences
  // that the decoder's signed fields read back (below 2^15, 2^23 and 2^31).
  Stamps in = {{int64_t(1) << 40, 3}}, expected = in;
  for (int i = 0; i < 2000; ++i) {
    const int64_t low[] = {1, 1 << 16, 1 << 24}, high[] = {1 << 15, 1 << 23, int64_t(1) << 31};
    const size_t size = random() % 3;
    const int64_t value = low[size] + int64_t(random() % uint64_t(high[size] - low[size]));
    const uint8_t channel = uint8_t(random() % 32);
    in.push_back({value, channel});
    expected.push_back({expected.back().time + value, channel});
  }
  std::vector<uint8_t> bytes(in.size() * 11 + 4);
  int32_t count = int32_t(in.size());
  tdc56Encode60b(codec, in.data(), &count, bytes.data(), int32_t(bytes.size() / 4));
  ASSERT_EQ(count, int32_t(in.size()));
  // Blocks must end on record boundaries: cut after a random number of records.
  size_t at = 0;
  for (size_t i = 0; i < in.size();) {
    const size_t records = 1 + random() % 10;
    size_t length = 0;
    for (size_t r = 0; r < records && i < in.size(); ++r, ++i) {
      const int64_t v = in[i].time;
      length += v > 0xFFFFFFFF ? 11 : v >= 1 << 24 ? 5 : v >= 1 << 16 ? 4 : 3;
    }
    tdc56Decode60b(codec, bytes.data() + at, -int32_t(length), kAllMarkers);
    at += length;
  }
  EXPECT_EQ(pop(), expected);
}

}  // namespace
