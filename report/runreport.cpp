#include "report/runreport.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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
            {"clock_ok", d.clockOk < 0 ? json() : json(d.clockOk == 1)}};
  if (!d.parameters.is_null()) j["parameters"] = d.parameters;
  return j;
}

}  // namespace

std::string utcNow() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts;
  gmtime_r(&now.tv_sec, &parts);
  char text[40];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  snprintf(text + n, sizeof text - n, ".%03dZ", int(now.tv_nsec / 1000000));
  return text;
}

void assignLosses(const std::vector<LossInterval>& losses, std::vector<ReportDevice>* devices) {
  for (ReportDevice& d : *devices) {
    d.lost.clear();
    for (const LossInterval& loss : losses)
      if (loss.chain == d.chain) d.lost.push_back(loss);
  }
}

json toJson(const RunReport& r) {
  json devices = json::array();
  for (const ReportDevice& d : r.devices) devices.push_back(deviceJson(d));
  json outputs = json::array();
  for (const ReportOutput& o : r.outputs) outputs.push_back({{"kind", o.kind}, {"path", o.path}});
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
          {"devices", devices}};
  if (!r.hdf5CreationTime.empty()) {
    j["hdf5_creation_time"] = r.hdf5CreationTime;
    j["utc_offset"] = r.utcOffset;
  }
  return j;
}

std::string defaultReportPath(const std::string& textPath, const std::string& binPath) {
  const std::string& output = binPath.empty() ? textPath : binPath;
  if (output.empty()) return std::string();
  struct stat st;
  if (stat(output.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return std::string();
  const size_t slash = output.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = output.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  const bool hasExtension = dot != std::string::npos && dot > nameStart;
  std::string path = (hasExtension ? output.substr(0, dot) : output) + ".json";
  if (path == output) path += ".json";
  // An output whose name is as long as names get has no report beside it.
  return path.size() - nameStart > NAME_MAX ? std::string() : path;
}

std::string reportPath(const std::string& named, const std::string& textPath,
                       const std::string& binPath, bool completed) {
  if (!named.empty()) return named;
  return completed ? defaultReportPath(textPath, binPath) : std::string();
}

bool writeReport(const RunReport& report, const std::string& path, std::string* error) {
  // A short name in the report's folder, whatever the length of the report's own name.
  const size_t slash = path.rfind('/');
  const std::string part = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
                           ".ravik-report-" + std::to_string(getpid()) + ".part";
  const std::string text = toJson(report).dump(2) + "\n";
  FILE* f = fopen(part.c_str(), "w");
  bool ok = f != nullptr;
  if (ok) ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (ok) ok = fflush(f) == 0;
  if (!ok) *error = part + ": " + strerror(errno);
  if (f != nullptr && fclose(f) != 0 && ok) {
    ok = false;
    *error = part + ": " + strerror(errno);
  }
  if (ok && rename(part.c_str(), path.c_str()) != 0) {
    ok = false;
    *error = path + ": " + strerror(errno);
  }
  if (!ok && f != nullptr) unlink(part.c_str());
  if (!ok) *error = "run report not written: " + *error;
  return ok;
}
