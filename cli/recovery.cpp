#include "cli/recovery.h"

#include "monitor/keepfilter.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "chain/recordcore.h"
#include "chain/takeup.h"
#include "chain/virtualjson.h"
#include "merge/inputfile.h"
#include "merge/outputpath.h"
#include "merge/streamloss.h"

namespace {

bool isRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The folder of DIR, or of the manifest file named instead of it.
std::string runFolder(const std::string& given) {
  const std::string name = kManifestName;
  const size_t slash = given.rfind('/');
  const std::string base = slash == std::string::npos ? given : given.substr(slash + 1);
  if (base != name || !isRegularFile(given)) return given;
  return slash == std::string::npos ? "." : slash == 0 ? "/" : given.substr(0, slash);
}

std::string streamPath(const Recovery& r, const ManifestDevice& d) { return r.dir + "/" + d.stream; }

// "<path>:<chain>:0x<markers>" as ravik-merge takes it.
std::string streamWord(const StreamArg& s) {
  char fields[32];
  snprintf(fields, sizeof fields, ":%d:0x%x", int(s.chainPos), unsigned(s.markers));
  return s.path + fields;
}

// Every device's temp file, which must all be there: a run recovered without one would lack its
// timestamps without a word in the outputs.
bool takeStreams(const Recovery& r, Options* options, std::string* error) {
  std::vector<std::string> missing, present;
  std::vector<int32_t> positions;
  for (const ManifestDevice& d : r.manifest.devices) {
    if (d.chain > kMaxChainPos) {
      *error = manifestPath(r.dir) + ": chain position " + std::to_string(d.chain) + " of " +
               d.stream + " is beyond " + std::to_string(kMaxChainPos);
      return false;
    }
    const StreamArg arg{streamPath(r, d), d.chain, d.markers};
    struct stat st;
    if (stat(arg.path.c_str(), &st) != 0 && errno == ENOENT) {
      missing.push_back(d.stream + (d.serial.empty() ? "" : " (" + d.serial + ")"));
      continue;
    }
    options->streams.push_back(arg);
    present.push_back(streamWord(arg));
    positions.push_back(d.chain);
  }
  options->sharedPositions = options->sharedPositions || positionsRepeat(positions);
  if (missing.empty()) return true;
  std::string list;
  for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
  std::string rest;
  for (const std::string& p : present) rest += " " + p;
  *error = r.dir + ": temp file missing: " + list + "; the run cannot be recovered whole" +
           (rest.empty() ? std::string() : "; the others merge with: ravik-merge --text FILE" + rest);
  return false;
}

// The run's own outputs, when the command line names none; an existing one is never replaced.
bool takeOutputs(const RunManifest& m, Options* options, std::string* error) {
  const bool given =
      !options->textPath.empty() || !options->binPath.empty() || !options->hdf5Path.empty();
  if (!given) {
    for (const ReportOutput& out : m.outputs) {
      std::string* path = out.kind == "text"     ? &options->textPath
                          : out.kind == "binary" ? &options->binPath
                                                 : &options->hdf5Path;
      *path = out.path;
    }
    if (options->compress == Hdf5Compression::None) options->compress = m.compress;
    if (!options->split.on()) options->split = {m.splitSize, m.splitTimePs};
    if (options->meta.empty()) options->meta = m.meta;
    if (options->reportPath.empty()) options->reportPath = m.reportPath;
    // The report is not among them: it tells of the latest attempt and is written again.
    for (const std::string* path : {&options->textPath, &options->binPath, &options->hdf5Path}) {
      if (!isRegularFile(*path)) continue;
      *error = *path + ": the run's output exists already; give the outputs of the recovery "
                       "with --text, --bin or --hdf5 (or remove it)";
      return false;
    }
  }
  if (options->textPath.empty() && options->binPath.empty() && options->hdf5Path.empty()) {
    *error = "the run's manifest names no output: give --text FILE, --bin FILE and/or --hdf5 FILE";
    return false;
  }
  if (options->compress != Hdf5Compression::None && options->hdf5Path.empty()) {
    *error = "--compress applies to the HDF5 output: give --hdf5 FILE too";
    return false;
  }
  if (!hdf5CanCompress(options->compress, error)) return false;
  return true;
}

// A split run that let go of its raw data behind its published parts goes on after the last of
// them, into its own outputs, with every part before it in place: the data they hold are no
// longer in the temp files.
// The final name of the part held's file of `kind`.
std::string heldFinalName(const Options& options, const PartHold& h, const std::string& kind) {
  const std::string& output = kind == "text"     ? options.textPath
                              : kind == "binary" ? options.binPath
                                                 : options.hdf5Path;
  return absolutePath(partName(output, h.part.index));
}

// A part held when the run was killed: one that was complete is put in place (its files not
// yet renamed are renamed) and counts among the published ones; one held part-way is gone on
// with, so its files and hold are kept from the removal of what the run left unfinished.
bool takeUpHeld(Recovery* r, Options* options, std::string* error) {
  PartResume& from = options->partsFrom;
  PartHold& h = from.hold;
  std::vector<std::string> held;
  for (PartFile& f : h.part.files) {
    const std::string final = heldFinalName(*options, h, f.kind);
    if (h.complete && isRegularFile(f.path) && rename(f.path.c_str(), final.c_str()) != 0) {
      *error = f.path + ": cannot be renamed into place as " + final + ": " + strerror(errno);
      return false;
    }
    if (h.complete) {
      removeHoldFiles(f.path);
      f.path = final;
      held.push_back(final);
      continue;
    }
    held.push_back(f.path);
    if (!h.hdf5State.empty() && f.kind == "hdf5") held.push_back(h.hdf5State);
  }
  for (const std::string& path : held) {
    if (isRegularFile(path)) continue;
    *error = path + ": missing; the run let go of the raw data that this " +
             (h.complete ? "part" : "unfinished part") +
             " holds, so it can be finished only with its files in place";
    return false;
  }
  std::vector<std::string>& partials = r->manifest.partials;
  partials.erase(std::remove_if(partials.begin(), partials.end(),
                                [&](const std::string& p) {
                                  return std::find(held.begin(), held.end(), p) != held.end();
                                }),
                 partials.end());
  if (!h.complete) return true;
  // A recovery stopped before may have counted it already.
  nlohmann::json& published = r->manifest.published;
  if (!published.is_array()) published = nlohmann::json::array();
  if (std::none_of(published.begin(), published.end(), [&](const nlohmann::json& p) {
        return p.is_object() && p.value("index", 0) == h.part.index;
      }))
    published.push_back(partsJson({h.part}).front());
  from.index = h.part.index + 1;
  h = PartHold();
  return true;
}

bool takeUp(Recovery* r, bool outputsNamed, Options* options, std::string* error) {
  const RunManifest& m = r->manifest;
  const std::string where = manifestPath(r->dir) + ": ";
  if (outputsNamed) {
    *error = where + "the run let go of its raw data behind its published parts, so it can only "
             "be finished into its own outputs: give no --text, --bin or --hdf5";
    return false;
  }
  if (!takeUpFromJson(m.resume, m.devices.size(), &options->partsFrom, &options->mergeFrom,
                      error)) {
    *error = where + *error;
    return false;
  }
  using nlohmann::json;
  for (const json& part : m.published) {
    const json files = part.is_object() ? part.value("files", json()) : json();
    for (size_t i = 0; files.is_array() && i < files.size(); ++i) {
      const json path = files[i].is_object() ? files[i].value("path", json()) : json();
      if (path.is_string() && isRegularFile(path.get<std::string>())) continue;
      *error = (path.is_string() ? path.get<std::string>() : where + "a published part") +
               ": missing; the run let go of the raw data that its published parts hold, so it "
               "can be finished only with every one of them in place";
      return false;
    }
  }
  if (options->partsFrom.hold.on && !takeUpHeld(r, options, error)) return false;
  options->takenUp = true;
  options->published = m.published;
  return true;
}

// The folders right inside `dir` that hold a run manifest, sorted: where the runs kept there are
// when `dir` is the temp folder the recordings were given rather than one run's own.
std::vector<std::string> runsInside(const std::string& dir) {
  std::vector<std::string> runs;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return runs;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    const std::string folder = dir + "/" + name;
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && isRegularFile(manifestPath(folder)))
      runs.push_back(folder);
  }
  closedir(d);
  std::sort(runs.begin(), runs.end());
  return runs;
}

}  // namespace

bool prepareRecovery(Options* options, Recovery* recovery, std::string* error) {
  recovery->dir = runFolder(options->recoverDir);
  if (!recovery->file.take(recovery->dir, &recovery->manifest, error)) {
    struct stat st;
    const std::vector<std::string> runs =
        stat(manifestPath(recovery->dir).c_str(), &st) != 0 && errno == ENOENT
            ? runsInside(recovery->dir)
            : std::vector<std::string>();
    constexpr size_t kNamed = 10;
    for (size_t i = 0; i < runs.size() && i < kNamed; ++i)
      *error += (i == 0 ? "; the runs kept in its folders: " : ", ") + runs[i];
    if (runs.size() > kNamed) *error += " and " + std::to_string(runs.size() - kNamed) + " more";
    if (!runs.empty()) *error += "; finish each with ravik-merge --recover FOLDER";
    return false;
  }
  const RunManifest& m = recovery->manifest;
  options->lossRecords = options->lossRecords || m.lossRecords;
  if (options->keep.empty()) options->keep = m.keep;
  if (options->virtualPath.empty() && m.virtualOutputs &&
      !virtualFromJson(m.virtualChannels, &options->virtuals, error)) {
    *error = manifestPath(recovery->dir) + ": bad virtual channels: " + *error;
    return false;
  }
  std::vector<KeepClause> clauses;
  if (!options->keep.empty() && !parseKeep(options->keep, &clauses, error)) {
    *error = manifestPath(recovery->dir) + ": bad keep '" + options->keep + "': " + *error;
    return false;
  }
  const bool named =
      !options->textPath.empty() || !options->binPath.empty() || !options->hdf5Path.empty();
  return takeStreams(*recovery, options, error) && takeOutputs(m, options, error) &&
         (m.resume.is_null() || takeUp(recovery, named, options, error));
}

bool lockRecoveredStreams(const std::vector<InputStream>& inputs, std::string* error) {
  for (const InputStream& input : inputs) {
    if (lockTempFile(input.file) == 0) continue;
    *error = input.arg.path + ": is in use by a recording or another merge";
    return false;
  }
  return true;
}

std::vector<std::string> removePartials(const Recovery& recovery, std::vector<std::string>* failed) {
  std::vector<std::string> removed;
  for (const std::string& path : recovery.manifest.partials) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      if (errno != ENOENT)
        failed->push_back(path + ": cannot look at the output the run left unfinished: " +
                          strerror(errno));
      continue;
    }
    // Only what an output was written as: a regular file (not a link to one elsewhere).
    if (!S_ISREG(st.st_mode)) {
      failed->push_back(path + ": not removed: not a regular file, so not an output left unfinished");
      continue;
    }
    char size[32];
    snprintf(size, sizeof size, "%.1f MB", double(st.st_size) / 1e6);
    removeHoldFiles(path);
    if (unlink(path.c_str()) == 0)
      removed.push_back("removed " + path + " (" + size + "), an output the run left unfinished");
    else if (errno != ENOENT)
      failed->push_back(path + ": cannot remove the output the run left unfinished: " +
                        strerror(errno));
  }
  return removed;
}

bool notePartials(Recovery* recovery, const std::vector<const OutputFile*>& outputs,
                  std::string* error) {
  RunManifest& m = recovery->manifest;
  std::vector<std::string> partials;
  struct stat st;
  for (const std::string& path : m.partials)
    if (lstat(path.c_str(), &st) == 0) partials.push_back(path);
  for (const std::string& name : partialNames(outputs)) partials.push_back(name);
  if (partials == m.partials) return true;
  m.partials = partials;
  if (recovery->file.write(recovery->dir, m, error)) return true;
  *error += "; if this recovery is stopped, its unfinished outputs stay behind";
  return false;
}

void describeRecovery(const Recovery& recovery, RunReport* report) {
  report->startUtc = recovery.manifest.startUtc;
  report->recovered = true;
  for (ReportDevice& d : report->devices) {
    for (const ManifestDevice& m : recovery.manifest.devices) {
      if (d.stream != streamPath(recovery, m)) continue;
      d.serial = m.serial;
      d.index = m.index;
      d.role = m.role;
      d.parameters = m.parameters;
    }
  }
}
