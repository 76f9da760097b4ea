// The command line of ravik-merge:
//
//   ravik-merge [--text FILE] [--bin FILE] [--hdf5 FILE [--compress[=fast]]] [--progress|--quiet]
//               STREAM[:CHAIN[:MARKERS]] ...
//   ravik-merge --recover DIR [outputs and options as above]
//
// Parsing only: no file is opened here, except that a stream argument holding colons is split
// where the part before them names an existing file (see parseStream). A new option is a field
// here and one line in describe() in options.cpp.
#ifndef RAVIK_CLI_OPTIONS_H
#define RAVIK_CLI_OPTIONS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "chain/partwriter.h"
#include "merge/resumepoint.h"
#include "merge/hdf5output.h"
#include "merge/inputs.h"
#include "monitor/virtualchannels.h"

enum class ProgressMode { Auto, On, Off };  // Auto: a bar when standard error is a terminal

struct Options {
  std::string textPath;  // empty: no text output
  std::string binPath;   // empty: no binary output
  std::string hdf5Path;  // empty: no HDF5 output
  Hdf5Compression compress = Hdf5Compression::None;  // the HDF5 output's columns
  SplitRule split;  // --split-size, --split-time: the outputs in parts; off: whole
  std::string metaPath;  // --meta: the user's metadata for the HDF5 output; empty: none
  std::vector<Hdf5MetaField> meta;  // read from it
  ProgressMode progress = ProgressMode::Auto;
  bool quiet = false;    // no bar, no summary; errors are still reported
  std::string reportPath;    // the run report; empty: beside the outputs (defaultReportPath)
  bool lossRecords = false;  // mark the loss intervals with records in the outputs
  std::string keep;          // --keep: the filter of what the outputs hold; empty: none (with
                             // --recover: the manifest's)
  std::string virtualPath;  // --virtual: virtual channels written to the outputs; empty: none
  // Their definitions, read from it, or with --recover of a run whose outputs held virtual
  // channels (and no --virtual), from the manifest.
  std::vector<VirtualChannel> virtuals;
  bool sharedPositions = false;  // streams may share a chain position (their channels mix)
  bool noClobber = false;   // refuse outputs and a report that exist already
  bool force = false;       // merge locked streams, and streams that look like no device's
  std::string recoverDir;   // --recover: the streams, and unless given the outputs, from the
                            // run manifest in this folder (see cli/recovery.h)
  // A recovered split run that let go of its raw data behind its published parts: those parts
  // (as the run report lists them), where the parts go on and where the merge is taken up.
  bool takenUp = false;
  nlohmann::json published;
  PartResume partsFrom;
  ResumePoint mergeFrom;
  std::string helpText;     // set by --help: print it and stop
  std::string versionText;  // set by --version: print it and stop
  std::vector<StreamArg> streams;  // in command-line order
};

constexpr uint32_t kAllMarkers = 0x1FF;
// The largest chain position whose channels (up to 5 * p + 203) fit the signed 16-bit output
// channel.
constexpr int32_t kMaxChainPos = (INT16_MAX - 203) / 5;

// Fills *options from argv[1..argc-1]. On a usage error returns false with a one-line message
// (without the program name) in *error. With --help or --version nothing else is checked.
bool parseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// Splits "PATH[:CHAIN[:MARKERS]]". A path may itself hold colons: the longest of the candidate
// paths (the whole text, or it without the last one or two fields) that names an existing file
// is taken; when none exists, the shortest. `defaultChain` applies when CHAIN is missing.
bool parseStream(const std::string& text, int32_t defaultChain, StreamArg* stream,
                 std::string* error);

#endif
