// Deletes the temp files of a merged recording. Each file first leaves its name, at once: it is
// renamed into a new folder "ravik-deleting-XXXXXX" in its folder, so that the name is free for
// the next recording and no one finds a merged file under it.
// The deletion itself runs on a thread of its own: deleting a file gives its blocks back to the
// file system, which takes a tenth of a second or more per GB, and after a long recording that
// would hold up the window after Stop, although the outputs are complete.
#ifndef RAVIK_CHAIN_TEMPREMOVAL_H
#define RAVIK_CHAIN_TEMPREMOVAL_H

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

  // Moves each temp file and its loss file (see lossFileName) aside, then deletes them and the
  // folder on a thread, after the deletions asked for before; returns without waiting for them.
  // A file that cannot be moved (no folder can be made beside it) is deleted here, and so is
  // everything when no thread can be started. Returns the files that could be neither moved nor
  // deleted, with why ("NAME: not removed: ..."), empty when none.
  std::string remove(const std::vector<std::string>& names);
  // Returns once every deletion asked for so far is done.
  void wait();

private:
  std::thread _thread;
};

// Called on the deletion thread before it deletes anything; null unless a test holds the
// deletion to see what is done before it.
extern void (*tempRemovalStarting)();

#endif
