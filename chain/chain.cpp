#include "chain/chain.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "merge/hdf5file.h"
#include "merge/inputs.h"
#include "merge/outputcheck.h"
#include "merge/outputfile.h"
#include "chain/recording.h"
#include "codec/tdc56.h"
#include "chain/devicecore.h"
#include "chain/deviceparams.h"
#include "device/korbalt.h"
#include "chain/paramsjson.h"
#include "chain/recordcore.h"
#include "chain/livesink.h"
#include "merge/checkedmerge.h"
#include "merge/outputpath.h"
#include "report/runmanifest.h"
#include "report/runreport.h"
#include "thread/priority.h"

namespace {

// One chain open in the process at a time (see chain.h).
std::atomic<bool> gChainOpen{false};
// Refresh of the devices' loss and clock state while recording, as in the window.
constexpr auto kPollPeriod = std::chrono::milliseconds(200);

// Blocks every signal in the calling thread while it lives. The threads started meanwhile (the
// device library's, the merge's, the poller) inherit the mask, so a stop signal always reaches
// the thread that owns the chain (Python's handler there turns Ctrl-C into KeyboardInterrupt)
// and never interrupts a system call of a recording thread.
class SignalsBlocked {
public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &_old);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &_old, nullptr); }

private:
  sigset_t _old;
};

std::string tempRoot(const std::string& given) {
  if (!given.empty()) return given;
  const char* env = getenv("TMPDIR");
  return env != nullptr && *env != '\0' ? env : "/tmp";
}

// A folder of the recording's own, so that no other recording touches its raw files.
bool makeRunFolder(const std::string& root, std::string* dir, std::string* error) {
  std::string name = root + "/ravik-XXXXXX";
  if (mkdtemp(&name[0]) == nullptr) {
    *error = root + ": cannot create the recording's folder: " + strerror(errno);
    return false;
  }
  *dir = name;
  return true;
}

}  // namespace

// One recording and its merge.
struct Chain::Run {
  ChainOutputs paths;
  std::string reportFile;  // paths.report, or the name beside the outputs; empty: none
  std::string dir;  // the recording's folder
  std::unique_ptr<Recording> recording;
  OutputFile text, binary;
  Hdf5File hdf5;
  std::vector<InputStream> inputs;
  std::vector<Tdc56Instance*> decoders;
  std::vector<CheckedSource> sources;
  std::unique_ptr<LiveSink> sink;
  MergeOutputs outputs;
  RecordingYield live;  // up while the raw files are still being written
  std::atomic<bool> running{true};  // cleared: the merge ends early
  std::atomic<int64_t> bytesRead{0};
  MergeOutcome outcome;
  RunReport report;
  ManifestFile manifest;  // held while the run's raw files may still need a recovery
  std::chrono::steady_clock::time_point started;
  double seconds = 0;  // the recording's length
  std::thread merger, poller;
  std::mutex pollLock;
  std::condition_variable pollWake;
  bool pollEnd = false;

  ~Run() { halt(); }

  bool anyOutput() const {
    return !paths.text.empty() || !paths.binary.empty() || !paths.hdf5.empty();
  }
  bool createOutputs(std::string* error);
  bool startMerge(MeasurementSet* measurements, RecordQueue* queue, std::string* error);
  void startPolling();
  // Writes the run's manifest beside its raw files, so that a run whose merge fails can be
  // finished with ravik-merge --recover; false with a message.
  bool writeManifest(std::string* error);
  // Ends polling and the recording, then the merge (with what the raw files hold); idempotent.
  void halt();
  bool publish(std::string* error);
  void fillReport(bool completed, const std::string& error);
  void removeRaw();
};

bool Chain::Run::createOutputs(std::string* error) {
  const std::string& t = paths.text;
  const std::string& b = paths.binary;
  const std::string& h = paths.hdf5;
  reportFile = paths.report;
  if (reportFile.empty() && !defaultReportPath(t, b, {h}, &reportFile, error)) {
    *error += "; name the report with report=FILE";
    return false;
  }
  const std::vector<OutputName> names = {
      {"text output", t}, {"binary output", b}, {"HDF5 output", h}, {"run report", reportFile}};
  if (!checkOutputNames(names, {}, false, keptRunFile, error)) return false;
  if (!t.empty() && !text.create(t, error)) return false;
  if (!b.empty() && !binary.create(b, error)) return false;
  if (!h.empty() && !hdf5.create(h, paths.compress, error)) return false;
  return true;
}

bool Chain::Run::startMerge(MeasurementSet* measurements, RecordQueue* queue,
                            std::string* error) {
  std::vector<StreamArg> streams;
  for (const auto& dev : recording->devices())
    streams.push_back({dev->rawName, dev->device.link.chainPos, dev->device.link.markers});
  if (!openInputs(streams, &inputs, error, true)) return false;
  // The inputs are in chain order, as the devices are.
  for (size_t i = 0; i < inputs.size(); ++i) {
    inputs[i].written = &recording->devices()[i]->write.bytes;
    decoders.push_back(tdc56Init());
    sources.push_back({{decoders.back(), inputs[i].arg.chainPos, inputs[i].arg.markers,
                        inputs[i].file, live.growing(), inputs[i].written},
                       inputs[i].arg.path,
                       {}});
  }
  sink.reset(new LiveSink(measurements, queue, hdf5.output()));
  outputs.text = text.file();
  outputs.binary = binary.file();
  outputs.records = sink.get();
  // The master's header, as in the window; made before the poller addresses the devices.
  outputs.header = chainDeviceHeader(recording->devices().front()->device.index);
  merger = std::thread([this] {
    // A merge that falls behind catches up after the stop; a recording that falls behind loses
    // data: the merge gives way when the processors are scarce.
    live.yieldHere();
    // The losses are located once the raw files are complete, while they are still open.
    outcome = mergeWhileRecording(sources, outputs, bytesRead, running, [this](size_t i) {
      return recording->devices()[i]->log.losses();
    });
  });
  return true;
}

bool Chain::Run::writeManifest(std::string* error) {
  RunManifest m;
  m.program = report.program;
  m.startUtc = report.startUtc;
  m.devices = manifestDevices(*recording);
  if (!paths.text.empty()) m.outputs.push_back({"text", absolutePath(paths.text)});
  if (!paths.binary.empty()) m.outputs.push_back({"binary", absolutePath(paths.binary)});
  if (!paths.hdf5.empty()) m.outputs.push_back({"hdf5", absolutePath(paths.hdf5)});
  m.reportPath = absolutePath(paths.report);
  m.compress = paths.compress;
  m.partials = partialNames({&text, &binary, hdf5.file()});
  return manifest.write(dir, m, error);
}

void Chain::Run::startPolling() {
  poller = std::thread([this] {
    std::unique_lock<std::mutex> hold(pollLock);
    while (!pollWake.wait_for(hold, kPollPeriod, [this] { return pollEnd; })) {
      recording->poll();
      // An output that cannot be written ends the merge; stop() then says why.
      if (text.writeError() != 0 || binary.writeError() != 0 ||
          (hdf5.output() != nullptr && hdf5.output()->failed()))
        running.store(false);
    }
  });
}

void Chain::Run::halt() {
  if (poller.joinable()) {
    {
      std::lock_guard<std::mutex> hold(pollLock);
      pollEnd = true;
    }
    pollWake.notify_all();
    poller.join();
  }
  if (recording && !live.ended()) {
    // The callback is removed before the raw files are closed; what they hold is all there is.
    recording->stop();
    recording->poll();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  live.end();
  if (merger.joinable()) merger.join();
  for (Tdc56Instance* d : decoders) tdc56DeInit(d);
  decoders.clear();
  closeInputs(&inputs);
}

bool Chain::Run::publish(std::string* error) {
  if (!outcome.readError.empty()) {
    *error = outcome.readError;
    return false;
  }
  if (!running.load()) {
    *error = "an output could not be written";
    for (OutputFile* f : {&text, &binary})
      if (f->writeError() != 0)
        *error = f->path() + ": write failed: " + strerror(f->writeError());
    return false;
  }
  if (hdf5.output() != nullptr) {
    Hdf5RunInfo info;
    info.description = "Time tags of " + std::to_string(recording->devices().size()) +
                       " chained device(s) recorded and merged by the ravik Python package";
    info.software = info.sourceSoftware = report.program;
    info.softwareVersion = info.sourceSoftwareVersion = RAVIK_VERSION;
    info.acquisitionSeconds = seconds;
    for (const auto& dev : recording->devices()) {
      Hdf5Source source;
      source.path = dev->rawName;
      source.chain = dev->device.link.chainPos;
      source.serial = dev->device.serial;
      source.kept = false;  // the raw files go once the outputs are complete
      info.sources.push_back(source);
    }
    info.losses = outcome.losses;
    RunReport complete = report;
    complete.completed = true;
    complete.mergeStopUtc = utcNow();
    info.report = toJson(complete).dump();
    if (!hdf5.complete(info, error)) return false;
  }
  return publishOutputs({{&text, "text"}, {&binary, "binary"}, {hdf5.file(), "HDF5"}}, error);
}

void Chain::Run::fillReport(bool completed, const std::string& error) {
  report.devices.clear();
  report.outputs.clear();
  report.devices = reportDevices(*recording, outcome.sourceRecords);
  assignLosses(outcome.losses, &report.devices);
  assignStreamFaults(outcome.sourceStats, &report.devices);
  report.records = outcome.records;
  report.firstPs = outcome.firstPs;
  report.lastPs = outcome.lastPs;
  if (!paths.text.empty()) report.outputs.push_back({"text", paths.text});
  if (!paths.binary.empty()) report.outputs.push_back({"binary", paths.binary});
  if (!paths.hdf5.empty()) report.outputs.push_back({"hdf5", paths.hdf5});
  report.completed = completed;
  report.error = error;
}

void Chain::Run::removeRaw() {
  for (const auto& dev : recording->devices())
    if (!dev->rawName.empty()) removeTempFile(dev->rawName);
  rmdir(dir.c_str());
}

Chain::Chain() : _queue(kStreamBytes) {}

Chain::~Chain() { close(); }

bool Chain::open(bool allowSim, std::string* error) {
  if (_open) return true;
  bool expected = false;
  if (!gChainOpen.compare_exchange_strong(expected, true)) {
    *error = "another Chain is open in this process; close it first";
    return false;
  }
  SignalsBlocked quiet;
  _messages.clear();
  _found = searchDevices(allowSim, [this](const std::string& m) { _messages.push_back(m); });
  if (_found.chain.empty()) {
    disconnectDevices(_found);
    _found = SearchResult();
    gChainOpen.store(false);
    *error = !_messages.empty() ? "no device could be placed in the chain: " + _messages.back()
             : allowSim         ? std::string("no device found")
                                : std::string("no device found (simulate=True also finds "
                                              "simulated devices)");
    return false;
  }
  _open = true;
  return true;
}

void Chain::close() {
  if (!_open) return;
  if (_run) {
    nlohmann::json report;
    std::string error;
    stop(&report, &error);
  }
  disconnectDevices(_found);
  _found = SearchResult();
  _open = false;
  gChainOpen.store(false);
}

std::vector<ChainDevice> Chain::devices() const {
  std::vector<ChainDevice> list;
  for (const FoundDevice& f : _found.chain)
    list.push_back({f.serial, f.index, f.link.chainPos, roleText(f.link.chainPos), f.link.features});
  return list;
}

FoundDevice* Chain::find(int32_t chain, std::string* error) {
  for (FoundDevice& f : _found.chain)
    if (f.link.chainPos == chain) return &f;
  *error = "no device at chain position " + std::to_string(chain);
  return nullptr;
}

bool Chain::hasPosition(int32_t chain, std::string* error) const {
  return const_cast<Chain*>(this)->find(chain, error) != nullptr;
}

bool Chain::checkParameters(const nlohmann::json& changes, std::string* error) {
  DeviceParams any;
  return paramsFromJson(changes, "parameters", &any, error);
}

bool Chain::parameters(int32_t chain, nlohmann::json* params, std::string* error) const {
  FoundDevice* dev = const_cast<Chain*>(this)->find(chain, error);
  if (dev == nullptr) return false;
  DeviceParams p;
  const int32_t rc = readDeviceParams(dev->index, dev->link.features, &p);
  if (rc != 0) {
    *error = rcMessage(rc, "reading the parameters of " + dev->serial);
    return false;
  }
  *params = paramsToJson(p);
  return true;
}

bool Chain::setParameters(int32_t chain, const nlohmann::json& changes, std::string* error) {
  if (_run) {
    *error = "the parameters cannot change while the chain records";
    return false;
  }
  FoundDevice* dev = find(chain, error);
  if (dev == nullptr) return false;
  DeviceParams p;
  int32_t rc = readDeviceParams(dev->index, dev->link.features, &p);
  if (rc != 0) {
    *error = rcMessage(rc, "reading the parameters of " + dev->serial);
    return false;
  }
  if (!paramsFromJson(changes, "parameters", &p, error)) return false;
  rc = writeDeviceParams(dev->index, p);
  if (rc != 0) {
    *error = rcMessage(rc, "writing the parameters of " + dev->serial);
    return false;
  }
  dev->link.markers = p.markers;
  // The five-channel mode is the chain's: the master's setting goes to every capable device.
  if (chain == 0 && changes.contains("five_channel"))
    for (const FoundDevice& other : _found.chain)
      if (other.link.features & KORBALT_FEATURE_FIVE_CHANNEL) setFiveChannel(other.index, p.fiveChannel);
  return true;
}

bool Chain::start(const ChainOutputs& outputs, std::string* error) {
  if (!_open) {
    *error = "the chain is closed";
    return false;
  }
  if (_run) {
    *error = "the chain is already recording";
    return false;
  }
  std::unique_ptr<Run> run(new Run);
  run->paths = outputs;
  run->report.program = "ravik-python";
  run->recording.reset(new Recording(_found.chain));
  for (const auto& dev : run->recording->devices()) {
    DeviceParams p;
    if (readDeviceParams(dev->device.index, dev->device.link.features, &p) == 0) dev->params = p;
  }
  // A chain whose timestamps could not be told apart is refused before any output exists.
  if (!checkChainChannels(*run->recording, error)) return false;
  if (!run->createOutputs(error) || !makeRunFolder(tempRoot(outputs.tmpDir), &run->dir, error))
    return false;
  SignalsBlocked quiet;
  _queue.reopen();
  // The measurements' span counts each recording's stream time, never the time between them.
  _measurements.newStream();
  run->report.startUtc = utcNow();
  run->started = std::chrono::steady_clock::now();
  std::string said;
  const auto say = [&said](const std::string& m) { said += (said.empty() ? "" : "; ") + m; };
  if (run->recording->start(run->dir, say) != 0) {
    run->live.end();
    _queue.finish();
    rmdir(run->dir.c_str());
    *error = said.empty() ? "a device failed to start; nothing recorded"
                          : said + "; nothing recorded";
    return false;
  }
  if (!run->startMerge(&_measurements, &_queue, error)) {
    run->halt();
    _queue.finish();
    run->removeRaw();
    return false;
  }
  // Every run can be recovered, a measure-only one into outputs named then; a manifest that
  // cannot be written is said, and the recording goes on: its data matter more.
  std::string manifestError;
  if (!run->writeManifest(&manifestError))
    _messages.push_back("run manifest not written: " + manifestError);
  run->startPolling();
  _run = std::move(run);
  return true;
}

bool Chain::stop(nlohmann::json* report, std::string* error) {
  if (!_run) {
    *error = "the chain is not recording";
    return false;
  }
  std::unique_ptr<Run> run = std::move(_run);
  run->report.stopUtc = run->report.mergeStartUtc = utcNow();
  run->halt();
  // A merge cut short fed the measurements and the stream only a part of the recording.
  const bool merged = run->outcome.readError.empty() && run->running.load();
  _queue.finish(merged);
  if (!merged) _measurements.markOverflowed();
  run->fillReport(false, "");
  std::string failure;
  const bool published = run->publish(&failure);
  run->report.mergeStopUtc = utcNow();
  // A merge that failed leaves the raw files as the only complete copy of the run.
  const bool keepRaw = !published;
  if (keepRaw) {
    run->text.discard();
    run->binary.discard();
    run->hdf5.discard();
    failure += "; the raw files are kept in " + run->dir;
    if (run->manifest.held())
      failure += " (finish with: ravik-merge --recover " + run->dir +
                 (run->anyOutput() ? "" : " --bin FILE") + ")";
    run->manifest.release();
  }
  run->fillReport(published, published ? "" : failure);
  // Without a complete merge a report goes only where one was named: no output is beside it.
  const std::string path = published || !run->paths.report.empty() ? run->reportFile : "";
  std::string reportError;
  const bool reportWritten = path.empty() || writeReport(run->report, path, &reportError);
  *report = toJson(run->report);
  if (!keepRaw) {
    run->manifest.remove();
    run->removeRaw();
  }
  if (!published) {
    *error = failure;
    return false;
  }
  if (!reportWritten) {
    *error = reportError;
    return false;
  }
  return true;
}
