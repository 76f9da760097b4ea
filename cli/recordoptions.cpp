#include "cli/recordoptions.h"

#include <stdlib.h>

#include "cli/commandline.h"
#include "cli/outputoptions.h"

namespace {

// A whole number in decimal filling the whole text.
bool parseWhole(const std::string& text, int64_t* value) {
  double real = 0;
  if (!parseReal(text, &real) || real != double(int64_t(real)) ||
      text.find_first_not_of("+-0123456789") != std::string::npos)
    return false;
  *value = int64_t(real);
  return true;
}

// "A,B": two output channels.
bool parsePair(const std::string& text, CorrelationSettings* s) {
  const size_t comma = text.find(',');
  int64_t a = -1, b = -1;
  if (comma == std::string::npos || !parseWhole(text.substr(0, comma), &a) ||
      !parseWhole(text.substr(comma + 1), &b) || a < 0 || b < 0 || a > INT16_MAX || b > INT16_MAX)
    return false;
  s->channelA = int32_t(a);
  s->channelB = int32_t(b);
  return true;
}

// The live monitor's options, bound to *options; *histogramOnly is set by those that need
// --correlate.
void describeMonitor(CommandLine* line, RecordOptions* options, bool* histogramOnly) {
  CorrelationSettings* s = &options->correlation;
  line->app().add_flag("--rates", options->rates,
                       "show every output channel's events/s of the last second live");
  line->addValue("--correlate", "A,B",
                 "show a live histogram of t(B) - t(A) for output channels A and B\n"
                 "(5 x chain position + channel), its peak and coincidence rate",
                 "two output channels, e.g. 1,6", [options, s](const std::string& text) {
                   options->correlate = true;
                   return parsePair(text, s);
                 });
  line->addValue("--range", "PS", "histogram delays from -PS to +PS (default 10000)",
                 "a whole number of ps, 1 or more", [s, histogramOnly](const std::string& text) {
                   *histogramOnly = true;
                   return parseWhole(text, &s->rangePs) && s->rangePs >= 1;
                 });
  line->addValue("--bin-width", "PS", "histogram bin width, 1 to 1000000 ps (default 10)",
                 "a whole number of ps from 1 to 1000000",
                 [s, histogramOnly](const std::string& text) {
                   *histogramOnly = true;
                   return parseWhole(text, &s->binWidthPs) && s->binWidthPs >= kMinBinWidthPs &&
                          s->binWidthPs <= kMaxBinWidthPs;
                 });
  line->addPath("--histogram", &options->histogramPath,
                "write the final histogram to FILE as CSV: delay_ps,count with the\n"
                "lower edge of each bin");
}

// The options of ravik-record, bound to *options.
void describe(CommandLine* line, RecordOptions* options) {
  CLI::App& app = line->app();
  app.add_flag("-s", options->allowSim, "also find simulated devices");
  app.add_flag("-l", options->log, "write the log file ravik.log in the working folder");
  line->addValue("--seconds", "N",
                 "stop after N seconds (fractions allowed); without it, Ctrl-C or\n"
                 "SIGTERM stops the recording, and the merge follows",
                 "a number of seconds above 0", [options](const std::string& text) {
                   return parseReal(text, &options->seconds) && options->seconds > 0;
                 });
  line->addOutputs(options);
  line->addSplit(options);
  line->addPath("--tmp", &options->tmpDir,
                "folder in which the run makes its own folder of raw files\n"
                "(default: $TMPDIR or /tmp)",
                "DIR");
  line->addValue("--min-free", "SIZE",
                 "stop the recording, and merge it, once the temp folder's or an\n"
                 "output's file system has less than SIZE free (k, M, G, T: powers\n"
                 "of 1024; default 2G; 0: never)",
                 "a size such as 500M or 2G", [options](const std::string& text) {
                   return parseSize(text, &options->minFree);
                 });
  line->addPath("--params", &options->paramsPath,
                "set the devices' parameters from FILE before recording: a run\n"
                "report (each device's \"parameters\", matched by serial, else by\n"
                "chain position) or one \"parameters\" object for every device");
  line->addPath("--virtual", &options->virtualPath,
                "virtual channels, written to the outputs beside the merged records\n"
                "and shown by the live monitor and --correlate: a JSON list\n"
                "such as [{\"type\": \"delayed\", \"channel\": 6, \"delay_ps\": -1500}]\n"
                "(types delayed, combined, coincidence, gated), channels 30000 and up");
  app.add_flag("--keep-raw", options->keepRaw, "keep the raw files after the merge");
  app.add_flag("-q, --quiet", options->quiet,
               "no live lines, progress bar or summary; errors and devices that\n"
               "lost data are still reported");
  line->addReport(options);
  line->addNoClobber(options);
  app.add_flag("--loss-records", options->lossRecords,
               "mark each loss interval of the device at chain position p with a\n"
               "record at its start (channel -(2p+1)) and one at its end (-(2p+2))");
  line->addKeep(options);
}

const char kDescription[] =
    "Finds and connects the devices, records all of them with their current parameters into one\n"
    "raw file each (DIR/ravik-XXXXXX/ravik-<index>.tmp), and when the recording ends merges them\n"
    "into one time-ordered text, binary and/or HDF5 file, as the window does.";

const char kFooter[] =
    "At least one output is needed. Outputs appear under their names only when the merge has\n"
    "completed; raw files that were not merged are never deleted, and the ravik-merge command\n"
    "that finishes the job is printed.\n"
    "\n"
    "Example, ten seconds of the simulated chain:\n"
    "  ravik-record -s --seconds 10 --text run.txt --bin run.bin\n"
    "Checking the delay between input 1 of the master and input 1 of slave 1:\n"
    "  ravik-record -s --seconds 3 --bin /dev/null --correlate 1,6 --histogram h.csv\n"
    "\n"
    "Exit codes: 0 done; 1 an output could not be written; 2 bad command line, temp folder,\n"
    "output or run report name, an input that is no regular file, a --params entry for no\n"
    "device found or a second one for a device (nothing recorded); 3 no device found; 4 a\n"
    "device failed to start (nothing recorded); 5 done, but a device lost data, a raw file\n"
    "could not be written or a clock was bad; 6 done, but the recording stopped early because\n"
    "a file system fell below --min-free; 128 + signal number when a signal stopped the\n"
    "merge (raw files kept).";

}  // namespace

bool parseRecordOptions(int argc, const char* const* argv, RecordOptions* options,
                        std::string* error) {
  const char* tmp = getenv("TMPDIR");
  options->tmpDir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  CommandLine line("ravik-record", RAVIK_VERSION, kDescription, kFooter);
  describe(&line, options);
  bool histogramOnly = false;
  describeMonitor(&line, options, &histogramOnly);
  switch (line.parse(argc, argv, error)) {
    case CommandLine::Outcome::Help:
      options->helpText = line.help();
      return true;
    case CommandLine::Outcome::Version:
      options->versionText = line.version();
      return true;
    case CommandLine::Outcome::Bad:
      return false;
    case CommandLine::Outcome::Run:
      break;
  }
  if (options->compress != Hdf5Compression::None && options->hdf5Path.empty()) {
    *error = "--compress applies to the HDF5 output: give --hdf5 FILE too";
    return false;
  }
  if (!hdf5CanCompress(options->compress, error)) return false;
  if (!loadHdf5Meta(options->metaPath, options->hdf5Path, &options->meta, error)) return false;
  if (!checkKeep(options->keep, error)) return false;
  if (options->textPath.empty() && options->binPath.empty() && options->hdf5Path.empty()) {
    *error = "no output chosen: use --text FILE, --bin FILE and/or --hdf5 FILE";
    return false;
  }
  if ((histogramOnly || !options->histogramPath.empty()) && !options->correlate) {
    *error = "--range, --bin-width and --histogram need --correlate A,B";
    return false;
  }
  const std::string bad = correlationError(options->correlation);
  if (options->correlate && !bad.empty()) {
    *error = "bad histogram: " + bad;
    return false;
  }
  return true;
}
