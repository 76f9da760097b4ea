// The merge of raw device streams: order, renumbering, both output formats, and its edge cases.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/tdc56.h"
#include "merge/mergecore.h"
#include "merge/outbuf.h"

namespace {

// A raw stream in a temporary file, made from timestamps with the codec's encoder.
class Stream {
public:
  explicit Stream(const std::vector<PpTimest>& events, const std::string& tail = "") {
    _file = tmpfile();
    Tdc56Instance* enc = tdc56Init();
    std::vector<uint32_t> words(4 * events.size() + 4);
    int32_t count = int32_t(events.size());
    int32_t n = count ? tdc56Pack60(enc, events.data(), &count, words.data(), int32_t(words.size())) : 0;
    EXPECT_EQ(count, int32_t(events.size()));
    tdc56DeInit(enc);
    fwrite(words.data(), 4, size_t(n), _file);
    fwrite(tail.data(), 1, tail.size(), _file);
    _bytes = 4 * n;
    rewind(_file);
    _decoder = tdc56Init();
  }
  ~Stream() {
    fclose(_file);
    tdc56DeInit(_decoder);
  }
  MergeSource source(int32_t chainPos, uint32_t markers = 0x1FF) const {
    rewind(_file);
    return {_decoder, chainPos, markers, _file};
  }
  int64_t bytes() const { return _bytes; }

private:
  FILE* _file;
  Tdc56Instance* _decoder;
  int64_t _bytes;
};

std::string contents(FILE* f) {
  fflush(f);
  rewind(f);
  std::string s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

struct Result {
  std::string text, binary;
  int64_t records;
  double bytesRead;
};

// Merges into fresh outputs; the binary header and trailer are "HEAD" and "TAIL".
Result merge(const std::vector<MergeSource>& sources, bool running = true) {
  FILE* text = tmpfile();
  FILE* binary = tmpfile();
  MergeOutputs out;
  out.text = text;
  out.binary = binary;
  out.header = [](FILE* f, bool first) { fputs(first ? "HEAD" : "TAIL", f); };
  std::atomic<double> bytes{0};
  std::atomic<bool> run{running};
  Result r;
  r.records = mergeStreams(sources.data(), int32_t(sources.size()), out, bytes, run);
  r.bytesRead = bytes;
  r.text = contents(text);
  r.binary = contents(binary);
  fclose(text);
  fclose(binary);
  return r;
}

}  // namespace

TEST(Merge, OrdersTwoDevicesAndRenumbersChannels) {
  Stream a({{100, 1}, {300, 2}}), b({{200, 1}, {300, 3}});
  Result r = merge({a.source(0), b.source(1)});
  EXPECT_EQ(r.text, "100, 1\n200, 6\n300, 2\n300, 8\n");
  EXPECT_EQ(r.records, 4);
  ASSERT_EQ(r.binary.size(), 4 + 4 * 10 + 4u);
  EXPECT_EQ(r.binary.substr(0, 4), "HEAD");
  EXPECT_EQ(r.binary.substr(44), "TAIL");
  const char second[] = {'\xC8', 0, 0, 0, 0, 0, 0, 0, 6, 0};
  EXPECT_EQ(r.binary.substr(14, 10), std::string(second, 10));
  EXPECT_EQ(r.bytesRead, double(a.bytes() + b.bytes()));
}

TEST(Merge, TiesGoToTheEarlierDeviceAndMarkersArePreferred) {
  Stream a({{50, 0}, {70, 2}}), b({{50, 4}, {60, 1}});
  EXPECT_EQ(merge({a.source(0), b.source(2)}).text, "50, 0\n50, 14\n60, 11\n70, 2\n");
  EXPECT_EQ(merge({b.source(2), a.source(0)}).text, "50, 14\n50, 0\n60, 11\n70, 2\n");

  // Flag bits 0 and 5 of a marker packet at 10003 give markers 100 and 200 at 10000; at device
  // 0's head they are written before device 1's earlier ordinary timestamps.
  Stream m({{10000 + 0x21, 6}}), early({{10, 1}, {20000, 1}});
  EXPECT_EQ(merge({m.source(0), early.source(1)}).text,
            "10000, 100\n10000, 200\n10, 6\n20000, 6\n");
  // Disabled markers are not written.
  EXPECT_EQ(merge({m.source(0, 0x020), early.source(1)}).text, "10000, 200\n10, 6\n20000, 6\n");
}

TEST(Merge, EmptyAndMissingStreamsNeverEndTheMergeEarly) {
  Stream empty({}), a({{5, 1}, {6, 2}, {7, 3}});
  MergeSource none = a.source(3);
  none.file = nullptr;
  Result r = merge({empty.source(0), none, a.source(1)});
  EXPECT_EQ(r.text, "5, 6\n6, 7\n7, 8\n");
  EXPECT_EQ(r.records, 3);

  // No sources at all: nothing is written, not even the header.
  r = merge({});
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.binary, "");
}

TEST(Merge, TrailingPartialWordIsNeitherDecodedNorCounted) {
  Stream a({{1000, 1}, {2000, 2}}, std::string("\x01\x02\x03", 3));
  Result r = merge({a.source(0)});
  EXPECT_EQ(r.text, "1000, 1\n2000, 2\n");
  EXPECT_EQ(r.bytesRead, double(a.bytes()));
}

TEST(Merge, StoppedBeforeTheFirstRecordWritesHeaderAndTrailerOnly) {
  Stream a({{1, 1}});
  Result r = merge({a.source(0)}, false);
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.binary, "HEADTAIL");
}

TEST(Merge, NegativeTimesAndChannelsFormatLikePrintf) {
  char buf[32];
  const int64_t times[] = {0, -1, 9, 10, INT64_MAX, INT64_MIN, -1234567890123LL};
  for (int64_t t : times) {
    char* end = OutBuf::putDecimal(buf, t);
    char expect[32];
    snprintf(expect, sizeof expect, "%lld", (long long)t);
    EXPECT_EQ(std::string(buf, end), expect);
  }
  // A chain position far out wraps the output channel into a negative 16-bit number.
  Stream a({{5, 1}, {7, 2}});
  char lines[64];
  snprintf(lines, sizeof lines, "%lld, %hd\n%lld, %hd\n", 5LL, short(5 * 7000 + 1), 7LL,
           short(5 * 7000 + 2));
  EXPECT_EQ(merge({a.source(7000)}).text, lines);
}

// Several devices with many random events: every timestamp appears exactly once, in time order
// (ties by device order), byte for byte what a plain printf/fwrite writer gives.
TEST(Merge, LargeMergeMatchesAnIndependentWriter) {
  std::mt19937_64 rng(12345);
  const int devices = 3, perDevice = 200000;
  std::vector<std::vector<PpTimest>> events(devices);
  struct Rec {
    int64_t time;
    int dev;
    int seq;
    int16_t channel;
  };
  std::vector<Rec> all;
  for (int d = 0; d < devices; ++d) {
    int64_t t = 1000000;
    for (int i = 0; i < perDevice; ++i) {
      // Mostly short gaps, sometimes long ones, so every packet type appears.
      uint64_t r = rng();
      t += (r % 16 == 0) ? int64_t(r >> 20) % 3000000000LL : int64_t(r % 2000);
      uint8_t ch = uint8_t((r >> 8) % 6);
      events[d].push_back({t, ch});
      all.push_back({t, d, i, int16_t(5 * d + ch)});
    }
  }
  std::stable_sort(all.begin(), all.end(), [](const Rec& x, const Rec& y) {
    return x.time != y.time ? x.time < y.time : x.dev < y.dev;
  });
  std::string text, binary = "HEAD";
  char line[64];
  for (const Rec& r : all) {
    int n = snprintf(line, sizeof line, "%lld, %hd\n", (long long)r.time, r.channel);
    text.append(line, size_t(n));
    char rec[10];
    memcpy(rec, &r.time, 8);  // the host is little-endian
    memcpy(rec + 8, &r.channel, 2);
    binary.append(rec, 10);
  }
  binary += "TAIL";

  std::vector<std::unique_ptr<Stream>> streams;
  std::vector<MergeSource> sources;
  for (int d = 0; d < devices; ++d) {
    streams.emplace_back(new Stream(events[d]));
    sources.push_back(streams.back()->source(d));
  }
  Result r = merge(sources);
  EXPECT_EQ(r.records, int64_t(all.size()));
  EXPECT_TRUE(r.text == text) << "text output differs";
  EXPECT_TRUE(r.binary == binary) << "binary output differs";

  // Stopped from another thread, the outputs hold a prefix of the full merge.
  for (auto& s : sources) rewind(s.file);
  FILE* out = tmpfile();
  MergeOutputs o;
  o.text = out;
  std::atomic<double> bytes{0};
  std::atomic<bool> running{true};
  std::thread stopper([&] {
    while (bytes.load() == 0) std::this_thread::yield();
    running = false;
  });
  mergeStreams(sources.data(), devices, o, bytes, running);
  stopper.join();
  std::string prefix = contents(out);
  fclose(out);
  EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0);
  if (!prefix.empty()) {
    EXPECT_EQ(prefix.back(), '\n');
  }
}
