#include "device/recordcore.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

std::string tempFileName(const std::string& dir, uint32_t index) {
  return dir + "/ravik-" + std::to_string(index) + ".tmp";
}

int32_t openTempFile(const std::string& name, FILE** file) {
  *file = nullptr;
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return kTempFileError;
  int32_t rc = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    rc = errno == EWOULDBLOCK ? kTempFileBusy : kTempFileError;
  else if (ftruncate(fd, 0) != 0 || (*file = fdopen(fd, "wb")) == nullptr)
    rc = kTempFileError;
  if (rc != 0) close(fd);
  return rc;
}

int32_t lockTempFile(FILE* file) {
  return flock(fileno(file), LOCK_EX | LOCK_NB) == 0 ? 0 : kTempFileBusy;
}

void closeTempFile(FILE** file) {
  FILE* f = *file;
  *file = nullptr;
  if (f) fclose(f);
}
