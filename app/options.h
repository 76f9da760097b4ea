// The command-line options of the window program.
#ifndef RAVIK_APP_OPTIONS_H
#define RAVIK_APP_OPTIONS_H

#include <string.h>

struct RmtOptions {
  bool log = false;      // "-l"
  bool sim = false;      // "-s"
  bool help = false;     // "--help": print windowHelpText() and exit without a window
  bool version = false;  // "--version": print the version and exit without a window
};

// Every argument after the program name that equals "-l", "-s", "--help" or "--version" exactly
// (case-sensitive) sets its option; position and repetition do not matter and everything else is
// ignored.
inline RmtOptions parseOptions(int argc, const char* const* argv, const char* optLog,
                               const char* optSim) {
  RmtOptions o;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], optLog) == 0) o.log = true;
    if (strcmp(argv[i], optSim) == 0) o.sim = true;
    if (strcmp(argv[i], "--help") == 0) o.help = true;
    if (strcmp(argv[i], "--version") == 0) o.version = true;
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
         "  --help      this text, then exit\n"
         "  --version   the version, then exit\n"
         "\n"
         "Other arguments are ignored. The window lists the devices in chain order; tick the\n"
         "outputs, check their paths and press Start. Each device records into a raw file\n"
         "ravik-<index>.tmp in the temp folder; Stop merges them into the outputs. Recording\n"
         "without a window: ravik-record; merging raw files again: ravik-merge.\n";
}

#endif
