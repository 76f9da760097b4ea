#include "korbalt/replay.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>

#include <algorithm>

#include "codec/tdc56.h"
#include "korbalt/packer.h"
#include "korbalt/sources.h"

namespace korbalt {

ReplaySource::ReplaySource(const std::string& path, bool paced, bool restarts)
    : _path(path), _paced(paced), _restarts(restarts) {
  if (paced) _decoder = tdc56Init();
}

ReplaySource::~ReplaySource() {
  if (_file != nullptr) fclose(_file);
  tdc56DeInit(_decoder);
}

void ReplaySource::restart(int64_t axisNow) {
  if (_file != nullptr) fclose(_file);
  _file = fopen(_path.c_str(), "rb");
  if (_file == nullptr)
    fprintf(stderr, "korbalt: cannot replay %s: %s; the device sends no events\n", _path.c_str(),
            strerror(errno));
  if (_decoder != nullptr) tdc56Reset(_decoder);
  _pending.clear();
  _steps.clear();
  _handed = _nextStep = 0;
  _firstTime = 0;
  _startAxis = _lastAdvance = axisNow;
  _events = 0;
  _handedWords = 0;
  _restarted = false;
  _ended = _file == nullptr;
}

void ReplaySource::readAhead(int32_t capacity) {
  _pending.resize(size_t(capacity & ~1));
  size_t n = fread(_pending.data(), sizeof(uint32_t), _pending.size(), _file);
  if (n < _pending.size() && ferror(_file))
    fprintf(stderr, "korbalt: reading %s failed; its replay ends here\n", _path.c_str());
  n &= ~size_t(1);  // a packet is two words: a lone last word is not one
  _pending.resize(n);
  if (!_paced) {
    _events += 3 * n / 2;
    return;
  }
  static thread_local PpTimest stamps[kTdc56ListSize];
  _steps.clear();
  _handed = _nextStep = 0;
  for (size_t at = 0; at < n; at += size_t(kReplayStepWords)) {
    const int32_t words = int32_t(std::min(n - at, size_t(kReplayStepWords)));
    tdc56Decode60(_decoder, _pending.data() + at, words, 0);
    const int32_t count = tdc56Pop(_decoder, stamps);
    if (_firstTime == 0 && count > 0) _firstTime = stamps[0].time;
    if (_firstTime == 0) _firstTime = _decoder->lastTime;
    _events += uint64_t(count);
    _steps.push_back({at + size_t(words), _decoder->lastTime});
  }
}

void ReplaySource::noteRestarts(const uint32_t* out, int32_t words) {
  if (!_restarts) return;
  // Type 0, the absolute time: bit 30 clear in both words of the packet.
  for (int32_t i = _handedWords == 0 ? 2 : 0; i + 1 < words; i += 2)
    if (((out[i] | out[i + 1]) & 0x40000000u) == 0) _restarted = true;
  _handedWords += uint64_t(words);
}

int32_t ReplaySource::readInto(uint32_t* out, int32_t capacity) {
  size_t n = fread(out, sizeof(uint32_t), size_t(capacity & ~1), _file);
  if (n < size_t(capacity & ~1) && ferror(_file))
    fprintf(stderr, "korbalt: reading %s failed; its replay ends here\n", _path.c_str());
  n &= ~size_t(1);  // a packet is two words: a lone last word is not one
  _events += 3 * n / 2;
  return int32_t(n);
}

int32_t ReplaySource::produce(int64_t axisNow, uint32_t* out, int32_t capacity) {
  if (!_paced && !_ended) {
    // At maximum rate the file's words go straight into the block, as a device's DMA fills
    // it: no copy on the way that a device would not make.
    const int32_t words = readInto(out, capacity);
    noteRestarts(out, words);
    if (words > 0) return words;
    _ended = true;
    _lastAdvance = axisNow;
  }
  if (!_ended && _handed == _pending.size()) {
    readAhead(capacity);
    if (_pending.empty()) {
      _ended = true;
      _lastAdvance = axisNow;
    }
  }
  if (_ended) {
    // Only the time moves on, as a device sends it through a quiet stretch.
    if (axisNow - _lastAdvance < kQuietPs) return 0;
    const SimEvent advance{axisNow - _lastAdvance, kAdvanceChannel};
    int64_t last = 0;
    _lastAdvance = axisNow;
    return packEvents(&advance, 1, true, &last, out, capacity).words;
  }
  // The steps whose stream times the present has reached.
  size_t end = _handed;
  for (; _nextStep < _steps.size(); ++_nextStep) {
    const auto& step = _steps[_nextStep];
    if (step.second - _firstTime > axisNow - _startAxis || step.first - _handed > size_t(capacity))
      break;
    end = step.first;
  }
  std::copy(_pending.begin() + ptrdiff_t(_handed), _pending.begin() + ptrdiff_t(end), out);
  const int32_t words = int32_t(end - _handed);
  _handed = end;
  noteRestarts(out, words);
  return words;
}

}  // namespace korbalt
