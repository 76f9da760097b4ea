#include "merge/streamloss.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>

#include "codec/tdc56.h"
#include "merge/inputfile.h"

const char* const kDeviceLossCause = "device data loss";

namespace {

constexpr const char* kDeviceTag = "device";
constexpr const char* kWriteTag = "write-failed";

std::string systemError(const std::string& what) { return what + ": " + strerror(errno); }

bool parseLine(const char* line, StreamLoss* loss) {
  char tag[16];
  long long from = 0, to = 0;
  int used = 0;
  if (sscanf(line, "%15s %lld %lld%n", tag, &from, &to, &used) == 3 && strcmp(tag, kDeviceTag) == 0) {
    // The time the recording went on after the stream's end is optional: files of a recording
    // that never stopped have none.
    long long wentOn = 0;
    char rest[2];
    const int more = sscanf(line + used, "%lld %1s", &wentOn, rest);
    *loss = {StreamLoss::Device, from, to, kDeviceLossCause, wentOn};
    return from >= 0 && to >= from && wentOn >= 0 && (more == EOF || more == 1);
  }
  if (sscanf(line, "%15s %lld %lld %n", tag, &from, &to, &used) == 3 &&
      strcmp(tag, kWriteTag) == 0) {
    std::string cause = line + used;
    while (!cause.empty() && (cause.back() == '\n' || cause.back() == '\r')) cause.pop_back();
    *loss = {StreamLoss::WriteFailed, from, from, cause, to};
    return from >= 0 && to >= 0 && !cause.empty();
  }
  return false;
}

}  // namespace

std::string lossFileName(const std::string& stream) { return stream + ".loss"; }

bool writeLossFile(const std::string& name, const std::vector<StreamLoss>& losses,
                   std::string* error) {
  // Written beside and renamed over the old one, so that a failure keeps what was noted before.
  const std::string part = name + ".part";
  FILE* f = fopen(part.c_str(), "w");
  if (f == nullptr) {
    *error = systemError(part);
    return false;
  }
  bool ok = true;
  for (const StreamLoss& loss : losses) {
    if (loss.kind == StreamLoss::Device)
      ok = fprintf(f, "%s %" PRId64 " %" PRId64 " %" PRId64 "\n", kDeviceTag, loss.fromByte,
                   loss.toByte, loss.lostNs) > 0;
    else
      ok = fprintf(f, "%s %" PRId64 " %" PRId64 " %s\n", kWriteTag, loss.fromByte, loss.lostNs,
                   loss.cause.c_str()) > 0;
    if (!ok) break;
  }
  ok = fflush(f) == 0 && ok;
  if (!ok) *error = systemError(part);
  if (fclose(f) != 0 && ok) {
    ok = false;
    *error = systemError(part);
  }
  if (ok && rename(part.c_str(), name.c_str()) != 0) {
    ok = false;
    *error = systemError(name);
  }
  if (!ok) unlink(part.c_str());
  return ok;
}

bool readLossFile(const std::string& name, std::vector<StreamLoss>* losses, std::string* error) {
  losses->clear();
  std::string why;
  FILE* f = fopenRegularFile(name, &why);
  if (f == nullptr) {
    if (errno == ENOENT) return true;  // no loss
    *error = why;
    return false;
  }
  char line[512];
  int32_t number = 0;
  bool ok = true;
  while (ok && fgets(line, sizeof line, f) != nullptr) {
    ++number;
    StreamLoss loss;
    ok = parseLine(line, &loss);
    if (ok) losses->push_back(loss);
    else *error = name + ": line " + std::to_string(number) + " is not a loss record";
  }
  if (ok && ferror(f)) {
    ok = false;
    *error = systemError(name);
  }
  fclose(f);  // read only: nothing to lose
  return ok;
}

namespace {

constexpr int64_t kNoTime = INT64_MIN;
constexpr int64_t kNoTimeAfter = INT64_MAX;
// The merge decodes 100 words at a time; so does the walk, split further only where it must.
constexpr int32_t kBlockWords = 100;
constexpr int32_t kChunkBlocks = 160;

// What the device's data show around one byte position of its stream.
struct Cut {
  int64_t lastBefore = kNoTime;  // time of the last timestamp before the position
  int64_t firstAfter = kNoTimeAfter;
};

// The start of an absolute-time packet: a first word (bit 31 clear) and a second word (bit 31
// set), both with bit 30, the type's two halves, clear.
inline bool isAbsolutePacket(uint32_t first, uint32_t second) {
  return (first & 0xC0000000u) == 0 && (second & 0xC0000000u) == 0x80000000u;
}

// Decodes a stream as the merge does and takes the snapshots it is asked for.
class StreamWalk {
public:
  StreamWalk(uint32_t markers) : _codec(tdc56Init()), _out(new PpTimest[kTdc56ListSize]),
                                 _markers(markers) {}
  ~StreamWalk() { tdc56DeInit(_codec); }

  // Snapshot at the current position; the index of the cut.
  size_t cut() {
    _cuts.push_back({_last, kNoTimeAfter});
    _waiting.push_back(_cuts.size() - 1);
    return _cuts.size() - 1;
  }
  void decode(const uint32_t* words, int32_t count) {
    if (count <= 0) return;
    tdc56Decode60(_codec, words, count, _markers);
    const int32_t n = tdc56Pop(_codec, _out.get());
    if (n == 0) return;
    for (size_t i : _waiting) _cuts[i].firstAfter = _out[0].time;
    _waiting.clear();
    if (_last == kNoTime) _first = _out[0].time;
    _last = _out[size_t(n - 1)].time;
  }
  // Goes on from `from` rather than from the stream's start.
  void takeUp(const SourcePoint& from) {
    restoreDecoder(_codec, from.state);
    if (from.lastBefore == INT64_MIN) return;
    _first = from.first;
    _last = from.lastBefore;
  }
  const Cut& at(size_t i) const { return _cuts[i]; }
  // Every cut has seen the first timestamp after it.
  bool settled() const { return _waiting.empty(); }
  StreamTimes times() const { return _last == kNoTime ? StreamTimes() : StreamTimes{_first, _last}; }

private:
  Tdc56Instance* _codec;
  std::unique_ptr<PpTimest[]> _out;
  uint32_t _markers;
  int64_t _first = kNoTimeAfter, _last = kNoTime;
  std::vector<Cut> _cuts;
  std::vector<size_t> _waiting;  // cuts still without a timestamp after them
};

// The cuts of one walk over a stream from its start: at every byte position the recording noted
// and at every restart (an absolute time after the stream's first one).
class StreamCuts {
public:
  StreamCuts(uint32_t markers, const std::vector<StreamLoss>& losses) : _walk(markers) {
    for (const StreamLoss& loss : losses) {
      noted[loss.fromByte & ~int64_t(3)] = 0;
      noted[loss.toByte & ~int64_t(3)] = 0;
    }
    _nextNoted = noted.begin();
  }
  StreamCuts(const StreamCuts&) = delete;  // _nextNoted points into its own map
  StreamCuts& operator=(const StreamCuts&) = delete;

  // Reads and decodes the stream; past the last noted position, once every cut has a timestamp
  // after it, the rest of the stream changes no interval and the walk ends there unless
  // `toTheEnd`. False with the system's error text in *error when a read fails, with it empty
  // when stopped.
  bool walk(int fd, bool toTheEnd, std::string* error, const std::atomic<bool>* running,
            const SourcePoint* from) {
    std::vector<uint32_t> chunk(size_t(kChunkBlocks) * kBlockWords);
    int64_t offset = 0;
    if (from != nullptr) {
      offset = from->offset;
      _walk.takeUp(*from);
      opened = from->first != INT64_MAX;
      opening = from->first;
      for (; _nextNoted != noted.end() && _nextNoted->first < offset; ++_nextNoted)
        _nextNoted->second = _walk.cut();
    }
    for (;;) {
      if (running != nullptr && !running->load(std::memory_order_relaxed)) {
        error->clear();
        return false;
      }
      const ssize_t got = pread(fd, chunk.data(), chunk.size() * 4, offset);
      if (got < 0) {
        if (errno == EINTR) continue;
        *error = strerror(errno);
        return false;
      }
      const int32_t words = int32_t(got / 4);
      for (int32_t b = 0; b < words; b += kBlockWords) {
        const int32_t n = std::min(kBlockWords, words - b);
        if (n < 2) break;  // a lone last word holds no packet
        cutBlock(&chunk[size_t(b)], n, offset + 4 * int64_t(b));
      }
      if (size_t(got) < chunk.size() * 4) break;
      if (!toTheEnd && _nextNoted == noted.end() && _walk.settled()) break;
      offset += got;
    }
    // Positions past the end of the stream see its end.
    for (; _nextNoted != noted.end(); ++_nextNoted) _nextNoted->second = _walk.cut();
    end = _walk.cut();
    return true;
  }

  const Cut& at(size_t cut) const { return _walk.at(cut); }
  StreamTimes times() const { return _walk.times(); }
  // The time of the last timestamp before the cut; before the device's first one, where its
  // data begin.
  int64_t before(size_t cut) const {
    const int64_t t = _walk.at(cut).lastBefore;
    return t == kNoTime ? opening : t;
  }

  std::map<int64_t, size_t> noted;     // byte position the recording noted -> its cut
  std::map<int64_t, size_t> restarts;  // byte position of each restart -> its cut
  bool opened = false;  // the stream's own first absolute time is no restart
  int64_t opening = 0;  // that time: where the device's data begin
  size_t end = 0;       // the cut at the end of the walk

private:
  // Decodes the `n` words of the block at byte `start`, split at every noted position and
  // every restart inside it.
  void cutBlock(const uint32_t* block, int32_t n, int64_t start) {
    int32_t done = 0;
    for (int32_t i = 0; i <= n; ++i) {
      const int64_t at = start + 4 * int64_t(i);
      const bool restart = i + 1 < n && isAbsolutePacket(block[i], block[i + 1]);
      const bool isNoted = _nextNoted != noted.end() && _nextNoted->first == at;
      if (!restart && !isNoted) continue;
      _walk.decode(block + done, i - done);
      done = i;
      for (; _nextNoted != noted.end() && _nextNoted->first == at; ++_nextNoted)
        _nextNoted->second = _walk.cut();
      if (restart && opened) restarts[at] = _walk.cut();
      if (restart && !opened) {
        opening = int64_t(uint64_t(block[i + 1] & 0x3FFFFFFFu) << 30 | (block[i] & 0x3FFFFFFFu));
        opened = true;
      }
    }
    _walk.decode(block + done, n - done);
  }

  StreamWalk _walk;
  std::map<int64_t, size_t>::iterator _nextNoted;  // the first noted position not yet reached
};

// The intervals of the losses on chain position `chain`, in time order, from the cuts of the
// walk over their stream.
std::vector<LossInterval> intervalsOf(const StreamCuts& cuts, int32_t chain,
                                      const std::vector<StreamLoss>& losses) {
  // A loss with nothing of the device after it lasts from the stream's last timestamp to the
  // end of the recording: at least as long as the recording is known to have gone on after it.
  // It is one interval however many losses were noted before the stream ended; a failed
  // write, which ended it for certain, names the cause.
  // Without even the stream's opening time nothing of the device was kept: the loss is the
  // whole recording, as long as it is known to have gone on.
  std::map<int64_t, LossInterval> found;  // by byte position, so a restart counts once
  auto untilEnd = [&](const StreamLoss& loss) {
    const int64_t last = cuts.before(cuts.end);
    if (found.count(kNoTimeAfter) != 0 && loss.kind != StreamLoss::WriteFailed) return;
    found[kNoTimeAfter] = {chain, last, last + loss.lostNs * 1000, loss.cause, true, !cuts.opened};
  };
  for (const StreamLoss& loss : losses) {
    const int64_t from = loss.fromByte & ~int64_t(3), to = loss.toByte & ~int64_t(3);
    if (loss.kind == StreamLoss::WriteFailed) {
      // The file was cut back to `from`; a failed cut may leave part of a block after it.
      untilEnd(loss);
      continue;
    }
    bool exact = false;
    for (auto r = cuts.restarts.lower_bound(from); r != cuts.restarts.end() && r->first < to;
         ++r) {
      const int64_t next = cuts.at(r->second).firstAfter;
      if (next == kNoTimeAfter) untilEnd(loss);
      else found[r->first] = {chain, cuts.before(r->second), next, loss.cause, false};
      exact = true;
    }
    if (exact) continue;
    // No restart. With data after the second reading the gap lies somewhere among the data
    // between the readings. With none, the recording stopped before the restart reached the
    // file: the data between the readings are whole, and the gap begins after them.
    const int64_t next = cuts.at(cuts.noted.at(to)).firstAfter;
    if (next == kNoTimeAfter) untilEnd(loss);
    else found[from] = {chain, cuts.before(cuts.noted.at(from)), next, loss.cause, false};
  }
  std::vector<LossInterval> located;
  for (auto& f : found) located.push_back(f.second);
  std::sort(located.begin(), located.end(),
            [](const LossInterval& a, const LossInterval& b) { return a.fromPs < b.fromPs; });
  return located;
}

}  // namespace

bool locateLosses(int fd, uint32_t markers, int32_t chain, const std::vector<StreamLoss>& losses,
                  std::vector<LossInterval>* intervals, StreamTimes* times, std::string* error,
                  const std::atomic<bool>* running, const SourcePoint* from) {
  if (losses.empty() && times == nullptr) return true;
  // The stream's end is asked for by its last timestamp and by the end of a failed write. Else
  // the walk may end early: after a long recording that spares decoding it to its end at the
  // stop.
  const bool toTheEnd = times != nullptr ||
                        std::any_of(losses.begin(), losses.end(), [](const StreamLoss& l) {
                          return l.kind == StreamLoss::WriteFailed;
                        });
  StreamCuts cuts(markers, losses);
  if (!cuts.walk(fd, toTheEnd, error, running, from)) return false;
  if (times != nullptr) *times = cuts.times();
  const std::vector<LossInterval> located = intervalsOf(cuts, chain, losses);
  intervals->insert(intervals->end(), located.begin(), located.end());
  return true;
}
