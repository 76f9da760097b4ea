#include "cli/channelcount.h"

#include <errno.h>
#include <unistd.h>

#include <memory>

#include "codec/tdc56.h"

namespace {

// The merge hands the decoder 100 words at a time; reading in whole multiples of that keeps
// the blocks where the merge has them.
constexpr int32_t kBlockWords = 100;
constexpr int32_t kChunkWords = 164 * kBlockWords;

// Fills `words` from the file at `offset`; returns the whole words read (fewer only at the end),
// or -1 on a read error.
int32_t readChunk(int fd, int64_t offset, uint32_t* words) {
  char* bytes = reinterpret_cast<char*>(words);
  size_t got = 0;
  while (got < sizeof(uint32_t) * kChunkWords) {
    const ssize_t n = pread(fd, bytes + got, sizeof(uint32_t) * kChunkWords - got,
                            off_t(offset + int64_t(got)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += size_t(n);
  }
  return int32_t(got / sizeof(uint32_t));
}

// Adds one stream's timestamps, by device channel, to `byChannel`; first and last to *counts.
bool countStream(const InputStream& input, const std::atomic<bool>& running, int64_t* byChannel,
                 ChannelCounts* counts) {
  std::unique_ptr<uint32_t[]> words(new uint32_t[kChunkWords]);
  std::unique_ptr<PpTimest[]> out(new PpTimest[kTdc56ListSize]);
  std::unique_ptr<Tdc56Instance, void (*)(Tdc56Instance*)> decoder(tdc56Init(), tdc56DeInit);
  const int fd = fileno(input.file);
  for (int64_t offset = 0; running.load(std::memory_order_relaxed);) {
    const int32_t n = readChunk(fd, offset, words.get());
    if (n < 0) return false;
    for (int32_t at = 0; at < n; at += kBlockWords) {
      const int32_t block = n - at < kBlockWords ? n - at : kBlockWords;
      if (block < 2) continue;  // as in the merge: a lone last word holds no packet
      tdc56Decode60(decoder.get(), words.get() + at, block, input.arg.markers);
      const int32_t k = tdc56Pop(decoder.get(), out.get());
      for (int32_t i = 0; i < k; ++i) {
        ++byChannel[out[i].channel];
        counts->first = out[i].time < counts->first ? out[i].time : counts->first;
        counts->last = out[i].time > counts->last ? out[i].time : counts->last;
      }
    }
    if (n < kChunkWords) return true;
    offset += int64_t(sizeof(uint32_t)) * n;
  }
  return false;
}

}  // namespace

bool countRecords(const std::vector<InputStream>& inputs, const std::atomic<bool>& running,
                  ChannelCounts* counts) {
  for (const InputStream& input : inputs) {
    int64_t byChannel[256] = {};
    if (!countStream(input, running, byChannel, counts)) return false;
    for (int32_t c = 0; c < 256; ++c) {
      if (byChannel[c] == 0) continue;
      // The merge's renumbering, in 32 bits and stored as a signed 16-bit number.
      counts->perChannel[int16_t(5 * input.arg.chainPos + c)] += byChannel[c];
      counts->records += byChannel[c];
    }
  }
  return true;
}
