// The instance, the 60-bit decoder and the output stage: direct list, queue, virtual events.
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>

#include "codec_stamps.h"
#include "trace/trace.h"

namespace {

constexpr uint32_t kSecond = 0x80000000u;

// Type-0 packet: absolute time.
Words absolute(uint64_t t) {
  return {uint32_t(t & 0x3FFFFFFF), uint32_t((t >> 30) & 0x3FFFFFFF) | kSecond};
}
// Type-3 packet: one event with a 57-bit difference.
Words single(int64_t d, uint32_t channel) {
  const uint64_t u = uint64_t(d);
  return {uint32_t(u & 0x3FFFFFFF) | 0x40000000u,
          uint32_t((u >> 30) & 0x7FFFFFF) | channel << 27 | 0x40000000u | kSecond};
}
Words operator+(Words a, const Words& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Codec : public CodecTest {
protected:
  Stamps decode(const Words& words, uint32_t mask = kAllMarkers) {
    tdc56Decode60(codec, words.data(), int32_t(words.size()), mask);
    return pop();
  }
};

// The trace log of one test.
struct TraceLog {
  static constexpr const char* kPath = "test_codec60.log";
  TraceLog() { traceInit(kPath, "RAVIK", TRACE_TRACE | TRACE_FLUSH); }
  ~TraceLog() { traceSetFile(nullptr); remove(kPath); }
  bool has(const char* line) const {
    std::ifstream in(kPath);
    return std::string(std::istreambuf_iterator<char>(in), {}).find(line) != std::string::npos;
  }
};

TEST_F(Codec, SortingSwitchAndQueue) {
  tdc56Push(codec, 10, 1);
  const int32_t zeros[8] = {}, first[8] = {0, 50}, second[8] = {0, 60};
  tdc56SetOffsets(codec, zeros);
  EXPECT_EQ(codec->outCount, 1);  // no switch, nothing discarded
  tdc56SetOffsets(codec, first);
  EXPECT_EQ(tdc56GetActive(codec), 1);
  EXPECT_EQ(codec->outCount, 0);
  tdc56Push(codec, 100, 1);
  tdc56Push(codec, 7, 100);  // markers bypass the queue
  EXPECT_EQ(codec->outCount, 1);
  tdc56SetOffsets(codec, second);
  ASSERT_EQ(codec->queue.size(), 1u);  // still on: queue kept with its old offset
  EXPECT_EQ(codec->queue.front().time, 150);
  codec->lastTime = 149;
  EXPECT_TRUE(pop().empty());
  codec->lastTime = 150;
  EXPECT_EQ(pop(), (Stamps{{150, 1}}));

  // Channel 1 at 1000 is corrected to 1060 and waits until the stream time gets there.
  EXPECT_EQ(decode(absolute(1000) + single(0, 1) + single(20, 2)), (Stamps{{1020, 2}}));
  EXPECT_EQ(decode(single(40, 7)), (Stamps{{1060, 1}}));
  tdc56Push(codec, 5000, 3);
  tdc56Flush(codec);
  codec->lastTime = 6000;
  EXPECT_TRUE(pop().empty());

  tdc56Push(codec, 200, 1);
  tdc56SetOffsets(codec, nullptr);
  EXPECT_EQ(tdc56GetActive(codec), 0);
  EXPECT_TRUE(codec->queue.empty());
  EXPECT_EQ(codec->offsets[1], 60);
  tdc56SetDivider(codec, 4);
  tdc56SetStartPeriod(codec, 1000);
  EXPECT_EQ(tdc56GetActive(codec), 1);
  tdc56Reset(codec);
  EXPECT_EQ(tdc56GetDivider(codec), 1);
  EXPECT_EQ(codec->startPeriod, 0);
  tdc56DeInit(nullptr);
}

TEST_F(Codec, DirectListOverflowIsCountedAndTraced) {
  TraceLog log;
  for (int i = 0; i < 20000; ++i) tdc56Push(codec, i, 1);
  const Stamps out = pop();
  ASSERT_EQ(out.size(), size_t(kTdc56ListSize));
  EXPECT_EQ(out.back().time, kTdc56ListSize - 1);
  EXPECT_TRUE(log.has("Sorting queue overflow: 20000"));
  EXPECT_TRUE(pop().empty());

  // The decoder switches from its fast path to the counting one as the list fills up.
  Words words = absolute(1);
  for (int i = 0; i < 9000; ++i) {  // type 1: three steps of +1 on channel 3
    words.push_back(1 | 3u << 17 | 1u << 20 | 1u << 30);
    words.push_back(kSecond | 3u << 7 | 1u << 10 | 3u << 27);
  }
  tdc56Decode60(codec, words.data(), int32_t(words.size()), kAllMarkers);
  EXPECT_EQ(codec->outCount, 27000);
  EXPECT_EQ(codec->outList[kTdc56ListSize - 1], (PpTimest{kTdc56ListSize + 1, 3}));
}

TEST_F(Codec, PacketTypesAndSignExtension) {
  EXPECT_TRUE(decode(single(100, 1)).empty());  // no absolute time yet
  decode({5, kSecond | 1});
  EXPECT_EQ(codec->lastTime, (1 << 30) + 5);
  EXPECT_EQ(decode({(1u << 30) + 100, kSecond + (1u << 30) + (1u << 27)}),
            (Stamps{{(1 << 30) + 105, 1}}));
  // Type 1: -1 on channel 2; -3 on channel 4 across the word boundary; +7 on channel 5.
  const uint32_t minus3 = 0x1FFFD;
  EXPECT_EQ(decode({0x1FFFF | 2u << 17 | (minus3 & 0x3FF) << 20 | 1u << 30,
                    kSecond | minus3 >> 10 | 4u << 7 | 7u << 10 | 5u << 27}),
            (Stamps{{(1 << 30) + 104, 2}, {(1 << 30) + 101, 4}, {(1 << 30) + 108, 5}}));
  // Type 2: -(2^26) on channel 3, then a channel-7 step that only moves the time.
  EXPECT_EQ(decode({1u << 26 | 3u << 27, kSecond | 1u << 30 | 5 | 7u << 27}),
            (Stamps{{(1 << 30) + 108 - (1 << 26), 3}}));
  EXPECT_EQ(codec->lastTime, (1 << 30) + 113 - (1 << 26));
  EXPECT_EQ(decode(single(-(int64_t(1) << 56), 0)).at(0).time,
            (1 << 30) + 113 - (1 << 26) - (int64_t(1) << 56));
}

TEST_F(Codec, MarkersUseTruncatingRemainder) {
  decode(absolute(1000000));
  EXPECT_EQ(decode(single(3, 6)), (Stamps{{1000000, 100}, {1000000, 101}}));
  EXPECT_EQ(decode(single(0, 6), 0x002), (Stamps{{1000000, 101}}));
  // At -1000003 the remainder is -3, whose low 9 bits are 0x1FD; the grid time is -1000000.
  const Stamps negative = decode(single(-2000006, 6));
  ASSERT_EQ(negative.size(), 8u);
  EXPECT_EQ(negative.front(), (PpTimest{-1000000, 100}));
  EXPECT_EQ(negative.back(), (PpTimest{-1000000, 203}));
  EXPECT_EQ(codec->lastTime, -1000003);
}

TEST_F(Codec, VirtualStartEvents) {
  tdc56SetDivider(codec, 4);
  const Stamps out = decode(absolute(1000) + single(0, 5) + single(400, 5) + single(450, 1) +
                            single(40, 2));
  EXPECT_EQ(out, (Stamps{{1000, 5}, {1400, 5}, {1500, 0}, {1600, 0}, {1700, 0}, {1800, 0},
                         {1850, 1}, {1890, 2}}));
  EXPECT_EQ(codec->measuredPeriod, 400);

  // A fixed period folds every time into one divided period, negative times too.
  tdc56SetStartPeriod(codec, 1000);
  EXPECT_EQ(decode(single(10, 3) + single(-3000, 2)), (Stamps{{150, 3}, {150, 2}}));

  // Divider 1: times pass unchanged and starts are not recorded.
  tdc56Reset(codec);
  codec->lastTime = 777;
  EXPECT_EQ(addVirtualEvents(codec, true), 777);
  EXPECT_EQ(codec->startTime, 0);
}

}  // namespace
