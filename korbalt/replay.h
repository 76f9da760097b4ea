// A simulated device's stream read from a raw stream file (as a recording leaves it) instead of
// generated: the file's words are handed on unchanged, in blocks of whole packets.
//
// Paced, the file's words are handed on as the present reaches their stream times, counted from
// the file's first time at the start of the replay, a step of kReplayStepWords words at a time
// (some 0.1 ms of a busy stream), as a device hands on what it has measured; at maximum rate as
// fast as they are taken, without decoding anything. After the end of the file the device sends
// time-advance packets only, so that the stream's time keeps moving with the wall clock.
#ifndef RAVIK_KORBALT_REPLAY_H
#define RAVIK_KORBALT_REPLAY_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

struct Tdc56Instance;

namespace korbalt {

constexpr int32_t kReplayStepWords = 64;

class ReplaySource {
public:
  // `path`: the raw stream; `paced`: by the stream's own times rather than at maximum rate;
  // `restarts`: look for restarts in what it hands on (see takeRestart()).
  ReplaySource(const std::string& path, bool paced, bool restarts = false);
  ~ReplaySource();
  ReplaySource(const ReplaySource&) = delete;
  ReplaySource& operator=(const ReplaySource&) = delete;

  // Starts at the beginning of the file; `axisNow` is the present on the chain's time axis.
  void restart(int64_t axisNow);
  // Up to `capacity` words (at least 2) into `out`: the file's next words that are due at
  // `axisNow`, or one time-advance packet after its end when a quiet stretch has passed. Returns
  // the word count, 0 when nothing is due; at maximum rate below `capacity` - 1 only when
  // nothing more is due. Paced, a call may return less while more is due: call again until 0.
  int32_t produce(int64_t axisNow, uint32_t* out, int32_t capacity);
  // Events handed on so far: decoded when paced, estimated from the words (3 per 2) at maximum
  // rate.
  uint64_t events() const { return _events; }
  // The whole file has been handed on.
  bool ended() const { return _ended; }
  // With `restarts`: whether the words handed on since the last call held a restart, an
  // absolute-time packet after the file's first packet, where the device that recorded the
  // stream started it anew after a loss.
  bool takeRestart() { return std::exchange(_restarted, false); }

private:
  // Reads and, when paced, decodes the next block of up to `capacity` words into _pending, and
  // notes the stream time at the end of each of its steps.
  void readAhead(int32_t capacity);
  // Notes a restart among the `words` words at `out`, handed on after the file's first
  // `_handedWords` words.
  void noteRestarts(const uint32_t* out, int32_t words);
  // At maximum rate: reads the next whole packets, up to `capacity` words, into `out`; returns
  // their word count, 0 at the end of the file.
  int32_t readInto(uint32_t* out, int32_t capacity);

  std::string _path;
  bool _paced;
  bool _restarts;
  FILE* _file = nullptr;        // owned; null when the file cannot be read
  Tdc56Instance* _decoder = nullptr;  // owned; paced only: finds the blocks' stream times
  std::vector<uint32_t> _pending;     // read; those from _handed on not yet handed on
  size_t _handed = 0;
  // Each step of _pending: the word after it and the stream time there; from _nextStep on not
  // yet handed on.
  std::vector<std::pair<size_t, int64_t>> _steps;
  size_t _nextStep = 0;
  int64_t _firstTime = 0;       // stream time of the file's first packet; 0 until known
  int64_t _startAxis = 0;       // the axis time the first stream time is matched to
  int64_t _lastAdvance = 0;     // axis time of the end of the file or of the last advance
  uint64_t _events = 0;
  uint64_t _handedWords = 0;    // of the file, since the start of the replay
  bool _ended = false;
  bool _restarted = false;
};

}  // namespace korbalt

#endif
