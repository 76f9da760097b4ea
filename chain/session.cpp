#include "chain/session.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "chain/devicecore.h"
#include "chain/recordtime.h"
#include "chain/recordcore.h"
#include "chain/virtualjson.h"
#include "merge/outputpath.h"
#include "report/runmanifest.h"

std::string shellWord(const std::string& word) {
  if (!word.empty() &&
      word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                             "_-+=.,:/@%") == std::string::npos)
    return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string recoveryCommand(const KeptRun& run) {
  if (!run.manifestDir.empty())
    return "ravik-merge --recover " + shellWord(run.manifestDir) +
           (run.outputsNamed ? "" : " --bin FILE");
  std::string command = "ravik-merge";
  if (!run.text.empty()) command += " --text " + shellWord(run.text);
  if (!run.binary.empty()) command += " --bin " + shellWord(run.binary);
  if (!run.hdf5.empty()) command += " --hdf5 " + shellWord(run.hdf5);
  if (!run.hdf5.empty() && run.compress == Hdf5Compression::Deflate) command += " --compress";
  if (!run.hdf5.empty() && run.compress == Hdf5Compression::Fast) command += " --compress=fast";
  if (!run.metaPath.empty()) command += " --meta " + shellWord(run.metaPath);
  if (run.lossRecords) command += " --loss-records";
  if (!run.keep.empty()) command += " --keep " + shellWord(run.keep);
  if (run.split.size > 0) command += " --split-size " + std::to_string(run.split.size);
  if (run.split.timePs > 0) {
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.12g", double(run.split.timePs) * 1e-12);
    command += std::string(" --split-time ") + seconds;
  }
  if (!run.report.empty()) command += " --report " + shellWord(run.report);
  std::vector<int32_t> positions;
  for (const StreamArg& s : run.streams) positions.push_back(s.chainPos);
  if (positionsRepeat(positions)) command += std::string(" ") + kSharedPositionsOption;
  char fields[32];
  for (const StreamArg& s : run.streams) {
    snprintf(fields, sizeof fields, ":%d:0x%x", int(s.chainPos), unsigned(s.markers));
    command += " " + shellWord(s.path + fields);
  }
  return command;
}

bool runReportPath(const std::string& named, const std::string& textPath,
                   const std::string& binPath, const std::vector<OutputName>& outputs,
                   const std::vector<InputStream>& inputs, const ReadFiles& read,
                   std::string* path, std::string* error, const std::string& option) {
  *path = named;
  if (!named.empty()) return true;
  std::vector<std::string> taken;
  for (const OutputName& out : outputs) taken.push_back(out.path);
  for (const InputStream& input : inputs) {
    taken.push_back(input.arg.path);
    taken.push_back(lossFileName(input.arg.path));
  }
  for (const OutputName& file : read) taken.push_back(file.path);
  if (defaultReportPath(textPath, binPath, taken, path, error)) return true;
  if (!option.empty()) *error += "; name the report with " + option;
  return false;
}

namespace {

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

// The folder that holds `path`: "." for a bare name.
std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<StreamArg> rawStreams(const std::vector<SessionDevice>& devices) {
  std::vector<StreamArg> streams;
  for (const SessionDevice& dev : devices)
    streams.push_back({dev.rawName, dev.chainPos, dev.markers});
  return streams;
}

}  // namespace

Session::Session(const SessionFiles& files) : _files(files) { _times.program = files.program; }

Session::~Session() {
  _recording.end();
  _run.reset();
  closeInputs(&_inputs);
  discardOutputs();
}

std::vector<OutputName> Session::outputNames(const std::string& report) const {
  return {{"text output", _files.text},
          {"binary output", _files.binary},
          {"HDF5 output", _files.hdf5},
          {"run report", report},
          {"histogram", _files.histogram}};
}

bool Session::anyOutput() const {
  return !_files.text.empty() || !_files.binary.empty() || !_files.hdf5.empty();
}

bool Session::prepare(std::string* error) {
  if (_files.virtualOutputs && !_files.virtualChannels.is_null()) {
    std::vector<VirtualChannel> list;
    if (!virtualFromJson(_files.virtualChannels, &list, error)) {
      *error = "virtual channels: " + *error;
      return false;
    }
    _virtuals.reset(new VirtualChannels(list));
  }
  if (!_files.keep.empty()) {
    std::vector<KeepClause> clauses;
    if (!parseKeep(_files.keep, &clauses, error)) {
      *error = "keep: " + *error;
      return false;
    }
    _keep.reset(new KeepFilter(clauses));
    _files.keep = keepText(clauses);
  }
  if (!runReportPath(_files.report, _files.text, _files.binary, outputNames(""), {}, _files.read,
                     &_reportFile, error, _files.reportOption))
    return false;
  return createOutputs(error) && makeRunFolder(_files.tmpDir, &_runDir, error);
}

bool Session::createOutputs(std::string* error) {
  const bool keep = _files.noClobber;
  if (!checkOutputNames(outputNames(_reportFile), {}, keep, keptRunFile, error, _files.read))
    return false;
  if (_files.split.on()) return createParts(error) && checkReportFolder(_reportFile, error);
  if (!_files.text.empty() && !_text.create(_files.text, error, keep)) return false;
  if (!_files.binary.empty() && !_binary.create(_files.binary, error, keep)) return false;
  if (!_files.histogram.empty() && !_histogram.create(_files.histogram, error, keep)) return false;
  if (!_files.hdf5.empty() && !_hdf5.create(_files.hdf5, _files.compress, error, keep))
    return false;
  return checkReportFolder(_reportFile, error);
}

// The outputs in parts, each part a file of its own beside the name given.
bool Session::createParts(std::string* error) {
  if (!_files.histogram.empty() && !_histogram.create(_files.histogram, error, _files.noClobber))
    return false;
  PartPlan plan;
  plan.text = _files.text;
  plan.binary = _files.binary;
  plan.hdf5 = _files.hdf5;
  plan.compress = _files.compress;
  plan.noClobber = _files.noClobber;
  plan.rule = _files.split;
  plan.others = _files.read;
  plan.others.push_back({"run report", _reportFile});
  plan.others.push_back({"histogram", _files.histogram});
  // Where the raw data may be let go of behind the parts (see releasesRaw()), they are also let go
  // of behind each part's holds.
  plan.holds = !_files.keepRaw && !_files.lossRecords && !_virtuals && !_keep;
  _parts = PartWriter::begin(plan, error);
  return _parts != nullptr;
}

int32_t Session::stopSignal() const {
  return _text.stopSignal() | _binary.stopSignal() | _histogram.stopSignal();
}

void Session::began(const RecordInstant& start) {
  _start = start;
  _times.startUtc = utcText(start.wall);
  _recordingStart = hdf5TimeText(start.wall.tv_sec);
}

void Session::nameOutputs(const std::string& text, const std::string& binary,
                          const std::string& hdf5, const std::vector<Hdf5MetaField>& meta) {
  _files.text = text;
  _files.binary = binary;
  _files.hdf5 = hdf5;
  _files.meta = meta;
}

RunManifest Session::manifest(const std::vector<SessionDevice>& devices,
                              const std::vector<std::string>& partials) const {
  RunManifest m;
  m.program = _files.program;
  m.startUtc = _times.startUtc;
  m.devices = manifestDevices(devices);
  if (!_files.text.empty()) m.outputs.push_back({"text", absolutePath(_files.text)});
  if (!_files.binary.empty()) m.outputs.push_back({"binary", absolutePath(_files.binary)});
  if (!_files.hdf5.empty()) m.outputs.push_back({"hdf5", absolutePath(_files.hdf5)});
  m.lossRecords = _files.lossRecords;
  m.reportPath = absolutePath(_files.report);
  m.compress = _files.compress;
  m.keep = _files.keep;
  m.splitSize = _files.split.size;
  m.splitTimePs = _files.split.timePs;
  m.meta = _files.meta;
  m.virtualChannels = _files.virtualChannels;
  m.virtualOutputs = _virtuals != nullptr;
  m.partials = partials;
  return m;
}

bool Session::writeHeld(const std::vector<SessionDevice>& devices,
                        const std::vector<std::string>& partials, std::string* error) {
  RunManifest m = manifest(devices, partials);
  // The parts lent for the write, not copied: a long run has thousands.
  m.published.swap(_publishedParts);
  m.resume = _resumePoint;
  const bool ok = _manifest.write(_runDir, m, error);
  m.published.swap(_publishedParts);
  return ok;
}

std::vector<std::string> Session::withHistogram(const std::vector<std::string>& partials) const {
  std::vector<std::string> names = partials;
  if (!_histogram.partialPath().empty()) names.push_back(absolutePath(_histogram.partialPath()));
  return names;
}

// Only where the merge goes straight from the streams to the parts can it be taken up at a point
// of the streams: a step between them (virtual channels, the filter) carries state of its own
// across the point, and loss records need the whole streams. Raw files kept on request stay whole.
bool Session::releasesRaw() const {
  return _parts && !_files.keepRaw && !_files.lossRecords && _settings.stages.empty() && _opened;
}

bool Session::releaseBehind(const std::vector<SessionDevice>& devices, const PartResume& after) {
  ResumePoint point;
  if (!_resumeLog->before(after.records, &point) || point.sources.size() != _kept.size())
    return false;
  std::lock_guard<std::mutex> hold(_manifestLock);
  if (!_manifest.held()) return false;
  // The manifest names the point before any data behind it go: a run killed in between is taken
  // up from the point before.
  const size_t published = _publishedParts.size();
  nlohmann::json resume = _resumePoint;
  appendPublished(*_parts, &_publishedParts);
  _resumePoint = takeUpJson(after, point);
  std::string error;
  if (!writeHeld(devices, withHistogram(_parts->partials()), &error)) {
    _publishedParts.erase(_publishedParts.begin() + std::ptrdiff_t(published),
                          _publishedParts.end());
    _resumePoint = std::move(resume);
    return false;
  }
  // Losses are located at the end from the last point let go of.
  for (size_t i = 0; i < _kept.size(); ++i) _kept[i] = point.sources[i];
  _release->release(point);
  return true;
}

std::string Session::writeManifest(const std::vector<SessionDevice>& devices) {
  std::lock_guard<std::mutex> hold(_manifestLock);
  std::vector<std::string> partials =
      partialNames({&_text, &_binary, _hdf5.file(), &_histogram});
  if (_parts)
    for (const std::string& name : _parts->partials()) partials.push_back(name);
  std::string error;
  if (writeHeld(devices, partials, &error)) return std::string();
  return "run manifest not written: " + error + "; if the run ends without its merge, only "
         "ravik-merge with the chain positions can merge its raw files";
}

bool Session::startMerge(const std::vector<SessionDevice>& devices, RecordSink* sink,
                         const MergeWatch& watch, std::string* error) {
  // Its own raw files, which its recording holds locked.
  _opened = openInputs(rawStreams(devices), &_inputs, &_openError, true);
  for (size_t i = 0; i < _inputs.size() && _opened; ++i) _inputs[i].written = devices[i].written;
  _settings.watch = watch;
  _settings.lossRecords = _files.lossRecords;
  _settings.stages.clear();
  if (_virtuals) _settings.stages.push_back(_virtuals.get());
  if (_keep) _settings.stages.push_back(_keep.get());
  _settings.hdf5 = _hdf5.output();
  _settings.records = sink != nullptr ? sink : _hdf5.output();
  // The master's header, made now, before anything addresses the devices one by one.
  _settings.header = chainDeviceHeader(devices.front().index);
  _settings.parts = _parts.get();
  // Each new part's temporary names go into the manifest (once there is one), so that a recovery
  // removes what a killed run left of the part it was writing.
  if (_parts) {
    const bool release = releasesRaw();
    if (release) {
      std::vector<std::string> paths;
      for (const InputStream& input : _inputs) paths.push_back(input.arg.path);
      _resumeLog.reset(new ResumeLog);
      _release.reset(new RawRelease(paths));
      _kept.assign(_inputs.size(), SourcePoint{});
      for (size_t i = 0; i < _inputs.size(); ++i) _inputs[i].kept = &_kept[i];
      _settings.resume = _resumeLog.get();
    }
    _parts->describe(
        _settings.header, partInfo(devices),
        [this, devices](const std::vector<std::string>& partials) {
          std::lock_guard<std::mutex> hold(_manifestLock);
          // One that cannot be rewritten stays as it was: a recovery then leaves this part's
          // temporary files, and nothing recorded is lost.
          std::string error;
          if (_manifest.held()) writeHeld(devices, withHistogram(partials), &error);
        },
        release ? PartPublished([this, devices](const PartFacts&, const PartResume& after) {
          return releaseBehind(devices, after);
        })
                : PartPublished());
  }
  // What the recording noted, even where its loss files could not be written. The inputs are in
  // the devices' (chain) order.
  std::vector<const LossLog*> logs;
  for (const SessionDevice& dev : devices) logs.push_back(dev.log);
  _settings.lossesAtEnd = [logs](size_t i) { return logs[i]->losses(); };
  if (!_opened) {
    *error = _openError;
    return false;
  }
  if (!_files.lossRecords)
    _run.reset(new MergeRun(_inputs, &_text, &_binary, _settings, &_recording));
  return true;
}

KeepFilter* Session::newKeepFilter() {
  std::vector<KeepClause> clauses;
  std::string error;
  if (_files.keep.empty() || !parseKeep(_files.keep, &clauses, &error)) return nullptr;
  _keep.reset(new KeepFilter(clauses));
  return _keep.get();
}

PartWriter* Session::beginParts(const PartPlan& plan, std::string* error) {
  _parts = PartWriter::begin(plan, error);
  return _parts.get();
}

void Session::watchSpace(const std::vector<SessionDevice>& devices, int64_t margin) {
  _space.reset(new FreeSpaceWatch(margin));
  std::vector<std::string> raw;
  for (const SessionDevice& dev : devices)
    if (!dev.rawName.empty()) raw.push_back(dev.rawName);
  _space->watch(_files.tmpDir.empty() ? _runDir : _files.tmpDir, raw, {});
  const std::pair<const OutputFile*, const std::string*> outputs[] = {
      {&_text, &_files.text}, {&_binary, &_files.binary}, {_hdf5.file(), &_files.hdf5},
      {&_histogram, &_files.histogram}};
  for (const auto& output : outputs) {
    const std::string& partial = output.first->partialPath();
    if (!partial.empty()) {
      _space->watch(folderOf(partial), {}, {partial});
      continue;
    }
    // Written in place, or by the face itself: a device or a pipe takes no space.
    struct stat st;
    const std::string& path = *output.second;
    if (!path.empty() && descriptorName(path) < 0 &&
        (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)))
      _space->watch(folderOf(path), {}, {});
  }
  _space->sample(monotonicNs(), 0, true);
}

bool Session::sampleSpace(bool force) {
  if (!_space) return false;
  // A merge after the recording (with loss records) has read nothing yet.
  _space->sample(monotonicNs(), _run ? _run->bytesRead() : 0, force);
  return _space->tripped() != nullptr;
}

void Session::stopped(const RecordInstant& stop) {
  sampleSpace(true);
  // The raw files are complete: the merge reads them to their end without waiting for more.
  _recording.end();
  _seconds = recordTime(_start, stop).seconds;
  _times.stopUtc = utcText(stop.wall);
  _times.mergeStartUtc = utcNow();
  if (!_files.hdf5.empty()) stampHdf5Time(::time(nullptr), &_times);
}

SessionEnd Session::finish(const std::vector<SessionDevice>& devices, const sigset_t& signals,
                           RunResult* run) {
  SessionEnd end;
  // The raw files are closed: what they hold now is all there is, and the rest of the merge has
  // no recording to give way to.
  _recording.end();
  if (!_opened) {
    end.error = _openError;
    return end;
  }
  if (!_run) {
    for (size_t i = 0; i < _inputs.size(); ++i) _inputs[i].losses = _settings.lossesAtEnd(i);
    _run.reset(new MergeRun(_inputs, &_text, &_binary, _settings));
  }
  *run = _run->finish(signals);
  if (!run->outcome.readError.empty()) {
    discardOutputs();
    end.error = run->outcome.readError + "; no output written";
    return end;
  }
  if (run->stopSignal == 0) run->stopSignal = pendingStopSignal(signals);
  if (run->stopSignal != 0) {
    discardOutputs();
    end.stopSignal = run->stopSignal;
    end.error = std::string("merge stopped by signal ") + strsignal(run->stopSignal) +
                "; no output written";
    return end;
  }
  if (_parts) {
    // The parts published during the run stay whatever becomes of the last.
    end.published = _parts->publishLast(&end.error);
    if (!end.published) end.stopSignal = pendingStopSignal(signals);
    return end;
  }
  if (!_hdf5.complete(hdf5Info(devices, *run), &end.error)) {
    discardOutputs();
    end.error += "; no output written";
    return end;
  }
  if (!publishOutputs({{&_text, "text"}, {&_binary, "binary"}, {_hdf5.file(), "HDF5"}},
                      &end.error)) {
    // The last bytes for a pipe whose reader stopped reading wait until a stop signal.
    end.stopSignal = pendingStopSignal(signals);
    return end;
  }
  end.published = true;
  end.warning = hdf5OrderWarning(_hdf5.written());
  const std::string released = _release ? _release->error() : std::string();
  if (!released.empty())
    end.warning += (end.warning.empty() ? "warning: " : "\nwarning: ") + released;
  return end;
}

void Session::discardOutputs() {
  if (_parts) _parts->discard();
  _text.discard();
  _binary.discard();
  _hdf5.discard();
}

std::string Session::removeRawFiles(const std::vector<SessionDevice>& devices) {
  if (_files.keepRaw) return std::string();
  std::lock_guard<std::mutex> hold(_manifestLock);
  std::string left;
  const auto note = [&left](const std::string& what) {
    if (!what.empty()) left += (left.empty() ? "warning: " : "; ") + what;
  };
  for (const SessionDevice& dev : devices)
    if (!dev.rawName.empty()) note(removeTempFile(dev.rawName));
  note(_manifest.remove());
  return left;
}

std::string Session::recoveryCommand(const std::vector<SessionDevice>& devices) const {
  KeptRun kept;
  static_cast<RunOutputs&>(kept) = _files;
  if (_manifest.held()) kept.manifestDir = _manifest.dir();
  kept.outputsNamed = anyOutput();
  kept.streams = rawStreams(devices);
  return ::recoveryCommand(kept);
}

std::string Session::keptText(const std::vector<SessionDevice>& devices) const {
  return "the raw files are kept; finish the merge with\n  " + recoveryCommand(devices);
}

RunReport Session::report(const std::vector<SessionDevice>& devices, const RunResult& run,
                          const std::string& error) const {
  RunReport report = _times;
  if (!report.mergeStartUtc.empty()) report.mergeStopUtc = utcNow();
  report.devices = reportDevices(devices);
  reportMerge(run.outcome, run.records, _files.text, _files.binary, _files.hdf5, &report);
  report.overlaps = reportOverlaps(devices);
  report.lossRecords = _files.lossRecords;
  if (_virtuals) report.stages.push_back({"virtual", virtualReport(_virtuals->definitions())});
  if (_keep) report.stages.push_back({"keep", keepReport(*_keep)});
  if (_parts) report.parts = partsJson(_parts->published());
  if (_space) {
    report.freeSpace = _space->reportJson();
    report.stopReason = _space->stopReasonJson();
  }
  report.completed = error.empty();
  report.error = error;
  return report;
}

RunReport Session::abandonedReport(const std::vector<SessionDevice>& devices,
                                   const std::string& error) const {
  RunReport report = this->report(devices, RunResult(), error);
  report.outputs.clear();
  return report;
}

bool Session::writeRunReport(const RunReport& report, std::string* error, bool beside) const {
  // Without a complete merge a report goes only where one was named: no output is beside it.
  const std::string path = beside || report.completed || !_files.report.empty() ? _reportFile : "";
  return path.empty() || writeReport(report, path, error, !_files.noClobber);
}

Hdf5RunInfo Session::hdf5Info(const std::vector<SessionDevice>& devices,
                              const RunResult& run) const {
  Hdf5RunInfo info;
  info.description = "Time tags of " + std::to_string(devices.size()) +
                     " chained device(s) recorded and merged by " + _files.recordedBy;
  info.software = info.sourceSoftware = _files.program;
  info.softwareVersion = info.sourceSoftwareVersion = RAVIK_VERSION;
  info.acquisitionSeconds = _seconds;
  std::vector<std::string> paths, serials;
  std::vector<int32_t> chains;
  for (const SessionDevice& dev : devices) {
    paths.push_back(dev.rawName);
    serials.push_back(dev.serial);
    chains.push_back(dev.chainPos);
  }
  info.sources = hdf5Sources(paths, chains, serials, run.outcome.sourceStats, _files.keepRaw);
  info.creationTime = _times.hdf5CreationTime;
  info.recordingStart = _recordingStart;
  info.meta = _files.meta;
  info.losses = run.outcome.losses;
  if (_virtuals) info.virtualLabels = virtualLabels(_virtuals->definitions());
  info.report = toJson(report(devices, run, "")).dump();
  return info;
}

// Made before the merge starts: the parts are completed on the merge's thread.
PartInfo Session::partInfo(const std::vector<SessionDevice>& devices) const {
  Hdf5RunInfo run = hdf5Info(devices, RunResult());
  for (size_t i = 0; i < run.sources.size() && i < devices.size(); ++i)
    run.sources[i].fiveChannel = devices[i].fiveChannel;
  return ::partInfo(run, toJson(report(devices, RunResult(), "")));
}
