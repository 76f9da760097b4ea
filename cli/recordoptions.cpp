#include "cli/recordoptions.h"

#include <math.h>
#include <stdlib.h>

namespace {

// A positive, finite number of seconds such as "5" or "0.5".
bool parseSeconds(const std::string& text, double* seconds) {
  char* end = nullptr;
  const double v = text.empty() ? 0 : strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v > 0) || !isfinite(v)) return false;
  *seconds = v;
  return true;
}

// The options that take a value, and where it goes.
struct ValueOption {
  const char* name;
  std::string RecordOptions::*target;
};
const ValueOption kValueOptions[] = {
    {"--text", &RecordOptions::textPath},
    {"--bin", &RecordOptions::binPath},
    {"--tmp", &RecordOptions::tmpDir},
    {"--seconds", nullptr},
};

// Splits "--name=value" or takes the next argument for "--name value"; false when `arg` is not
// this option. *missing turns true when the value is absent or empty.
bool takeValue(const char* name, int argc, const char* const* argv, int* i, std::string* value,
               bool* missing) {
  const std::string arg = argv[*i];
  const std::string n(name);
  if (arg.compare(0, n.size() + 1, n + "=") == 0) {
    *value = arg.substr(n.size() + 1);
  } else if (arg == n) {
    if (*i + 1 < argc) *value = argv[++*i];
  } else {
    return false;
  }
  *missing = value->empty();
  return true;
}

}  // namespace

bool parseRecordOptions(int argc, const char* const* argv, RecordOptions* options,
                        std::string* error) {
  const char* tmp = getenv("TMPDIR");
  options->tmpDir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      return true;
    }
    if (arg == "--version") {
      options->version = true;
      return true;
    }
    bool taken = false;
    for (const ValueOption& option : kValueOptions) {
      std::string value;
      bool missing = false;
      if (!takeValue(option.name, argc, argv, &i, &value, &missing)) continue;
      taken = true;
      if (missing) {
        *error = std::string(option.name) + " needs a value";
        return false;
      }
      if (option.target != nullptr) {
        options->*option.target = value;
      } else if (!parseSeconds(value, &options->seconds)) {
        *error = "bad --seconds '" + value + "' (a number of seconds above 0)";
        return false;
      }
      break;
    }
    if (taken) continue;
    if (arg == "-s") {
      options->allowSim = true;
    } else if (arg == "-l") {
      options->log = true;
    } else if (arg == "--keep-raw") {
      options->keepRaw = true;
    } else if (arg == "--quiet" || arg == "-q") {
      options->quiet = true;
    } else {
      *error = "unknown argument '" + arg + "' (see --help)";
      return false;
    }
  }
  if (options->textPath.empty() && options->binPath.empty()) {
    *error = "no output chosen: use --text FILE and/or --bin FILE";
    return false;
  }
  return true;
}

const char* recordUsageText() {
  return "Usage: ravik-record [-s] [-l] [--seconds N] [--text FILE] [--bin FILE] [--tmp DIR]\n"
         "                    [--keep-raw] [--quiet]\n"
         "\n"
         "Finds and connects the devices, records all of them with their current parameters\n"
         "into one raw file each (DIR/ravik-<index>.tmp), and when the recording ends merges\n"
         "them into one time-ordered text and/or binary file, as the window does.\n"
         "\n"
         "  -s            also find simulated devices\n"
         "  -l            write the log file ravik.log in the working folder\n"
         "  --seconds N   stop after N seconds (fractions allowed); without it, Ctrl-C or\n"
         "                SIGTERM stops the recording, and the merge follows\n"
         "  --text FILE   write \"time, channel\" lines to FILE\n"
         "  --bin FILE    write the binary file (header, 10-byte records, trailer) to FILE\n"
         "  --tmp DIR     folder of the raw files (default: $TMPDIR or /tmp)\n"
         "  --keep-raw    keep the raw files after the merge\n"
         "  --quiet, -q   no live lines, progress bar or summary; errors are still reported\n"
         "  --help, -h    this text;  --version  the version\n"
         "\n"
         "At least one output is needed. Outputs appear under their names only when the merge\n"
         "has completed; raw files that were not merged are never deleted, and the ravik-merge\n"
         "command that finishes the job is printed.\n"
         "\n"
         "Example, ten seconds of the simulated chain:\n"
         "  ravik-record -s --seconds 10 --text run.txt --bin run.bin\n"
         "\n"
         "Exit codes: 0 done; 1 an output could not be written; 2 bad command line, temp\n"
         "folder or output; 3 no device found; 4 a device failed to start (nothing recorded);\n"
         "128 + signal number when a signal stopped the merge (raw files kept).\n";
}
