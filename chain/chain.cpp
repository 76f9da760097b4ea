#include "chain/chain.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "chain/session.h"
#include "chain/recordtime.h"
#include "chain/recording.h"
#include "chain/devicecore.h"
#include "chain/deviceparams.h"
#include "device/korbalt.h"
#include "chain/paramsjson.h"
#include "chain/recordcore.h"
#include "chain/livesink.h"
#include "chain/virtualjson.h"
#include "report/runreport.h"

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

SessionFiles sessionFiles(const ChainOutputs& outputs) {
  SessionFiles files;
  files.program = "ravik-python";
  files.recordedBy = "the ravik Python package";
  files.text = outputs.text;
  files.binary = outputs.binary;
  files.hdf5 = outputs.hdf5;
  files.compress = outputs.compress;
  files.split = outputs.split;
  files.keep = outputs.keep;
  files.report = outputs.report;
  files.reportOption = "report=FILE";
  files.tmpDir = tempRoot(outputs.tmpDir);
  return files;
}

}  // namespace

// One recording and its merge. The session goes first, while the devices' facts and the sink
// that its merge reads are still there.
struct Chain::Run {
  std::unique_ptr<Recording> recording;
  std::unique_ptr<VirtualChannels> virtuals;  // null: none defined
  std::unique_ptr<LiveSink> sink;
  std::unique_ptr<Session> session;
  bool ended = true;  // no recording runs: not started yet, or stopped
  std::thread poller;
  std::mutex pollLock;
  std::condition_variable pollWake;
  bool pollEnd = false;

  ~Run() { halt(); }
  // The devices' end of the recording: the callback removed, the raw files closed.
  void endRecording();

  // Refreshes the devices' loss and clock state while they record; an output that cannot be
  // written ends the merge, and stop() then says why.
  void startPolling();
  // Ends polling and the recording: what the raw files hold is all there is. Idempotent.
  void halt();
  // Returns what could not be deleted (a warning), empty when all went.
  std::string removeRaw();
};

void Chain::Run::startPolling() {
  poller = std::thread([this] {
    std::unique_lock<std::mutex> hold(pollLock);
    while (!pollWake.wait_for(hold, kPollPeriod, [this] { return pollEnd; })) {
      recording->poll();
      if (session->merge() != nullptr) session->merge()->checkOutputs();
      // Below the margin the recording ends as at a stop: the merge completes what it holds.
      if (session->sampleSpace()) {
        endRecording();
        return;
      }
    }
  });
}

void Chain::Run::endRecording() {
  // The callback is removed before the raw files are closed.
  recording->stop();
  recording->poll();
  session->stopped(RecordInstant::now());
  ended = true;
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
  if (recording && !ended) endRecording();
  ended = true;
}

std::string Chain::Run::removeRaw() {
  const std::string left = session->removeRawFiles(sessionDevices(*recording));
  rmdir(session->runDir().c_str());
  return left;
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
      followChainFiveChannel(other.index, other.link.features, p.fiveChannel);
  return true;
}

VirtualChannel Chain::addVirtualChannel(const VirtualChannel& definition) {
  std::vector<VirtualChannel> list = _virtuals;
  list.push_back(definition);
  _virtuals = resolveVirtualChannels(list);
  return _virtuals.back();
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
  run->recording.reset(new Recording(_found.chain));
  for (const auto& dev : run->recording->devices()) {
    DeviceParams p;
    if (readDeviceParams(dev->device.index, dev->device.link.features, &p) == 0) dev->params = p;
  }
  // A chain whose timestamps could not be told apart is refused before any output exists.
  if (!checkChainChannels(*run->recording, error)) return false;
  if (!_virtuals.empty()) {
    int32_t largest = 0;
    for (const FoundDevice& f : _found.chain) largest = std::max(largest, f.link.chainPos);
    *error = virtualChainError(largest);
    if (!error->empty()) return false;
    // Written to the outputs, they come to the measurements through them; else the live sink
    // makes them for the measurements alone.
    if (!outputs.writeVirtual) run->virtuals.reset(new VirtualChannels(_virtuals));
  }
  SessionFiles files = sessionFiles(outputs);
  if (!_virtuals.empty()) files.virtualChannels = virtualToJson(_virtuals);
  files.virtualOutputs = outputs.writeVirtual;
  run->session.reset(new Session(files));
  Session& session = *run->session;
  if (!session.prepare(error)) return false;
  SignalsBlocked quiet;
  _queue.reopen();
  // The measurements' span counts each recording's stream time, never the time between them.
  _measurements.newStream();
  session.began(RecordInstant::now());
  std::string said;
  const auto say = [&said](const std::string& m) { said += (said.empty() ? "" : "; ") + m; };
  if (run->recording->start(session.runDir(), say) != 0) {
    _queue.finish();
    rmdir(session.runDir().c_str());
    *error = said.empty() ? "a device failed to start; nothing recorded"
                          : said + "; nothing recorded";
    return false;
  }
  run->ended = false;
  _stopReason = nullptr;
  const std::vector<SessionDevice> devices = sessionDevices(*run->recording);
  run->sink.reset(new LiveSink(&_measurements, &_queue, session.hdf5Output(), run->virtuals.get()));
  MergeWatch watch;
  watch.wake = false;  // the owner's thread has its signals for Python
  if (!session.startMerge(devices, run->sink.get(), watch, error)) {
    run->halt();
    _queue.finish();
    run->removeRaw();
    return false;
  }
  session.watchSpace(devices, outputs.minFree);
  // Every run can be recovered, a measure-only one into outputs named then.
  const std::string manifestWarning = session.writeManifest(devices);
  if (!manifestWarning.empty()) _messages.push_back(manifestWarning);
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
  Session& session = *run->session;
  run->halt();
  _stopReason = session.space()->stopReasonJson();
  sigset_t none;
  sigemptyset(&none);
  RunResult result;
  const std::vector<SessionDevice> devices = sessionDevices(*run->recording);
  const SessionEnd end = session.finish(devices, none, &result);
  run->sink->finish();
  // A merge cut short fed the measurements and the stream only a part of the recording.
  const bool merged = result.outcome.readError.empty() && !result.stopped;
  _queue.finish(merged);
  if (!merged) _measurements.markOverflowed();
  // A merge that failed leaves the raw files as the only complete copy of the run.
  std::string failure;
  if (!end.published)
    failure = end.error + "; the raw files are kept in " + session.runDir() +
              " (finish with: " + session.recoveryCommand(devices) + ")";
  const RunReport written = session.report(devices, result, failure);
  std::string reportError;
  const bool reportWritten = session.writeRunReport(written, &reportError);
  *report = toJson(written);
  if (!end.published) {
    *error = failure;
    return false;
  }
  // Warnings of a published run (an HDF5 output out of time order, files left behind).
  for (const std::string& warning : {end.warning, run->removeRaw()})
    if (!warning.empty()) _messages.push_back(warning);
  if (!reportWritten) {
    *error = reportError;
    return false;
  }
  return true;
}

nlohmann::json Chain::stopReason() const {
  if (!_run) return _stopReason;
  // The poller samples the free space while it holds the lock.
  std::lock_guard<std::mutex> hold(_run->pollLock);
  return _run->session->space()->stopReasonJson();
}

bool Chain::waitStreamTime(int64_t ps, int32_t timeoutMs, int64_t* covered) const {
  *covered = 0;
  if (!_run || !_run->sink) return true;
  *covered = _run->sink->waitCovered(ps, timeoutMs);
  const MergeRun* merge = _run->session->merge();
  return *covered >= ps || merge == nullptr || merge->ended();
}
