#include "merge/outputstream.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr int kPipePollMs = 100;

bool stopSignalPending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
         sigismember(&pending, SIGHUP) == 1;
}

// Waits until the pipe takes bytes; false when the run is being stopped meanwhile.
bool waitForRoom(StreamSink* sink) {
  pollfd p{sink->fd, POLLOUT, 0};
  for (;;) {
    if (sink->cancel.load(std::memory_order_relaxed) || stopSignalPending()) return false;
    const int n = poll(&p, 1, kPipePollMs);
    if (n > 0) return true;  // room, or an error that the write will report
    if (n < 0 && errno != EINTR) return true;
  }
}

// Opens the pending pipe once a reader has opened it; false, with the error kept, when the run is
// being stopped meanwhile or the pipe cannot be opened.
bool openPendingPipe(StreamSink* sink) {
  for (;;) {
    if (sink->cancel.load(std::memory_order_relaxed) || stopSignalPending()) {
      sink->error.store(EINTR, std::memory_order_relaxed);
      return false;
    }
    // Without O_NONBLOCK the open would wait for a reader beyond the reach of a stop; with it, it
    // fails with ENXIO until one comes.
    const int fd = open(sink->pendingPipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      sink->fd = fd;
      sink->pendingPipe.clear();
      return true;
    }
    if (errno != ENXIO && errno != EINTR) {
      sink->error.store(errno, std::memory_order_relaxed);
      return false;
    }
    poll(nullptr, 0, kPipePollMs);
  }
}

// The outputs are written from their start, so the count of bytes written is their end.
void writeBehind(StreamSink* sink) {
  if (sink->written - sink->behind.synced < WriteBehind::kStep) return;
  if (sink->regular < 0) {
    struct stat st;
    sink->regular = fstat(sink->fd, &st) == 0 && S_ISREG(st.st_mode) && !sink->countedPosition;
  }
  if (sink->regular == 1) sink->behind.advance(sink->fd, sink->written);
}

// Returns the count of bytes written, which is below `size` after an error. Never a negative
// count: the stream library would take it as a huge count written and read on past `data`.
ssize_t sinkWrite(void* cookie, const char* data, size_t size) {
  StreamSink* sink = static_cast<StreamSink*>(cookie);
  if (sink->error.load(std::memory_order_relaxed) != 0) return 0;  // a full disk stays full
  if (sink->fd < 0 && !openPendingPipe(sink)) return 0;
  size_t done = 0;
  while (done < size) {
    if (sink->pipe && !waitForRoom(sink)) {
      sink->error.store(EINTR, std::memory_order_relaxed);
      break;
    }
    const size_t chunk = sink->pipe ? std::min(size - done, sink->pipeChunk) : size - done;
    const ssize_t n = write(sink->fd, data + done, chunk);
    if (n < 0 && (errno == EINTR || (sink->pipe && errno == EAGAIN))) continue;
    if (n <= 0) {
      sink->error.store(n < 0 ? errno : ENOSPC, std::memory_order_relaxed);
      break;
    }
    done += size_t(n);
  }
  sink->written += int64_t(done);
  if (!sink->pipe) writeBehind(sink);
  return ssize_t(done);
}

// Where the descriptor cannot seek, the position asked for (ftell) is the count of bytes written.
int sinkSeek(void* cookie, off64_t* offset, int whence) {
  StreamSink* sink = static_cast<StreamSink*>(cookie);
  if (sink->countedPosition && whence == SEEK_CUR && *offset == 0) {
    *offset = sink->written;
    return 0;
  }
  const off64_t at = lseek64(sink->fd, *offset, whence);
  if (at < 0 && errno == ESPIPE && whence == SEEK_CUR && *offset == 0) {
    *offset = sink->written;
    return 0;
  }
  if (at < 0) return -1;
  *offset = at;
  return 0;
}

// Delayed write errors of some file systems show only here. The close also fails, with the
// errno of the first failed write, when any write failed, so that fclose() tells the stream's
// whole outcome.
int sinkClose(void* cookie) {
  StreamSink* sink = static_cast<StreamSink*>(cookie);
  // A pipe never written to: a reader that waits for it is let go with the end of the data.
  if (sink->fd < 0 && !sink->pendingPipe.empty())
    sink->fd = open(sink->pendingPipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  const int rc = sink->fd >= 0 ? close(sink->fd) : 0;
  if (rc != 0 && sink->error.load(std::memory_order_relaxed) == 0)
    sink->error.store(errno, std::memory_order_relaxed);
  const int code = sink->error.load(std::memory_order_relaxed);
  if (sink->ownedByStream) delete sink;
  if (code == 0) return 0;
  errno = code;
  return -1;
}

}  // namespace

void WriteBehind::advance(int fd, int64_t end) {
  if (end - synced < kStep) return;
  posix_fadvise(fd, dropped, synced - dropped, POSIX_FADV_DONTNEED);
  dropped = synced;
  sync_file_range(fd, synced, end - synced, SYNC_FILE_RANGE_WRITE);
  synced = end;
}

void watchPipe(StreamSink* sink) {
  struct stat st;
  if (fstat(sink->fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return;
  sink->pipe = true;
  // A blocking pipe that signals room takes PIPE_BUF bytes without blocking; a non-blocking one
  // takes what it can and says EAGAIN for the rest.
  const int flags = fcntl(sink->fd, F_GETFL);
  sink->pipeChunk = flags >= 0 && (flags & O_NONBLOCK) ? SIZE_MAX : PIPE_BUF;
}

void deferPipe(StreamSink* sink, const std::string& path) {
  sink->fd = -1;
  sink->pendingPipe = path;
  sink->pipe = true;
  sink->pipeChunk = SIZE_MAX;  // it is opened non-blocking
  sink->countedPosition = true;  // a pipe cannot seek
}

FILE* openSinkStream(StreamSink* sink) {
  return fopencookie(sink, "w", cookie_io_functions_t{nullptr, sinkWrite, sinkSeek, sinkClose});
}

FILE* openOutputStream(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  StreamSink* sink = new StreamSink;
  sink->fd = fd;
  sink->ownedByStream = true;
  FILE* file = openSinkStream(sink);
  if (file != nullptr) return file;
  const int code = errno;
  close(fd);
  delete sink;
  errno = code;
  return nullptr;
}

int closeOutputStream(FILE* file) {
  errno = 0;
  const bool flushed = fflush(file) == 0;
  const int flushCode = errno;
  if (fclose(file) != 0) return errno != 0 ? errno : EIO;
  return flushed ? 0 : (flushCode != 0 ? flushCode : EIO);
}

bool writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    size -= size_t(n);
  }
  return true;
}
