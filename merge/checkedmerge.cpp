#include "merge/checkedmerge.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>

#include "codec/tdc56.h"

namespace {

std::string readFailed(const std::string& name, const std::string& text) {
  return name + ": read failed: " + text;
}

// The loss records of one device as a raw stream in memory, which the merge reads like any
// other: events on two adjacent channels, and a chain position that puts them at the device's
// loss channels.
class LossStream {
public:
  LossStream(int32_t chain, const std::vector<LossInterval>& losses) {
    const int32_t end = lossEndChannel(chain);
    const int32_t base = end >= 0 ? end / 5 : -((4 - end) / 5);  // rounded down
    const uint8_t endChannel = uint8_t(end - 5 * base);
    std::vector<PpTimest> marks;
    for (const LossInterval& loss : losses) {
      if (loss.chain != chain) continue;
      marks.push_back({loss.fromPs, uint8_t(endChannel + 1)});
      marks.push_back({loss.toPs, endChannel});
    }
    std::stable_sort(marks.begin(), marks.end(),
                     [](const PpTimest& a, const PpTimest& b) { return a.time < b.time; });
    int32_t count = int32_t(marks.size());
    _words.resize(2 + 2 * marks.size());
    Tdc56Instance* encoder = tdc56Init();
    tdc56Encode60(encoder, marks.data(), &count, _words.data(), int32_t(_words.size()));
    tdc56DeInit(encoder);
    _source = {tdc56Init(), base, 0, fmemopen(_words.data(), 4 * _words.size(), "rb")};
  }
  ~LossStream() {
    if (_source.file != nullptr) fclose(_source.file);  // read only
    tdc56DeInit(_source.decoder);
  }
  LossStream(const LossStream&) = delete;
  LossStream& operator=(const LossStream&) = delete;

  const MergeSource& source() const { return _source; }

private:
  std::vector<uint32_t> _words;
  MergeSource _source;
};

// Every loss that lasts to the end of the recording ends at one time, the end of the run: the
// latest timestamp of any device (`run.last`), or the stop where a stream knows it to be later
// (each such loss comes with the stop as its stream knows it, never past the real one). A loss of
// a stream without data is the whole run: from its first timestamp (`run.first`) to its end; when
// no device has a timestamp the chain's time axis is unknown, and it stays as long as the
// recording is known to have gone on, from 0.
void extendToEnd(std::vector<LossInterval>* losses, const StreamTimes& run) {
  int64_t endPs = run.last;
  for (const LossInterval& loss : *losses)
    if (loss.untilEnd && !loss.wholeRun) endPs = std::max(endPs, loss.toPs);
  const bool placed = endPs != INT64_MIN && run.first <= endPs;
  for (LossInterval& loss : *losses) {
    if (!loss.untilEnd || (loss.wholeRun && !placed)) continue;
    if (loss.wholeRun) loss.fromPs = run.first;
    loss.toPs = std::max(loss.fromPs, endPs);
  }
}

bool anyUntilEnd(const std::vector<LossInterval>& losses) {
  return std::any_of(losses.begin(), losses.end(),
                     [](const LossInterval& l) { return l.untilEnd; });
}

// Locates every source's losses into out->losses. Loss records need the ends of losses that
// last to the end of the recording before the merge: the latest timestamp of any source, which
// takes a decoding of the streams without losses too. False on a read error, with out->readError
// set, and when `running` (null: never) was cleared, with nothing set.
bool locateAll(const std::vector<CheckedSource>& sources, bool lossRecords, MergeOutcome* out,
               const std::atomic<bool>* running = nullptr) {
  StreamTimes run;
  std::string error;
  auto locate = [&](size_t i) {
    const CheckedSource& s = sources[i];
    if (s.source.file == nullptr) return true;
    StreamTimes times;
    if (locateLosses(fileno(s.source.file), s.source.markers, s.source.chainPos, s.losses,
                     &out->losses, lossRecords ? &times : nullptr, &error, running,
                     s.kept != nullptr ? s.kept : s.source.from)) {
      run.first = std::min(run.first, times.first);
      run.last = std::max(run.last, times.last);
      return true;
    }
    if (!error.empty()) out->readError = readFailed(s.name, error);
    return false;
  };
  for (size_t i = 0; i < sources.size(); ++i)
    if (!sources[i].losses.empty() && !locate(i)) return false;
  if (!lossRecords || !anyUntilEnd(out->losses)) return true;
  for (size_t i = 0; i < sources.size(); ++i)
    if (sources[i].losses.empty() && !locate(i)) return false;
  extendToEnd(&out->losses, run);
  return true;
}

// Ends the losses that last to the end of the recording at the end of the run (`run`: the first
// and the latest timestamp of the devices, loss records aside) and puts the losses in time order.
void finishLosses(MergeOutcome* out, const StreamTimes& run) {
  extendToEnd(&out->losses, run);
  std::stable_sort(out->losses.begin(), out->losses.end(),
                   [](const LossInterval& a, const LossInterval& b) { return a.fromPs < b.fromPs; });
}

}  // namespace

MergeOutcome mergeChecked(const std::vector<CheckedSource>& sources, const MergeOutputs& outputs,
                          bool lossRecords, std::atomic<int64_t>& bytesRead,
                          const std::atomic<bool>& running) {
  MergeOutcome out;
  if (!locateAll(sources, lossRecords, &out, &running)) return out;

  std::vector<MergeSource> all;
  for (const CheckedSource& s : sources) all.push_back(s.source);
  std::vector<std::unique_ptr<LossStream>> lossStreams;
  if (lossRecords) {
    std::set<int32_t> chains;
    for (const LossInterval& loss : out.losses) chains.insert(loss.chain);
    for (int32_t chain : chains) {
      lossStreams.emplace_back(new LossStream(chain, out.losses));
      all.push_back(lossStreams.back()->source());
    }
  }

  std::vector<MergeSourceStats> stats;
  out.records = mergeStreams(all.data(), int32_t(all.size()), outputs, bytesRead, running, &stats);
  StreamTimes devices;
  for (size_t i = 0; i < stats.size(); ++i) {
    out.firstPs = std::min(out.firstPs, stats[i].first);
    out.lastPs = std::max(out.lastPs, stats[i].last);
    if (i >= sources.size()) continue;
    devices.first = std::min(devices.first, stats[i].first);
    devices.last = std::max(devices.last, stats[i].last);
    out.sourceRecords.push_back(stats[i].records);
    out.sourceStats.push_back(stats[i]);
    if (stats[i].readError != 0 && out.readError.empty())
      out.readError = readFailed(sources[i].name, strerror(stats[i].readError));
  }
  finishLosses(&out, devices);
  return out;
}

bool locateAfterMerge(const std::vector<CheckedSource>& sources, MergeOutcome* outcome) {
  if (!locateAll(sources, false, outcome)) return false;
  // Merged without loss records: its first and last records are the devices' timestamps.
  finishLosses(outcome, {outcome->firstPs, outcome->lastPs});
  return true;
}

MergeOutcome mergeWhileRecording(std::vector<CheckedSource>& sources, const MergeOutputs& outputs,
                                 std::atomic<int64_t>& bytesRead, const std::atomic<bool>& running,
                                 const LossesAtEnd& lossesAtEnd) {
  MergeOutcome outcome = mergeChecked(sources, outputs, false, bytesRead, running);
  if (lossesAtEnd && outcome.readError.empty() && running.load()) {
    for (size_t i = 0; i < sources.size(); ++i) sources[i].losses = lossesAtEnd(i);
    locateAfterMerge(sources, &outcome);
  }
  return outcome;
}
