// The instance, the 60-bit decoder and the output stage: direct list, queue, virtual events.
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <random>
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
  Stamps decode(const Words& words, uint32_t mask = kEveryMarker) {
    tdc56Decode60(codec, words.data(), int32_t(words.size()), mask);
    return pop();
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
  const char* const log = "test_codec60.log";
  traceInit(log, "RAVIK", TRACE_TRACE | TRACE_FLUSH);
  for (int i = 0; i < 20000; ++i) tdc56Push(codec, i, 1);
  const Stamps out = pop();
  traceSetFile(nullptr);  // closes the log
  std::ifstream in(log);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(in), {}).find("Sorting queue overflow: 20000"),
            std::string::npos);
  remove(log);
  ASSERT_EQ(out.size(), size_t(kTdc56ListSize));
  EXPECT_EQ(out.back().time, kTdc56ListSize - 1);
  EXPECT_TRUE(pop().empty());

  // The decoder switches from its fast path to the counting one as the list fills up.
  Words words = absolute(1);
  for (int i = 0; i < 9000; ++i) {  // type 1: three steps of +1 on channel 3
    words.push_back(1 | 3u << 17 | 1u << 20 | 1u << 30);
    words.push_back(kSecond | 3u << 7 | 1u << 10 | 3u << 27);
  }
  tdc56Decode60(codec, words.data(), int32_t(words.size()), kEveryMarker);
  EXPECT_EQ(codec->outCount, 27000);
  EXPECT_EQ(codec->outList[kTdc56ListSize - 1], (PpTimest{kTdc56ListSize + 1, 3}));
}

// Hand-made packets in a row, each going on from the stream time the one before left.
TEST_F(Codec, PacketTypesSignExtensionAndMarkers) {
  const int64_t t = 1 << 30;
  const uint32_t minus3 = 0x1FFFD;
  // Each step: its words and marker mask, the stamps they give and the stream time after them.
  const struct { const char* what; Words words; uint32_t mask; Stamps want; int64_t time; } steps[] = {
      {"type 3 before any absolute time: nothing", single(100, 1), kEveryMarker, {}, 0},
      {"type 0", {5, kSecond | 1}, kEveryMarker, {}, t + 5},
      {"type 3", {(1u << 30) + 100, kSecond + (1u << 30) + (1u << 27)}, kEveryMarker, {{t + 105, 1}}, t + 105},
      // Type 1: -1 on channel 2; -3 on channel 4 across the word boundary; +7 on channel 5.
      {"type 1",
       {0x1FFFF | 2u << 17 | (minus3 & 0x3FF) << 20 | 1u << 30,
        kSecond | minus3 >> 10 | 4u << 7 | 7u << 10 | 5u << 27},
       kEveryMarker, {{t + 104, 2}, {t + 101, 4}, {t + 108, 5}}, t + 108},
      // Type 2: -(2^26) on channel 3, then a channel-7 step that only moves the time.
      {"type 2", {1u << 26 | 3u << 27, kSecond | 1u << 30 | 5 | 7u << 27}, kEveryMarker,
       {{t + 108 - (1 << 26), 3}}, t + 113 - (1 << 26)},
      {"type 3, the widest step back", single(-(int64_t(1) << 56), 0), kEveryMarker,
       {{t + 113 - (1 << 26) - (int64_t(1) << 56), 0}}, t + 113 - (1 << 26) - (int64_t(1) << 56)},
      // Markers lie on the 5000 grid below their time, one for each bit of the remainder.
      {"absolute", absolute(1000000), kEveryMarker, {}, 1000000},
      {"markers", single(3, 6), kEveryMarker, {{1000000, 100}, {1000000, 101}}, 1000003},
      {"markers masked", single(0, 6), 0x002, {{1000000, 101}}, 1000003},
      // At -1000003 the remainder is -3, whose low 9 bits are 0x1FD; the grid time is -1000000.
      {"markers of a negative time", single(-2000006, 6), kEveryMarker,
       {{-1000000, 100}, {-1000000, 102}, {-1000000, 103}, {-1000000, 104}, {-1000000, 200},
        {-1000000, 201}, {-1000000, 202}, {-1000000, 203}}, -1000003},
      // A block that begins with two second words cannot be aligned: it is dropped whole, even
      // where its first word would complete the half packet left by the block before.
      {"half a packet", {single(1000, 1)[0]}, kEveryMarker, {}, -1000003},
      {"a block that cannot be aligned", {single(1000, 1)[1], kSecond | 5}, kEveryMarker, {}, -1000003},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(decode(s.words, s.mask), s.want);
    EXPECT_EQ(codec->lastTime, s.time);
  }
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

// The 60-bit format read one packet at a time, block by block, straight from its description:
// the reference for the decoder, which takes runs of packets several at a time.
struct PacketReader {
  int64_t time = 0;
  uint32_t pending = 0;
  Stamps out;

  void block(const uint32_t* w, int32_t n) {
    if (n <= 0 || (n >= 2 && ((w[0] ^ w[1]) >> 31) == 0)) return;
    int32_t i = 0;
    if (w[0] >> 31) {
      i = 1;
      if (pending != 0 && !packet(pending, w[0])) return;
    }
    for (; i + 2 <= n; i += 2)
      if (!packet(w[i], w[i + 1])) return;
    pending = w[n - 1] >> 31 ? 0 : w[n - 1];
  }
  bool packet(uint32_t f, uint32_t s) {
    if ((f >> 31) != 0 || (s >> 31) == 0) return false;
    const uint64_t payload = uint64_t(s & 0x3FFFFFFF) << 30 | (f & 0x3FFFFFFF);
    const int type = int(s >> 30 & 1) * 2 + int(f >> 30 & 1);
    if (type == 0) {
      time = int64_t(payload);
      return true;
    }
    if (time == 0) return true;
    const int width = type == 1 ? 17 : type == 2 ? 27 : 57;
    for (int e = 0; e < 4 - type; ++e) {
      const uint64_t bits = payload >> (e * (width + 3));
      const uint64_t sign = uint64_t(1) << (width - 1);
      const uint64_t difference = ((bits & (2 * sign - 1)) ^ sign) - sign;
      const uint8_t channel = uint8_t(bits >> width & 7);
      time = int64_t(uint64_t(time) + difference);
      if (channel < 6) out.push_back({time, channel});
      const int64_t r = time % 5000;
      static const uint8_t kMarker[9] = {100, 101, 102, 103, 104, 200, 201, 202, 203};
      for (int b = 0; channel == 6 && b < 9; ++b)
        if (uint64_t(r) >> b & 1) out.push_back({time - r, kMarker[b]});
    }
    return true;
  }
};

// Packets of the compact types with random steps, and now and then one of another kind.
struct PacketMaker {
  std::mt19937_64 rng;
  Words words;

  uint32_t channel() { return uint32_t(rng() % 6); }
  // Mostly forward, now and then back.
  int64_t step(int bits) {
    return int64_t(rng() % (uint64_t(1) << (bits - 1))) - (int64_t(1) << (bits - 3));
  }
  void three(int64_t d0, uint32_t c0, int64_t d1, uint32_t c1, int64_t d2, uint32_t c2) {
    const uint32_t a = uint32_t(d0) & 0x1FFFF, b = uint32_t(d1) & 0x1FFFF;
    const uint32_t c = uint32_t(d2) & 0x1FFFF;
    words.push_back(a | c0 << 17 | (b & 0x3FF) << 20 | 1u << 30);
    words.push_back(b >> 10 | c1 << 7 | c << 10 | c2 << 27 | kSecond);
  }
  void two(int64_t d0, uint32_t c0, int64_t d1, uint32_t c1) {
    words.push_back((uint32_t(d0) & 0x7FFFFFF) | c0 << 27);
    words.push_back((uint32_t(d1) & 0x7FFFFFF) | c1 << 27 | 1u << 30 | kSecond);
  }
  void plain(int type) {
    if (type == 1) three(step(17), channel(), step(17), channel(), step(17), channel());
    else two(step(27), channel(), step(27), channel());
  }
  // kind 0: absolute time, 1: type 3, 2: a marker in some slot, 3: a time advance in some slot,
  // 4: two first words, 5: two second words.
  void odd(int kind, int type) {
    const uint32_t slot = uint32_t(rng() % 3);
    const uint32_t special = kind == 2 ? 6 : 7;
    switch (kind) {
      case 0: words = words + absolute(uint64_t(1) << 40 | rng() % 1000000); break;
      case 1: words = words + single(step(40), channel()); break;
      case 2: case 3:
        if (type == 1)
          three(step(17), slot == 0 ? special : 1, 33, slot == 1 ? special : 2, 7,
                slot == 2 ? special : 3);
        else
          two(4999, slot == 0 ? special : 4, 33, slot != 0 ? special : 0);
        break;
      case 4: words.push_back(5); words.push_back(6); break;
      default: words.push_back(kSecond | 5); words.push_back(kSecond | 6); break;
    }
  }
};

// The decoder, fed in blocks of the given sizes (cycled), against the packet-by-packet reading
// of the same blocks: the timestamps, the stream time and the pending word; and wherever
// tdc56Decode60Pop() calls a block's timestamps in order, they are.
void expectSameAsPacketReader(const Words& words, const std::vector<int32_t>& sizes) {
  PacketReader reference;
  Tdc56Instance* pop = tdc56Init();
  Tdc56Instance* list = tdc56Init();
  Stamps viaPop, viaList, block(kTdc56ListSize);
  for (size_t pos = 0, k = 0; pos < words.size(); ++k) {
    const int32_t n = int32_t(std::min(words.size() - pos, size_t(sizes[k % sizes.size()])));
    reference.block(&words[pos], n);
    const int64_t before = pop->lastTime;
    bool inOrder = false;
    const int32_t got =
        tdc56Decode60Pop(pop, &words[pos], n, kEveryMarker, block.data(), &inOrder);
    for (int32_t i = 0; inOrder && i < got; ++i) {
      EXPECT_LE(i == 0 ? before : block[size_t(i) - 1].time, block[size_t(i)].time)
          << "block at " << pos;
      EXPECT_LT(block[size_t(i)].channel, 100);
    }
    viaPop.insert(viaPop.end(), block.begin(), block.begin() + got);
    tdc56Decode60(list, &words[pos], n, kEveryMarker);
    viaList.insert(viaList.end(), block.begin(), block.begin() + tdc56Pop(list, block.data()));
    pos += size_t(n);
    EXPECT_EQ(pop->lastTime, reference.time) << "block at " << pos;
    EXPECT_EQ(list->lastTime, reference.time) << "block at " << pos;
    EXPECT_EQ(pop->pendingWord, reference.pending);
  }
  EXPECT_EQ(viaPop, reference.out);
  EXPECT_EQ(viaList, reference.out);
  tdc56DeInit(pop);
  tdc56DeInit(list);
}

TEST(Codec60Runs, ManyPacketsAtOnceDecodeAsOneAtATime) {
  // type: of the plain packets, 1, 2, or 0 for either at random; one packet in oddEvery is of
  // another kind (0: none), of the kinds 0 .. oddKinds - 1 of PacketMaker::odd().
  struct Case { const char* name; int type, oddEvery, oddKinds; };
  for (const Case c :
       {Case{"three events a packet", 1, 0, 0}, Case{"two events a packet", 2, 0, 0},
        Case{"either", 0, 0, 0}, Case{"type 1, other kinds", 1, 7, 4},
        Case{"type 2, other kinds", 2, 5, 4}, Case{"either, broken packets", 0, 9, 6},
        Case{"type 2, now and then broken", 2, 40, 6}}) {
    SCOPED_TRACE(c.name);
    PacketMaker make{std::mt19937_64(uint64_t(c.type * 100 + c.oddEvery)), {}};
    make.words = absolute(uint64_t(1) << 40);
    for (int p = 0; p < 6000; ++p) {
      const int type = c.type != 0 ? c.type : 1 + int(make.rng() % 2);
      if (c.oddEvery != 0 && make.rng() % uint64_t(c.oddEvery) == 0)
        make.odd(int(make.rng() % uint64_t(c.oddKinds)), type);
      else
        make.plain(type);
    }
    // Blocks as the merge reads files, and blocks that begin at every offset of a packet run.
    expectSameAsPacketReader(make.words, {100});
    expectSameAsPacketReader(make.words, {37, 100, 63, 9, 4000, 2, 1, 100, 17});
  }

  // Times that reach 0 (from there on packets are skipped, as before the first absolute time)
  // and times that wrap past the top of the axis.
  PacketMaker make{std::mt19937_64(1), {}};
  make.words = absolute(uint64_t(1) << 28);
  for (int p = 0; p < 2; ++p) make.two(-(1 << 26), 1, -(1 << 26), 2);
  for (int p = 0; p < 8; ++p) make.plain(2);  // skipped
  make.words = make.words + absolute((uint64_t(1) << 60) - 1);
  for (int p = 0; p < 112; ++p) make.words = make.words + single((int64_t(1) << 56) - 1, 7);
  for (int p = 0; p < 8; ++p) make.two(300, 3, 1, 4);  // from 2^63 - 113 on
  ASSERT_EQ(make.words.size(), 264u);
  PacketReader reference;
  reference.block(make.words.data(), 264);
  ASSERT_EQ(reference.out.size(), 20u);
  EXPECT_EQ(reference.out[3], (PpTimest{0, 2}));
  EXPECT_LT(reference.out.back().time, 0);
  expectSameAsPacketReader(make.words, {264});
  expectSameAsPacketReader(make.words, {2, 100});
}

}  // namespace
