#include "report/runmanifest.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "merge/inputfile.h"
#include "merge/outputpath.h"
#include "merge/outputstream.h"
#include "merge/streamloss.h"
#include "report/metafile.h"

using nlohmann::json;

namespace {

constexpr char kKind[] = "ravik-run";
constexpr int32_t kVersion = 1;
constexpr uint32_t kAllMarkers = 0x1FF;

std::string systemError(const std::string& what) { return what + ": " + strerror(errno); }

json orNull(const std::string& text) { return text.empty() ? json() : json(text); }

json deviceJson(const ManifestDevice& d) {
  return {{"serial", d.serial},
          {"index", d.index >= 0 ? json(d.index) : json()},
          {"chain", d.chain},
          {"role", orNull(d.role)},
          {"markers", d.markers},
          {"stream", d.stream},
          {"parameters", d.parameters}};
}

// Reads the fields of one JSON object, each checked; the first problem is kept with the key's
// place ("devices[1].chain") and every later read fails.
class Reader {
public:
  Reader(const json& object, const std::string& where, std::string* error)
      : _object(object), _where(where), _error(error) {
    if (!object.is_object()) fail(where.empty() ? "the manifest" : where, "is not an object");
  }
  bool ok() const { return _ok; }

  const json* field(const char* key, bool required = true) {
    if (!_ok) return nullptr;
    const auto it = _object.find(key);
    if (it != _object.end() && !it->is_null()) return &*it;
    if (required) fail(name(key), "is missing");
    return nullptr;
  }
  std::string text(const char* key, bool required = true) {
    const json* v = field(key, required);
    if (v == nullptr) return std::string();
    if (v->is_string() && !v->get<std::string>().empty()) return v->get<std::string>();
    fail(name(key), "is not a text");
    return std::string();
  }
  int64_t integer(const char* key, int64_t min, int64_t max, int64_t missing) {
    const json* v = field(key, missing == INT64_MIN);
    if (v == nullptr) return missing;
    if (v->is_number_integer() && v->get<int64_t>() >= min && v->get<int64_t>() <= max)
      return v->get<int64_t>();
    fail(name(key), "is not a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max));
    return 0;
  }
  bool flag(const char* key) {
    const json* v = field(key, false);
    if (v == nullptr) return false;
    if (v->is_boolean()) return v->get<bool>();
    fail(name(key), "is not true or false");
    return false;
  }
  const json& array(const char* key) {
    static const json empty = json::array();
    const json* v = field(key);
    if (v != nullptr && v->is_array()) return *v;
    if (v != nullptr) fail(name(key), "is not a list");
    return empty;
  }
  void fail(const std::string& what, const std::string& problem) {
    if (!_ok) return;
    _ok = false;
    *_error = what + " " + problem;
  }
  std::string name(const char* key) const { return _where.empty() ? key : _where + "." + key; }

private:
  const json& _object;
  std::string _where;
  std::string* _error;
  bool _ok = true;
};

// A temp file's name must stay inside the manifest's folder.
bool plainName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

bool readDevice(const json& j, const std::string& where, ManifestDevice* d, std::string* error) {
  Reader r(j, where, error);
  d->serial = r.text("serial", false);
  d->index = r.integer("index", 0, INT32_MAX, -1);
  d->chain = int32_t(r.integer("chain", 0, INT32_MAX, INT64_MIN));
  d->role = r.text("role", false);
  d->markers = uint32_t(r.integer("markers", 0, kAllMarkers, INT64_MIN));
  d->stream = r.text("stream");
  if (r.ok() && !plainName(d->stream)) r.fail(r.name("stream"), "is not a file name");
  if (const json* p = r.field("parameters", false)) d->parameters = *p;
  return r.ok();
}

bool readOutput(const json& j, const std::string& where, ReportOutput* o, std::string* error) {
  Reader r(j, where, error);
  o->kind = r.text("kind");
  o->path = r.text("path");
  if (r.ok() && o->kind != "text" && o->kind != "binary" && o->kind != "hdf5")
    r.fail(r.name("kind"), "is none of \"text\", \"binary\", \"hdf5\"");
  return r.ok();
}


bool readAll(int fd, std::string* text) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buffer, size_t(n));
  }
}

// The rename of a new file is on the disk only once its folder is.
bool syncFolder(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// True while another process holds the lock of the manifest at `path`.
bool lockedElsewhere(const std::string& path) {
  std::string unused;
  const int fd = openRegularFile(path, &unused);
  if (fd < 0) return false;
  const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also drops the lock just taken
  return busy;
}

bool sameFile(int fd, const std::string& path) {
  struct stat open, named;
  return fstat(fd, &open) == 0 && stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

// A manifest whose "published" names the parts log: that object replaced by the log's first
// "count" parts; *count and *bytes how many that is and their bytes. True with nothing to do for
// a manifest that lists its parts itself; false with a message when the log holds fewer.
bool readPartsLog(const std::string& dir, json* manifest, size_t* count, int64_t* bytes,
                  std::string* error) {
  json* published = manifest->is_object() && manifest->contains("published")
                        ? &(*manifest)["published"]
                        : nullptr;
  if (published == nullptr || !published->is_object() ||
      published->value("log", json()) != kPartsLogName ||
      !published->value("count", json()).is_number_unsigned())
    return true;
  const size_t want = (*published)["count"].get<size_t>();
  const std::string path = dir + "/" + kPartsLogName;
  std::string text;
  if (want > 0 && !readRegularFile(path, &text, error)) return false;
  json parts = json::array();
  size_t at = 0;
  while (parts.size() < want) {
    const size_t end = text.find('\n', at);
    const json part =
        end == std::string::npos ? json() : json::parse(text.substr(at, end - at), nullptr, false);
    if (!part.is_object()) {
      *error = std::string("its parts log ") + kPartsLogName + " holds " +
               std::to_string(parts.size()) + " whole parts, not the " + std::to_string(want) +
               " that it names";
      return false;
    }
    parts.push_back(part);
    at = end + 1;
  }
  *published = parts;
  *count = want;
  *bytes = int64_t(at);
  return true;
}

// The manifests of `dir` that a writer killed while it wrote them left under their temporary
// names: each is locked by its writer from before it could be seen, so one that nobody holds
// locked is left over. Removed by the program that takes the run's manifest.
void removeLeftParts(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  static const char kPrefix[] = ".ravik-run-";
  while (const dirent* e = readdir(d)) {
    // The six characters that mkostemp() puts in, no other name.
    if (strncmp(e->d_name, kPrefix, sizeof kPrefix - 1) != 0 ||
        strlen(e->d_name) != sizeof kPrefix - 1 + 6)
      continue;
    const std::string path = dir + "/" + e->d_name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) unlink(path.c_str());
    close(fd);
  }
  closedir(d);
}

}  // namespace

std::string manifestPath(const std::string& dir) { return dir + "/" + kManifestName; }

bool keptRunFile(const std::string& path, std::string* runDir) {
  if (path.empty()) return false;
  const std::string target = followLinks(path);
  struct stat st;
  // A name the manifest gives is the run's also while no file is there: a loss file not written
  // yet, which a recovery would read as soon as it is.
  const bool exists = stat(target.c_str(), &st) == 0;
  if (exists ? !S_ISREG(st.st_mode) : errno != ENOENT) return false;
  std::string dir, base;
  splitPath(target, &dir, &base);
  // A manifest is a few KiB; a large file of that name is something else, and is not read.
  const std::string manifest = manifestPath(dir);
  if (stat(manifest.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (16 << 20))
    return false;
  std::string text, unused;
  if (!readRegularFile(manifest, &text, &unused)) return false;
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.value("manifest", json()) != kKind) return false;
  bool ours = exists && (base == kManifestName || base == kPartsLogName);
  const json devices = j.value("devices", json::array());
  for (size_t i = 0; !ours && devices.is_array() && i < devices.size(); ++i) {
    const json stream = devices[i].is_object() ? devices[i].value("stream", json()) : json();
    ours = stream.is_string() && (stream == json(base) || lossFileName(stream) == base);
  }
  if (ours) *runDir = dir;
  return ours;
}

namespace {

// The manifest as JSON; with `parts` false, "published" (with "resume") is left to the caller.
json manifestJson(const RunManifest& m, bool parts) {
  json devices = json::array();
  for (const ManifestDevice& d : m.devices) devices.push_back(deviceJson(d));
  json outputs = json::array();
  for (const ReportOutput& o : m.outputs) outputs.push_back({{"kind", o.kind}, {"path", o.path}});
  json out = {{"manifest", kKind},
              {"version", kVersion},
              {"program", m.program},
              {"start_utc", orNull(m.startUtc)},
              {"devices", devices},
              {"outputs", outputs},
              {"loss_records", m.lossRecords},
              {"report", orNull(m.reportPath)},
              {"compress", m.compress == Hdf5Compression::Fast
                               ? json(compressionWord(m.compress))
                               : json(m.compress == Hdf5Compression::Deflate)},
              {"meta", metaToJson(m.meta)},
              {"partials", m.partials}};
  if (!m.virtualChannels.is_null()) out["virtual"] = m.virtualChannels;
  if (m.virtualOutputs) out["virtual_outputs"] = true;
  if (!m.resume.is_null()) {
    if (parts) out["published"] = m.published;
    out["resume"] = m.resume;
  }
  if (!m.keep.empty()) out["keep"] = m.keep;
  if (m.splitSize > 0 || m.splitTimePs > 0)
    out["split"] = {{"size", m.splitSize}, {"time_ps", m.splitTimePs}};
  return out;
}

}  // namespace

json toJson(const RunManifest& m) { return manifestJson(m, true); }

bool manifestFromJson(const json& j, RunManifest* m, std::string* error) {
  Reader r(j, "", error);
  if (r.ok() && (j.value("manifest", json()) != kKind || j.value("version", json()) != kVersion)) {
    *error = std::string("not a run manifest of version ") + std::to_string(kVersion);
    return false;
  }
  m->program = r.text("program", false);
  m->startUtc = r.text("start_utc", false);
  const json& devices = r.array("devices");
  if (r.ok() && devices.empty()) r.fail("devices", "is empty");
  const json& outputs = r.array("outputs");
  m->lossRecords = r.flag("loss_records");
  m->reportPath = r.text("report", false);
  const json* compress = r.field("compress", false);
  if (compress != nullptr && *compress == compressionWord(Hdf5Compression::Fast))
    m->compress = Hdf5Compression::Fast;
  else
    m->compress = r.flag("compress") ? Hdf5Compression::Deflate : Hdf5Compression::None;
  m->keep = r.text("keep", false);
  const json* split = r.field("split", false);
  m->splitSize = m->splitTimePs = 0;
  if (split != nullptr) {
    const json size = split->is_object() ? split->value("size", json()) : json();
    const json time = split->is_object() ? split->value("time_ps", json()) : json();
    if (!size.is_number_integer() || !time.is_number_integer() || size.get<int64_t>() < 0 ||
        time.get<int64_t>() < 0 || (size.get<int64_t>() == 0 && time.get<int64_t>() == 0))
      r.fail("split", "is not {\"size\": bytes, \"time_ps\": ps} with one above 0");
    else {
      m->splitSize = size.get<int64_t>();
      m->splitTimePs = time.get<int64_t>();
    }
  }
  std::string why;
  const json* meta = r.field("meta", false);
  m->meta.clear();
  if (meta != nullptr && !metaFromJson(*meta, &m->meta, &why))
    r.fail("meta", "is not the HDF5 output's metadata: " + why);
  const json* published = r.field("published", false);
  const json* resume = r.field("resume", false);
  const bool logged = published != nullptr && published->is_object() &&
                      published->value("log", json()) == kPartsLogName &&
                      published->value("count", json()).is_number_unsigned();
  if ((published == nullptr) != (resume == nullptr) ||
      (published != nullptr && ((!published->is_array() && !logged) || !resume->is_object())))
    r.fail("resume", "does not come with the list of parts \"published\"");
  m->published = published != nullptr ? *published : json();
  m->resume = resume != nullptr ? *resume : json();
  const json* partials = r.field("partials", false);
  if (partials != nullptr && !partials->is_array()) r.fail("partials", "is not a list");
  const json* virtuals = r.field("virtual", false);
  if (virtuals != nullptr && !virtuals->is_array()) r.fail("virtual", "is not a list");
  m->virtualChannels = virtuals != nullptr ? *virtuals : json();
  m->virtualOutputs = r.flag("virtual_outputs");
  if (!r.ok()) return false;
  m->partials.clear();
  for (size_t i = 0; partials != nullptr && i < partials->size(); ++i) {
    const json& p = (*partials)[i];
    if (!p.is_string() || p.get<std::string>().empty() || p.get<std::string>()[0] != '/' ||
        !isPartialName(p.get<std::string>())) {
      *error = "partials[" + std::to_string(i) + "] is not the absolute temporary name of an output";
      return false;
    }
    m->partials.push_back(p.get<std::string>());
  }
  m->devices.resize(devices.size());
  for (size_t i = 0; i < devices.size(); ++i)
    if (!readDevice(devices[i], "devices[" + std::to_string(i) + "]", &m->devices[i], error))
      return false;
  m->outputs.resize(outputs.size());
  for (size_t i = 0; i < outputs.size(); ++i)
    if (!readOutput(outputs[i], "outputs[" + std::to_string(i) + "]", &m->outputs[i], error))
      return false;
  return true;
}

bool ManifestFile::write(const std::string& dir, const RunManifest& manifest, std::string* error) {
  // The manifest this object holds, written anew: the old file stays locked until the new one,
  // locked too, has taken its name, so that no other program can take the run in between.
  const bool rewrite = _fd >= 0 && _dir == dir;
  if (!rewrite) release();
  _dir = dir;
  const std::string path = manifestPath(dir);
  if (!rewrite && lockedElsewhere(path)) {
    *error = path + ": the run of this folder is still being recorded or merged";
    return false;
  }
  if (!rewrite) removeLeftParts(dir);
  // A new run's log begins empty, whatever a run before left under its name.
  if (!rewrite) _logged = 0, _logBytes = 0;
  json j = manifestJson(manifest, false);
  if (!manifest.resume.is_null()) {
    static const json kNone = json::array();
    const json& parts = manifest.published.is_array() ? manifest.published : kNone;
    if (!logParts(parts, error)) return false;
    j["published"] = {{"log", kPartsLogName}, {"count", parts.size()}};
  }
  std::string part = dir + "/.ravik-run-XXXXXX";
  const int fd = mkostemp(&part[0], O_CLOEXEC);
  if (fd < 0) {
    *error = systemError(part);
    return false;
  }
  // Readable like the temp files beside it; locked before anyone can see it under its name.
  const std::string text = j.dump(2) + "\n";
  bool ok = fchmod(fd, 0644) == 0 && flock(fd, LOCK_EX) == 0 &&
            writeAll(fd, text.data(), text.size()) && fsync(fd) == 0;
  if (!ok) *error = systemError(part);
  if (ok && rename(part.c_str(), path.c_str()) != 0) {
    ok = false;
    *error = systemError(path);
  }
  if (!ok) {
    unlink(part.c_str());
    close(fd);
    return false;
  }
  release();
  _fd = fd;
  if (syncFolder(dir)) return true;
  *error = systemError(dir);
  // A first manifest that may not survive a crash is not left to look like one that would. A
  // rewritten one has replaced the old already: it stays, with the old one's lock.
  if (!rewrite) remove();
  return false;
}

bool ManifestFile::take(const std::string& dir, RunManifest* manifest, std::string* error) {
  release();
  _dir = dir;
  const std::string path = manifestPath(dir);
  const int fd = openRegularFile(path, error);
  if (fd < 0) {
    if (errno == ENOENT) *error = dir + ": holds no run manifest " + kManifestName;
    return false;
  }
  // A new recording may have renamed its own manifest over the one opened: then the run is
  // that recording's.
  if ((flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) || !sameFile(fd, path)) {
    close(fd);
    *error = path + ": the run is in use: it is still being recorded or merged, or another "
                    "ravik-merge --recover is merging it";
    return false;
  }
  removeLeftParts(dir);
  std::string text;
  if (!readAll(fd, &text)) {
    *error = systemError(path);
    close(fd);
    return false;
  }
  json j = json::parse(text, nullptr, false);
  std::string problem;
  _logged = 0;
  _logBytes = 0;
  if (j.is_discarded())
    problem = "not a JSON document";
  else if (!readPartsLog(dir, &j, &_logged, &_logBytes, &problem))
    ;
  else
    manifestFromJson(j, manifest, &problem);
  if (!problem.empty()) {
    *error = path + ": " + problem;
    close(fd);
    return false;
  }
  _fd = fd;
  return true;
}

void ManifestFile::release() {
  if (_fd < 0) return;
  close(_fd);  // read or already synced: nothing to lose; the lock goes with it
  _fd = -1;
}

std::string ManifestFile::remove() {
  if (_fd < 0) return std::string();
  const std::string left = removeFiles({manifestPath(_dir), _dir + "/" + kPartsLogName});
  release();
  return left;
}

bool ManifestFile::logParts(const json& published, std::string* error) {
  if (published.size() <= _logged) return true;  // named already (a note that failed before)
  std::string lines;
  for (size_t i = _logged; i < published.size(); ++i) lines += published[i].dump() + "\n";
  const std::string path = _dir + "/" + kPartsLogName;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  bool ok = fd >= 0 && ftruncate(fd, _logBytes) == 0 && lseek(fd, _logBytes, SEEK_SET) >= 0 &&
            writeAll(fd, lines.data(), lines.size()) && fdatasync(fd) == 0;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (!ok) {
    *error = systemError(path);
    return false;
  }
  _logged = published.size();
  _logBytes += int64_t(lines.size());
  return true;
}
