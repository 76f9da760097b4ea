#include "merge/outputcheck.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "merge/outputpath.h"
#include "merge/streamloss.h"

namespace {

// Devices such as /dev/null may take several outputs; a file or a pipe only one.
bool sharable(const FileIdentity& id) { return id.exists && S_ISCHR(id.mode); }

bool checkOne(const OutputName& out, const FileIdentity& id,
              const std::vector<InputStream>& inputs, const ReadFiles& read, bool noClobber,
              KeptRunTest keptRun, std::string* error) {
  if (id.exists && S_ISDIR(id.mode)) {
    *error = out.path + ": is a directory; give the " + out.what + " a file name";
    return false;
  }
  for (const OutputName& file : read) {
    if (!file.path.empty() && id.exists && !sharable(id) && sameFile(id, identifyPath(file.path))) {
      *error = out.path + ": is the " + file.what + " " + file.path +
               "; choose another name for the " + out.what;
      return false;
    }
  }
  for (const InputStream& input : inputs) {
    if (id.exists && id.device == input.device && id.inode == input.inode) {
      *error = out.path + ": is the input stream " + input.arg.path + "; choose another name for the " +
               out.what;
      return false;
    }
    // Read as the stream's losses when it is merged again, also where none is there yet.
    const std::string loss = lossFileName(input.arg.path);
    if (!sharable(id) && sameFile(id, identifyPath(loss))) {
      *error = out.path + ": is the loss file " + loss + " of the input stream " + input.arg.path +
               "; choose another name for the " + out.what;
      return false;
    }
  }
  // Standard output and the like are open already: the shell has made them what they are.
  if (descriptorName(out.path) >= 0) return true;
  std::string run;
  if (!out.ofRecording && keptRun(out.path, &run)) {
    *error = out.path + ": is a file of the recording kept in " + run +
             " (its manifest, a stream or a loss file, which ravik-merge --recover " + run +
             " needs); choose another name for the " + out.what;
    return false;
  }
  if (noClobber && id.exists && S_ISREG(id.mode)) {
    *error = out.path + ": exists, and --no-clobber keeps it; choose another name for the " +
             out.what;
    return false;
  }
  return true;
}

}  // namespace

bool checkOutputNames(const std::vector<OutputName>& outputs,
                      const std::vector<InputStream>& inputs, bool noClobber,
                      KeptRunTest keptRun, std::string* error, const ReadFiles& read) {
  std::vector<FileIdentity> ids;
  for (const OutputName& out : outputs) ids.push_back(identifyPath(out.path));
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].path.empty()) continue;
    if (!checkOne(outputs[i], ids[i], inputs, read, noClobber, keptRun, error)) return false;
    for (size_t j = 0; j < i; ++j) {
      if (outputs[j].path.empty() || !sameFile(ids[i], ids[j]) || sharable(ids[i])) continue;
      *error = outputs[i].path + ": is given for the " + outputs[j].what + " (" + outputs[j].path +
               ") and for the " + outputs[i].what + "; one file cannot be both";
      return false;
    }
  }
  return true;
}

bool checkReportFolder(const std::string& report, std::string* error) {
  if (report.empty() || descriptorName(report) >= 0) return true;
  const FileIdentity id = identifyPath(report);
  if (id.exists && !S_ISREG(id.mode)) return true;  // written straight into it
  std::string dir, base;
  splitPath(followLinks(report), &dir, &base);
  if (access(dir.c_str(), W_OK | X_OK) == 0) return true;
  *error = report + ": cannot write the run report there: " + strerror(errno);
  return false;
}
