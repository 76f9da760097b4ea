// The command line of ravik-record:
//
//   ravik-record [-s] [-l] [--seconds N] [--text FILE] [--bin FILE] [--hdf5 FILE [--compress[=fast]]]
//                [--tmp DIR] [--min-free SIZE] [--keep-raw] [--quiet] [--virtual FILE] [--rates] [--correlate A,B [--range PS]
//                [--bin-width PS] [--histogram FILE]]
//
// Parsing only: nothing is opened or checked on disk here. A new option is a field here and one
// line in describe() in recordoptions.cpp.
#ifndef RAVIK_CLI_RECORDOPTIONS_H
#define RAVIK_CLI_RECORDOPTIONS_H

#include <string>
#include <vector>

#include "chain/freespace.h"
#include "chain/partwriter.h"
#include "merge/hdf5output.h"

#include "monitor/correlator.h"
#include "monitor/virtualchannels.h"

struct RecordOptions {
  bool allowSim = false;  // -s: discovery also reports simulated devices
  bool log = false;       // -l: write the log file ravik.log
  double seconds = 0;     // recording time; 0: until Ctrl-C or SIGTERM
  std::string textPath;   // empty: no text output
  std::string binPath;    // empty: no binary output
  std::string hdf5Path;   // empty: no HDF5 output
  Hdf5Compression compress = Hdf5Compression::None;  // the HDF5 output's columns
  SplitRule split;  // --split-size, --split-time: the outputs in parts; off: whole
  std::string metaPath;  // --meta: the user's metadata for the HDF5 output; empty: none
  std::vector<Hdf5MetaField> meta;  // read from it
  std::string tmpDir;     // folder of the raw files
  int64_t minFree = kDefaultMinFree;  // --min-free: stop below this free space; 0: never
  std::string paramsPath; // --params: device parameters to set before recording; empty: none
  std::string virtualPath;  // --virtual: the virtual channels' definitions; empty: none
  std::vector<VirtualChannel> virtuals;  // read from it by the program
  bool keepRaw = false;   // keep the raw files after a complete merge
  bool quiet = false;     // no live lines, no progress bar, no summary; errors still reported
  std::string reportPath;    // the run report; empty: beside the outputs (defaultReportPath)
  bool lossRecords = false;  // mark the loss intervals with records in the outputs
  std::string keep;          // --keep: the filter of what the outputs hold; empty: none
  bool noClobber = false;    // refuse outputs, histogram and report that exist already
  bool rates = false;     // the live lines show every output channel's rate
  bool correlate = false;            // a live correlation histogram of two output channels
  CorrelationSettings correlation;   // its channels, range and bin width
  std::string histogramPath;         // empty: the final histogram is not written
  std::string helpText;     // set by --help: print it and stop
  std::string versionText;  // set by --version: print it and stop
};

// Fills *options from argv[1..argc-1]; the temp folder defaults to $TMPDIR or /tmp. On a usage
// error returns false with a one-line message (without the program name) in *error. With --help
// or --version nothing else is checked.
bool parseRecordOptions(int argc, const char* const* argv, RecordOptions* options,
                        std::string* error);

#endif
