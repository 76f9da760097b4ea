// The files a run will write, checked together before anything is recorded or merged: no two
// names lead to one file (through links, also to a target not there yet), none is an input
// stream, a file the run reads, a file of a kept recording (see keptRunFile()) or a directory,
// and with --no-clobber none of them exists; and the run report's folder takes new files.
//
// A program lists every file it writes, the run report included, with outputNames(); an option
// that adds an output adds one entry there.
#ifndef RAVIK_MERGE_OUTPUTCHECK_H
#define RAVIK_MERGE_OUTPUTCHECK_H

#include <string>
#include <vector>

#include "merge/inputs.h"

struct OutputName {
  std::string what;  // for messages: "text output", "histogram", "run report", ...
  std::string path;  // empty: not written
  // A file of the recording being started (a temp file, its manifest), listed so that no output
  // takes its name: not checked against the files of a kept recording, which it will replace
  // only once that recording has been moved aside.
  bool ofRecording = false;
};

// The outputs that both programs write, from the fields of the same names of `options`, and
// the run report at `report`.
template <class Options>
std::vector<OutputName> outputNames(const Options& options, const std::string& report) {
  return {{"text output", options.textPath},
          {"binary output", options.binPath},
          {"HDF5 output", options.hdf5Path},
          {"run report", report}};
}

// The files other than streams that a run reads, such as the --meta and --params files, which
// no output may replace: `what` names the file for messages ("metadata file").
using ReadFiles = std::vector<OutputName>;
template <class Options>
ReadFiles metaFile(const Options& options) {
  return {{"metadata file", options.metaPath}};
}

// Whether `path` is a file of a recording kept in its folder, that folder in *runDir. The run
// manifest knows which files those are: callers give its keptRunFile() (report/runmanifest.h).
using KeptRunTest = bool (*)(const std::string& path, std::string* runDir);

// False with one line naming the file (and the other file it collides with) when the outputs
// cannot all be written as given; among the collisions, an output that is one of the files in
// `read`, and one that `keptRun` finds to be a file of a kept recording.
bool checkOutputNames(const std::vector<OutputName>& outputs,
                      const std::vector<InputStream>& inputs, bool noClobber,
                      KeptRunTest keptRun, std::string* error, const ReadFiles& read = {});

// The run report is written under a temporary name in its folder at the end of the run: false
// with a message when that folder does not take new files now (so that a recording does not end
// without its report). Call once the outputs are created, whose own folders are checked so.
bool checkReportFolder(const std::string& report, std::string* error);

#endif
