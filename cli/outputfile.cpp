#include "cli/outputfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder part and the name part of a path ("out.txt" lies in ".").
void splitPath(const std::string& path, std::string* dir, std::string* base) {
  const size_t slash = path.rfind('/');
  *dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path with its folder resolved, to compare two outputs that do not exist yet.
std::string canonicalName(const std::string& path) {
  std::string dir, base;
  splitPath(path, &dir, &base);
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) return path;
  return std::string(resolved) + "/" + base;
}

// The file a path names, with every symbolic link on the last component followed, also to a
// target that does not exist yet. Gives up after 40 links, as the system does.
std::string followLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> target(size_t(st.st_size) + PATH_MAX);
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n <= 0) return path;
    const std::string link(target.data(), size_t(n));
    std::string dir, base;
    splitPath(path, &dir, &base);
    path = link[0] == '/' ? link : dir + "/" + link;
  }
  return path;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool OutputFile::create(const std::string& path, std::string* error) {
  _path = path;
  _target = followLinks(path);
  struct stat st;
  const bool exists = stat(_target.c_str(), &st) == 0;
  int fd;
  if (exists && !S_ISREG(st.st_mode)) {
    fd = open(_target.c_str(), O_WRONLY | O_CLOEXEC);
  } else {
    // Short, so that the longest name a folder takes still has a temporary name beside it.
    std::string dir, base;
    splitPath(_target, &dir, &base);
    std::string name = dir + "/.ravik-XXXXXX";
    fd = mkstemp(&name[0]);
    if (fd >= 0) {
      _tmpPath = name;
      // The permissions a plain creation would give, or those of the file it replaces.
      const mode_t mask = umask(0);
      umask(mask);
      fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~mask));
    }
  }
  if (fd < 0) {
    *error = path + ": cannot create: " + strerror(errno);
    return false;
  }
  _sink.reset(new StreamSink);
  _sink->fd = fd;
  _file = openSinkStream(_sink.get());
  if (_file == nullptr) {
    *error = path + ": cannot create: " + strerror(errno);
    close(fd);
    discard();
    return false;
  }
  return true;
}

bool OutputFile::createNamed(const std::string& path, std::string* name, std::string* error) {
  if (!create(path, error)) return false;
  if (_tmpPath.empty()) {
    *error = path + ": cannot write this output to a device or pipe; give a file name";
    discard();
    return false;
  }
  // The library opens the file anew; the stream over the empty file is not needed.
  const bool closed = fclose(_file) == 0;
  _file = nullptr;
  if (!closed) {
    *error = path + ": cannot create: " + strerror(errno);
    discard();
    return false;
  }
  *name = _tmpPath;
  return true;
}

bool OutputFile::finish(std::string* error) {
  if (_file == nullptr) return true;
  const bool flushed = fflush(_file) == 0;
  const bool closed = fclose(_file) == 0;
  _file = nullptr;
  const int code = _sink->error.load(std::memory_order_relaxed);
  if (flushed && closed && code == 0) return true;
  *error = _path + ": write error: " + strerror(code != 0 ? code : EIO);
  discard();
  return false;
}

bool OutputFile::publish(std::string* error) {
  if (_tmpPath.empty()) return true;
  if (rename(_tmpPath.c_str(), _target.c_str()) != 0) {
    *error = _path + ": cannot rename the finished file into place: " + strerror(errno);
    discard();
    return false;
  }
  _tmpPath.clear();
  return true;
}

void OutputFile::discard() {
  if (_file != nullptr) fclose(_file);
  _file = nullptr;
  if (!_tmpPath.empty()) unlink(_tmpPath.c_str());
  _tmpPath.clear();
}

bool publishOutputs(const std::vector<NamedOutput>& outputs, std::string* error) {
  for (const NamedOutput& o : outputs) {
    if (o.file->finish(error)) continue;
    for (const NamedOutput& other : outputs) other.file->discard();
    *error += "; no output written";
    return false;
  }
  std::string complete, missing;
  int32_t completeCount = 0, missingCount = 0;
  for (const NamedOutput& o : outputs) {
    if (o.file->path().empty()) continue;  // not asked for
    if (missingCount == 0 && o.file->publish(error)) {
      complete += (completeCount++ ? ", " : "") + o.file->path();
    } else {
      o.file->discard();
      missing += (missingCount++ ? " and " : "") + std::string(o.kind);
    }
  }
  if (missingCount == 0) return true;
  *error += completeCount == 0 ? "; no output written"
                               : "; " + complete + (completeCount == 1 ? " is" : " are") +
                                     " complete, the " + missing +
                                     (missingCount == 1 ? " output was" : " outputs were") +
                                     " not written";
  return false;
}

bool checkOutputPath(const std::string& path, const std::string& other,
                     const std::vector<InputStream>& inputs, std::string* error) {
  struct stat st;
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    *error = path + ": is a directory; give an output file name";
    return false;
  }
  for (const InputStream& input : inputs) {
    if (exists && st.st_dev == input.device && st.st_ino == input.inode) {
      *error = path + ": is the input stream " + input.arg.path + "; choose another output";
      return false;
    }
  }
  // Both outputs may go to a device such as /dev/null, but not into one file.
  if (!other.empty() && (!exists || S_ISREG(st.st_mode))) {
    struct stat ost;
    const bool same = exists && stat(other.c_str(), &ost) == 0
                          ? sameFile(st, ost)
                          : canonicalName(path) == canonicalName(other);
    if (same) {
      *error = path + ": is given for both outputs";
      return false;
    }
  }
  return true;
}
