#include "chain/keptrun.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <regex>
#include <vector>

#include "merge/inputfile.h"
#include "merge/streamloss.h"
#include "report/runmanifest.h"

namespace {

// The names of every "ravik-<index>.tmp" in `dir`.
std::vector<std::string> tempFilesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  static const std::regex kTempName("ravik-[0-9]+\\.tmp");
  while (const dirent* e = readdir(d))
    if (std::regex_match(e->d_name, kTempName)) names.push_back(e->d_name);
  closedir(d);
  return names;
}

// Moves `name` from `from` into `to` if it is there.
bool moveInto(const std::string& from, const std::string& to, const std::string& name,
              std::string* error) {
  const std::string source = from + "/" + name;
  if (rename(source.c_str(), (to + "/" + name).c_str()) == 0 || errno == ENOENT) return true;
  *error = "cannot move " + source + " into " + to + ": " + strerror(errno);
  return false;
}

}  // namespace

bool setAsideKeptRun(const std::string& dir, std::string* movedTo, std::string* error) {
  movedTo->clear();
  const std::string path = manifestPath(dir);
  // Held by a recording or a recovery: not kept, and its temp files are locked.
  std::string unused;
  const int fd = openRegularFile(path, &unused);
  if (fd < 0) return true;  // no run kept here
  const bool inUse = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // opened read only, for the lock: its close cannot lose data
  if (inUse) return true;
  ManifestFile file;
  RunManifest manifest;
  std::string unreadable;
  std::vector<std::string> names;
  if (file.take(dir, &manifest, &unreadable)) {
    for (const ManifestDevice& d : manifest.devices) names.push_back(d.stream);
  } else {
    names = tempFilesIn(dir);
  }
  std::string kept = dir + "/ravik-kept-XXXXXX";
  if (mkdtemp(&kept[0]) == nullptr) {
    *error = "cannot make a folder for the run kept in " + dir + ": " + strerror(errno);
    return false;
  }
  for (const std::string& name : names)
    if (!moveInto(dir, kept, name, error) || !moveInto(dir, kept, lossFileName(name), error))
      return false;
  // The manifest last: until it has moved, the folder still describes what is left of the run.
  if (!moveInto(dir, kept, kPartsLogName, error) || !moveInto(dir, kept, kManifestName, error))
    return false;
  *movedTo = kept;
  return true;
}
