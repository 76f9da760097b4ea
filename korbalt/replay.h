// A simulated device's stream read from a raw stream file (as a recording leaves it) instead of
// generated: the file's words are handed on unchanged, in blocks of whole packets.
//
// Paced, a block is handed on once the present has reached its stream times, counted from the
// file's first time at the start of the replay; at maximum rate as fast as it is taken, without
// decoding anything. After the end of the file the device sends time-advance packets only, so
// that the stream's time keeps moving with the wall clock.
#ifndef RAVIK_KORBALT_REPLAY_H
#define RAVIK_KORBALT_REPLAY_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct Tdc56Instance;

namespace korbalt {

class ReplaySource {
public:
  // `path`: the raw stream; `paced`: by the stream's own times rather than at maximum rate.
  ReplaySource(const std::string& path, bool paced);
  ~ReplaySource();
  ReplaySource(const ReplaySource&) = delete;
  ReplaySource& operator=(const ReplaySource&) = delete;

  // Starts at the beginning of the file; `axisNow` is the present on the chain's time axis.
  void restart(int64_t axisNow);
  // Up to `capacity` words (at least 2) into `out`: the next blocks of the file that are due at
  // `axisNow`, or one time-advance packet after its end when a quiet stretch has passed. Returns
  // the word count, below `capacity` - 1 only when nothing more is due.
  int32_t produce(int64_t axisNow, uint32_t* out, int32_t capacity);
  // Events handed on so far: decoded when paced, estimated from the words (3 per 2) at maximum
  // rate.
  uint64_t events() const { return _events; }
  // The whole file has been handed on.
  bool ended() const { return _ended; }

private:
  // Reads and, when paced, decodes the next block of up to `capacity` words into _pending.
  void readAhead(int32_t capacity);
  // At maximum rate: reads the next whole packets, up to `capacity` words, into `out`; returns
  // their word count, 0 at the end of the file.
  int32_t readInto(uint32_t* out, int32_t capacity);

  std::string _path;
  bool _paced;
  FILE* _file = nullptr;        // owned; null when the file cannot be read
  Tdc56Instance* _decoder = nullptr;  // owned; paced only: finds the blocks' stream times
  std::vector<uint32_t> _pending;     // read, not yet handed on
  int64_t _pendingTime = 0;     // stream time at the end of _pending
  int64_t _firstTime = 0;       // stream time of the file's first packet; 0 until known
  int64_t _startAxis = 0;       // the axis time the first stream time is matched to
  int64_t _lastAdvance = 0;     // axis time of the end of the file or of the last advance
  uint64_t _events = 0;
  bool _ended = false;
};

}  // namespace korbalt

#endif
