// The run report: what one recording-and-merge (or one offline merge) recorded, lost and wrote,
// as a JSON document beside the outputs. No Qt.
//
// The programs fill a RunReport from the facts they hold (the loss intervals and record counts
// come from the merge) and write it with writeReport(). Fields that a program cannot know stay
// at their "unknown" value and are written as null.
#ifndef RAVIK_REPORT_RUNREPORT_H
#define RAVIK_REPORT_RUNREPORT_H

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "merge/checkedmerge.h"
#include "merge/mergecore.h"
#include "merge/streamloss.h"

struct ReportDevice {
  std::string serial;               // empty: unknown
  int64_t index = -1;               // library index; -1: unknown
  int32_t chain = -1;               // chain position
  std::string role;                 // "Master", "Slave 2", or empty
  std::string stream;               // its raw stream file
  int64_t records = 0;              // its timestamps written to the outputs
  std::vector<LossInterval> lost;   // its loss intervals, in time order
  int32_t clockOk = -1;             // 1 good at every refresh, 0 bad at one, -1 unknown
  int64_t decodeErrors = -1;        // packets of its stream that could not be decoded; -1 unknown
  int64_t backwardSteps = -1;       // its timestamps earlier than the one before; -1 unknown
  nlohmann::json parameters;        // its device parameters by name; null: not known
};

struct ReportOutput {
  std::string kind;  // "text", "binary", "hdf5"
  std::string path;
};

// An output channel that two devices filled (see channelOverlaps()): their chain positions and
// their own channels (inputs 0..5, markers 100..203).
struct ReportOverlap {
  int32_t output;
  int32_t chainA, channelA;
  int32_t chainB, channelB;
};

struct RunReport {
  std::string program;              // "ravik", "ravik-record", "ravik-merge"
  std::string startUtc, stopUtc;    // of the recording; empty: not recorded by this run
  std::string mergeStartUtc, mergeStopUtc;
  std::vector<ReportDevice> devices;  // in merge (chain) order
  int64_t records = 0;              // written to each output, loss records included
  int64_t firstPs = INT64_MAX;      // time of the first and last record; INT64_MAX and
  int64_t lastPs = INT64_MIN;       // INT64_MIN when there was none
  bool lossRecords = false;         // the outputs hold loss records
  std::vector<ReportOutput> outputs;
  std::vector<ReportOverlap> overlaps;  // output channels that hold two devices' timestamps
  bool completed = false;           // every output was written in full
  bool recovered = false;           // merged by ravik-merge --recover: "completed" reads "recovered"
  std::string error;                // why not; empty when completed
  // The HDF5 output's creation time as it holds it (local time, no zone) and the local time's
  // offset from UTC then, "+01:00"; empty: no HDF5 output.
  std::string hdf5CreationTime, utcOffset;
  // What each step between the merge and the outputs did (a filter's counts), by the step's key
  // ("keep"), in the order of the steps.
  std::vector<std::pair<std::string, nlohmann::json>> stages;
  // Of a recording that watched its free space: per file system the free space at the start,
  // at the stop and the least seen ("free_space"), and why the recording stopped by itself
  // ("stop_reason", null when it stopped as asked). Null: not watched, neither is given.
  nlohmann::json freeSpace, stopReason;
  // Of outputs split into parts: each published part with its records, time span and files
  // ("parts"); null: not split.
  nlohmann::json parts;
};

// The time now in UTC, ISO 8601 with milliseconds: "2026-12-06T07:05:09.123Z".
std::string utcNow();
// A time of the wall clock (CLOCK_REALTIME) so.
std::string utcText(const timespec& time);

// Notes in the run report the HDF5 output's creation time `created` and the UTC offset then.
void stampHdf5Time(time_t created, RunReport* report);

// Fills each device's `lost` with its intervals from `losses` (matched by chain position).
void assignLosses(const std::vector<LossInterval>& losses, std::vector<ReportDevice>* devices);

nlohmann::json toJson(const RunReport& report);

// Takes each device's decode errors and backward steps from `stats` (one per device, in order).
void assignStreamFaults(const std::vector<MergeSourceStats>& stats,
                        std::vector<ReportDevice>* devices);

// A merge's facts in a run report whose devices are listed in merge order: each device's records,
// losses and stream faults, the records written (`records`, loss records included) and their
// time span, and the outputs written (an empty path: not written).
void reportMerge(const MergeOutcome& outcome, int64_t records, const std::string& text,
                 const std::string& binary, const std::string& hdf5, RunReport* report);

// The programs that write run reports: the "program" of every report, and of no other file.
extern const char* const kReportPrograms[4];

// True when `path` is a regular file that holds a run report as writeReport() writes it: a JSON
// object whose "program" is one of kReportPrograms, with the report's "completed", "records",
// "outputs" and "devices". Such a file is the only one that a report without a name replaces.
bool isRunReport(const std::string& path);

// Where the report goes when no file is named for it (*path), decided before the run: beside the
// binary output, or the text output when there is none, with the file's extension replaced by
// ".json" (added when it has none). That name is passed over for ".report.json" when it is one of
// the outputs or of `taken` (other files of the run), a file of a kept recording, or an existing
// file that is not a run report (isRunReport()): a report that nobody named replaces no other
// file. False with a message naming the files when neither name is free, or when the name is
// longer than its folder takes (the report could not be written at the end). *path is empty
// (and the result true) when that output is not a regular file (a device, a pipe, standard
// output): no report then.
bool defaultReportPath(const std::string& textPath, const std::string& binPath,
                       std::vector<std::string> taken, std::string* path, std::string* error);

// Writes the report, indented, under a temporary name renamed into place when complete (through a
// link: its target), or straight to standard output ("-"), a pipe or a device. Without `replace`
// an existing file keeps its content and the report is not written. False with a message naming
// the file when it cannot be written.
bool writeReport(const RunReport& report, const std::string& path, std::string* error,
                 bool replace = true);

#endif
