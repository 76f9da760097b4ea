#include "report/runreport.h"

#include <fcntl.h>
#include <stdio.h>

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "merge/hdf5output.h"
#include "merge/inputfile.h"
#include "merge/outputpath.h"
#include "report/runmanifest.h"

using nlohmann::json;

namespace {

json orNull(const std::string& text) { return text.empty() ? json() : json(text); }

json lossJson(const LossInterval& loss) {
  return {{"from_ps", loss.fromPs}, {"to_ps", loss.toPs}, {"cause", loss.cause}};
}

json deviceJson(const ReportDevice& d) {
  json lost = json::array();
  int64_t lostPs = 0;
  for (const LossInterval& loss : d.lost) {
    lost.push_back(lossJson(loss));
    lostPs += loss.toPs - loss.fromPs;
  }
  json j = {{"serial", orNull(d.serial)},
            {"index", d.index >= 0 ? json(d.index) : json()},
            {"chain", d.chain},
            {"role", orNull(d.role)},
            {"stream", orNull(d.stream)},
            {"records", d.records},
            {"lost", lost},
            {"lost_ps", lostPs},
            {"clock_ok", d.clockOk < 0 ? json() : json(d.clockOk == 1)},
            {"decode_errors", d.decodeErrors < 0 ? json() : json(d.decodeErrors)},
            {"backward_steps", d.backwardSteps < 0 ? json() : json(d.backwardSteps)}};
  if (!d.parameters.is_null()) j["parameters"] = d.parameters;
  return j;
}

}  // namespace

std::string utcNow() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return utcText(now);
}

std::string utcText(const timespec& time) {
  tm parts;
  gmtime_r(&time.tv_sec, &parts);
  char text[40];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  snprintf(text + n, sizeof text - n, ".%03dZ", int(time.tv_nsec / 1000000));
  return text;
}

void assignLosses(const std::vector<LossInterval>& losses, std::vector<ReportDevice>* devices) {
  for (ReportDevice& d : *devices) {
    d.lost.clear();
    for (const LossInterval& loss : losses)
      if (loss.chain == d.chain) d.lost.push_back(loss);
  }
}

void assignStreamFaults(const std::vector<MergeSourceStats>& stats,
                        std::vector<ReportDevice>* devices) {
  for (size_t i = 0; i < devices->size() && i < stats.size(); ++i) {
    (*devices)[i].decodeErrors = stats[i].decodeErrors;
    (*devices)[i].backwardSteps = stats[i].backwardSteps;
  }
}

void reportMerge(const MergeOutcome& outcome, int64_t records, const std::string& text,
                 const std::string& binary, const std::string& hdf5, RunReport* report) {
  std::vector<ReportDevice>& devices = report->devices;
  for (size_t i = 0; i < devices.size() && i < outcome.sourceRecords.size(); ++i)
    devices[i].records = outcome.sourceRecords[i];
  assignLosses(outcome.losses, &devices);
  assignStreamFaults(outcome.sourceStats, &devices);
  report->records = records;
  report->firstPs = outcome.firstPs;
  report->lastPs = outcome.lastPs;
  const std::pair<const char*, const std::string*> outputs[] = {
      {"text", &text}, {"binary", &binary}, {"hdf5", &hdf5}};
  for (const auto& output : outputs)
    if (!output.second->empty()) report->outputs.push_back({output.first, *output.second});
}

json toJson(const RunReport& r) {
  json devices = json::array();
  for (const ReportDevice& d : r.devices) devices.push_back(deviceJson(d));
  json outputs = json::array();
  for (const ReportOutput& o : r.outputs) outputs.push_back({{"kind", o.kind}, {"path", o.path}});
  json overlaps = json::array();
  for (const ReportOverlap& o : r.overlaps)
    overlaps.push_back({{"channel", o.output},
                        {"sources", {{{"chain", o.chainA}, {"channel", o.channelA}},
                                     {{"chain", o.chainB}, {"channel", o.channelB}}}}});
  const bool any = r.firstPs <= r.lastPs;
  json j = {{"program", r.program},
          {"start_utc", orNull(r.startUtc)},
          {"stop_utc", orNull(r.stopUtc)},
          {"merge_start_utc", orNull(r.mergeStartUtc)},
          {"merge_stop_utc", orNull(r.mergeStopUtc)},
          {"completed", r.completed && r.recovered ? json("recovered") : json(r.completed)},
          {"error", orNull(r.error)},
          {"records", r.records},
          {"first_ps", any ? json(r.firstPs) : json()},
          {"last_ps", any ? json(r.lastPs) : json()},
          {"loss_records", r.lossRecords},
          {"outputs", outputs},
          {"overlaps", overlaps},
          {"devices", devices}};
  if (!r.hdf5CreationTime.empty()) {
    j["hdf5_creation_time"] = r.hdf5CreationTime;
    j["utc_offset"] = r.utcOffset;
  }
  for (const auto& stage : r.stages) j[stage.first] = stage.second;
  if (!r.parts.is_null()) j["parts"] = r.parts;
  if (!r.freeSpace.is_null()) {
    j["free_space"] = r.freeSpace;
    j["stop_reason"] = r.stopReason;
  }
  return j;
}

namespace {

// The name beside `output` with its extension replaced by `extension` (added when it has none).
std::string besideOutput(const std::string& output, const std::string& extension) {
  const size_t slash = output.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = output.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  const bool hasExtension = dot != std::string::npos && dot > nameStart;
  std::string path = (hasExtension ? output.substr(0, dot) : output) + extension;
  if (path == output) path += extension;
  return path;
}

// False with a message when the last part of `path` is longer than its folder takes.
bool nameFits(const std::string& path, const std::string& output, std::string* error) {
  std::string dir, base;
  splitPath(path, &dir, &base);
  const long most = pathconf(dir.c_str(), _PC_NAME_MAX);
  const size_t limit = most > 0 ? size_t(most) : size_t(NAME_MAX);
  if (base.size() <= limit) return true;
  *error = path + ": the name of the run report beside " + output + " would be " +
           std::to_string(base.size()) + " bytes long, and its folder takes " +
           std::to_string(limit) + " at most";
  return false;
}

// A file that the report beside an output may take: none yet, or an earlier run report.
bool replaceable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) != 0 ? errno == ENOENT : isRunReport(path);
}

bool takenBy(const std::string& path, const std::vector<std::string>& taken) {
  const FileIdentity id = identifyPath(path);
  for (const std::string& other : taken)
    if (!other.empty() && sameFile(id, identifyPath(other))) return true;
  return false;
}

}  // namespace

const char* const kReportPrograms[4] = {"ravik", "ravik-record", "ravik-merge", "ravik-python"};

bool isRunReport(const std::string& path) {
  // A report is a few KiB; a large file of that name is something else, and is not read.
  struct stat st;
  std::string text, unused;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (16 << 20) ||
      !readRegularFile(path, &text, &unused))
    return false;
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object() || !j.contains("completed") || !j.contains("records") ||
      !j.value("outputs", json()).is_array() || !j.value("devices", json()).is_array())
    return false;
  const json program = j.value("program", json());
  for (const char* name : kReportPrograms)
    if (program == name) return true;
  return false;
}

bool defaultReportPath(const std::string& textPath, const std::string& binPath,
                       std::vector<std::string> taken, std::string* path, std::string* error) {
  path->clear();
  const std::string& output = binPath.empty() ? textPath : binPath;
  if (output.empty() || descriptorName(output) >= 0) return true;
  struct stat st;
  if (stat(output.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return true;
  // The report never takes the place of a file the run writes or reads: "run.json" given as the
  // text output beside "run.bin" keeps its name, and the report becomes "run.report.json"; so
  // too beside "ravik-run.bin" in the folder of a kept recording, whose manifest is
  // "ravik-run.json"; and so beside "notes.bin" when "notes.json" holds the user's notes.
  taken.push_back(textPath);
  taken.push_back(binPath);
  const std::string names[2] = {besideOutput(output, ".json"),
                                besideOutput(output, ".report.json")};
  for (const std::string& name : names) {
    std::string run;
    if (!nameFits(name, output, error)) return false;
    if (takenBy(name, taken) || keptRunFile(name, &run) || !replaceable(name)) continue;
    *path = name;
    return true;
  }
  *error = names[0] + " and " + names[1] + ": both are taken, by files that are not run reports "
           "or by files of this run; the run report beside " + output + " would replace one";
  return false;
}

namespace {

// Writes the whole text to an open descriptor (standard output, a pipe or a device that cannot
// be replaced by a renamed file). 0 or an errno.
int writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    done += size_t(n);
  }
  return 0;
}

// A report to a descriptor name or an existing file that is not a regular one: written straight
// to it (renaming a file over a device would replace the device).
bool writeDirect(const std::string& text, const std::string& path, int32_t fd, std::string* error) {
  const int own = fd >= 0 ? -1 : open(path.c_str(), O_WRONLY | O_CLOEXEC);
  int code = fd < 0 && own < 0 ? errno : writeAll(fd >= 0 ? fd : own, text);
  if (own >= 0 && close(own) != 0 && code == 0) code = errno;
  if (code == 0) return true;
  *error = "run report not written: " + path + ": " + strerror(code);
  return false;
}

}  // namespace

bool writeReport(const RunReport& report, const std::string& path, std::string* error,
                 bool replace) {
  const std::string text = toJson(report).dump(2) + "\n";
  const int32_t fd = descriptorName(path);
  struct stat st;
  if (fd >= 0 || (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)))
    return writeDirect(text, path, fd, error);
  // A short name in the report's folder, whatever the length of the report's own name.
  const size_t slash = path.rfind('/');
  const std::string part = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
                           ".ravik-report-" + std::to_string(getpid()) + ".part";
  FILE* f = fopen(part.c_str(), "w");
  bool ok = f != nullptr;
  if (ok) ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (ok) ok = fflush(f) == 0;
  if (!ok) *error = part + ": " + strerror(errno);
  if (f != nullptr && fclose(f) != 0 && ok) {
    ok = false;
    *error = part + ": " + strerror(errno);
  }
  const std::string target = followLinks(path);
  if (ok && (replace ? rename(part.c_str(), target.c_str())
                     : renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, target.c_str(),
                                 RENAME_NOREPLACE)) != 0) {
    ok = false;
    *error = path + ": " + strerror(errno);
  }
  if (!ok && f != nullptr) unlink(part.c_str());
  if (!ok) *error = "run report not written: " + *error;
  return ok;
}

void stampHdf5Time(time_t created, RunReport* report) {
  report->hdf5CreationTime = hdf5TimeText(created);
  report->utcOffset = utcOffsetText(created);
}
