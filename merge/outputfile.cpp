#include "merge/outputfile.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "merge/outputpath.h"

namespace {

constexpr int64_t kReaderPollNs = 100 * 1000 * 1000;

// Whether another program holds the file at `path` under an exclusive advisory lock, as a
// recording does with the raw files it writes or replays: such a file must not be replaced, as
// its content would be lost from the folder while the program still works on it. A shared lock
// (a reader's, such as the HDF5 library's on a file open for reading) does not count: the
// reader keeps what it opened.
bool heldByAnother(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;  // not readable: no lock can be asked for (a rename still could)
  const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also gives the lock back
  return held;
}

std::string heldText(const std::string& path) {
  return path + ": is in use by another recording, which writes or replays it";
}

}  // namespace

namespace {

// Copies the first `bytes` bytes of the file `from` to `to` (in the kernel where it can), and
// leaves `to` after them. False with a message.
bool copyFront(const std::string& from, int to, int64_t bytes, std::string* error) {
  const int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  errno = 0;
  if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < bytes) {
    *error = in >= 0 && errno == 0 ? "not a file as long as what was held of it" : strerror(errno);
    if (in >= 0) close(in);
    return false;
  }
  std::vector<char> piece;
  for (int64_t done = 0; done < bytes;) {
    ssize_t n = copy_file_range(in, nullptr, to, nullptr, size_t(bytes - done), 0);
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      piece.resize(1 << 20);  // file systems that cannot copy in the kernel
      n = pread(in, piece.data(), std::min<size_t>(piece.size(), size_t(bytes - done)), done);
      if (n > 0 && write(to, piece.data(), size_t(n)) != n) n = -1;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n == 0 ? "cut short while copied" : strerror(errno);
      close(in);
      return false;
    }
    done += n;
  }
  close(in);
  return true;
}

}  // namespace

int OutputFile::openInPlace(const std::string& name) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return open(name.c_str(), O_WRONLY | O_CLOEXEC);
  // A pipe without a reader: opening it would block with the stop signals blocked. Without
  // O_NONBLOCK the open fails with ENXIO until a reader comes; the pipe then stays non-blocking,
  // and its writes wait in polls (see StreamSink::pipe).
  sigset_t stops;
  sigemptyset(&stops);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
  const timespec tick{0, kReaderPollNs};
  for (;;) {
    const int fd = open(name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 || errno != ENXIO) return fd;
    const int s = sigtimedwait(&stops, nullptr, &tick);
    if (s > 0) {
      _stopSignal = s;
      errno = EINTR;
      return -1;
    }
  }
}

bool OutputFile::create(const std::string& path, std::string* error, bool noClobber,
                        PipeReader reader) {
  _path = path;
  _noClobber = noClobber;
  const int32_t given = descriptorName(path);
  _target = given >= 0 ? path : followLinks(path);
  struct stat st;
  const bool exists = given < 0 && stat(_target.c_str(), &st) == 0;
  if (exists && heldByAnother(_target)) {
    *error = heldText(path) + "; choose another name";
    return false;
  }
  int fd;
  bool pending = false;  // a pipe to open at the first write
  if (given >= 0) {
    fd = fcntl(given, F_DUPFD_CLOEXEC, 3);
  } else if (exists && S_ISFIFO(st.st_mode) && reader == PipeReader::AtFirstWrite) {
    // Non-blocking as openInPlace() leaves it; ENXIO: no reader yet.
    fd = open(_target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    pending = fd < 0 && errno == ENXIO;
  } else if (exists && !S_ISREG(st.st_mode)) {
    fd = openInPlace(_target);
  } else {
    std::string dir, base;
    splitPath(_target, &dir, &base);
    const int64_t held = _reserved.empty() ? -1 : _heldBytes;
    const std::string from = held >= 0 ? _reserved : std::string();
    std::string name = _reserved.empty() || held >= 0 ? partialTemplate(dir) : _reserved;
    fd = _reserved.empty() || held >= 0
             ? mkstemp(&name[0])
             : open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    _reserved.clear();
    _heldBytes = -1;
    if (fd >= 0 && held >= 0 && !copyFront(from, fd, held, error)) {
      *error = path + ": cannot go on with " + from + ", its unfinished file: " + *error;
      close(fd);
      unlink(name.c_str());
      return false;
    }
    if (fd >= 0) {
      _tmpPath = name;
      // The permissions a plain creation would give, or those of the file it replaces.
      const mode_t mask = umask(0);
      umask(mask);
      fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~mask));
    }
  }
  if (fd < 0 && !pending && _stopSignal != 0) {
    *error = path + ": no reader opened the pipe before signal " + strsignal(_stopSignal);
    return false;
  }
  if (fd < 0 && !pending) {
    *error = path + (given >= 0 ? ": cannot write to descriptor " + std::to_string(given) + ": "
                                : ": cannot create: ") +
             strerror(errno);
    return false;
  }
  _sink.reset(new StreamSink);
  _sink->fd = fd;
  _sink->countedPosition = given >= 0;
  if (pending)
    deferPipe(_sink.get(), _target);
  else
    watchPipe(_sink.get());
  _file = openSinkStream(_sink.get());
  if (_file == nullptr) {
    *error = path + ": cannot create: " + strerror(errno);
    if (fd >= 0) close(fd);
    discard();
    return false;
  }
  return true;
}

bool OutputFile::createNamed(const std::string& path, std::string* name, std::string* error,
                             bool noClobber) {
  // Refused before create(), which would wait for a pipe's reader.
  struct stat st;
  if (descriptorName(path) >= 0 ||
      (stat(followLinks(path).c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
    *error = path + ": cannot write this output to a device or pipe; give a file name";
    return false;
  }
  if (!create(path, error, noClobber)) return false;
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

bool OutputFile::finish(std::string* error, bool durable) {
  if (_file == nullptr) {
    // A file written by name (HDF5) was closed by its writer: its data are synced through a
    // descriptor of its own.
    if (!durable || _tmpPath.empty()) return true;
    const int fd = open(_tmpPath.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && fsync(fd) == 0;
    const int code = errno;
    if (fd >= 0) close(fd);
    if (synced) return true;
    *error = _path + ": cannot be synced to disk: " + strerror(code);
    discard();
    return false;
  }
  const bool flushed = fflush(_file) == 0;
  int syncError = 0;
  if (durable && flushed && _sink->fd >= 0 && fsync(_sink->fd) != 0) syncError = errno;
  const bool closed = fclose(_file) == 0;
  _file = nullptr;
  int code = _sink->error.load(std::memory_order_relaxed);
  if (code == 0) code = syncError;
  if (flushed && closed && code == 0) return true;
  *error = _path + ": write error: " + strerror(code != 0 ? code : EIO);
  discard();
  return false;
}

bool OutputFile::sync(int64_t* bytes, std::string* error) {
  errno = 0;
  const bool flushed = _file != nullptr && fflush(_file) == 0;
  int code = _sink ? _sink->error.load(std::memory_order_relaxed) : EBADF;
  if (code == 0 && (!flushed || (_sink->fd >= 0 && fsync(_sink->fd) != 0))) code = errno;
  if (code == 0) {
    *bytes = ftello(_file);
    if (*bytes >= 0) return true;
    code = errno;
  }
  *error = _path + ": cannot be synced to disk: " + strerror(code != 0 ? code : EIO);
  return false;
}

bool OutputFile::publish(std::string* error) {
  if (_tmpPath.empty()) return true;
  // Checked again: the file may have been taken up since the output was created.
  if (heldByAnother(_target)) {
    *error = heldText(_path) + "; the finished file was not put in its place";
    discard();
    return false;
  }
  const int rc = _noClobber ? renameat2(AT_FDCWD, _tmpPath.c_str(), AT_FDCWD, _target.c_str(),
                                        RENAME_NOREPLACE)
                            : rename(_tmpPath.c_str(), _target.c_str());
  if (rc != 0) {
    *error = _path + ": cannot rename the finished file into place: " + strerror(errno);
    discard();
    return false;
  }
  _tmpPath.clear();
  return true;
}

void OutputFile::discard() {
  cancel();
  if (_file != nullptr) fclose(_file);
  _file = nullptr;
  if (!_tmpPath.empty()) unlink(_tmpPath.c_str());
  _tmpPath.clear();
}

std::vector<std::string> partialNames(const std::vector<const OutputFile*>& outputs) {
  std::vector<std::string> names;
  for (const OutputFile* o : outputs)
    if (o != nullptr && !o->partialPath().empty()) names.push_back(absolutePath(o->partialPath()));
  return names;
}

namespace {

// The new names of the published outputs reach the disk: each folder that holds one is synced.
bool syncFolders(const std::vector<NamedOutput>& outputs, std::string* error) {
  std::vector<std::string> done;
  for (const NamedOutput& o : outputs) {
    if (o.file->path().empty()) continue;
    std::string dir, base;
    splitPath(o.file->path(), &dir, &base);
    if (std::find(done.begin(), done.end(), dir) != done.end()) continue;
    done.push_back(dir);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && fsync(fd) == 0;
    const int code = errno;
    if (fd >= 0) close(fd);
    if (synced) continue;
    *error = dir + ": the folder cannot be synced to disk: " + strerror(code) + "; " +
             o.file->path() + " is in place but may not survive a crash of the system";
    return false;
  }
  return true;
}

}  // namespace

bool publishOutputs(const std::vector<NamedOutput>& outputs, std::string* error, bool durable) {
  for (const NamedOutput& o : outputs) {
    if (o.file->finish(error, durable)) continue;
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
  if (missingCount == 0) return !durable || syncFolders(outputs, error);
  *error += completeCount == 0 ? "; no output written"
                               : "; " + complete + (completeCount == 1 ? " is" : " are") +
                                     " complete, the " + missing +
                                     (missingCount == 1 ? " output was" : " outputs were") +
                                     " not written";
  return false;
}
