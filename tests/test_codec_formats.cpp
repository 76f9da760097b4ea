// Encoders, the 28-bit, 26-bit and byte decoders, and round trips through every format.
#include <algorithm>
#include <functional>
#include <random>

#include "codec_stamps.h"

namespace {

using Formats = CodecTest;

TEST_F(Formats, TimeBaseFormats) {
  const Stamps in = {{(1 << 28) + 5, 1}, {(1 << 28) + 9, 2}};
  Words out(10);
  int32_t count = 2;
  ASSERT_EQ(tdc56Encode(codec, in.data(), &count, out.data(), 10), 3);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(out[0] & 0x1FFFFFFF, (1u << 28) + 1);

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
  EXPECT_EQ(Words({out[0] >> 26, out[1] >> 26, out[2] >> 26}), Words({41, 34, 39}));

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
  // A marker is a channel-6 event on the 5000 grid below its time, plus its flag bit.
  count = 1;
  ASSERT_EQ(tdc56Encode60(codec, in.data() + 2, &count, out.data(), 4), 4);
  EXPECT_EQ(codec->encodeState, 10000 + 64);
}

TEST_F(Formats, ByteFormat) {
  const Stamps in = {{70000, 1}, {300, 1}, {0, 1}};
  uint8_t out[8] = {};
  int32_t count = 3;
  EXPECT_EQ(tdc56Encode60b(codec, in.data(), &count, out, 2), 1);
  EXPECT_EQ(count, 3);
  const uint8_t expected[8] = {1 << 2 | 1, 0x70, 0x11, 0x01, 1 << 2, 0x2C, 0x01, 0};
  EXPECT_TRUE(std::equal(out, out + 8, expected));

  // Absolute 1000, then -1 on channel 1; a record that begins before the block's end is read
  // whole.
  const uint8_t data[12] = {4 * 1000 % 256 + 3, 4 * 1000 / 256, 0, 0, 0, 0, 0, 0,
                            1 << 2, 0xFF, 0xFF, 0};
  tdc56Decode60b(codec, data, -9, kEveryMarker);
  EXPECT_EQ(pop(), (Stamps{{999, 1}}));
  tdc56Reset(codec);
  const uint8_t straddling[7] = {0x04, 0x05, 0x00, 0x09, 0x07, 0x00, 0x00};
  tdc56Decode60b(codec, straddling, 1, kEveryMarker);
  EXPECT_EQ(pop(), (Stamps{{5, 1}, {12, 2}}));
  // After a reset differences count from 0; negative times wait for an absolute time.
  tdc56Reset(codec);
  const uint8_t marker[3] = {34 << 2, 7, 0};
  tdc56Decode60b(codec, marker, -3, 0x002);
  EXPECT_EQ(pop(), (Stamps{{7, 101}}));

  // Round trip: the encoder writes values as they are, an absolute time above 32 bits, then
  // differences that the decoder's signed fields read back (below 2^15, 2^23 and 2^31).
  std::mt19937 random(7);
  Stamps values = {{int64_t(1) << 40, 3}}, times = values;
  for (int i = 0; i < 2000; ++i) {
    const int64_t low[] = {1, 1 << 16, 1 << 24}, high[] = {1 << 15, 1 << 23, int64_t(1) << 31};
    const size_t size = random() % 3;
    const int64_t value = low[size] + int64_t(random() % uint64_t(high[size] - low[size]));
    values.push_back({value, uint8_t(random() % 32)});
    times.push_back({times.back().time + value, values.back().channel});
  }
  std::vector<uint8_t> bytes(values.size() * 11 + 4);
  count = int32_t(values.size());
  tdc56Encode60b(codec, values.data(), &count, bytes.data(), int32_t(bytes.size() / 4));
  ASSERT_EQ(count, int32_t(values.size()));
  // Blocks must end on record boundaries: cut after a random number of records.
  for (size_t i = 0, at = 0; i < values.size();) {
    size_t length = 0;
    for (size_t r = 1 + random() % 10; r > 0 && i < values.size(); --r, ++i) {
      const int64_t v = values[i].time;
      length += v > 0xFFFFFFFF ? 11 : v >= 1 << 24 ? 5 : v >= 1 << 16 ? 4 : 3;
    }
    tdc56Decode60b(codec, bytes.data() + at, -int32_t(length), kEveryMarker);
    at += length;
  }
  EXPECT_EQ(pop(), times);
}

TEST_F(Formats, RoundTrips) {
  std::mt19937 random(7);
  using Encoder = int32_t (*)(Tdc56Instance*, const PpTimest*, int32_t*, uint32_t*, int32_t);
  using Decoder = void (*)(Tdc56Instance*, const uint32_t*, int32_t);
  // Encodes `in` in calls of random size and capacity, then decodes the stream in blocks of
  // random size (at least 2 words), popping after each.
  auto roundTrip = [&](const Stamps& in, Encoder encode, Decoder decode) {
    tdc56Reset(codec);
    Words stream;
    for (size_t used = 0; used < in.size();) {
      Words block(4 + random() % 60);
      int32_t count = int32_t(std::min<size_t>(in.size() - used, 1 + random() % 40));
      const int32_t n = encode(codec, &in[used], &count, block.data(), int32_t(block.size()));
      stream.insert(stream.end(), block.begin(), block.begin() + n);
      used += size_t(count);
    }
    Stamps out;
    for (size_t at = 0, n; at < stream.size(); at += n) {
      n = std::min<size_t>(stream.size() - at, 2 + random() % 30);
      decode(codec, &stream[at], int32_t(n));
      const Stamps got = pop();
      out.insert(out.end(), got.begin(), got.end());
    }
    return out;
  };
  // 500 sorted random timestamps from `time` on, with gaps drawn to reach every packet width.
  auto stamps = [&](int64_t time, int64_t maxGap, const std::function<uint8_t()>& channel) {
    Stamps out;
    while (out.size() < 500) {
      const int64_t scale = std::max<int64_t>(maxGap >> (random() % 5 * 10), 1);
      time += int64_t(random() % uint64_t(scale));
      out.push_back({time, channel()});
    }
    return out;
  };
  const uint8_t kMarkers[] = {100, 101, 102, 103, 104, 200, 201, 202, 203};
  auto anyChannel = [&] { return uint8_t(random() % 8); };
  auto codeOrMarker = [&] { return random() % 5 ? uint8_t(random() % 32) : kMarkers[random() % 9]; };
  const Decoder decode52 = [](Tdc56Instance* c, const uint32_t* w, int32_t n) {
    tdc56Decode52(c, w, n, kEveryMarker);
  };
  for (int round = 0; round < 20; ++round) {
    const Stamps in28 = stamps(1 << 28, int64_t(1) << 40, anyChannel);
    EXPECT_EQ(roundTrip(in28, tdc56Encode, tdc56Decode), in28);
    const Stamps in26 = stamps(1 << 26, int64_t(1) << 36, codeOrMarker);
    EXPECT_EQ(roundTrip(in26, tdc56Encode52, decode52), in26);
  }
  // The 60-bit packer on both sides of its fields' widths, each in every place of a packet:
  // 2^16 - 1 fits the 17 bits of a step of three, 2^16 does not; 2^26 and 2^27 the 27 of two.
  Stamps edges{{int64_t(1) << 40, 0}};
  for (const int64_t wide : {(int64_t(1) << 16) - 1, int64_t(1) << 16, int64_t(1) << 26, int64_t(1) << 27})
    for (int place = 0; place < 3; ++place)
      for (const int64_t step : {int64_t(1), int64_t(2), place == 0 ? wide : 3, place == 1 ? wide : 4,
                                 place == 2 ? wide : 5})
        edges.push_back({edges.back().time + step, uint8_t(edges.size() % 6)});
  tdc56Reset(codec);
  const Words words = packStream(edges);
  EXPECT_EQ(decodeBlock(codec, words.data(), words.size()), edges);
}

}  // namespace
