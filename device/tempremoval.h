// Deletes the temp files of a merged recording on a thread of its own. Deleting a file gives its
// blocks back to the file system, which takes a tenth of a second or more per GB: after a long
// recording that would hold up the window after Stop, although the outputs are complete.
//
// A new recording may reuse the same names: it calls wait() before it creates its temp files, so
// that no deletion still to come can reach a file of the new recording.
#ifndef RAVIK_DEVICE_TEMPREMOVAL_H
#define RAVIK_DEVICE_TEMPREMOVAL_H

#include <string>
#include <thread>
#include <vector>

class TempFileRemoval {
public:
  TempFileRemoval() = default;
  // Waits for the deletions still running.
  ~TempFileRemoval();
  TempFileRemoval(const TempFileRemoval&) = delete;
  TempFileRemoval& operator=(const TempFileRemoval&) = delete;

  // Deletes each temp file and its loss file (see removeTempFile) on the thread, after the
  // deletions asked for before. When no thread can be started, deletes them before returning.
  void remove(std::vector<std::string> names);
  // Returns once every deletion asked for so far is done.
  void wait();

private:
  std::thread _thread;
};

#endif
