#include "thread/priority.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kYieldNice = 10;

}  // namespace

// On Linux a nice value belongs to one thread, named by its thread id.
void yieldToRecording() { setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), kYieldNice); }

// The threads that yielded are found by their nice value: the threads they started inherited it
// and are not known by id here (the merge's decoding thread).
void endYieldToRecording() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return;
  while (const dirent* entry = readdir(tasks)) {
    const id_t tid = id_t(strtol(entry->d_name, nullptr, 10));
    if (tid == 0) continue;
    errno = 0;
    if (getpriority(PRIO_PROCESS, tid) == kYieldNice && errno == 0)
      setpriority(PRIO_PROCESS, tid, 0);
  }
  closedir(tasks);
}

void RecordingYield::yieldHere() {
  std::lock_guard<std::mutex> hold(_lock);
  if (ended()) return;
  yieldToRecording();
  _yielded = true;
}

void RecordingYield::end() {
  std::lock_guard<std::mutex> hold(_lock);
  if (_yielded) endYieldToRecording();
  _yielded = false;
  _growing.store(false, std::memory_order_release);
}
