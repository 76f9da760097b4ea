// Decoding speed of the 60-bit format as the merge uses it, against a memcpy of the same bytes.
//
// The stream mixes all four packet types: dense events (17-bit differences), sparser ones (27-bit),
// long gaps (57-bit), an absolute time every few thousand events, marker packets and time-advance
// packets.
#include <stdint.h>
#include <string.h>

#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "codec/tdc56.h"

namespace {

constexpr size_t kStreamWords = 1 << 20;
constexpr uint32_t kAllMarkers = 0x1FF;

std::vector<PpTimest> makeEvents(size_t n) {
  std::mt19937_64 random(12345);
  std::vector<PpTimest> events;
  events.reserve(n);
  int64_t time = 1000000;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t dice = random() % 100;
    const uint64_t gap = dice < 60 ? random() % 60000 : dice < 92 ? random() % 60000000
                                                                  : random() % (1ull << 40);
    time += static_cast<int64_t>(gap);
    uint8_t channel = static_cast<uint8_t>(random() % 6);
    if (dice == 0) channel = 7;  // time advance
    if (dice == 1) {             // marker packet carrying two flags on the 5000 grid
      time = time / 5000 * 5000 + 0x21;
      channel = 6;
    }
    events.push_back(PpTimest{time, channel});
  }
  return events;
}

const std::vector<uint32_t>& stream() {
  static const std::vector<uint32_t> words = [] {
    const std::vector<PpTimest> events = makeEvents(kStreamWords);
    std::vector<uint32_t> out(kStreamWords);
    Tdc56Instance* codec = tdc56Init();
    size_t used = 0;
    size_t written = 0;
    while (written + 2 <= out.size() && used < events.size()) {
      codec->encodeState = 0;  // an absolute time now and then, as a device resends it
      int32_t count = static_cast<int32_t>(std::min<size_t>(4000, events.size() - used));
      written += static_cast<size_t>(tdc56Pack60(codec, events.data() + used, &count,
                                                 out.data() + written,
                                                 static_cast<int32_t>(out.size() - written)));
      used += static_cast<size_t>(count);
    }
    out.resize(written);
    tdc56DeInit(codec);
    return out;
  }();
  return words;
}

void report(benchmark::State& state, int64_t timestamps) {
  const double words = static_cast<double>(stream().size());
  const auto rate = benchmark::Counter::kIsIterationInvariantRate;
  state.counters["words/s"] = benchmark::Counter(words, rate);
  state.counters["timestamps/s"] = benchmark::Counter(static_cast<double>(timestamps), rate);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(words * 4));
}

// Decodes the whole stream in blocks of `block` words with a pop after each.
void decodeInBlocks(benchmark::State& state) {
  const std::vector<uint32_t>& words = stream();
  const size_t block = static_cast<size_t>(state.range(0));
  std::vector<PpTimest> out(kTdc56ListSize);
  Tdc56Instance* codec = tdc56Init();
  int64_t timestamps = 0;
  for (auto _ : state) {
    tdc56Reset(codec);
    timestamps = 0;
    for (size_t i = 0; i + 2 <= words.size(); i += block) {
      const int32_t n = static_cast<int32_t>(std::min(block, words.size() - i));
      tdc56Decode60(codec, words.data() + i, n, kAllMarkers);
      timestamps += tdc56Pop(codec, out.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  tdc56DeInit(codec);
  report(state, timestamps);
}
BENCHMARK(decodeInBlocks)->Arg(100)->Arg(4096)->Unit(benchmark::kMicrosecond);

// The merge's way: 100-word blocks decoded straight into pages of about 24 k entries.
void decodeIntoPages(benchmark::State& state) {
  const std::vector<uint32_t>& words = stream();
  constexpr int32_t kPage = 8192;
  std::vector<PpTimest> page(kPage + kTdc56ListSize);
  Tdc56Instance* codec = tdc56Init();
  int64_t timestamps = 0;
  for (auto _ : state) {
    tdc56Reset(codec);
    timestamps = 0;
    int32_t count = 0;
    for (size_t i = 0; i + 2 <= words.size(); i += 100) {
      const int32_t n = static_cast<int32_t>(std::min<size_t>(100, words.size() - i));
      bool inOrder;
      count += tdc56Decode60Pop(codec, words.data() + i, n, kAllMarkers, page.data() + count,
                                &inOrder);
      if (count > kPage) timestamps += count, count = 0;
    }
    timestamps += count;
    benchmark::DoNotOptimize(page.data());
  }
  tdc56DeInit(codec);
  report(state, timestamps);
}
BENCHMARK(decodeIntoPages)->Unit(benchmark::kMicrosecond);

void memcpyReference(benchmark::State& state) {
  const std::vector<uint32_t>& words = stream();
  std::vector<uint32_t> copy(words.size());
  for (auto _ : state) {
    memcpy(copy.data(), words.data(), words.size() * sizeof(uint32_t));
    benchmark::ClobberMemory();
  }
  report(state, 0);
}
BENCHMARK(memcpyReference)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
