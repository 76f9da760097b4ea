#include "thread/stdfds.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

bool openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is `fd` itself, as all below it are open.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) return false;
    if (opened != fd) {
      close(opened);
      return false;
    }
  }
  return true;
}
