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

#include "chain/session.h"
#include "cli/commandline.h"
#include "chain/devicesearch.h"
#include "merge/hdf5file.h"
#include "merge/inputs.h"
#include "cli/livestatus.h"
#include "chain/mergerun.h"
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
#include "chain/virtualjson.h"
#include "chain/recordcore.h"
#include "merge/channelmap.h"
#include "merge/outputpath.h"
#include "monitor/monitorcore.h"
#include "monitor/monitorthread.h"
#include "trace/trace.h"

namespace {

constexpr int kExitWriteError = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitNoDevice = 3;
constexpr int kExitStartFailed = 4;
// The outputs are complete, but a device lost data, a raw file could not be written, or a clock
// was bad during the recording.
constexpr int kExitDataLost = 5;
// The outputs are complete, but the recording stopped by itself before it was asked to: a file
// system it writes to fell below --min-free.
constexpr int kExitLowSpace = 6;
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

// The files the run reads besides the devices, which no output may replace.
ReadFiles recordReadFiles(const RecordOptions& options) {
  ReadFiles read = metaFile(options);
  read.push_back({"parameter file", options.paramsPath});
  read.push_back({"virtual channel file", options.virtualPath});
  // The devices are found after the outputs are made: the streams they will replay count now.
  if (options.allowSim)
    for (OutputName& stream : replayedStreams()) read.push_back(std::move(stream));
  return read;
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
    _core->setVirtualChannels(options.virtuals);
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

// Records until the time is up, a stop signal comes or a file system falls below --min-free,
// counted from the recording's `start`; returns its time from then to the stop.
RecordTime recordUntilStopped(Recording* recording, const RecordOptions& options,
                              const sigset_t& signals, Session* session,
                              const MonitorCore* monitor, const RecordInstant& start) {
  LiveStatus live(stderr, isatty(STDERR_FILENO) != 0);
  std::vector<bool> told(recording->devices().size(), false);
  MergeRun* merge = session->merge();
  if (monitor) live.showMonitor(monitor, options.rates, options.correlate);
  live.showSpace(session->space());
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
    const bool lowSpace = session->sampleSpace();
    if (!options.quiet) live.update(*recording, secondsSince(start));
    if (s == SIGINT || s == SIGTERM || s == SIGHUP) break;
    if (lowSpace) {
      // Said also when quiet: the recording ends before it was asked to.
      say("stopping: " + session->space()->stopText() + "; the merge completes what was recorded");
      break;
    }
  }
  recording->stop();
  const RecordInstant stop = RecordInstant::now();
  recording->poll();
  tellWriteFailures(*recording, &told);
  return recordTime(start, stop);
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
        hasFiveChannel(dev->device.link.features))
      dev->params->fiveChannel = *masterFiveChannel;
  return true;
}

// A correlation channel that no device of the chain fills gives an empty histogram: said once the
// chain is known (also when quiet), and the recording goes on.
void warnUnknownChannels(const CorrelationSettings& correlation,
                         const std::vector<ChainChannels>& chain,
                         const std::vector<VirtualChannel>& virtuals) {
  for (int32_t channel : {correlation.channelA, correlation.channelB}) {
    if (chainHasChannel(chain, channel)) continue;
    if (std::any_of(virtuals.begin(), virtuals.end(), [&](const VirtualChannel& v) { return v.channel == channel; }))
      continue;
    say("warning: --correlate channel " + std::to_string(channel) +
        " is no output channel of this chain; the histogram stays empty");
    if (correlation.channelA == correlation.channelB) break;
  }
}

// The files the recording writes and reads, as the command line names them.
SessionFiles sessionFiles(const RecordOptions& options) {
  SessionFiles files;
  files.program = files.recordedBy = "ravik-record";
  files.text = options.textPath;
  files.binary = options.binPath;
  files.hdf5 = options.hdf5Path;
  files.histogram = options.histogramPath;
  files.compress = options.compress;
  files.split = options.split;
  files.report = options.reportPath;
  files.noClobber = options.noClobber;
  files.lossRecords = options.lossRecords;
  files.keep = options.keep;
  files.keepRaw = options.keepRaw;
  files.metaPath = options.metaPath;
  files.meta = options.meta;
  if (!options.virtuals.empty()) files.virtualChannels = virtualToJson(options.virtuals);
  files.virtualOutputs = !options.virtuals.empty();
  files.read = recordReadFiles(options);
  files.tmpDir = options.tmpDir;
  return files;
}

// Writes the run report; the exit code: 5 instead of 0 when a device's data are not whole.
int finishReport(const Session& session, const RunReport& report, const Recording& recording,
                 int code) {
  std::string error;
  if (!session.writeRunReport(report, &error)) {
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

// A device failed to start: the parameters the devices hold after the failure, not those they
// were asked for, go into the report of a run that recorded nothing.
int abandon(const Session& session, const Recording& recording) {
  for (const auto& dev : recording.devices()) {
    DeviceParams held = dev->params.value_or(DeviceParams());
    if (readDeviceParams(dev->device.index, dev->device.link.features, &held) == 0)
      dev->params = held;
    else
      dev->params.reset();
  }
  const RunReport report = session.abandonedReport(sessionDevices(recording),
                                                   "a device failed to start; nothing recorded");
  std::string error;
  if (!session.writeRunReport(report, &error, true)) say(error);
  return fail(kExitStartFailed, "a device failed to start; the recording is abandoned");
}

// The merge's watch: the progress bar on a terminal, the per-channel counts unless quiet.
MergeWatch mergeWatch(const RecordOptions& options, ChannelCounts* counts) {
  MergeWatch watch;
  if (!options.quiet && isatty(STDERR_FILENO) != 0) watch.progress = progressBar();
  watch.counts = options.quiet ? nullptr : counts;
  return watch;
}

// What the terminal shows after the run: the devices, the merge and the problems.
void printRun(const RecordOptions& options, const Session& session, const Recording& recording,
              const RecordTime& time, const RunResult& run, const ChannelCounts& counts,
              const MonitorCore* monitor, const RunReport& report, int code) {
  if (!options.quiet) {
    printDeviceSummary(stderr, recording, time, code == 0 ? run.records : -1);
    if (options.correlate)
      fprintf(stderr, "correlation: %s\n", peakText(monitor->snapshot()).c_str());
    if (code == 0) {
      fprintf(stderr, "merge:\n");
      printSummary(stderr,
                   {run.records, run.bytesRead, run.seconds, run.counted ? &counts : nullptr});
    }
    printDevices(stderr, report.devices, code == 0);
    if (!report.parts.is_null()) fprintf(stderr, "%s\n", partsLine(report.parts).c_str());
    if (options.keepRaw && code == 0) say("raw files kept in " + session.runDir());
  } else {
    for (const std::string& line : problemLines(report.devices)) say(line);
  }
  for (const std::string& line : streamFaultLines(report.devices)) say("warning: " + line);
}

// Records and merges the devices found; the exit code.
int recordAndMerge(const RecordOptions& options, const std::vector<ParamsEntry>& params,
                   const SearchResult& found, Session* session, const sigset_t& signals) {
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
  if (options.correlate)
    warnUnknownChannels(options.correlation, chainChannels(sessionDevices(recording)),
                        options.virtuals);
  if (!options.virtuals.empty()) {
    int32_t largest = 0;
    for (const auto& dev : recording.devices()) largest = std::max(largest, dev->device.link.chainPos);
    error = virtualChainError(largest);
    if (!error.empty()) return fail(kExitBadInput, error + "; nothing recorded");
  }
  LiveMonitor monitor(options, recording);
  monitor.start(&recording);
  // The recording begins here, before the devices start: their data can follow at once.
  const RecordInstant start = RecordInstant::now();
  session->began(start);
  if (recording.start(session->runDir(), say) != 0) return abandon(*session, recording);
  const std::vector<SessionDevice> devices = sessionDevices(recording);
  const std::string manifestWarning = session->writeManifest(devices);
  if (!manifestWarning.empty()) say(manifestWarning);
  ChannelCounts counts;
  // A raw file that cannot be opened now is said by finish().
  std::string openError;
  session->startMerge(devices, nullptr, mergeWatch(options, &counts), &openError);
  session->watchSpace(devices, options.minFree);
  const RecordTime time =
      recordUntilStopped(&recording, options, signals, session, monitor.core(), start);
  session->stopped(time.stop);
  monitor.finish();
  // The histogram is complete now; a failed merge does not take it along.
  const int histogramCode =
      options.histogramPath.empty() ? 0 : writeHistogram(*monitor.core(), session->histogram());
  RunResult run;
  const SessionEnd end = session->finish(devices, signals, &run);
  int code = 0;
  if (end.published) {
    if (!end.warning.empty()) say(end.warning);
    const std::string left = session->removeRawFiles(devices);
    if (!left.empty()) say(left);
  } else {
    say(end.error);
    say(session->keptText(devices));
    code = end.stopSignal != 0 ? 128 + end.stopSignal : kExitWriteError;
  }
  const RunReport report = session->report(
      devices, run, code == 0 ? "" : "the merge did not complete; the raw files are kept");
  printRun(options, *session, recording, time, run, counts, monitor.core(), report, code);
  int result = finishReport(*session, report, recording, code);
  // Stopped early for free space, the run is complete but shorter than asked: that outweighs a
  // device's loss, which the report and the summary tell.
  if ((result == 0 || result == kExitDataLost) && session->space()->tripped() != nullptr)
    result = kExitLowSpace;
  // A lost histogram is a write error, which outweighs a device's loss.
  return histogramCode != 0 && (result == 0 || result == kExitDataLost || result == kExitLowSpace)
             ? histogramCode
             : result;
}

}  // namespace

int main(int argc, char** argv) {
  sigset_t signals;
  if (!beginProgram(&signals)) return kExitWriteError;

  RecordOptions options;
  std::string error;
  if (!parseRecordOptions(argc, argv, &options, &error)) return fail(kExitBadInput, error);
  if (!options.helpText.empty() || !options.versionText.empty())
    return printOut(options.helpText + options.versionText) ? 0 : kExitWriteError;
  std::vector<ParamsEntry> params;
  if (!options.paramsPath.empty() && !loadParamsFile(options.paramsPath, &params, &error))
    return fail(kExitBadInput, error);
  if (!options.virtualPath.empty() && !loadVirtualFile(options.virtualPath, &options.virtuals, &error))
    return fail(kExitBadInput, error);
  if (!checkTempDir(options.tmpDir, &error)) return fail(kExitBadInput, error);
  Session session(sessionFiles(options));
  if (!session.prepare(&error)) {
    const int stop = session.stopSignal();
    return fail(stop != 0 ? 128 + stop : kExitBadInput, error + (stop ? "; nothing recorded" : ""));
  }
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
    code = recordAndMerge(options, params, found, &session, signals);
  disconnectDevices(found);
  // Gone unless raw files are kept in it.
  rmdir(session.runDir().c_str());
  return code;
}
