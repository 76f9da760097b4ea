#include "cli/options.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "chain/virtualjson.h"
#include "cli/commandline.h"
#include "cli/outputoptions.h"
#include "merge/inputs.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A whole number in [0, max] written in C notation (decimal, 0x hexadecimal, 0 octal).
bool parseNumber(const std::string& text, int base, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

// The fields after the path: "" , ":CHAIN" or ":CHAIN:MARKERS".
bool parseFields(const std::string& fields, const std::string& path, StreamArg* stream,
                 std::string* error) {
  if (fields.empty()) return true;
  const size_t colon = fields.find(':', 1);
  const std::string chain = fields.substr(1, colon == std::string::npos ? std::string::npos
                                                                         : colon - 1);
  uint64_t value = 0;
  if (!parseNumber(chain, 10, kMaxChainPos, &value)) {
    *error = path + ": bad chain position '" + chain + "' (a whole number 0.." +
             std::to_string(kMaxChainPos) + ")";
    return false;
  }
  stream->chainPos = int32_t(value);
  if (colon == std::string::npos) return true;
  const std::string markers = fields.substr(colon + 1);
  if (!parseNumber(markers, 0, kAllMarkers, &value)) {
    *error = path + ": bad marker mask '" + markers + "' (0 to 0x1FF)";
    return false;
  }
  stream->markers = uint32_t(value);
  return true;
}

// The options of ravik-merge, bound to *options; the stream arguments go to *streams as given.
void describe(CommandLine* line, Options* options, std::vector<std::string>* streams) {
  CLI::App& app = line->app();
  app.add_option("streams", *streams,
                 "STREAM: a raw stream file (32-bit little-endian words of the\n"
                 "60-bit format). CHAIN: its chain position, 0 for the master\n"
                 "(default: its place among the streams, 0 first); its channels c\n"
                 "are written as 5 * CHAIN + c. MARKERS: its enabled-marker mask,\n"
                 "0 to 0x1FF (default 0x1FF)")
      ->type_name("STREAM[:CHAIN[:MARKERS]]");
  line->addOutputs(options);
  line->addSplit(options);
  app.add_flag_callback(
      "--progress", [options] { options->progress = ProgressMode::On; },
      "show the progress bar even when standard error is no terminal");
  app.add_flag("-q, --quiet", options->quiet,
               "neither progress bar nor summary; errors and streams that lost data\n"
               "are still reported");
  line->addReport(options);
  line->addNoClobber(options);
  app.add_flag("--force", options->force,
               "merge streams that a running recording still holds locked (what\n"
               "they hold so far), and streams refused as no device's: mostly\n"
               "undecodable, or with times outside the span they recorded");
  app.add_flag("--loss-records", options->lossRecords,
               "mark each loss interval of the stream at chain position p with a\n"
               "record at its start (channel -(2p+1)) and one at its end (-(2p+2))");
  line->addKeep(options);
  line->addPath("--virtual", &options->virtualPath,
                "write virtual channels beside the merged records, ahead of --keep: a\n"
                "JSON list such as [{\"type\": \"delayed\", \"channel\": 6, \"delay_ps\":\n"
                "-1500}] (types delayed, combined, coincidence, gated), channels 30000 and\n"
                "up; with --recover: instead of the run's own");
  app.add_flag(kSharedPositionsOption, options->sharedPositions,
               "allow streams with one chain position: their channels mix, and they\n"
               "are merged in command-line order, as a recording of such a chain is");
  line->addPath("--recover", &options->recoverDir,
                "merge the run whose manifest (ravik-run.json) lies in DIR: its temp\n"
                "files with their chain positions and marker masks, into the run's\n"
                "outputs, or those given here; give no STREAM with it",
                "DIR");
}

const char kDescription[] =
    "Merges raw device stream files (the temp files ravik-<index>.tmp of a recording) into one\n"
    "time-ordered text, binary and/or HDF5 file, exactly as the window's merge does.";

const char kFooter[] =
    "At least one output is needed. Streams are merged in chain order. Outputs appear under\n"
    "their names only when the merge has completed.\n"
    "\n"
    "Example, a master recorded as index 1 and a slave as index 0:\n"
    "  ravik-merge --text out.txt --bin out.bin /tmp/ravik-1.tmp:0 /tmp/ravik-0.tmp:1\n"
    "A recording that was not merged (killed, stopped, or kept), from its temp folder:\n"
    "  ravik-merge --recover /tmp/ravik-Ab12Cd\n"
    "\n"
    "Exit codes: 0 done; 1 write or read error; 2 bad command line or input (also a stream\n"
    "that the merge finds to be no device stream, its outputs then removed); 5 done, but a\n"
    "stream's loss file reports data lost while it was recorded; 128 + signal number when\n"
    "interrupted (130 for Ctrl-C).";

}  // namespace

bool parseStream(const std::string& text, int32_t defaultChain, StreamArg* stream,
                 std::string* error) {
  // Candidate ends of the path: the whole text, before the last colon, before the one before it.
  size_t ends[3] = {text.size(), std::string::npos, std::string::npos};
  ends[1] = text.rfind(':');
  if (ends[1] != std::string::npos && ends[1] > 0) ends[2] = text.rfind(':', ends[1] - 1);
  size_t end = text.size();
  for (size_t e : ends) {
    if (e == std::string::npos || e == 0) break;
    end = e;
    if (exists(text.substr(0, e))) break;
  }
  stream->path = text.substr(0, end);
  stream->chainPos = defaultChain;
  stream->markers = kAllMarkers;
  return parseFields(text.substr(end), stream->path, stream, error);
}

bool parseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  CommandLine line("ravik-merge", RAVIK_VERSION, kDescription, kFooter);
  std::vector<std::string> streams;
  describe(&line, options, &streams);
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
  if (options->quiet && options->progress == ProgressMode::On) {
    *error = "--progress and --quiet exclude each other";
    return false;
  }
  if (options->quiet) options->progress = ProgressMode::Off;
  if (!options->virtualPath.empty() &&
      !loadVirtualFile(options->virtualPath, &options->virtuals, error))
    return false;
  // The manifest gives the streams, and the outputs when none is given (checked there).
  if (!options->recoverDir.empty()) {
    if (streams.empty()) return true;
    *error = "--recover takes the streams from the run's manifest: give no STREAM with it";
    return false;
  }
  if (streams.empty()) {
    *error = "no stream file given (see --help)";
    return false;
  }
  if (options->compress != Hdf5Compression::None && options->hdf5Path.empty()) {
    *error = "--compress applies to the HDF5 output: give --hdf5 FILE too";
    return false;
  }
  if (!hdf5CanCompress(options->compress, error)) return false;
  if (!loadHdf5Meta(options->metaPath, options->hdf5Path, &options->meta, error)) return false;
  if (!checkKeep(options->keep, error)) return false;
  if (options->textPath.empty() && options->binPath.empty() && options->hdf5Path.empty()) {
    *error = "no output given: use --text FILE, --bin FILE and/or --hdf5 FILE";
    return false;
  }
  for (size_t i = 0; i < streams.size(); ++i) {
    options->streams.emplace_back();
    if (!parseStream(streams[i], int32_t(i), &options->streams.back(), error)) return false;
  }
  return true;
}
