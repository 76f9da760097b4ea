// The command-line options of the window program.
#ifndef RAVIK_APP_OPTIONS_H
#define RAVIK_APP_OPTIONS_H

#include <string.h>

struct RmtOptions {
  bool log = false;  // "-l"
  bool sim = false;  // "-s"
};

// Every argument after the program name that equals "-l" or "-s" exactly (case-sensitive) sets
// its option; position and repetition do not matter and everything else is ignored.
inline RmtOptions parseOptions(int argc, const char* const* argv, const char* optLog,
                               const char* optSim) {
  RmtOptions o;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], optLog) == 0) o.log = true;
    if (strcmp(argv[i], optSim) == 0) o.sim = true;
  }
  return o;
}

#endif
