#include "chain/mergerun.h"

#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "codec/tdc56.h"
#include "device/korbalt.h"
#include "merge/mergecore.h"
#include "thread/priority.h"

namespace {

// Sent by a worker to the main thread when it is done, so that the end of a short merge is not
// delayed to the next progress tick.
constexpr int kWakeSignal = SIGUSR1;
constexpr int64_t kTickNs = 200 * 1000 * 1000;

MergeOutputs makeOutputs(OutputFile* text, OutputFile* binary, const RunSettings& settings,
                         std::unique_ptr<OutputStage>* stage) {
  MergeOutputs outputs;
  outputs.records = settings.records != nullptr ? settings.records : settings.hdf5;
  outputs.text = text != nullptr ? text->file() : nullptr;
  outputs.binary = binary != nullptr ? binary->file() : nullptr;
  // The window addresses its first chain device before the header. Offline no device is
  // discovered or connected, so there is none to address: the library writes the header that
  // says so, and the same again after the last record.
  outputs.header = settings.header ? settings.header
                                   : [](FILE* file, bool) { writeFileHeader(file, 0); };
  if (settings.parts != nullptr) {
    stage->reset(new OutputStage(settings.stages, settings.parts, outputs.records));
    MergeOutputs parts;
    parts.records = stage->get();
    parts.resume = settings.resume;
    return parts;
  }
  if (settings.stages.empty()) return outputs;
  // The merge hands every record to the steps, and they to the outputs.
  stage->reset(new OutputStage(settings.stages, outputs.text, outputs.binary, outputs.records,
                               outputs.header));
  MergeOutputs staged;
  staged.records = stage->get();
  return staged;
}

std::vector<CheckedSource> makeSources(const std::vector<InputStream>& inputs,
                                       std::vector<Tdc56Instance*>* decoders,
                                       const std::atomic<bool>* growing) {
  std::vector<CheckedSource> sources;
  for (const InputStream& input : inputs) {
    decoders->push_back(tdc56Init());
    sources.push_back(
        {{decoders->back(), input.arg.chainPos, input.arg.markers, input.file, growing,
          input.written, input.from},
         input.arg.path,
         input.losses,
         input.kept});
  }
  return sources;
}

// The streams' sizes now: the total grows while they are being written.
int64_t currentSize(const std::vector<InputStream>& inputs) {
  int64_t total = 0;
  struct stat st;
  for (const InputStream& input : inputs)
    total += fstat(fileno(input.file), &st) == 0 ? int64_t(st.st_size) : input.size;
  return total;
}

bool writeFailed(const OutputFile* text, const OutputFile* binary, const Hdf5Output* hdf5,
                 const PartWriter* parts) {
  return (text != nullptr && text->writeError() != 0) ||
         (binary != nullptr && binary->writeError() != 0) || (hdf5 != nullptr && hdf5->failed()) ||
         (parts != nullptr && parts->failed());
}

// Each source's timestamps under the merge's output channels, and the time span of all.
void countChannels(const std::vector<CheckedSource>& sources,
                   const std::vector<MergeSourceStats>& stats, ChannelCounts* counts) {
  for (size_t i = 0; i < stats.size() && i < sources.size(); ++i) {
    for (size_t c = 0; c < stats[i].channels.size(); ++c) {
      if (stats[i].channels[c] == 0) continue;
      // The merge's renumbering, in 32 bits and stored as a signed 16-bit number.
      counts->perChannel[int16_t(5 * sources[i].source.chainPos + int32_t(c))] += stats[i].channels[c];
      counts->records += stats[i].channels[c];
    }
    counts->first = std::min(counts->first, stats[i].earliest);
    counts->last = std::max(counts->last, stats[i].latest);
  }
}

// The counts are those of the streams, which hold no loss records.
void addLossRecords(const std::vector<LossInterval>& losses, ChannelCounts* counts) {
  for (const LossInterval& loss : losses) {
    ++counts->perChannel[lossStartChannel(loss.chain)];
    ++counts->perChannel[lossEndChannel(loss.chain)];
    counts->records += 2;
    counts->first = std::min(counts->first, loss.fromPs);
    counts->last = std::max(counts->last, loss.toPs);
  }
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

sigset_t blockSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, kWakeSignal}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

MergeRun::MergeRun(const std::vector<InputStream>& inputs, OutputFile* text, OutputFile* binary,
                   const RunSettings& settings, RecordingYield* recording)
    : _inputs(inputs), _text(text), _binary(binary), _settings(settings),
      _sources(makeSources(inputs, &_decoders, recording ? recording->growing() : nullptr)),
      _outputs(makeOutputs(text, binary, settings, &_stage)),
      _working(1), _starter(pthread_self()),
      _start(std::chrono::steady_clock::now()) {
  _merger = std::thread([this, recording] {
    // While the devices record, the merge's threads (this one and the decoding thread it
    // starts) give way to the recording's: a merge that falls behind catches up after the stop,
    // a recording that falls behind loses data.
    if (recording != nullptr) recording->yieldHere();
    merge(recording != nullptr);
  });
}

MergeRun::~MergeRun() {
  _running.store(false);
  join();
}

// Growing inputs are merged without their losses, which are known only at their end and are
// located then: the records are the same, as loss records are not written for them.
void MergeRun::merge(bool growing) {
  _lossRecordsWritten = _settings.lossRecords && !growing;
  _result.outcome =
      growing ? mergeWhileRecording(_sources, _outputs, _bytesRead, _running, _settings.lossesAtEnd)
              : mergeChecked(_sources, _outputs, _lossRecordsWritten, _bytesRead, _running);
  _result.records = _result.outcome.records;
  _result.stopped = !_running.load();
  ChannelCounts* counts = _settings.watch.counts;
  if (_stage) {
    // The outputs hold what the steps passed on, loss records included.
    _stage->finish();
    _result.records = _stage->written().records;
    _result.outcome.firstPs = _stage->written().first;
    _result.outcome.lastPs = _stage->written().last;
    _lossRecordsWritten = false;
    if (counts != nullptr && _running.load() && _result.outcome.readError.empty()) {
      *counts = _stage->written();
      _result.counted = true;
    }
    done();
    return;
  }
  // Every timestamp the merge decoded became one record, so its counts are the outputs' when it
  // ran to the end.
  if (counts != nullptr && _running.load() && _result.outcome.readError.empty()) {
    countChannels(_sources, _result.outcome.sourceStats, counts);
    _result.counted = true;
  }
  done();
}

void MergeRun::done() {
  {
    std::lock_guard<std::mutex> hold(_doneLock);
    _working.fetch_sub(1);
  }
  _doneWake.notify_all();
  if (_settings.watch.wake) pthread_kill(_starter, kWakeSignal);
}

void MergeRun::join() {
  if (_merger.joinable()) _merger.join();
  for (Tdc56Instance* d : _decoders) tdc56DeInit(d);
  _decoders.clear();
}

void MergeRun::checkOutputs() {
  if (writeFailed(_text, _binary, _settings.hdf5, _settings.parts)) _running.store(false);
}

// On a terminal the bar is redrawn in place at every tick and cleared at the end; into a file or
// a pipe it is a whole line once a second, and a last one at the end.
void MergeRun::showProgress(bool end) {
  if (!_settings.watch.progress) return;
  // A merge taken up at a point has the streams' bytes before it behind it already.
  int64_t behind = 0;
  for (const InputStream& input : _inputs) behind += input.from != nullptr ? input.from->offset : 0;
  _settings.watch.progress(_bytesRead.load() + behind, currentSize(_inputs), secondsSince(_start),
                           end);
}

// Waits a tick or until the merge is done: woken by its signal, or else by its condition.
int MergeRun::waitTick(const sigset_t& signals) {
  const timespec tick{0, kTickNs};
  if (_settings.watch.wake) return sigtimedwait(&signals, nullptr, &tick);
  {
    std::unique_lock<std::mutex> hold(_doneLock);
    _doneWake.wait_for(hold, std::chrono::nanoseconds(kTickNs),
                       [this] { return _working.load() == 0; });
  }
  const timespec now{0, 0};
  return sigtimedwait(&signals, nullptr, &now);
}

RunResult MergeRun::finish(const sigset_t& signals) {
  while (_working.load() > 0) {
    const int s = waitTick(signals);
    if (s > 0 && s != kWakeSignal) {
      _result.stopSignal = s;
      _running.store(false);
      // A write that waits for a pipe's reader ends too.
      if (_text != nullptr) _text->cancel();
      if (_binary != nullptr) _binary->cancel();
    }
    checkOutputs();
    showProgress(false);
  }
  join();
  if (_result.counted && _lossRecordsWritten)
    addLossRecords(_result.outcome.losses, _settings.watch.counts);
  showProgress(true);
  _result.seconds = secondsSince(_start);
  _result.bytesRead = _bytesRead.load();
  return _result;
}

RunResult runMerge(const std::vector<InputStream>& inputs, OutputFile* text, OutputFile* binary,
                   const RunSettings& settings, const sigset_t& signals) {
  MergeRun run(inputs, text, binary, settings);
  return run.finish(signals);
}

int pendingStopSignal(const sigset_t& signals) {
  const timespec now{0, 0};
  for (int s; (s = sigtimedwait(&signals, nullptr, &now)) > 0;)
    if (s != kWakeSignal) return s;
  return 0;
}
