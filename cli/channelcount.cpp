#include "cli/channelcount.h"

#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

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

// The count of one stream so far.
class StreamCount {
public:
  enum Step { Counted, NotYet, Ended, Failed };

  explicit StreamCount(const InputStream& input)
      : _input(input), _words(new uint32_t[kChunkWords]), _out(new PpTimest[kTdc56ListSize]),
        _decoder(tdc56Init(), tdc56DeInit) {}

  // Counts the next chunk of the stream. While the file may grow (`complete` false, read before
  // the file), only whole chunks are taken, so that the blocks fall where they do in the
  // finished file.
  Step step(bool complete, ChannelCounts* counts) {
    // Not past the blocks written whole: a failed write may yet be cut back.
    if (!complete && _input.written != nullptr &&
        _offset + int64_t(sizeof(uint32_t)) * kChunkWords >
            _input.written->load(std::memory_order_acquire))
      return NotYet;
    const int32_t n = readChunk(fileno(_input.file), _offset, _words.get());
    if (n < 0) return Failed;
    if (n < kChunkWords && !complete) return NotYet;
    for (int32_t at = 0; at < n; at += kBlockWords) {
      const int32_t block = n - at < kBlockWords ? n - at : kBlockWords;
      if (block < 2) continue;  // as in the merge: a lone last word holds no packet
      tdc56Decode60(_decoder.get(), _words.get() + at, block, _input.arg.markers);
      const int32_t k = tdc56Pop(_decoder.get(), _out.get());
      for (int32_t i = 0; i < k; ++i) {
        ++_byChannel[_out[i].channel];
        counts->first = _out[i].time < counts->first ? _out[i].time : counts->first;
        counts->last = _out[i].time > counts->last ? _out[i].time : counts->last;
      }
    }
    _offset += int64_t(sizeof(uint32_t)) * n;
    return n < kChunkWords ? Ended : Counted;
  }

  // Adds the stream's counts under the merge's output channels.
  void addTo(ChannelCounts* counts) const {
    for (int32_t c = 0; c < 256; ++c) {
      if (_byChannel[c] == 0) continue;
      // The merge's renumbering, in 32 bits and stored as a signed 16-bit number.
      counts->perChannel[int16_t(5 * _input.arg.chainPos + c)] += _byChannel[c];
      counts->records += _byChannel[c];
    }
  }

private:
  const InputStream& _input;
  std::unique_ptr<uint32_t[]> _words;
  std::unique_ptr<PpTimest[]> _out;
  std::unique_ptr<Tdc56Instance, void (*)(Tdc56Instance*)> _decoder;
  int64_t _offset = 0;
  int64_t _byChannel[256] = {};
};

}  // namespace

bool countRecords(const std::vector<InputStream>& inputs, const std::atomic<bool>& running,
                  ChannelCounts* counts, const std::atomic<bool>* growing) {
  std::vector<std::unique_ptr<StreamCount>> streams;
  for (const InputStream& input : inputs) streams.emplace_back(new StreamCount(input));
  std::vector<bool> ended(inputs.size(), false);
  for (size_t left = inputs.size(); left > 0;) {
    if (!running.load(std::memory_order_relaxed)) return false;
    const bool complete = growing == nullptr || !growing->load(std::memory_order_acquire);
    bool counted = false;
    for (size_t i = 0; i < streams.size(); ++i) {
      if (ended[i]) continue;
      const StreamCount::Step step = streams[i]->step(complete, counts);
      if (step == StreamCount::Failed) return false;
      counted = counted || step != StreamCount::NotYet;
      if (step == StreamCount::Ended) ended[i] = true, --left;
    }
    if (!counted) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (const auto& stream : streams) stream->addTo(counts);
  return true;
}
