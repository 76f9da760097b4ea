#include "merge/inputfile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

int failed(const std::string& path, std::string* error) {
  const int code = errno;
  *error = path + ": cannot open: " + strerror(code);
  errno = code;
  return -1;
}

int notRegular(const std::string& path, mode_t mode, std::string* error) {
  *error = path + ": is " + kindOf(mode) + ", not a regular file";
  errno = 0;
  return -1;
}

}  // namespace

int openRegularFile(const std::string& path, std::string* error) {
  // Told before the open, which has effects of its own on some devices; the open itself does not
  // wait either, should a pipe have taken the name meanwhile.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return failed(path, error);
  if (!S_ISREG(st.st_mode)) return notRegular(path, st.st_mode, error);
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return failed(path, error);
  if (fstat(fd, &st) != 0) {
    const int code = errno;
    close(fd);  // read only
    errno = code;
    return failed(path, error);
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return notRegular(path, st.st_mode, error);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

FILE* fopenRegularFile(const std::string& path, std::string* error) {
  const int fd = openRegularFile(path, error);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "rb");
  if (f != nullptr) return f;
  failed(path, error);
  close(fd);  // read only
  return nullptr;
}

bool readRegularFile(const std::string& path, std::string* text, std::string* error) {
  FILE* f = fopenRegularFile(path, error);
  if (f == nullptr) return false;
  char block[4096];
  for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;) text->append(block, n);
  const bool ok = !ferror(f);
  if (!ok) *error = path + ": cannot read: " + strerror(errno != 0 ? errno : EIO);
  fclose(f);  // read only
  return ok;
}
