// ravik-merge --recover DIR: the merge of a recording that was not merged (killed, stopped, its
// merge failed, or its raw files kept) from the run manifest in its temp folder (see
// report/runmanifest.h).
//
// The manifest gives every device's temp file with its chain position and marker mask (the loss
// files beside them are read as for any stream), the loss records option, and the outputs asked
// for with the report and the compression. Outputs named on the command line replace the run's
// own, which are never overwritten: a run's output that exists already is refused. The manifest
// and the temp files stay locked while the merge runs, and stay on disk after it.
#ifndef RAVIK_CLI_RECOVERY_H
#define RAVIK_CLI_RECOVERY_H

#include <string>
#include <vector>

#include "merge/inputs.h"
#include "cli/options.h"
#include "merge/outputfile.h"
#include "report/runmanifest.h"
#include "report/runreport.h"

struct Recovery {
  std::string dir;        // the run's folder
  ManifestFile file;      // locked for the whole merge
  RunManifest manifest;
};

// Takes the manifest in options->recoverDir (or the manifest file named there) and fills
// *options from it. False with a one-line message: no manifest, one in use or unreadable, a
// temp file missing, no output, or an output of the run that exists already.
bool prepareRecovery(Options* options, Recovery* recovery, std::string* error);

// Locks the opened temp files as a recording does, so that no recording truncates them while
// they are merged. False with a message naming the file that another program holds.
bool lockRecoveredStreams(const std::vector<InputStream>& inputs, std::string* error);

// Removes the outputs that the run's program left unfinished under their temporary names (the
// manifest's "partials"; killed, a power cut): they hold nothing that the recovery does not write
// anew, and only take room. Call with the manifest taken, so that the program is known to be gone.
// One line for each file removed, or that could not be removed (the reason said); those not there
// any more are passed over.
std::vector<std::string> removePartials(const Recovery& recovery, std::vector<std::string>* failed);

// Names the recovery's own outputs, under their temporary names, among the manifest's partials
// (with those of the run still there), so that a recovery killed in its turn leaves nothing that
// the next one does not remove. False with a message: the manifest could not be written.
bool notePartials(Recovery* recovery, const std::vector<const OutputFile*>& outputs,
                  std::string* error);

// What the manifest knows beyond the streams: the recording's start, each device's serial,
// library index, role and parameters; and that the run was recovered.
void describeRecovery(const Recovery& recovery, RunReport* report);

#endif
