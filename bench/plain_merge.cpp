// The merge done the plain way, as the reference every merge figure is a ratio to: each source
// read 100 words at a time and decoded block by block, a linear scan of the heads for every
// record (the earliest time, the first source on equal times, a marker at a head preferred),
// and one fprintf / fwrite per record. No header or trailer is written.
//
//   plain_merge [--text FILE] [--bin FILE] STREAM ...    (chain position = place on the line)
//
// Prints the records merged, the wall-clock seconds and the processor seconds the merge took
// (files open, process start and exit not counted) on standard output.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "codec/tdc56.h"

namespace {

constexpr int64_t kEndOfData = INT64_MAX;

struct Source {
  Tdc56Instance* decoder;
  FILE* file;
  int32_t chainPos;
  PpTimest buf[kTdc56ListSize];
  PpTimest* cur;
  PpTimest* end;  // inclusive
};

// Advances the head, reading and decoding 100-word blocks until one yields a timestamp.
void read1(Source& s) {
  if (s.cur < s.end) {
    ++s.cur;
    return;
  }
  s.buf[0].time = kEndOfData;
  s.cur = s.end = s.buf;
  uint32_t words[100];
  while (s.file && !feof(s.file) && s.buf[0].time == kEndOfData) {
    const int32_t n = int32_t(fread(words, 4, 100, s.file));
    if (n < 2) continue;
    tdc56Decode60(s.decoder, words, n, 0x1FF);
    const int32_t k = tdc56Pop(s.decoder, s.buf);
    if (k > 0) s.end = s.buf + (k - 1);
  }
}

bool isMarker(const PpTimest& p) { return p.channel >= 100 && p.time != kEndOfData; }

double now(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  FILE* text = nullptr;
  FILE* binary = nullptr;
  std::vector<Source*> sources;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--text" || arg == "--bin") && i + 1 < argc) {
      FILE* f = fopen(argv[++i], "wb");
      if (f == nullptr) return perror(argv[i]), 2;
      (arg == "--text" ? text : binary) = f;
      continue;
    }
    Source* s = new Source;
    s->decoder = tdc56Init();
    s->file = fopen(argv[i], "rb");
    if (s->file == nullptr) return perror(argv[i]), 2;
    s->chainPos = int32_t(sources.size());
    s->cur = s->end = s->buf;
    sources.push_back(s);
  }
  const double start = now(CLOCK_MONOTONIC), cpuStart = now(CLOCK_PROCESS_CPUTIME_ID);
  const size_t n = sources.size();
  for (Source* s : sources) {
    tdc56Reset(s->decoder);
    read1(*s);
  }
  int64_t records = 0;
  while (n > 0) {
    size_t k = 0;
    if (n > 1 && !isMarker(*sources[0]->cur))
      for (size_t i = 1; i < n; ++i)
        if (sources[i]->cur->time < sources[k]->cur->time || isMarker(*sources[i]->cur)) k = i;
    const PpTimest& head = *sources[k]->cur;
    if (head.time == kEndOfData) break;
    const int16_t channel = int16_t(5 * sources[k]->chainPos + head.channel);
    if (text) fprintf(text, "%lld, %hd\n", (long long)head.time, channel);
    if (binary) {
      fwrite(&head.time, 8, 1, binary);
      fwrite(&channel, 2, 1, binary);
    }
    ++records;
    read1(*sources[k]);
  }
  if ((text && fflush(text) != 0) || (binary && fflush(binary) != 0)) return perror("write"), 1;
  printf("%lld %.6f %.6f\n", (long long)records, now(CLOCK_MONOTONIC) - start,
         now(CLOCK_PROCESS_CPUTIME_ID) - cpuStart);
  return 0;
}
