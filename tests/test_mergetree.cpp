// The merge's order on chains of any length: near the top of the time axis, where the
// tournament's compact keys hold no more times, with markers, and in the stretches that it
// merges two ways at once; in either layout of the binary records (10-byte records or columns).
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "codec_stamps.h"
#include "core_merge.h"
#include "merge/mergecore.h"
#include "merge/outbuf.h"

namespace {

// 10-byte binary records of the columns.
std::string records(const int64_t* times, const int16_t* channels, size_t count) {
  std::string r;
  for (size_t i = 0; i < count; ++i) {
    r.append(reinterpret_cast<const char*>(&times[i]), 8);
    r.append(reinterpret_cast<const char*>(&channels[i]), 2);
  }
  return r;
}

// Takes the records as columns, as binary records, and checks what the merge promises of its
// batches: all but the last are whole, the order flag is right, a batch stays as it was until
// the call after it has returned, and the end is told once.
struct ColumnSink : RecordSink {
  std::string binary;
  size_t ends = 0, held = 0;  // the records of the last batch, at these:
  const int64_t* heldTimes = nullptr;
  const int16_t* heldChannels = nullptr;
  int64_t last = INT64_MIN;

  size_t columns() const override { return size_t(OutBuf::kColumnRecords); }
  void putRecords(const char*, size_t) override { ADD_FAILURE() << "records, not columns"; }
  void putColumns(const int64_t* times, const int16_t* channels, size_t count,
                  bool ordered) override {
    EXPECT_TRUE(held == 0 || records(heldTimes, heldChannels, held) ==
                                 binary.substr(binary.size() - 10 * held))
        << "a batch changed before the next one was taken";
    EXPECT_EQ(ends, 0u) << "columns after the end";
    EXPECT_TRUE(count == 0 || binary.size() % (10 * columns()) == 0) << "a short batch before";
    bool inOrder = true;
    for (size_t i = 0; i < count; ++i) {
      inOrder = inOrder && times[i] >= last;
      last = times[i];
    }
    EXPECT_TRUE(count == 0 || ordered == inOrder) << "order flag of the batch at " << binary.size();
    ends += count == 0;
    binary += records(times, channels, count);
    held = count;
    heldTimes = times;
    heldChannels = channels;
  }
};

// Merges the streams of `events` (one vector per device) with each output alone and both at
// once, and checks the records against a scan of every head in device order, the earliest
// first, ties to the first device, a marker displacing the choice.
void expectMergeOrder(const std::vector<std::vector<PpTimest>>& events) {
  const size_t devices = events.size();
  std::vector<MergeSource> sources;
  std::vector<std::vector<PpTimest>> decoded;
  for (size_t d = 0; d < devices; ++d) {
    sources.push_back({tdc56Init(), int32_t(d), 0x1FF, streamFile(events[d])});
    decoded.push_back(decodeWords(packStream(events[d]), {100}, kEveryMarker));
  }
  std::vector<size_t> pos(devices, 0);
  auto head = [&](size_t d) { return pos[d] < decoded[d].size() ? &decoded[d][pos[d]] : nullptr; };
  auto marker = [&](size_t d) { return head(d) != nullptr && head(d)->channel >= 100; };
  std::string binary, text;
  for (;;) {
    size_t k = 0;
    for (size_t i = 1; i < devices && !marker(0); ++i)
      if (head(i) && (!head(k) || head(i)->time < head(k)->time || marker(i))) k = i;
    if (!head(k)) break;
    const int16_t channel = int16_t(5 * k + head(k)->channel);
    binary += records(&head(k)->time, &channel, 1);
    char line[40];
    text.append(line, size_t(snprintf(line, sizeof line, "%lld, %hd\n",
                                      static_cast<long long>(head(k)->time), channel)));
    ++pos[k];
  }
  // 1: binary file, 2: text file, 4: a sink of columns.
  for (const int outputs : {1, 2, 3, 4, 6}) {
    MergeOutputs out;
    out.binary = outputs & 1 ? tmpfile() : nullptr;
    out.text = outputs & 2 ? tmpfile() : nullptr;
    ColumnSink columns;
    out.records = outputs & 4 ? &columns : nullptr;
    for (MergeSource& s : sources) rewind(s.file);
    std::atomic<int64_t> bytes{0};
    std::atomic<bool> running{true};
    EXPECT_EQ(mergeStreams(sources.data(), int32_t(devices), out, bytes, running),
              int64_t(binary.size() / 10));
    EXPECT_TRUE(!out.binary || contents(out.binary) == binary) << "binary differs, " << outputs;
    EXPECT_TRUE(!out.text || contents(out.text) == text) << "text differs, " << outputs;
    EXPECT_TRUE(!out.records || (columns.binary == binary && columns.ends == 1))
        << "columns' order differs, " << outputs;
  }
  closeSources(sources);
}

}  // namespace

// Chains of 2 to 16 devices with equal times across devices, in whole-page stretches that the
// merge may take two ways at once. Some streams have markers, some cross the highest time of
// the merge's compact keys (2^60 ps with 16 leaves, 2^62 ps with 4), some go back in time now
// and then: wherever the order cannot be seen from the stream, the merge must keep it all the same.
TEST(MergeTree, RecordsComeInTheMergeOrderOnAnyChain) {
  // The times start `below` under `limit` and cross it when `crosses`; `events` per device; one
  // in `markerEvery` is a marker and one step in `backEvery` goes back 3 ns (0: none); `jumps`
  // events 2^56 - 1 ps apart half-way (a packet's widest step); `wide`: one step in 16 of up to
  // 3 ms, so that every packet type appears, and channel 5 too.
  struct Case {
    size_t devices;
    int64_t limit, below;
    int events, markerEvery;
    bool crosses;
    int backEvery, jumps;
    bool wide = false;
  };
  constexpr int64_t k60 = int64_t(1) << 60, k62 = int64_t(1) << 62;
  constexpr int64_t k30 = int64_t(1) << 30;
  for (const Case c : {Case{5, k60, 3000000, 6000, 50, true, 0, 0},
                       Case{9, k60, 3000000, 6000, 50, true, 0, 0},
                       Case{16, k60, 3000000, 6000, 50, true, 0, 0},
                       Case{2, k30, 20000000, 40000, 0, false, 0, 0},
                       Case{3, k30, 35000000, 70000, 0, false, 0, 0},
                       Case{8, k30, 10000000, 20000, 0, false, 0, 0},
                       Case{3, k62, k62 - k60 + 1000000, 4000, 0, true, 0, 49},
                       Case{3, k30, 10000000, 20000, 0, false, 50, 0},
                       Case{4, k30, 10000000, 20000, 5000, false, 0, 0},
                       Case{1, k60, k60 / 2, 100000, 0, false, 0, 0, true},
                       Case{6, k60, k60 / 2, 50000, 0, false, 0, 0, true}}) {
    SCOPED_TRACE(testing::Message() << c.devices << " devices, limit " << c.limit);
    std::mt19937_64 rng{c.devices};
    std::vector<std::vector<PpTimest>> events(c.devices);
    for (std::vector<PpTimest>& stream : events) {
      int64_t t = c.limit - c.below;
      for (int i = 0; i < c.events; ++i) {
        const uint64_t r = rng();
        t += c.wide && r % 16 == 0 ? int64_t(r >> 20) % 3000000000LL : 1000 * int64_t(r % 2);
        for (int j = 0; j < c.jumps && i == c.events / 2; ++j) {
          t += (int64_t(1) << 56) - 1;
          stream.push_back({t, uint8_t(rng() % 5)});
        }
        if (c.backEvery && rng() % uint64_t(c.backEvery) == 0) t -= 3000;
        if (c.markerEvery && rng() % uint64_t(c.markerEvery) == 0) {
          stream.push_back({t + 0x21, 6});  // markers 100 and 200
          t += 1000;
        } else {
          stream.push_back({t, uint8_t(rng() % (c.wide ? 6 : 5))});
        }
      }
      ASSERT_TRUE(!c.crosses || (stream.front().time < c.limit && stream.back().time > c.limit));
    }
    expectMergeOrder(events);
  }
  // A marker far ahead of the other devices ends one stream: it is written at once, and the
  // stretch merged after it begins earlier than it.
  std::vector<std::vector<PpTimest>> events(3);
  for (int64_t i = 0; i < 100000; ++i)
    for (size_t d = 0; d < 3; ++d)
      if (d > 0 || i < 100) events[d].push_back({1000000 + 1000 * i, uint8_t(i % 5)});
  events[0].push_back({50000000 + 0x21, 6});
  expectMergeOrder(events);
}
