#include "chain/recordcore.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "merge/outputpath.h"

std::vector<ChainStep> chainOrder(const std::vector<int32_t>& positions) {
  int32_t highest = -1;
  for (int32_t p : positions)
    if (p > highest) highest = p;
  std::vector<ChainStep> steps;
  for (int32_t p = 0; p <= highest; ++p) {
    int n = 0;
    for (size_t d = 0; d < positions.size(); ++d) {
      if (positions[d] != p) continue;
      steps.push_back({ChainStep::Place, p, int32_t(d)});
      ++n;
    }
    if (n >= 2) steps.push_back({ChainStep::NotUnique, p, -1});
    if (n == 0) steps.push_back({ChainStep::Missing, p, -1});
  }
  return steps;
}

bool positionsRepeat(std::vector<int32_t> positions) {
  std::sort(positions.begin(), positions.end());
  return std::adjacent_find(positions.begin(), positions.end()) != positions.end();
}

std::string tempFileName(const std::string& dir, uint32_t index) {
  return dir + "/ravik-" + std::to_string(index) + ".tmp";
}

namespace {

// A locked descriptor of `name` for writing, or -1 with *rc set. `fresh`: the file must not exist
// yet (it is created here).
int lockedTempFile(const std::string& name, bool fresh, int32_t* rc) {
  // Without waiting: a named pipe of that name without a reader would block the open for good.
  const int fd = open(name.c_str(),
                      O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (fresh ? O_EXCL : 0), 0666);
  if (fd < 0) {
    // Created by another recording in the meantime: it is that recording's now.
    *rc = fresh && errno == EEXIST ? kTempFileBusy : kTempFileError;
    return -1;
  }
  // A temp file is a regular file: the merge reads it again from its start.
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0 &&
      flock(fd, LOCK_EX | LOCK_NB) == 0)
    return fd;
  *rc = regular && errno == EWOULDBLOCK ? kTempFileBusy : kTempFileError;
  close(fd);
  return -1;
}

}  // namespace

int32_t openTempFile(const std::string& name, FILE** file) {
  *file = nullptr;
  int32_t rc = 0;
  int fd = lockedTempFile(name, false, &rc);
  if (fd < 0) return rc;
  struct stat st;
  if (fstat(fd, &st) != 0) rc = kTempFileError;
  if (rc == 0 && st.st_size > 0) {
    // An earlier stream is replaced by a new file rather than cut to nothing: the file system
    // writes a file that was cut to nothing back to the disk when it is closed, which after a
    // long recording holds up the Stop for seconds; a new file closes at once.
    // The lock is held meanwhile, so no other recording or merge is using the old file.
    if (unlink(name.c_str()) != 0) {
      rc = kTempFileError;
    } else {
      const int created = lockedTempFile(name, true, &rc);
      close(fd);
      fd = created;
    }
  }
  if (rc == 0 && (*file = fdopen(fd, "wb")) == nullptr) rc = kTempFileError;
  if (rc != 0) {
    if (fd >= 0) close(fd);
    return rc;
  }
  // What was noted of the stream that was just cut away no longer holds.
  unlink(lossFileName(name).c_str());
  return 0;
}

int32_t lockTempFile(FILE* file) {
  return flock(fileno(file), LOCK_EX | LOCK_NB) == 0 ? 0 : kTempFileBusy;
}

int32_t closeTempFile(FILE** file) {
  FILE* f = *file;
  *file = nullptr;
  if (f == nullptr || fclose(f) == 0) return 0;
  return errno != 0 ? errno : EIO;
}

std::string removeTempFile(const std::string& name) {
  return removeFiles({name, lossFileName(name)});
}

TempWriteFunction tempWriteFunction = &write;

void appendBlock(FILE* file, TempWriteState& state, const uint32_t* words, int32_t count) {
  // Straight to the file, past the stdio buffer: then the file holds exactly the blocks whose
  // writes returned, and a failure can be cut back without buffered bytes following later.
  const int fd = fileno(file);
  const char* data = reinterpret_cast<const char*>(words);
  size_t left = 4 * size_t(count);
  while (left > 0) {
    const ssize_t n = tempWriteFunction(fd, data, left);
    if (n > 0) {
      data += n;
      left -= size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A write that takes nothing of a regular file has no room for it.
    const int32_t error = n < 0 ? errno : ENOSPC;
    const int64_t complete = state.bytes.load(std::memory_order_relaxed);
    // If the cut fails too, the file ends in part of a block: its whole packets decode to
    // exact timestamps all the same, and the loss is noted at `complete`.
    [[maybe_unused]] const int cut = ftruncate(fd, complete);
    state.error.store(error, std::memory_order_relaxed);
    return;
  }
  state.bytes.store(state.bytes.load(std::memory_order_relaxed) + 4 * int64_t(count),
                    std::memory_order_relaxed);
}

int64_t monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void LossLog::start(const std::string& stream, int64_t nowNs) {
  *this = LossLog();
  _name = lossFileName(stream);
  _startNs = nowNs;
}

void LossLog::refresh(int64_t bytes, bool lost, bool clockOk, int64_t nowNs) {
  _clockBad = _clockBad || !clockOk;
  if (bytes != _lastBytes) _stalledSinceNs = 0;
  else if (_stalledSinceNs == 0) _stalledSinceNs = nowNs;
  _lastNs = nowNs;
  bool changed = false;
  if (_pending) {
    _losses.back().toByte = bytes;
    _pending = false;
    changed = true;
  }
  if (lost) {
    // The flag was clear when read last, so what was lost came after the stream's size then;
    // a device that restarts its stream does so in the blocks that follow, which the next
    // refresh sees.
    _losses.push_back({StreamLoss::Device, _lastBytes, bytes, kDeviceLossCause});
    _pending = changed = _lossSeen = true;
  }
  _lastBytes = bytes;
  if (changed) save();
}

int64_t LossLog::wentOnNs(int64_t bytes, int64_t stopNs) const {
  // The stream's last timestamp had happened before the refresh that first saw its final size;
  // the next refresh that saw it unchanged is a whole refresh period later, longer than any
  // delivery takes. From then to the stop the recording surely went on without the device's
  // data, and the devices that recorded on have records at least that late.
  if (bytes == 0) return _startNs == 0 ? 0 : std::max<int64_t>(0, stopNs - _startNs);
  if (bytes != _lastBytes || _stalledSinceNs == 0) return 0;
  return std::max<int64_t>(0, stopNs - _stalledSinceNs);
}

void LossLog::writeFailed(int64_t bytes, int32_t error) {
  if (_writeFailed) return;
  _writeFailed = true;
  // Until the end of the recording is known, the loss lasts at least until this refresh.
  _losses.push_back({StreamLoss::WriteFailed, bytes, bytes,
                     std::string("temp file write failed: ") + strerror(error),
                     wentOnNs(bytes, _lastNs)});
  save();
}

const StreamLoss* LossLog::writeFailure() const {
  for (const StreamLoss& loss : _losses)
    if (loss.kind == StreamLoss::WriteFailed) return &loss;
  return nullptr;
}

void LossLog::finish(int64_t bytes, int64_t stopNs) {
  if (_losses.empty()) return;
  if (_pending) _losses.back().toByte = bytes;
  _pending = false;
  const int64_t wentOn = wentOnNs(bytes, stopNs);
  for (StreamLoss& loss : _losses) loss.lostNs = wentOn;
  save();
}

void LossLog::save() {
  if (_name.empty()) return;
  std::string error;
  if (!writeLossFile(_name, _losses, &error) && _fileError.empty()) _fileError = error;
}
