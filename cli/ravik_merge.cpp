// ravik-merge: the offline merge of raw device stream files, with the window's merge core.
//
// Everything that can be wrong with the command line or the files is found before any output
// exists; outputs are written under temporary names and renamed into place only when the merge
// has completed (see OutputFile).
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/channelcount.h"
#include "cli/commandline.h"
#include "cli/inputs.h"
#include "cli/mergerun.h"
#include "cli/options.h"
#include "cli/outputfile.h"
#include "cli/report.h"
#include "thread/stdfds.h"

namespace {

constexpr int kExitWriteError = 1;
constexpr int kExitBadInput = 2;

int fail(int code, const std::string& message) {
  fprintf(stderr, "ravik-merge: %s\n", message.c_str());
  return code;
}

// Creates the wanted outputs; false with a message when one cannot be (none is left then).
bool createOutputs(const Options& options, const std::vector<InputStream>& inputs,
                   OutputFile* text, OutputFile* binary, std::string* error) {
  const std::string& t = options.textPath;
  const std::string& b = options.binPath;
  if (!t.empty() && !checkOutputPath(t, b, inputs, error)) return false;
  if (!b.empty() && !checkOutputPath(b, t, inputs, error)) return false;
  if (!t.empty() && !text->create(t, error)) return false;
  if (!b.empty() && !binary->create(b, error)) return false;
  return true;
}

bool showProgress(const Options& options) {
  if (options.progress == ProgressMode::Auto) return isatty(STDERR_FILENO) != 0;
  return options.progress == ProgressMode::On;
}

}  // namespace

int main(int argc, char** argv) {
  if (!openStandardDescriptors()) return kExitWriteError;
  const sigset_t signals = blockSignals();
  // A closed pipe shows as a write error with its message, not as a silent death.
  signal(SIGPIPE, SIG_IGN);

  Options options;
  std::string error;
  if (!parseOptions(argc, argv, &options, &error)) return fail(kExitBadInput, error);
  if (!options.helpText.empty() || !options.versionText.empty())
    return printOut(options.helpText + options.versionText) ? 0 : kExitWriteError;

  std::vector<InputStream> inputs;
  if (!openInputs(options.streams, &inputs, &error)) return fail(kExitBadInput, error);
  OutputFile text, binary;
  if (!checkDistinctStreams(inputs, &error) ||
      !createOutputs(options, inputs, &text, &binary, &error)) {
    closeInputs(&inputs);
    return fail(kExitBadInput, error);
  }

  ChannelCounts counts;
  RunSettings settings;
  settings.progress = showProgress(options);
  settings.counts = options.quiet ? nullptr : &counts;
  RunResult run = runMerge(inputs, &text, &binary, settings, signals);
  closeInputs(&inputs);
  if (run.stopSignal == 0) run.stopSignal = pendingStopSignal(signals);
  if (run.stopSignal != 0) {
    text.discard();
    binary.discard();
    return fail(128 + run.stopSignal, std::string("stopped by signal ") +
                                          strsignal(run.stopSignal) + "; no output written");
  }
  if (!publishOutputs(&text, &binary, &error)) return fail(kExitWriteError, error);
  if (!options.quiet)
    printSummary(stderr, {run.records, run.bytesRead, run.seconds, run.counted ? &counts : nullptr});
  return 0;
}
