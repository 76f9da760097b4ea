// One recording's files and facts, whichever face records it: the outputs checked together and
// created under temporary names, the run's folder and manifest, the merge beside the recording
// (after it, with loss records, which need the losses first) into the outputs and any further
// sink, the losses located, the one run report, the HDF5 output's provenance and labels, the
// outputs published or the run kept, the temp files deleted, and the command that finishes a
// kept run. No Qt.
//
// Order of use: prepare() before the devices start; began() as they start; writeManifest() and
// startMerge() once they have; stopped() once the callback is removed and the raw files are
// closed; then finish() and the report. The devices are the face's, as plain facts (see
// SessionDevice). A face whose outputs change during the run and that merges them itself (the
// window) uses began(), stopped(), nameOutputs(), manifest(), report() and hdf5Info() alone.
// Called from one thread (the face's); the merge runs on threads of its own.
#ifndef RAVIK_CHAIN_SESSION_H
#define RAVIK_CHAIN_SESSION_H

#include <signal.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chain/freespace.h"
#include "chain/recordtime.h"
#include "chain/mergerun.h"
#include "chain/partwriter.h"
#include "chain/takeup.h"
#include "chain/sessiondevice.h"
#include "merge/hdf5file.h"
#include "merge/inputs.h"
#include "merge/outputcheck.h"
#include "merge/outputfile.h"
#include "monitor/keepfilter.h"
#include "monitor/virtualchannels.h"
#include "report/runmanifest.h"
#include "report/runreport.h"
#include "thread/priority.h"

// The merge's outputs and how they are written, as a recording and a recovery of it name them.
// An empty path: not written.
struct RunOutputs {
  std::string text, binary, hdf5;
  Hdf5Compression compress = Hdf5Compression::None;  // the HDF5 output's columns
  std::string report;        // named by the user; empty: beside the outputs
  bool lossRecords = false;  // the outputs hold loss records (the merge runs after the recording)
  std::string metaPath;      // the HDF5 metadata file
  // The filter of what the outputs hold (see monitor/keepfilter.h), in its text form; empty:
  // every record.
  std::string keep;
  SplitRule split{};  // the outputs in parts (see PartWriter); off: whole
};

// What a recording writes and how, as the face was asked.
struct SessionFiles : RunOutputs {
  std::string program;     // the report's and the manifest's "program"
  std::string recordedBy;  // for the HDF5 output's description: "ravik-record", ...
  std::string histogram;
  std::string reportOption = "--report FILE";  // how the face names the report, for messages
  bool noClobber = false;
  bool keepRaw = false;      // the raw files stay after a complete merge
  std::vector<Hdf5MetaField> meta;
  nlohmann::json virtualChannels;  // for the manifest: the run's virtual channels; null: none
  // Their records go to the outputs too (ahead of the filter, which passes them), and the run
  // report and the HDF5 output label them.
  bool virtualOutputs = false;
  ReadFiles read;            // the files the run reads, which no output may replace
  std::string tmpDir;        // where the run's folder goes
};

// What the end of the merge came to.
struct SessionEnd {
  bool published = false;  // every output complete and in place
  std::string error;       // why not; empty when published
  int32_t stopSignal = 0;  // the stop signal that cut the merge short; 0 when none did
  std::string warning;     // of a published run whose HDF5 output is not all in time order
};

// The command that finishes the merge of a run whose raw files are kept: from its manifest when
// one is held (`manifestDir` not empty), or else from every raw file, chain position and marker
// mask, into the outputs given. Words are quoted for the shell where they need it.
struct KeptRun : RunOutputs {
  std::string manifestDir;
  bool outputsNamed = true;  // false: the recovery must be given an output (" --bin FILE")
  std::vector<StreamArg> streams;
};
std::string recoveryCommand(const KeptRun& run);
// `word` as one word of a shell command.
std::string shellWord(const std::string& word);

// Where the run report goes (*path): `named` (--report), or beside the outputs
// (defaultReportPath()), never onto one of `outputs`, `inputs` (or their loss files) or `read`.
// False with a message that ends in how to name the report (`option`, as the program takes it;
// empty: a face that cannot name it), when no name beside the outputs will do.
bool runReportPath(const std::string& named, const std::string& textPath,
                   const std::string& binPath, const std::vector<OutputName>& outputs,
                   const std::vector<InputStream>& inputs, const ReadFiles& read,
                   std::string* path, std::string* error,
                   const std::string& option = "--report FILE");

class Session {
public:
  explicit Session(const SessionFiles& files);
  // Stops a merge still running; outputs not published are removed.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Before anything is recorded: the filter (keep) read, where the run report goes, every
  // file checked against the others and the files the run reads, the outputs created under temporary names, the run's
  // own folder made in the temp folder. False with a one-line message; stopSignal() then tells
  // when a stop signal ended the wait for a reader of an output pipe.
  bool prepare(std::string* error);
  int32_t stopSignal() const;

  const SessionFiles& files() const { return _files; }
  const std::string& runDir() const { return _runDir; }
  const std::string& reportFile() const { return _reportFile; }
  OutputFile* histogram() { return &_histogram; }
  Hdf5Output* hdf5Output() { return _hdf5.output(); }
  bool anyOutput() const;

  // The recording began at `start` (before the devices started: their data may follow at once).
  void began(const RecordInstant& start);
  // Once the devices have started: the run's manifest beside its raw files, held so that a run
  // that ends without its merge can be finished with ravik-merge --recover. Empty, or the
  // warning to give when it could not be written (the recording goes on: its data matter more).
  std::string writeManifest(const std::vector<SessionDevice>& devices);
  // The manifest of a run of `devices` whose outputs not yet published have the temporary names
  // `partials`.
  RunManifest manifest(const std::vector<SessionDevice>& devices,
                       const std::vector<std::string>& partials) const;
  // For a face whose outputs change during the run: the outputs (empty: none) and the HDF5
  // output's metadata that the manifest, the report and the HDF5 provenance name from now on.
  void nameOutputs(const std::string& text, const std::string& binary, const std::string& hdf5,
                   const std::vector<Hdf5MetaField>& meta);
  // The merge beside the recording, reading the raw files as they grow, into the outputs and on
  // to `sink` (null: the HDF5 output alone; a sink passes its records on to hdf5Output() itself).
  // With loss records it waits for the recording's end (see finish()). False with a message when
  // a raw file cannot be opened; finish() then says so again.
  bool startMerge(const std::vector<SessionDevice>& devices, RecordSink* sink,
                  const MergeWatch& watch, std::string* error);
  // For a face that merges itself (the window): a new filter of the run's keep text for one
  // merge, which report() then tells of; null without a filter or with a bad one.
  KeepFilter* newKeepFilter();
  // For a face that merges itself: the outputs of `plan` begun as parts, which report() then
  // lists (replacing any parts begun before: those published stay on disk); null with a
  // one-line message. Owned by the session.
  PartWriter* beginParts(const PartPlan& plan, std::string* error);
  // What each HDF5 part of `devices`' run tells beside its records (see PartInfo); made before
  // the merge starts.
  PartInfo partInfo(const std::vector<SessionDevice>& devices) const;
  // The merge while it runs beside the recording; null when it does not.
  MergeRun* merge() { return _run.get(); }
  // From now on watches the free space of the run's folder and of every output's folder, with
  // the growth of the raw files and of the outputs; `margin` as FreeSpaceWatch takes it. Call
  // once the devices have started (their raw files are named).
  void watchSpace(const std::vector<SessionDevice>& devices, int64_t margin);
  // One sample when a second has passed since the last (every one with `force`); true once a
  // file system has fallen below the margin: the face then stops the recording as its Stop
  // does. False without a watch.
  bool sampleSpace(bool force = false);
  // The watch; null before watchSpace().
  const FreeSpaceWatch* space() const { return _space.get(); }
  // The callback is removed and the raw files are closed at `stop`.
  void stopped(const RecordInstant& stop);

  // Completes the merge (waiting on `stopSignals`, which may be empty) and, when it is whole,
  // completes the HDF5 output and publishes every output. A merge that is not whole leaves no
  // output; its raw files and manifest are kept for a recovery. *run gets the merge's result.
  SessionEnd finish(const std::vector<SessionDevice>& devices, const sigset_t& stopSignals,
                    RunResult* run);
  // After a published run: the raw files and the manifest go, unless they are kept on request.
  // Returns a warning naming each file that could not be deleted (the outputs are complete; it
  // only takes space), empty when all went.
  std::string removeRawFiles(const std::vector<SessionDevice>& devices);
  // The command that finishes the merge of this run's kept raw files.
  std::string recoveryCommand(const std::vector<SessionDevice>& devices) const;
  // "the raw files are kept; finish the merge with\n  <command>".
  std::string keptText(const std::vector<SessionDevice>& devices) const;

  // The run report of the recording: the devices with their records and losses, the output
  // channels two of them filled, the outputs, the times. `error` empty: completed.
  RunReport report(const std::vector<SessionDevice>& devices, const RunResult& run,
                   const std::string& error) const;
  // The report of a recording whose devices failed to start: nothing recorded.
  RunReport abandonedReport(const std::vector<SessionDevice>& devices,
                            const std::string& error) const;
  // Writes `report` where it goes: beside the outputs, or where it was named, and after a merge
  // that did not complete only where it was named (`beside`: there too, for a run that recorded
  // nothing). False with a message.
  bool writeRunReport(const RunReport& report, std::string* error, bool beside = false) const;

  // What the HDF5 output tells beside its records: the raw files, the recording time, the
  // losses, the labels of its detectors and the run report as it stands when the outputs are
  // complete.
  Hdf5RunInfo hdf5Info(const std::vector<SessionDevice>& devices, const RunResult& run) const;

private:
  bool createParts(std::string* error);
  std::vector<std::string> withHistogram(const std::vector<std::string>& partials) const;
  bool releasesRaw() const;
  bool releaseBehind(const std::vector<SessionDevice>& devices, const PartResume& after);
  // Writes the run's manifest, with the parts published and where they go on; under
  // _manifestLock. False with a message.
  bool writeHeld(const std::vector<SessionDevice>& devices,
                 const std::vector<std::string>& partials, std::string* error);
  bool createOutputs(std::string* error);
  std::vector<OutputName> outputNames(const std::string& report) const;
  void discardOutputs();

  SessionFiles _files;
  std::string _reportFile, _runDir;
  OutputFile _text, _binary, _histogram;
  Hdf5File _hdf5;
  ManifestFile _manifest;
  RunReport _times;             // the program and the times that every report of the run gives
  std::string _recordingStart;  // local time, for the HDF5 output's provenance
  double _seconds = 0;          // the recording's length
  RecordInstant _start;
  bool _opened = false;
  std::string _openError;
  std::vector<InputStream> _inputs;
  RunSettings _settings;
  RecordingYield _recording;
  std::unique_ptr<KeepFilter> _keep;  // with a filter; null: none
  std::unique_ptr<VirtualChannels> _virtuals;  // with virtual channels in the outputs; null: none
  std::unique_ptr<MergeRun> _run;
  std::unique_ptr<FreeSpaceWatch> _space;
  std::unique_ptr<PartWriter> _parts;  // with the outputs split; null: whole
  // Guards _manifest, which the merge's thread rewrites as each part begins, and what it tells of
  // the parts published: the parts and the point after them, null until raw data are let go.
  mutable std::mutex _manifestLock;
  nlohmann::json _publishedParts, _resumePoint;
  // With raw data let go behind the published parts (see releasesRaw()): the points the merge
  // notes, the release and each stream's point that its data before were let go, which locating
  // the losses at the end starts from.
  std::unique_ptr<ResumeLog> _resumeLog;
  std::unique_ptr<RawRelease> _release;
  std::vector<SourcePoint> _kept;
};

#endif
