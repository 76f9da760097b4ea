// The merge of long chains near the top of the time axis: the tournament's compact keys hold
// times only below 2^60 ps (16 leaves) or 2^61 ps (8 leaves), and heads beyond that must still
// come out in the merge order.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "codec/tdc56.h"
#include "merge/mergecore.h"

namespace {

// Encodes the events into a temporary file; returns it, rewound.
FILE* streamFile(const std::vector<PpTimest>& events) {
  FILE* f = tmpfile();
  Tdc56Instance* enc = tdc56Init();
  std::vector<uint32_t> words(4 * events.size() + 4);
  int32_t count = int32_t(events.size());
  const int32_t n = tdc56Pack60(enc, events.data(), &count, words.data(), int32_t(words.size()));
  EXPECT_EQ(count, int32_t(events.size()));
  tdc56DeInit(enc);
  EXPECT_EQ(fwrite(words.data(), 4, size_t(n), f), size_t(n));
  rewind(f);
  return f;
}

std::vector<PpTimest> decodeAll(FILE* f) {
  Tdc56Instance* codec = tdc56Init();
  std::vector<PpTimest> all, out(kTdc56ListSize);
  uint32_t block[100];
  for (size_t n; (n = fread(block, 4, 100, f)) > 0;) {
    tdc56Decode60(codec, block, int32_t(n), 0x1FF);
    all.insert(all.end(), out.begin(), out.begin() + tdc56Pop(codec, out.data()));
  }
  tdc56DeInit(codec);
  rewind(f);
  return all;
}

}  // namespace

// Streams that cross 2^60 ps mid-way (the highest time of the compact keys of 16 leaves), with
// equal times across devices and markers: the binary records are those of a scan of every head
// in device order, the earliest first, ties to the first device, a marker displacing the choice.
TEST(MergeTree, TimesBeyondTheCompactKeysKeepTheOrder) {
  struct Case {
    size_t devices;
    int64_t limit;
  };
  for (const Case c : {Case{5, int64_t(1) << 60}, Case{9, int64_t(1) << 60},
                       Case{16, int64_t(1) << 60}}) {
    SCOPED_TRACE(c.devices);
    std::mt19937_64 rng{c.devices};
    std::vector<FILE*> files;
    std::vector<Tdc56Instance*> decoders;
    std::vector<MergeSource> sources;
    std::vector<std::vector<PpTimest>> decoded;
    for (size_t d = 0; d < c.devices; ++d) {
      std::vector<PpTimest> events;
      int64_t t = c.limit - 3000 * 1000;
      for (int i = 0; i < 6000; ++i) {
        t += 1000 * int64_t(rng() % 2);
        if (rng() % 50 == 0) {
          events.push_back({t + 0x21, 6});  // markers 100 and 200
          t += 1000;
        } else {
          events.push_back({t, uint8_t(rng() % 5)});
        }
      }
      files.push_back(streamFile(events));
      decoded.push_back(decodeAll(files.back()));
      ASSERT_LT(decoded.back().front().time, c.limit);
      ASSERT_GT(decoded.back().back().time, c.limit);
      decoders.push_back(tdc56Init());
      sources.push_back({decoders.back(), int32_t(d), 0x1FF, files.back()});
    }
    std::vector<size_t> pos(c.devices, 0);
    auto head = [&](size_t d) { return pos[d] < decoded[d].size() ? &decoded[d][pos[d]] : nullptr; };
    auto marker = [&](size_t d) { return head(d) != nullptr && head(d)->channel >= 100; };
    std::string expect;
    for (;;) {
      size_t k = 0;
      for (size_t i = 1; i < c.devices && !marker(0); ++i)
        if (head(i) && (!head(k) || head(i)->time < head(k)->time || marker(i))) k = i;
      if (!head(k)) break;
      const int16_t channel = int16_t(5 * k + head(k)->channel);
      expect.append(reinterpret_cast<const char*>(&head(k)->time), 8);
      expect.append(reinterpret_cast<const char*>(&channel), 2);
      ++pos[k];
    }

    MergeOutputs out;
    out.binary = tmpfile();
    std::atomic<double> bytes{0};
    std::atomic<bool> running{true};
    const int64_t records = mergeStreams(sources.data(), int32_t(c.devices), out, bytes, running);
    EXPECT_EQ(records, int64_t(expect.size() / 10));
    std::string got(expect.size() + 1, '\0');
    rewind(out.binary);
    got.resize(fread(&got[0], 1, got.size(), out.binary));
    EXPECT_TRUE(got == expect) << "merged order differs";
    fclose(out.binary);
    for (size_t d = 0; d < c.devices; ++d) {
      fclose(files[d]);
      tdc56DeInit(decoders[d]);
    }
  }
}
