// The command line of a program, read with CLI11: "--name VALUE" and "--name=VALUE", "--" before
// arguments that start with a dash, --help generated from the options, --version, and one-line
// error messages that name the option or argument at fault.
//
// A program describes its options once, with CLI11's own calls on app() (flags, plain strings,
// positional arguments) or with the helpers below for values that need a check. The same
// description gives the parser and the help text (and through help2man, the man page).
//
//   CommandLine line("ravik-merge", version, "What it does.", "Example: ...");
//   line.addPath("--text", &options->textPath, "write \"time, channel\" lines to FILE");
//   line.app().add_flag("-q,--quiet", options->quiet, "no progress bar, no summary");
//
// Value checks run only after the whole line has been read, so that --help wins over a bad value,
// and in the order the options were added; the first failure is the message.
#ifndef RAVIK_CLI_COMMANDLINE_H
#define RAVIK_CLI_COMMANDLINE_H

#include <signal.h>

#include <CLI/CLI.hpp>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "chain/freespace.h"
#include "chain/partwriter.h"
#include "merge/hdf5output.h"

// A part's span in seconds as splitTimePs() takes it.
bool parseSplitTime(const std::string& text, int64_t* ps);

class CommandLine {
 public:
  enum class Outcome { Run, Help, Version, Bad };

  // `description` opens the help, `footer` (examples, exit codes) ends it.
  CommandLine(const std::string& program, const std::string& version,
              const std::string& description, const std::string& footer);
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  CLI::App& app() { return _app; }

  // "--name FILE": an empty or missing value is refused with "--name needs a file name" (a
  // folder name when `typeName` is DIR).
  CLI::Option* addPath(const std::string& names, std::string* path, const std::string& help,
                       const std::string& typeName = "FILE");

  // The outputs that both programs write: --text, --bin, --hdf5, --compress and --meta, into the
  // fields of the same names of `options`.
  template <class Options>
  void addOutputs(Options* options) {
    addPath("--text", &options->textPath, "write \"time, channel\" lines to FILE");
    addPath("--bin", &options->binPath,
            "write the binary file (header, 10-byte records, trailer) to FILE");
    addPath("--hdf5", &options->hdf5Path,
            "write the records as an HDF5 file (Photon-HDF5 layout) to FILE");
    addCompression(&options->compress);
    addPath("--meta", &options->metaPath,
            "describe the experiment in the HDF5 file from the JSON FILE (author,\n"
            "sample, wavelengths: the format's field names, by group)");
  }

  // --split-size SIZE and --split-time SECONDS into options->split (see PartWriter).
  template <class Options>
  void addSplit(Options* options) {
    SplitRule* split = &options->split;
    addValue("--split-size", "SIZE",
             "write each output in parts STEM-0001.EXT, STEM-0002.EXT, ...: a part\n"
             "ends once it holds SIZE (k, M, G, T: powers of 1024); each part is\n"
             "complete and in place while the run goes on",
             "a size above 0 such as 500M or 2G", [split](const std::string& text) {
               return parseSize(text, &split->size) && split->size > 0;
             });
    addValue("--split-time", "SECONDS",
             "write each output in parts of SECONDS of stream time each (counted\n"
             "from the first record), alone or with --split-size",
             "a number of seconds above 0", [split](const std::string& text) {
               return parseSplitTime(text, &split->timePs);
             });
  }

  // --report FILE into options->reportPath.
  template <class Options>
  void addReport(Options* options) {
    addPath("--report", &options->reportPath,
            "write the run report (JSON) to FILE (default: beside the binary\n"
            "output, or else the text output, with the extension .json, or\n"
            ".report.json when a file that is no run report has that name)");
  }

  // --keep FILTER into options->keep, read by checkKeep() after parsing.
  template <class Options>
  void addKeep(Options* options) {
    _app.add_option("--keep", options->keep,
                    "write records of some channels only near a trigger record: clauses\n"
                    "\"<channels> within <ps> of <channel>\" separated by \";\", e.g.\n"
                    "\"6,11 within 5000 of 1\" keeps records of channels 6 and 11 that lie\n"
                    "within 5000 ps of a record of channel 1 (either side, edges included);\n"
                    "every other channel, markers and loss records are all written")
        ->type_name("FILTER");
  }

  // --no-clobber into options->noClobber.
  template <class Options>
  void addNoClobber(Options* options) {
    _app.add_flag("--no-clobber", options->noClobber,
                  "refuse to start when an output or the run report exists already");
  }

  // "--compress" (deflate), "--compress=fast" or "--compress fast" (the next argument is taken
  // as the word only when it is "fast" or "deflate": a stream file of that name is "./fast").
  void addCompression(Hdf5Compression* compression);

  // "--name VALUE" handed to `take`, which stores it and returns false when it is not acceptable:
  // the message is then "bad --name 'VALUE' (`expected`)". A missing value gives
  // "--name needs a value".
  CLI::Option* addValue(const std::string& names, const std::string& typeName,
                        const std::string& help, const std::string& expected,
                        std::function<bool(const std::string&)> take);

  // Reads argv[1..argc-1]. Bad: *error holds one line without the program name. Help and Version:
  // nothing else was checked; print help() or version().
  Outcome parse(int argc, const char* const* argv, std::string* error);

  std::string help() const { return _app.help(); }
  std::string version() const { return _version + "\n"; }

 private:
  // The message for the first "--name=" with nothing after the "=", or "".
  std::string emptyAssignment(int argc, const char* const* argv) const;
  // argv[1..argc-1] with "--compress WORD" joined into "--compress=WORD".
  static std::vector<std::string> joinCompression(int argc, const char* const* argv);
  // The first argument no option took, or "" (the "--" that ends the options is not one).
  std::string firstExtra() const;

  CLI::App _app;
  std::string _version;
  std::list<std::string> _values;  // texts of the addValue options, checked after parsing
  std::map<std::string, std::string> _needs;  // option name -> what it lacks without a value
  std::vector<std::function<bool(std::string*)>> _checks;
};

// The first steps of a program's main(): a closed standard descriptor gets /dev/null (see
// openStandardDescriptors()), the stop signals are blocked into *stopSignals (see
// blockSignals()), and a closed pipe or the file-size limit shows as a write error with its
// message instead of a silent death that leaves a temporary file behind. False when /dev/null
// cannot be opened.
bool beginProgram(sigset_t* stopSignals);

// Writes the help or version text to standard output; false when that failed.
bool printOut(const std::string& text);

// A finite number in C notation filling the whole text ("5", "0.5", "2e-3").
bool parseReal(const std::string& text, double* value);

#endif
