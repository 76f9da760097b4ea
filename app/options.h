// The command-line options of the window program.
#ifndef RAVIK_APP_OPTIONS_H
#define RAVIK_APP_OPTIONS_H

#include <string.h>

struct RmtOptions {
  bool log = false;      // "-l"
  bool sim = false;      // "-s"
  bool help = false;     // "--help": print windowHelpText() and exit without a window
  bool version = false;  // "--version": print the version and exit without a window
  const char* unknown = nullptr;  // the first other argument that looks like an option, or null
};

// Every argument after the program name that equals "-l", "-s", "-h", "--help" or "--version"
// exactly (case-sensitive) sets its option; position and repetition do not matter and everything
// else is ignored, the first other argument that starts with a dash being noted for a warning.
inline RmtOptions parseOptions(int argc, const char* const* argv, const char* optLog,
                               const char* optSim) {
  RmtOptions o;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], optLog) == 0) o.log = true;
    if (strcmp(argv[i], optSim) == 0) o.sim = true;
    const bool help = strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0;
    const bool version = strcmp(argv[i], "--version") == 0;
    o.help = o.help || help;
    o.version = o.version || version;
    const bool known = help || version || strcmp(argv[i], optLog) == 0 || strcmp(argv[i], optSim) == 0;
    if (!known && argv[i][0] == '-' && o.unknown == nullptr) o.unknown = argv[i];
  }
  return o;
}

// The window's --help, in the shape help2man makes the man page ravik(1) from.
inline const char* windowHelpText() {
  return "Usage: ravik [-s] [-l]\n"
         "Opens the window that records the time-tag streams of the chained time-to-digital\n"
         "converters (one master, the others slaves) and, at Stop, merges them into one\n"
         "time-ordered text and/or binary file.\n"
         "\n"
         "Options:\n"
         "  -s          also find simulated devices (the stand-in device library)\n"
         "  -l          write the log file ravik.log in the working folder\n"
         "  -h, --help  this text, then exit\n"
         "  --version   the version, then exit\n"
         "\n"
         "Other arguments are ignored (an unknown option with a warning on standard error).\n"
         "The window lists the devices in chain order; tick the outputs, check their paths\n"
         "and press Start. Each device records into a raw file ravik-<index>.tmp in the temp\n"
         "folder; Stop merges them into the outputs. Recording without a window:\n"
         "ravik-record; merging raw files again: ravik-merge.\n";
}

#endif
