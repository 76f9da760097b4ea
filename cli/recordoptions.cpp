#include "cli/recordoptions.h"

#include <stdlib.h>

#include "cli/commandline.h"

namespace {

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
  line->addPath("--text", &options->textPath, "write \"time, channel\" lines to FILE");
  line->addPath("--bin", &options->binPath,
                "write the binary file (header, 10-byte records, trailer) to FILE");
  line->addPath("--tmp", &options->tmpDir,
                "folder in which the run makes its own folder of raw files\n"
                "(default: $TMPDIR or /tmp)",
                "DIR");
  app.add_flag("--keep-raw", options->keepRaw, "keep the raw files after the merge");
  app.add_flag("-q, --quiet", options->quiet,
               "no live lines, progress bar or summary; errors and devices that\n"
               "lost data are still reported");
  line->addPath("--report", &options->reportPath,
                "write the run report (JSON) to FILE (default: beside the binary\n"
                "output, or else the text output, with the extension .json)");
  app.add_flag("--loss-records", options->lossRecords,
               "mark each loss interval of the device at chain position p with a\n"
               "record at its start (channel -(2p+1)) and one at its end (-(2p+2))");
}

const char kDescription[] =
    "Finds and connects the devices, records all of them with their current parameters into one\n"
    "raw file each (DIR/ravik-XXXXXX/ravik-<index>.tmp), and when the recording ends merges them\n"
    "into one time-ordered text and/or binary file, as the window does.";

const char kFooter[] =
    "At least one output is needed. Outputs appear under their names only when the merge has\n"
    "completed; raw files that were not merged are never deleted, and the ravik-merge command\n"
    "that finishes the job is printed.\n"
    "\n"
    "Example, ten seconds of the simulated chain:\n"
    "  ravik-record -s --seconds 10 --text run.txt --bin run.bin\n"
    "\n"
    "Exit codes: 0 done; 1 an output could not be written; 2 bad command line, temp folder or\n"
    "output; 3 no device found; 4 a device failed to start (nothing recorded); 5 done, but a\n"
    "device lost data, a raw file could not be written or a clock was bad; 128 + signal\n"
    "number when a signal stopped the merge (raw files kept).";

}  // namespace

bool parseRecordOptions(int argc, const char* const* argv, RecordOptions* options,
                        std::string* error) {
  const char* tmp = getenv("TMPDIR");
  options->tmpDir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  CommandLine line("ravik-record", RAVIK_VERSION, kDescription, kFooter);
  describe(&line, options);
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
  if (options->textPath.empty() && options->binPath.empty()) {
    *error = "no output chosen: use --text FILE and/or --bin FILE";
    return false;
  }
  return true;
}
