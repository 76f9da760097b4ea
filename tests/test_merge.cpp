// The merge of raw device streams: order, renumbering, both output formats, and its edge cases.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/tdc56.h"
#include "codec_stamps.h"
#include "core_merge.h"
#include "merge/decodeahead.h"
#include "merge/mergecore.h"
#include "merge/outbuf.h"

namespace {

// A raw stream in a temporary file, made from timestamps with the codec's encoder.
struct Stream {
  explicit Stream(const std::vector<PpTimest>& events, const std::string& tail = "")
      : file(streamFile(events)) {
    fseek(file, 0, SEEK_END);
    bytes = ftell(file);
    fwrite(tail.data(), 1, tail.size(), file);
  }
  ~Stream() {
    fclose(file);
    tdc56DeInit(decoder);
  }
  MergeSource source(int32_t chainPos, uint32_t markers = 0x1FF) const {
    rewind(file);
    return {decoder, chainPos, markers, file};
  }
  FILE* const file;
  int64_t bytes;  // of the timestamps, without the tail
  Tdc56Instance* const decoder = tdc56Init();
};

struct Result {
  std::string text, binary;
  int64_t records;
  int64_t bytesRead;
};

// Merges into fresh outputs; the binary header and trailer are "HEAD" and "TAIL". The byte
// counter starts at `counted`; bytesRead is what the merge added to it. With `stopAtFirstBytes`
// another thread stops the merge as soon as it has counted bytes.
Result merge(const std::vector<MergeSource>& sources, bool running = true, int64_t counted = 0,
             bool stopAtFirstBytes = false) {
  MergeOutputs out;
  out.text = tmpfile();
  out.binary = tmpfile();
  out.header = [](FILE* f, bool first) { fputs(first ? "HEAD" : "TAIL", f); };
  std::atomic<int64_t> bytes{counted};
  std::atomic<bool> run{running};
  std::thread stopper([&] {
    while (stopAtFirstBytes && bytes.load() == counted) std::this_thread::yield();
    if (stopAtFirstBytes) run = false;
  });
  Result r;
  r.records = mergeStreams(sources.data(), int32_t(sources.size()), out, bytes, run);
  stopper.join();
  r.bytesRead = bytes - counted;
  r.text = contents(out.text);
  r.binary = contents(out.binary);
  return r;
}

// Allocations from every thread while set.
std::atomic<bool> gCountAllocations{false};
std::atomic<int64_t> gAllocations{0};

}  // namespace

void* operator new(size_t size) {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
  if (void* p = malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
// Out of line: inlined next to a `new`, free() of memory from operator new looks mismatched.
__attribute__((noinline)) void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
// The library's temporary buffers come from the nothrow form: from malloc() too, to match.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
  return malloc(size != 0 ? size : 1);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }

TEST(Merge, TiesGoToTheEarlierDeviceAndMarkersArePreferred) {
  Stream a({{50, 0}, {70, 2}}), b({{50, 4}, {60, 1}});
  EXPECT_EQ(merge({a.source(0), b.source(2)}).text, "50, 0\n50, 14\n60, 11\n70, 2\n");
  EXPECT_EQ(merge({b.source(2), a.source(0)}).text, "50, 14\n50, 0\n60, 11\n70, 2\n");

  // Flag bits 0 and 5 of a marker packet at 10003 give markers 100 and 200 at 10000; at device
  // 0's head they are written before device 1's earlier ordinary timestamps. Disabled markers
  // are not written.
  Stream m({{10000 + 0x21, 6}}), early({{10, 1}, {20000, 1}});
  EXPECT_EQ(merge({m.source(0), early.source(1)}).text,
            "10000, 100\n10000, 200\n10, 6\n20000, 6\n");
  EXPECT_EQ(merge({m.source(0, 0x020), early.source(1)}).text, "10000, 200\n10, 6\n20000, 6\n");
}

TEST(Merge, EdgeCases) {
  // Empty and missing streams never end the merge early.
  Stream empty({}), a({{5, 1}, {6, 2}, {7, 3}});
  MergeSource none = a.source(3);
  none.file = nullptr;
  Result r = merge({empty.source(0), none, a.source(1)});
  EXPECT_EQ(r.text, "5, 6\n6, 7\n7, 8\n");
  EXPECT_EQ(r.records, 3);

  r = merge({});  // no sources at all: nothing is written, not even the header
  EXPECT_EQ(r.text + r.binary, "");

  r = merge({a.source(0)}, false);  // stopped before the first record
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.binary, "HEADTAIL");

  // A trailing partial word is neither decoded nor counted.
  Stream partial({{1000, 1}, {2000, 2}}, std::string("\x01\x02\x03", 3));
  r = merge({partial.source(0)});
  EXPECT_EQ(r.text, "1000, 1\n2000, 2\n");
  EXPECT_EQ(r.bytesRead, partial.bytes);
  // The count is exact at any size, also on top of 2^60 bytes, where a floating-point count
  // moves in steps of 256.
  EXPECT_EQ(merge({partial.source(0)}, true, int64_t(1) << 60).bytesRead, partial.bytes);

  // A chain position far out: its output channel wraps into a negative 16-bit number, as
  // printf's %hd shows it (the lines themselves: test_outbuf).
  char expect[64];
  Stream far({{5, 1}, {7, 2}});
  snprintf(expect, sizeof expect, "5, %hd\n7, %hd\n", short(5 * 7000 + 1), short(5 * 7000 + 2));
  EXPECT_EQ(merge({far.source(7000)}).text, expect);
}

// Stopped from another thread, the text output holds a prefix of the full merge (whose order
// test_mergetree checks) in whole lines.
TEST(Merge, AStoppedMergeWritesAPrefixOfTheFullMerge) {
  std::mt19937_64 rng(12345);
  std::vector<std::unique_ptr<Stream>> streams;
  std::vector<MergeSource> sources;
  for (int32_t d = 0; d < 3; ++d) {
    std::vector<PpTimest> events;
    for (int64_t i = 0, t = 1000000; i < 100000; ++i)
      events.push_back({t += int64_t(rng() % 2000), uint8_t(rng() % 5)});
    streams.emplace_back(new Stream(events));
    sources.push_back(streams.back()->source(d));
  }
  const Result full = merge(sources);
  EXPECT_EQ(full.records, 300000);
  EXPECT_EQ(full.binary.size(), 8 + 10 * 300000u);
  EXPECT_EQ(full.binary.substr(0, 4) + full.binary.substr(full.binary.size() - 4), "HEADTAIL");
  for (auto& s : sources) rewind(s.file);
  const Result stopped = merge(sources, true, 0, true);
  EXPECT_EQ(full.text.compare(0, stopped.text.size(), stopped.text), 0);
  EXPECT_TRUE(stopped.text.empty() || stopped.text.back() == '\n');
}

// Ordering the heads afresh after each marker allocates nothing: a stream full of markers takes
// no more allocations than one with a few (give or take the few of the decoding side), on a
// chain that takes the compact keys and on a longer one.
TEST(Merge, AllocatesNothingPerMarker) {
  for (int32_t devices : {3, 17}) {
    SCOPED_TRACE(devices);
    int64_t allocations[2];
    for (const int32_t every : {5000, 20}) {
      std::vector<std::unique_ptr<Stream>> streams;
      std::vector<MergeSource> sources;
      for (int32_t d = 0; d < devices; ++d) {
        std::vector<PpTimest> events;
        for (int64_t i = 1; i <= 20000; ++i)
          events.push_back(i % every == 0 ? PpTimest{1000 * i + 0x21, 6}
                                          : PpTimest{1000 * i + d, uint8_t(i % 5)});
        streams.emplace_back(new Stream(events));
        sources.push_back(streams.back()->source(d));
      }
      MergeOutputs out;
      std::atomic<int64_t> bytes{0};
      std::atomic<bool> running{true};
      gAllocations = 0;
      gCountAllocations = true;
      const int64_t records = mergeStreams(sources.data(), devices, out, bytes, running);
      gCountAllocations = false;
      EXPECT_EQ(records, devices * (20000 + 20000 / every));
      allocations[every == 20] = gAllocations;
    }
    EXPECT_LT(allocations[1], allocations[0] + 100);  // 1000 times afresh
  }
}

// Files still being written are merged as they grow, and give the records of the finished
// files: pieces of any size, cut inside blocks and words, only make the merge wait.
TEST(Merge, GrowingFilesGiveTheRecordsOfTheFinishedFiles) {
  std::mt19937_64 rng(7);
  TempDir dir;
  std::vector<Words> words;
  std::vector<FILE*> writers;
  std::vector<MergeSource> sources;
  std::atomic<bool> growing{true};
  for (int32_t d = 0; d < 3; ++d) {
    std::vector<PpTimest> events;
    for (int64_t i = 0, t = 1000; i < 40000; ++i, t += 0x21) {
      t += int64_t(rng() % 4000);
      events.push_back(rng() % 50 ? PpTimest{t, uint8_t(rng() % 5)} : PpTimest{t + 0x21, 6});
    }
    words.push_back(packStream(events));
    const std::string name = dir / std::to_string(d);
    writers.push_back(fopen(name.c_str(), "wb"));
    sources.push_back({tdc56Init(), d, 0x1FF, fopen(name.c_str(), "rb"), &growing});
  }
  std::thread writer([&] {
    std::vector<size_t> done(3, 0);
    for (size_t left = 3; left > 0;) {
      left = 0;
      for (size_t i = 0; i < 3; ++i) {
        const size_t all = 4 * words[i].size();
        const size_t n = std::min<size_t>(all - done[i], 1 + rng() % 3000);
        fwrite(reinterpret_cast<const char*>(words[i].data()) + done[i], 1, n, writers[i]);
        fflush(writers[i]);
        done[i] += n;
        left += done[i] < all;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    for (FILE* f : writers) fclose(f);
    growing.store(false);
  });
  const Result live = merge(sources);
  writer.join();
  for (MergeSource& s : sources) {
    rewind(s.file);
    s.growing = nullptr;
  }
  const Result offline = merge(sources);
  EXPECT_GT(offline.records, 120000);
  EXPECT_EQ(live.records, offline.records);
  EXPECT_TRUE(live.text == offline.text && live.binary == offline.binary) << "outputs differ";
  EXPECT_EQ(live.bytesRead, offline.bytesRead);
  closeSources(sources);
}

// A stream of `zeros` bytes without timestamps followed by the bytes of `data`, read from memory.
struct HoleThenData {
  int64_t zeros, at;
  std::string data;
  static ssize_t read(void* cookie, char* buf, size_t size) {
    HoleThenData& h = *static_cast<HoleThenData*>(cookie);
    size_t n = size_t(std::min<int64_t>(int64_t(size), h.zeros - h.at));
    if (h.at < h.zeros) {
      memset(buf, 0, n);
    } else {
      const size_t from = size_t(h.at - h.zeros);
      n = std::min(size, h.data.size() - std::min(from, h.data.size()));
      memcpy(buf, h.data.data() + from, n);
    }
    h.at += int64_t(n);
    return ssize_t(n);
  }
};

// Passing 4 GiB without timestamps takes seconds under ThreadSanitizer, whose stage is about
// threads: there the stretch is short of 32 bits.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
constexpr bool kThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool kThreadSanitizer = false;
#endif

// A stretch without timestamps longer than 32 bits can count (on a 100-word block boundary)
// before the data: every byte of it is counted, and the data merge as they would alone.
TEST(Merge, CountsEveryByteOfAStretchWithoutTimestampsPast4GiB) {
  const int64_t zeros = kThreadSanitizer ? 400 * 40000 : 10737419LL * 400;
  const Words words = packStream({{1000, 1}, {2000, 2}, {1LL << 40, 3}});
  const char* const bytes = reinterpret_cast<const char*>(words.data());
  HoleThenData hole{zeros, 0, std::string(bytes, 4 * words.size())};
  FILE* file = fopencookie(&hole, "r", {HoleThenData::read, nullptr, nullptr, nullptr});
  Tdc56Instance* decoder = tdc56Init();
  const Result r = merge({{decoder, 0, 0x1FF, file}});
  tdc56DeInit(decoder);
  fclose(file);
  EXPECT_EQ(r.bytesRead, zeros + int64_t(4 * words.size()));
  EXPECT_EQ(r.text, "1000, 1\n2000, 2\n1099511627776, 3\n");
}

// The decoded timestamps are handed over page by page, decoded ahead on a thread or, without
// one, when asked for: either way every timestamp arrives once and in order, the bytes add up to
// the files, no page covers more than 64 KiB of a stream (the progress moves by pages), and an
// ended stream stays ended.
TEST(Merge, DecodeAheadHandsOutEveryTimestampOnce) {
  std::mt19937_64 rng(99);
  std::vector<PpTimest> events;
  int64_t t = 5000;
  for (int i = 0; i < 60000; ++i) {
    // Gaps too wide for the compact packets: a page fills with bytes before timestamps.
    t += (int64_t(rng() % 5000) + 1) << 24;
    events.push_back({t, uint8_t(rng() % 5)});
  }
  for (bool onThread : {true, false}) {
    SCOPED_TRACE(onThread);
    // Absolute times of 0 and a lone last word: bytes without a timestamp.
    Stream many(events), none({}, std::string(200000, '\0') + std::string("\x01\x02\x03\x04", 4));
    const MergeSource sources[2] = {many.source(0), none.source(1)};
    std::atomic<int64_t> published{0};
    DecodeAhead ahead(sources, 2, onThread, &published);
    std::vector<PpTimest> got;
    int64_t bytes[2] = {0, 0};
    int pages = 0;
    bool ended[2] = {false, false};
    while (!ended[0] || !ended[1]) {
      for (int32_t i = 0; i < 2; ++i) {
        const PpTimest *first, *last;
        const int64_t taken = ahead.take(i, &first, &last);
        EXPECT_TRUE(i == 1 || taken <= 65536) << taken;
        bytes[i] += taken;
        ended[i] = first->time == INT64_MAX;
        EXPECT_TRUE(!ended[i] || first == last);
        if (!ended[i]) got.insert(got.end(), first, last + 1);
        pages += !ended[i];
      }
    }
    ASSERT_EQ(got, events);
    EXPECT_GT(pages, 2);
    EXPECT_EQ(bytes[0], many.bytes);
    EXPECT_EQ(bytes[1], 200004);
    EXPECT_EQ(published, bytes[0] + bytes[1]);
    const PpTimest *first, *last;
    EXPECT_EQ(ahead.take(0, &first, &last), 0);
    EXPECT_EQ(first->time, INT64_MAX);
  }
}
