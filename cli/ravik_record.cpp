// ravik-record: headless recording of the chained devices and merge of their streams, with the
// window's device steps, recording core and merge core.
//
// Order of work: command line, temp folder and outputs checked (outputs created under temporary
// names); devices found, connected and ordered; recording until the time is up or a stop signal
// comes, while the merge reads the raw files as they grow; callback removed, raw files closed;
// the rest of the merge; outputs renamed into place; raw files deleted. Raw files are deleted
// only after a complete merge.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/commandline.h"
#include "chain/devicesearch.h"
#include "merge/hdf5file.h"
#include "merge/inputs.h"
#include "cli/livestatus.h"
#include "cli/mergerun.h"
#include "cli/outputoptions.h"
#include "merge/outputcheck.h"
#include "merge/outputfile.h"
#include "chain/paramsfile.h"
#include "chain/recording.h"
#include "cli/recordoptions.h"
#include "cli/report.h"
#include "report/runmanifest.h"
#include "report/runreport.h"
#include "chain/devicecore.h"
#include "chain/deviceparams.h"
#include "device/korbalt.h"
#include "chain/paramsjson.h"
#include "chain/recordcore.h"
#include "merge/channelmap.h"
#include "merge/outputpath.h"
#include "monitor/monitorcore.h"
#include "monitor/monitorthread.h"
#include "thread/stdfds.h"
#include "trace/trace.h"

namespace {

constexpr int kExitWriteError = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitNoDevice = 3;
constexpr int kExitStartFailed = 4;
// The outputs are complete, but a device lost data, a raw file could not be written, or a clock
// was bad during the recording.
constexpr int kExitDataLost = 5;
// Refresh of the live lines and of the devices' loss and clock state, as in the window.
constexpr int64_t kPollNs = 200 * 1000 * 1000;

void say(const std::string& message) { fprintf(stderr, "ravik-record: %s\n", message.c_str()); }

int fail(int code, const std::string& message) {
  say(message);
  return code;
}

// The temp folder must exist and take new files.
bool checkTempDir(const std::string& dir, std::string* error) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    *error = dir + ": temp folder does not exist";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = dir + ": is a file, not a folder; give --tmp a folder";
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    *error = dir + ": temp folder is not writable: " + strerror(errno);
    return false;
  }
  return true;
}

// The outputs of the merge of a recording.
struct Outputs {
  OutputFile text, binary;
  Hdf5File hdf5;
  std::string recordingStart;  // local time, for the HDF5 output's provenance

  void discard() {
    text.discard();
    binary.discard();
    hdf5.discard();
  }
};

// Every file the run writes, the run report included (see checkOutputNames()).
std::vector<OutputName> recordOutputNames(const RecordOptions& options, const std::string& report) {
  std::vector<OutputName> names = outputNames(options, report);
  names.push_back({"histogram", options.histogramPath});
  return names;
}

// The files the run reads besides the devices, which no output may replace.
ReadFiles recordReadFiles(const RecordOptions& options) {
  ReadFiles read = metaFile(options);
  read.push_back({"parameter file", options.paramsPath});
  // The devices are found after the outputs are made: the streams they will replay count now.
  if (options.allowSim)
    for (OutputName& stream : replayedStreams()) read.push_back(std::move(stream));
  return read;
}

bool createOutputs(const RecordOptions& options, const std::string& report, Outputs* out,
                   OutputFile* histogram, std::string* error) {
  const std::string& t = options.textPath;
  const std::string& b = options.binPath;
  const std::string& h = options.histogramPath;
  const std::string& f = options.hdf5Path;
  const bool keep = options.noClobber;
  if (!checkOutputNames(recordOutputNames(options, report), {}, keep, keptRunFile, error,
                        recordReadFiles(options)))
    return false;
  if (!t.empty() && !out->text.create(t, error, keep)) return false;
  if (!b.empty() && !out->binary.create(b, error, keep)) return false;
  if (!h.empty() && !histogram->create(h, error, keep)) return false;
  if (!f.empty() && !out->hdf5.create(f, options.compress, error, keep)) return false;
  return checkReportFolder(report, error);
}

// The stop signal that ended the wait for a reader of an output pipe; 0 when none did.
int outputStopSignal(const Outputs& out, const OutputFile& histogram) {
  return out.text.stopSignal() | out.binary.stopSignal() | histogram.stopSignal();
}

// The live monitor of a recording, when the command line asks for one: its core taps every
// device of the chain and its thread decodes until finish().
class LiveMonitor {
public:
  LiveMonitor(const RecordOptions& options, const Recording& recording) {
    if (!options.rates && !options.correlate) return;
    std::vector<MonitorDevice> devices;
    for (const auto& dev : recording.devices())
      devices.push_back({dev->device.link.chainPos, dev->device.link.markers});
    _core.reset(new MonitorCore(devices));
    _core->setCorrelation(options.correlation);
    _thread.reset(new MonitorThread(_core.get()));
  }
  MonitorCore* core() const { return _core.get(); }
  // Call before the recording starts.
  void start(Recording* recording) {
    if (!_core) return;
    recording->setMonitor(_core.get());
    _thread->start();
  }
  // Call once the recording has stopped.
  void finish() {
    if (_thread) _thread->finish();
  }

private:
  std::unique_ptr<MonitorCore> _core;
  std::unique_ptr<MonitorThread> _thread;
};

// Writes the final histogram and renames it into place; the exit code.
int writeHistogram(const MonitorCore& monitor, OutputFile* histogram) {
  const MonitorSnapshot snap = monitor.snapshot();
  std::string error;
  const bool written = writeHistogramCsv(histogram->file(), snap.histogram, snap.correlation);
  const int code = histogram->writeError();
  // finish() names the file and the error of a failed write; a failed formatting has none.
  if (histogram->finish(&error) && written && histogram->publish(&error)) {
    // The monitor never slows the recording: when it could not keep up it skipped part of its
    // copy, and the histogram lacks those pairs (the outputs have them all).
    if (snap.histogramPartial)
      say("warning: " + histogram->path() + " is partial: the monitor could not keep up and "
          "skipped part of the streams; the outputs are complete");
    return 0;
  }
  if (error.empty())
    error = histogram->path() + ": write error: " + strerror(code != 0 ? code : EIO);
  histogram->discard();
  say(error + "; no histogram written");
  return kExitWriteError;
}

// A folder of the run's own in the temp folder, so that no other recording can touch its raw
// files, whether they are being written or kept after a failed merge.
bool makeRunFolder(const std::string& tmpDir, std::string* runDir, std::string* error) {
  std::string name = tmpDir + "/ravik-XXXXXX";
  if (mkdtemp(&name[0]) == nullptr) {
    *error = tmpDir + ": cannot create the recording's folder: " + strerror(errno);
    return false;
  }
  *runDir = name;
  return true;
}

// Says once per device that its raw file could not be written (also in quiet mode: the recording
// goes on, but that device's stream has ended).
void tellWriteFailures(const Recording& recording, std::vector<bool>* told) {
  for (size_t i = 0; i < recording.devices().size(); ++i) {
    const RecordedDevice& dev = *recording.devices()[i];
    const StreamLoss* failure = dev.log.writeFailure();
    if ((*told)[i] || failure == nullptr) continue;
    (*told)[i] = true;
    say(dev.device.serial + " (index " + std::to_string(dev.device.index) + "): " +
        failure->cause + "; " + dev.rawName + " ends at " + std::to_string(failure->fromByte) +
        " bytes, the last complete block");
  }
}

// Records until the time is up or a stop signal comes, counted from the recording's `start`;
// returns its time from then to the stop.
RecordTime recordUntilStopped(Recording* recording, const RecordOptions& options,
                              const sigset_t& signals, MergeRun* merge,
                              const MonitorCore* monitor, const RecordInstant& start) {
  LiveStatus live(stderr, isatty(STDERR_FILENO) != 0);
  std::vector<bool> told(recording->devices().size(), false);
  if (monitor) live.showMonitor(monitor, options.rates, options.correlate);
  for (;;) {
    const double elapsed = secondsSince(start);
    const double left = options.seconds > 0 ? options.seconds - elapsed : 1e9;
    if (left <= 0) break;
    // In floating point: any length, however long, gives a valid wait and a stop signal ends it.
    const int64_t waitNs = int64_t(std::min(double(kPollNs), left * 1e9 + 1));
    const timespec tick{waitNs / 1000000000, waitNs % 1000000000};
    const int s = sigtimedwait(&signals, nullptr, &tick);
    recording->poll();
    tellWriteFailures(*recording, &told);
    if (merge != nullptr) merge->checkOutputs();
    if (!options.quiet) live.update(*recording, secondsSince(start));
    if (s == SIGINT || s == SIGTERM || s == SIGHUP) break;
  }
  recording->stop();
  const RecordInstant stop = RecordInstant::now();
  recording->poll();
  tellWriteFailures(*recording, &told);
  return recordTime(start, stop);
}

// Quotes a path for the shell when it holds anything but the usual characters.
std::string shellWord(const std::string& word) {
  if (word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                             "_-+=.,:/@%") == std::string::npos)
    return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<StreamArg> rawStreams(const Recording& recording) {
  std::vector<StreamArg> streams;
  for (const auto& dev : recording.devices())
    streams.push_back({dev->rawName, dev->device.link.chainPos, dev->device.link.markers});
  return streams;
}

// Writes the run's manifest beside its raw files and holds it, so that a run that ends without
// its merge can be finished with ravik-merge --recover. A manifest that cannot be written is
// said, and the recording goes on: its data matter more.
void writeManifest(const RecordOptions& options, const Recording& recording,
                   const std::string& startUtc, const std::string& runDir, const Outputs& out,
                   const OutputFile& histogram, ManifestFile* file) {
  RunManifest m;
  m.program = "ravik-record";
  m.startUtc = startUtc;
  m.devices = manifestDevices(recording);
  if (!options.textPath.empty()) m.outputs.push_back({"text", absolutePath(options.textPath)});
  if (!options.binPath.empty()) m.outputs.push_back({"binary", absolutePath(options.binPath)});
  if (!options.hdf5Path.empty()) m.outputs.push_back({"hdf5", absolutePath(options.hdf5Path)});
  m.lossRecords = options.lossRecords;
  m.reportPath = absolutePath(options.reportPath);
  m.compress = options.compress;
  m.meta = options.meta;
  m.partials = partialNames({&out.text, &out.binary, out.hdf5.file(), &histogram});
  std::string error;
  if (!file->write(runDir, m, &error))
    say("run manifest not written: " + error + "; if the run ends without its merge, only "
        "ravik-merge with the chain positions can merge its raw files");
}

// Says that the raw files are kept (a merge that did not publish leaves them) and how to finish
// the merge: from the run's manifest, or without one with every raw file, chain position and
// marker mask.
void sayRecoveryCommand(const RecordOptions& options, const Recording& recording,
                        const ManifestFile& manifest) {
  if (manifest.held()) {
    say("the raw files are kept; finish the merge with\n  ravik-merge --recover " +
        shellWord(manifest.dir()));
    return;
  }
  std::string command = "ravik-merge";
  if (!options.textPath.empty()) command += " --text " + shellWord(options.textPath);
  if (!options.binPath.empty()) command += " --bin " + shellWord(options.binPath);
  if (!options.hdf5Path.empty()) command += " --hdf5 " + shellWord(options.hdf5Path);
  if (!options.hdf5Path.empty() && options.compress) command += " --compress";
  if (!options.metaPath.empty()) command += " --meta " + shellWord(options.metaPath);
  if (options.lossRecords) command += " --loss-records";
  if (!options.reportPath.empty()) command += " --report " + shellWord(options.reportPath);
  const std::vector<StreamArg> streams = rawStreams(recording);
  std::vector<int32_t> positions;
  for (const StreamArg& s : streams) positions.push_back(s.chainPos);
  if (positionsRepeat(positions)) command += std::string(" ") + kSharedPositionsOption;
  char fields[32];
  for (const StreamArg& s : streams) {
    snprintf(fields, sizeof fields, ":%d:0x%x", int(s.chainPos), unsigned(s.markers));
    command += " " + shellWord(s.path + fields);
  }
  say("the raw files are kept; finish the merge with\n  " + command);
}

// The binary header and trailer: the first chain device's, as in the window's merge.
std::function<void(FILE*, bool)> chainHeader(const Recording& recording) {
  return chainDeviceHeader(recording.devices().front()->device.index);
}

// The merge of a recording's raw files: started beside the recording, reading the files as they
// grow, so that the outputs are complete soon after the stop whatever the recording's length;
// with loss records, which need the losses first, started after it.
class RecordingMerge {
public:
  RecordingMerge(const RecordOptions& options, const Recording& recording, Outputs* out,
                 ChannelCounts* counts)
      : _live(!options.lossRecords), _text(&out->text), _binary(&out->binary) {
    // Its own raw files, which its recording holds locked.
    _opened = openInputs(rawStreams(recording), &_inputs, &_error, true);
    for (size_t i = 0; i < _inputs.size() && _opened; ++i)
      _inputs[i].written = &recording.devices()[i]->write.bytes;
    _settings.progress = !options.quiet && isatty(STDERR_FILENO) != 0;
    _settings.counts = options.quiet ? nullptr : counts;
    _settings.lossRecords = options.lossRecords;
    _settings.hdf5 = out->hdf5.output();
    _settings.header = chainHeader(recording);
    // What the recording noted, even where its loss files could not be written. The inputs are
    // in the devices' (chain) order.
    _settings.lossesAtEnd = [&recording](size_t i) { return recording.devices()[i]->log.losses(); };
    if (_opened && _live) _run.reset(new MergeRun(_inputs, _text, _binary, _settings, &_recording));
  }
  ~RecordingMerge() {
    _run.reset();
    closeInputs(&_inputs);
  }

  // The merge while it runs beside the recording; null when it does not.
  MergeRun* running() { return _run.get(); }

  // After the recording: the rest of the merge. False, with the reason, when the raw files
  // could not be opened.
  bool finish(const sigset_t& signals, RunResult* result, std::string* error) {
    // The raw files are closed: what they hold now is all there is, and the rest of the merge
    // has no recording to give way to.
    _recording.end();
    if (!_opened) {
      *error = _error;
      return false;
    }
    if (!_live) {
      for (size_t i = 0; i < _inputs.size(); ++i) _inputs[i].losses = _settings.lossesAtEnd(i);
      _run.reset(new MergeRun(_inputs, _text, _binary, _settings));
    }
    *result = _run->finish(signals);
    return true;
  }

private:
  const bool _live;
  OutputFile* _text;
  OutputFile* _binary;
  bool _opened;
  std::string _error;
  std::vector<InputStream> _inputs;
  RunSettings _settings;
  RecordingYield _recording;
  std::unique_ptr<MergeRun> _run;
};

// The report of the recording and its merge.
void fillReport(const RecordOptions& options, const Recording& recording, const RunResult& run,
                int code, RunReport* report) {
  report->program = "ravik-record";
  report->devices = reportDevices(recording, run.outcome.sourceRecords);
  assignLosses(run.outcome.losses, &report->devices);
  assignStreamFaults(run.outcome.sourceStats, &report->devices);
  report->records = run.records;
  report->firstPs = run.outcome.firstPs;
  report->lastPs = run.outcome.lastPs;
  report->lossRecords = options.lossRecords;
  if (!options.textPath.empty()) report->outputs.push_back({"text", options.textPath});
  if (!options.binPath.empty()) report->outputs.push_back({"binary", options.binPath});
  if (!options.hdf5Path.empty()) report->outputs.push_back({"hdf5", options.hdf5Path});
  report->completed = code == 0;
  if (code != 0) report->error = "the merge did not complete; the raw files are kept";
}

// What the HDF5 output tells beside its records: the raw files, the recording time, the losses
// and the run report as it stands when the outputs are complete.
Hdf5RunInfo hdf5Info(const RecordOptions& options, const Recording& recording,
                     const RecordTime& time, const RunResult& run, RunReport report,
                     const std::string& recordingStart) {
  Hdf5RunInfo info;
  info.description = "Time tags of " + std::to_string(recording.devices().size()) +
                     " chained device(s) recorded and merged by ravik-record";
  info.software = info.sourceSoftware = "ravik-record";
  info.softwareVersion = info.sourceSoftwareVersion = RAVIK_VERSION;
  info.acquisitionSeconds = time.seconds;
  std::vector<std::string> paths, serials;
  std::vector<int32_t> chains;
  for (const auto& dev : recording.devices()) {
    paths.push_back(dev->rawName);
    serials.push_back(dev->device.serial);
    chains.push_back(dev->device.link.chainPos);
  }
  info.sources = hdf5Sources(paths, chains, serials, run.outcome.sourceStats, options.keepRaw);
  info.creationTime = report.hdf5CreationTime;
  info.recordingStart = recordingStart;
  info.meta = options.meta;
  info.losses = run.outcome.losses;
  fillReport(options, recording, run, 0, &report);
  report.mergeStopUtc = utcNow();
  info.report = toJson(report).dump();
  return info;
}

// Finishes the merge and publishes the outputs; the exit code.
int mergeRecording(const RecordOptions& options, const Recording& recording,
                   const RecordTime& time, const RunReport& report, Outputs* out,
                   const sigset_t& signals, RecordingMerge* merge, RunResult* run,
                   ManifestFile* manifest) {
  std::string error;
  if (!merge->finish(signals, run, &error)) {
    say(error);
    sayRecoveryCommand(options, recording, *manifest);
    return kExitWriteError;
  }
  if (!run->outcome.readError.empty()) {
    out->discard();
    say(run->outcome.readError + "; no output written");
    sayRecoveryCommand(options, recording, *manifest);
    return kExitWriteError;
  }
  if (run->stopSignal == 0) run->stopSignal = pendingStopSignal(signals);
  if (run->stopSignal != 0) {
    out->discard();
    say(std::string("merge stopped by signal ") + strsignal(run->stopSignal) +
        "; no output written");
    sayRecoveryCommand(options, recording, *manifest);
    return 128 + run->stopSignal;
  }
  if (!out->hdf5.complete(hdf5Info(options, recording, time, *run, report, out->recordingStart),
                          &error)) {
    out->discard();
    say(error + "; no output written");
    sayRecoveryCommand(options, recording, *manifest);
    return kExitWriteError;
  }
  if (!publishOutputs({{&out->text, "text"}, {&out->binary, "binary"}, {out->hdf5.file(), "HDF5"}},
                      &error)) {
    say(error);
    sayRecoveryCommand(options, recording, *manifest);
    // The last bytes for a pipe whose reader stopped reading wait until a stop signal.
    const int stop = pendingStopSignal(signals);
    return stop != 0 ? 128 + stop : kExitWriteError;
  }
  if (!options.keepRaw) {
    for (const auto& dev : recording.devices()) removeTempFile(dev->rawName);
    manifest->remove();
  }
  const std::string unsorted = hdf5OrderWarning(out->hdf5.written());
  if (!unsorted.empty()) say(unsorted);
  return 0;
}

// The entry of the --params file for each device of the recording, in its order; false with a
// message naming the entry that is for no device, or a second one for a device.
bool matchRecordParams(const RecordOptions& options, const std::vector<ParamsEntry>& entries,
                       const Recording& recording, std::vector<const ParamsEntry*>* matched,
                       std::string* error) {
  std::vector<ParamsDevice> devices;
  for (const auto& dev : recording.devices())
    devices.push_back({dev->device.serial, dev->device.link.chainPos});
  return matchParams(options.paramsPath, entries, devices, matched, error);
}

// Reads every device's parameters and lays those the --params file gives for it (`matched`, in
// the order of the devices) over them, to be written at its start. False with a message when a
// device that gets parameters cannot be read.
bool prepareParams(const RecordOptions& options, const std::vector<const ParamsEntry*>& matched,
                   const Recording& recording, std::string* error) {
  std::optional<bool> masterFiveChannel;
  for (size_t i = 0; i < recording.devices().size(); ++i) {
    const auto& dev = recording.devices()[i];
    const FoundDevice& found = dev->device;
    DeviceParams params;
    const int32_t rc = readDeviceParams(found.index, found.link.features, &params);
    const ParamsEntry* entry = matched[i];
    if (entry == nullptr) {
      if (rc == 0) dev->params = params;
      if (!options.paramsPath.empty() && !options.quiet)
        say(options.paramsPath + " has no parameters for " + found.serial +
            "; it keeps its own");
      continue;
    }
    if (rc != 0) {
      *error = rcMessage(rc, "reading the parameters of " + found.serial);
      return false;
    }
    paramsFromJson(entry->parameters, entry->where, &params, error);  // checked at loading
    dev->apply = dev->params = params;
    dev->device.link.markers = params.markers;
    if (found.link.chainPos == 0) masterFiveChannel = params.fiveChannel;
  }
  // What the master's setting makes of the others (see Recording::applyParams).
  for (const auto& dev : recording.devices())
    if (masterFiveChannel && dev->params &&
        (dev->device.link.features & KORBALT_FEATURE_FIVE_CHANNEL))
      dev->params->fiveChannel = *masterFiveChannel;
  return true;
}

// A correlation channel that no device of the chain fills gives an empty histogram: said once the
// chain is known (also when quiet), and the recording goes on.
void warnUnknownChannels(const CorrelationSettings& correlation,
                         const std::vector<ChainChannels>& chain) {
  for (int32_t channel : {correlation.channelA, correlation.channelB}) {
    if (chainHasChannel(chain, channel)) continue;
    say("warning: --correlate channel " + std::to_string(channel) +
        " is no output channel of this chain; the histogram stays empty");
    if (correlation.channelA == correlation.channelB) break;
  }
}

// Writes the run report; the exit code: 5 instead of 0 when a device's data are not whole.
int finishReport(const RecordOptions& options, const std::string& reportFile,
                 const RunReport& report, const Recording& recording, int code) {
  // Without a complete merge a report goes only where one was named: no output is beside it.
  const std::string path = code == 0 || !options.reportPath.empty() ? reportFile : "";
  std::string error;
  if (!path.empty() && !writeReport(report, path, &error, !options.noClobber)) {
    say(error);
    if (code == 0) code = kExitWriteError;
  }
  bool damaged = false;
  for (const auto& dev : recording.devices()) {
    const LossLog& log = dev->log;
    damaged = damaged || log.lossSeen() || log.hasWriteFailure() || log.clockBad();
    if (!log.fileError().empty()) say("loss file not written: " + log.fileError());
  }
  return code == 0 && damaged ? kExitDataLost : code;
}

// Records and merges the devices found; the exit code.
int recordAndMerge(const RecordOptions& options, const std::vector<ParamsEntry>& params,
                   const std::string& reportFile, const std::string& runDir, const SearchResult& found, Outputs* out,
                   OutputFile* histogram, const sigset_t& signals) {
  // A Ctrl-C during the search ends the program before anything is recorded.
  if (const int s = pendingStopSignal(signals))
    return fail(128 + s, std::string("stopped by signal ") + strsignal(s) + "; nothing recorded");
  Recording recording(found.chain);
  std::string error;
  std::vector<const ParamsEntry*> matched;
  if (!matchRecordParams(options, params, recording, &matched, &error))
    return fail(kExitBadInput, error + "; nothing recorded");
  if (!prepareParams(options, matched, recording, &error)) return fail(kExitStartFailed, error);
  if (!checkChainChannels(recording, &error)) return fail(kExitBadInput, error);
  if (options.correlate) warnUnknownChannels(options.correlation, chainChannels(recording));
  LiveMonitor monitor(options, recording);
  monitor.start(&recording);
  RunReport report;
  // The recording begins here, before the devices start: their data can follow at once.
  const RecordInstant start = RecordInstant::now();
  report.startUtc = utcText(start.wall);
  out->recordingStart = hdf5TimeText(start.wall.tv_sec);
  if (recording.start(runDir, say) != 0) {
    // The parameters the devices hold after the failure, not those they were asked for.
    for (const auto& dev : recording.devices()) {
      DeviceParams held = dev->params.value_or(DeviceParams());
      if (readDeviceParams(dev->device.index, dev->device.link.features, &held) == 0)
        dev->params = held;
      else
        dev->params.reset();
    }
    fillReport(options, recording, RunResult(), kExitStartFailed, &report);
    report.outputs.clear();
    report.error = "a device failed to start; nothing recorded";
    if (!reportFile.empty() && !writeReport(report, reportFile, &error, !options.noClobber))
      say(error);
    return fail(kExitStartFailed, "a device failed to start; the recording is abandoned");
  }
  ManifestFile manifest;
  writeManifest(options, recording, report.startUtc, runDir, *out, *histogram, &manifest);
  ChannelCounts counts;
  RecordingMerge merge(options, recording, out, &counts);
  const RecordTime time =
      recordUntilStopped(&recording, options, signals, merge.running(), monitor.core(), start);
  report.stopUtc = utcText(time.stop.wall);
  report.mergeStartUtc = utcNow();
  monitor.finish();
  // The histogram is complete now; a failed merge does not take it along.
  const int histogramCode =
      options.histogramPath.empty() ? 0 : writeHistogram(*monitor.core(), histogram);
  RunResult run;
  if (!options.hdf5Path.empty()) stampHdf5Time(::time(nullptr), &report);
  const int code = mergeRecording(options, recording, time, report, out, signals, &merge,
                                  &run, &manifest);
  report.mergeStopUtc = utcNow();
  fillReport(options, recording, run, code, &report);
  if (!options.quiet) {
    printDeviceSummary(stderr, recording, time, code == 0 ? run.records : -1);
    if (options.correlate)
      fprintf(stderr, "correlation: %s\n", peakText(monitor.core()->snapshot()).c_str());
    if (code == 0) {
      fprintf(stderr, "merge:\n");
      printSummary(stderr,
                   {run.records, run.bytesRead, run.seconds, run.counted ? &counts : nullptr});
    }
    printDevices(stderr, report.devices, code == 0);
    if (options.keepRaw && code == 0) say("raw files kept in " + runDir);
  } else {
    for (const std::string& line : problemLines(report.devices)) say(line);
  }
  for (const std::string& line : streamFaultLines(report.devices)) say("warning: " + line);
  const int result = finishReport(options, reportFile, report, recording, code);
  // A lost histogram is a write error, which outweighs a device's loss.
  return histogramCode != 0 && (result == 0 || result == kExitDataLost) ? histogramCode : result;
}

}  // namespace

int main(int argc, char** argv) {
  if (!openStandardDescriptors()) return kExitWriteError;
  const sigset_t signals = blockSignals();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  RecordOptions options;
  std::string error;
  if (!parseRecordOptions(argc, argv, &options, &error)) return fail(kExitBadInput, error);
  if (!options.helpText.empty() || !options.versionText.empty())
    return printOut(options.helpText + options.versionText) ? 0 : kExitWriteError;
  std::vector<ParamsEntry> params;
  if (!options.paramsPath.empty() && !loadParamsFile(options.paramsPath, &params, &error))
    return fail(kExitBadInput, error);
  if (!checkTempDir(options.tmpDir, &error)) return fail(kExitBadInput, error);
  Outputs out;
  OutputFile histogram;
  std::string runDir;
  std::string reportFile;
  if (!runReportPath(options.reportPath, options.textPath, options.binPath,
                     recordOutputNames(options, ""), {}, recordReadFiles(options), &reportFile,
                     &error))
    return fail(kExitBadInput, error);
  if (!createOutputs(options, reportFile, &out, &histogram, &error)) {
    const int stop = outputStopSignal(out, histogram);
    return fail(stop != 0 ? 128 + stop : kExitBadInput, error + (stop ? "; nothing recorded" : ""));
  }
  if (!makeRunFolder(options.tmpDir, &runDir, &error)) return fail(kExitBadInput, error);
  if (options.log) {
    traceInit("ravik.log", "RAVIK", 508);
    UL_initTrace(traceGetParamset());
  }

  const SearchResult found = searchDevices(options.allowSim, say);
  int code;
  if (found.chain.empty() && !found.connected.empty())
    code = fail(kExitNoDevice, "no device could be placed in the chain; nothing recorded");
  else if (found.chain.empty())
    code = fail(kExitNoDevice, options.allowSim
                                   ? "no device found"
                                   : "no device found (-s also finds simulated devices)");
  else
    code = recordAndMerge(options, params, reportFile, runDir, found, &out, &histogram, signals);
  disconnectDevices(found);
  // Gone unless raw files are kept in it.
  rmdir(runDir.c_str());
  return code;
}
