// ravik-merge: the offline merge of raw device stream files, with the window's merge core.
//
// Everything that can be wrong with the command line or the files is found before any output
// exists; outputs are written under temporary names and renamed into place only when the merge
// has completed (see OutputFile).
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "chain/channelcount.h"
#include "merge/hdf5file.h"
#include "cli/commandline.h"
#include "device/korbalt.h"
#include "merge/inputs.h"
#include "chain/mergerun.h"
#include "cli/options.h"
#include "chain/session.h"
#include "cli/outputoptions.h"
#include "merge/outputcheck.h"
#include "merge/outputfile.h"
#include "chain/virtualjson.h"
#include "monitor/keepfilter.h"
#include "cli/recovery.h"
#include "report/runmanifest.h"
#include "cli/report.h"

namespace {

constexpr int kExitWriteError = 1;
constexpr int kExitBadInput = 2;
// The outputs are complete, but a stream's loss file reports data lost while it was recorded.
constexpr int kExitDataLost = 5;

int fail(int code, const std::string& message) {
  fprintf(stderr, "ravik-merge: %s\n", message.c_str());
  return code;
}

// The files the merge reads besides its streams, which no output may replace: the --meta file,
// and the manifest of the run it recovers (`runDir`; empty: none).
ReadFiles mergeReadFiles(const Options& options, const std::string& runDir) {
  ReadFiles read = metaFile(options);
  read.push_back({"virtual channel file", options.virtualPath});
  if (!runDir.empty()) {
    read.push_back({"run manifest", manifestPath(runDir)});
    read.push_back({"run's parts log", runDir + "/" + kPartsLogName});
  }
  return read;
}

// The outputs in parts, each part a file of its own beside the name given. False with a message.
bool createParts(const Options& options, const std::vector<InputStream>& inputs,
                 const ReadFiles& read, const std::string& report,
                 std::unique_ptr<PartWriter>* parts, std::string* error) {
  PartPlan plan;
  plan.others = read;
  plan.others.push_back({"run report", report});
  for (const InputStream& input : inputs) {
    plan.others.push_back({"stream", input.arg.path});
    plan.others.push_back({"stream's loss file", lossFileName(input.arg.path)});
  }
  plan.text = options.textPath;
  plan.binary = options.binPath;
  plan.hdf5 = options.hdf5Path;
  plan.compress = options.compress;
  plan.noClobber = options.noClobber;
  plan.rule = options.split;
  if (options.takenUp) {
    plan.from = options.partsFrom;
    plan.skip = options.partsFrom.records - options.mergeFrom.records;
  }
  *parts = PartWriter::begin(plan, error);
  return *parts != nullptr;
}

// Creates the wanted outputs; false with a message when one cannot be (none is left then).
bool createOutputs(const Options& options, const std::vector<InputStream>& inputs,
                   const ReadFiles& read, const std::string& report, OutputFile* text,
                   OutputFile* binary, Hdf5File* hdf5, std::unique_ptr<PartWriter>* parts,
                   std::string* error) {
  const std::string& t = options.textPath;
  const std::string& b = options.binPath;
  const std::string& h = options.hdf5Path;
  const bool keep = options.noClobber;
  if (!checkOutputNames(outputNames(options, report), inputs, keep, keptRunFile, error, read))
    return false;
  if (options.split.on())
    return createParts(options, inputs, read, report, parts, error) &&
           checkReportFolder(report, error);
  if (!t.empty() && !text->create(t, error, keep)) return false;
  if (!b.empty() && !binary->create(b, error, keep)) return false;
  if (!h.empty() && !hdf5->create(h, options.compress, error, keep)) return false;
  return checkReportFolder(report, error);
}

// The local time text of the HDF5 output of a UTC time as a report gives it
// ("2026-12-10T02:04:25.888Z"); empty when it is not one.
std::string hdf5TimeOfUtc(const std::string& utc) {
  struct tm parts = {};
  const char* rest = strptime(utc.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  return rest == nullptr ? std::string() : hdf5TimeText(timegm(&parts));
}

// What the HDF5 output tells beside its records: the streams, the losses and the run report
// as it stands when the outputs are complete. A recovery's output tells the recording as its
// manifest gives it: its devices (so its detectors carry the labels the recording's own output
// would), the program that recorded it and when.
Hdf5RunInfo hdf5Info(const Options& options, const std::vector<InputStream>& inputs,
                     const RunResult& run, RunReport report, const Recovery* recovery) {
  Hdf5RunInfo info;
  info.description = "Time tags of " + std::to_string(inputs.size()) +
                     " raw device stream(s) merged by ravik-merge";
  info.software = "ravik-merge";
  info.softwareVersion = RAVIK_VERSION;
  std::vector<std::string> paths, serials;
  std::vector<int32_t> chains;
  for (size_t i = 0; i < inputs.size(); ++i) {
    paths.push_back(inputs[i].arg.path);
    chains.push_back(inputs[i].arg.chainPos);
    if (recovery != nullptr && i < report.devices.size())
      serials.push_back(report.devices[i].serial);
  }
  if (recovery != nullptr) {
    info.description = "Time tags of " + std::to_string(inputs.size()) +
                       " chained device(s) recorded by " + recovery->manifest.program +
                       ", recovered and merged by ravik-merge";
    info.sourceSoftware = recovery->manifest.program;
    info.recordingStart = hdf5TimeOfUtc(recovery->manifest.startUtc);
  }
  info.sources = hdf5Sources(paths, chains, serials, run.outcome.sourceStats, true);
  info.creationTime = report.hdf5CreationTime;
  info.meta = options.meta;
  info.losses = run.outcome.losses;
  info.virtualLabels = virtualLabels(options.virtuals);
  report.mergeStopUtc = utcNow();
  report.completed = true;
  info.report = toJson(report).dump();
  return info;
}

// The devices as far as the streams tell: stream, chain position, records, losses.
RunReport makeReport(const Options& options, const std::vector<InputStream>& inputs,
                     const RunResult& run) {
  RunReport report;
  report.program = "ravik-merge";
  for (size_t i = 0; i < inputs.size(); ++i) {
    ReportDevice d;
    d.chain = inputs[i].arg.chainPos;
    d.stream = inputs[i].arg.path;
    report.devices.push_back(d);
  }
  reportMerge(run.outcome, run.records, options.textPath, options.binPath, options.hdf5Path,
              &report);
  report.lossRecords = options.lossRecords;
  return report;
}

// A run taken up after its published parts: the report tells of the whole run, those parts
// and the records merged before the point included.
void addTakenUp(const Options& options, RunReport* report) {
  nlohmann::json parts = options.published;
  for (const nlohmann::json& part : report->parts) parts.push_back(part);
  report->parts = parts;
  report->records += options.mergeFrom.records;
  const std::vector<SourcePoint>& points = options.mergeFrom.sources;
  for (size_t i = 0; i < report->devices.size() && i < points.size(); ++i)
    report->devices[i].records += points[i].before + points[i].skip;
  for (const nlohmann::json& part : options.published) {
    const nlohmann::json first = part.value("first_ps", nlohmann::json());
    if (first.is_number_integer())
      report->firstPs = std::min(report->firstPs, first.get<int64_t>());
  }
}

// Renames the outputs into place when the merge ran to its end and read every stream in full;
// otherwise removes them. The exit code, with a message for a failure.
// `refusal`: why a stream read in full is not merged (see checkStreamContents()); empty: none.
int publishRun(const RunResult& run, const std::string& refusal, OutputFile* text,
               OutputFile* binary, Hdf5File* hdf5, PartWriter* parts, const Hdf5RunInfo& info,
               const sigset_t& signals, std::string* error) {
  int code = 0;
  if (run.stopSignal != 0) {
    *error = std::string("stopped by signal ") + strsignal(run.stopSignal);
    code = 128 + run.stopSignal;
  } else if (!run.outcome.readError.empty()) {
    *error = run.outcome.readError;
    code = kExitWriteError;
  } else if (!refusal.empty()) {
    *error = refusal;
    code = kExitBadInput;
  } else if (parts != nullptr) {
    // The parts published during the merge stay whatever becomes of the last.
    if (parts->publishLast(error)) return 0;
    const int stop = pendingStopSignal(signals);
    return stop != 0 ? 128 + stop : kExitWriteError;
  } else if (!hdf5->complete(info, error)) {
    code = kExitWriteError;
  } else {
    if (publishOutputs({{text, "text"}, {binary, "binary"}, {hdf5->file(), "HDF5"}}, error))
      return 0;
    // The last bytes for a pipe whose reader stopped reading wait until a stop signal.
    const int stop = pendingStopSignal(signals);
    return stop != 0 ? 128 + stop : kExitWriteError;
  }
  text->discard();
  binary->discard();
  hdf5->discard();
  if (parts != nullptr) parts->discard();
  *error += parts != nullptr && !parts->published().empty()
                ? "; the parts published before stay, the rest is not written"
                : "; no output written";
  return code;
}

// The summary (or in quiet mode the streams that lost data) and the run report; the exit code,
// 5 instead of 0 when a stream's loss file reports a loss.
int reportRun(const Options& options, const std::string& reportFile, const RunReport& report,
              const RunResult& run, const ChannelCounts& counts, int code) {
  const std::vector<std::string> problems = problemLines(report.devices);
  // Said also when quiet: a stream that does not decode cleanly may not be a device stream.
  for (const std::string& line : streamFaultLines(report.devices)) fail(code, "warning: " + line);
  if (code == 0 && !options.quiet) {
    printSummary(stderr, {run.records, run.bytesRead, run.seconds, run.counted ? &counts : nullptr});
    printDevices(stderr, report.devices, true);
  } else if (code == 0) {
    for (const std::string& line : problems) fail(code, line);
  }
  // Without a complete merge a report goes only where one was named: no output is beside it.
  const std::string path = code == 0 || !options.reportPath.empty() ? reportFile : "";
  std::string error;
  if (!path.empty() && !writeReport(report, path, &error, !options.noClobber)) {
    fail(kExitWriteError, error);
    if (code == 0) code = kExitWriteError;
  }
  return code == 0 && !problems.empty() ? kExitDataLost : code;
}

bool showProgress(const Options& options) {
  if (options.progress == ProgressMode::Auto) return isatty(STDERR_FILENO) != 0;
  return options.progress == ProgressMode::On;
}

// For --recover: takes the run's manifest into *options and removes what the program that
// wrote the run left unfinished, whether or not the run can be merged now. False with a
// message when it cannot be.
bool beginRecovery(Options* options, Recovery* recovery, std::string* error) {
  const bool prepared = prepareRecovery(options, recovery, error);
  if (recovery->file.held()) {
    std::vector<std::string> failed;
    for (const std::string& line : removePartials(*recovery, &failed))
      if (!options->quiet) fail(0, line);
    for (const std::string& line : failed) fail(0, "warning: " + line);
  }
  return prepared;
}

// The files of one merge: its streams, its outputs and where its run report goes.
struct MergeFiles {
  std::vector<InputStream> inputs;
  OutputFile text, binary;
  Hdf5File hdf5;
  std::unique_ptr<PartWriter> parts;  // with the outputs split; null: whole
  std::string reportFile;
};

// Opens the streams and creates the outputs once every check of the files has passed;
// `recovery` is the run recovered (null: none). 0, or the exit code after its message.
int openFiles(const Options& options, const Recovery* recovery, MergeFiles* f,
              std::string* error) {
  // A recovery locks its streams itself (lockRecoveredStreams) and says so in its words.
  if (!openInputs(options.streams, &f->inputs, error, options.force || recovery != nullptr))
    return fail(kExitBadInput, *error);
  // A run taken up: each stream from its point (the inputs and the points in merge order), which
  // must lie inside it.
  for (size_t i = 0; options.takenUp && i < f->inputs.size(); ++i) {
    const InputStream& input = f->inputs[i];
    const int64_t at = options.mergeFrom.sources[i].offset;
    if (at > input.size) {
      *error = input.arg.path + ": the run manifest has its merge go on at byte " +
               std::to_string(at) + ", beyond the stream's end";
      closeInputs(&f->inputs);
      return fail(kExitBadInput, *error);
    }
    f->inputs[i].from = &options.mergeFrom.sources[i];
  }
  const ReadFiles read = mergeReadFiles(options, recovery != nullptr ? recovery->dir : "");
  if (!runReportPath(options.reportPath, options.textPath, options.binPath,
                     outputNames(options, ""), f->inputs, read, &f->reportFile, error)) {
    closeInputs(&f->inputs);
    return fail(kExitBadInput, *error);
  }
  int32_t largest = 0;
  for (const InputStream& input : f->inputs) largest = std::max(largest, input.arg.chainPos);
  const std::string virtualClash = options.virtuals.empty() ? "" : virtualChainError(largest);
  if (!virtualClash.empty()) *error = virtualClash;
  if (!virtualClash.empty() || !checkDistinctStreams(f->inputs, options.sharedPositions, error) ||
      !checkOutputChannels(f->inputs, error) ||
      (recovery != nullptr && !lockRecoveredStreams(f->inputs, error)) ||
      !createOutputs(options, f->inputs, read, f->reportFile, &f->text, &f->binary, &f->hdf5,
                     &f->parts, error)) {
    closeInputs(&f->inputs);
    const int stop = f->text.stopSignal() | f->binary.stopSignal();
    return fail(stop != 0 ? 128 + stop : kExitBadInput,
                *error + (stop ? "; no output written" : ""));
  }
  return 0;
}

// Merges the opened files, publishes or removes the outputs, and reports; `recovery` is the run
// recovered (null: none). The exit code.
int mergeFiles(const Options& options, Recovery* recovery, MergeFiles* f,
               const sigset_t& signals, std::string* error) {
  if (recovery != nullptr &&
      !notePartials(recovery, {&f->text, &f->binary, f->hdf5.file()}, error))
    fail(0, "warning: " + *error);

  ChannelCounts counts;
  RunSettings settings;
  if (showProgress(options)) settings.watch.progress = progressBar();
  settings.watch.counts = options.quiet ? nullptr : &counts;
  settings.lossRecords = options.lossRecords;
  settings.hdf5 = f->hdf5.output();
  std::unique_ptr<VirtualChannels> virtuals;
  if (!options.virtuals.empty()) {
    virtuals.reset(new VirtualChannels(options.virtuals));
    settings.stages.push_back(virtuals.get());
  }
  std::unique_ptr<KeepFilter> keep;
  std::vector<KeepClause> clauses;
  if (!options.keep.empty() && parseKeep(options.keep, &clauses, error)) {
    keep.reset(new KeepFilter(clauses));
    settings.stages.push_back(keep.get());
  }
  const std::string mergeStart = utcNow();
  if (f->parts) {
    settings.parts = f->parts.get();
    RunReport start = makeReport(options, f->inputs, RunResult());
    start.mergeStartUtc = mergeStart;
    start.completed = true;  // each part's share: a part is published only when complete
    if (recovery != nullptr) describeRecovery(*recovery, &start);
    f->parts->describe([](FILE* file, bool) { writeFileHeader(file, 0); },
                       partInfo(hdf5Info(options, f->inputs, RunResult(), start, recovery),
                                toJson(start)));
  }
  RunResult run = runMerge(f->inputs, &f->text, &f->binary, settings, signals);
  RunReport report = makeReport(options, f->inputs, run);
  if (virtuals) report.stages.push_back({"virtual", virtualReport(options.virtuals)});
  if (keep) report.stages.push_back({"keep", keepReport(*keep)});
  report.mergeStartUtc = mergeStart;
  if (recovery != nullptr) describeRecovery(*recovery, &report);
  if (f->hdf5.output() != nullptr) stampHdf5Time(time(nullptr), &report);
  const Hdf5RunInfo info = hdf5Info(options, f->inputs, run, report, recovery);
  // Judged on the whole streams, from what the merge has counted anyway.
  std::string refusal;
  if (!options.force) checkStreamContents(f->inputs, run.outcome.sourceStats, &refusal);
  closeInputs(&f->inputs);
  if (run.stopSignal == 0) run.stopSignal = pendingStopSignal(signals);
  const int code = publishRun(run, refusal, &f->text, &f->binary, &f->hdf5, f->parts.get(), info,
                              signals, error);
  if (f->parts) report.parts = partsJson(f->parts->published());
  if (options.takenUp) addTakenUp(options, &report);
  if (code != 0) fail(code, *error);
  const std::string unsorted = hdf5OrderWarning(f->hdf5.written());
  if (code == 0 && !unsorted.empty()) fprintf(stderr, "ravik-merge: %s\n", unsorted.c_str());
  report.mergeStopUtc = utcNow();
  report.completed = code == 0;
  if (code != 0) report.error = *error;
  const int result = reportRun(options, f->reportFile, report, run, counts, code);
  if (recovery != nullptr && code == 0 && !options.quiet)
    fail(0, "recovered the run in " + recovery->dir + "; its temp files stay there");
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  sigset_t signals;
  if (!beginProgram(&signals)) return kExitWriteError;

  Options options;
  std::string error;
  if (!parseOptions(argc, argv, &options, &error)) return fail(kExitBadInput, error);
  if (!options.helpText.empty() || !options.versionText.empty())
    return printOut(options.helpText + options.versionText) ? 0 : kExitWriteError;

  Recovery recovery;
  Recovery* const recovering = options.recoverDir.empty() ? nullptr : &recovery;
  if (recovering != nullptr && !beginRecovery(&options, &recovery, &error))
    return fail(kExitBadInput, error);
  MergeFiles files;
  const int opened = openFiles(options, recovering, &files, &error);
  if (opened != 0) return opened;
  return mergeFiles(options, recovering, &files, signals, &error);
}
