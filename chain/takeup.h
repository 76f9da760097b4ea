// A split run's raw data let go behind its published parts, and the point after the last of them
// from which its merge is taken up (a recovery), as the run manifest keeps them.
//
// Once a part is published, synced and named in the manifest with the merge's point at or before
// its last record (see merge/resumepoint.h), the raw data before that point are no longer needed:
// each device's temp file gets a hole there (its size and offsets stay), so that the temp disk a
// run of hours takes stays a few parts' worth. No Qt.
#ifndef RAVIK_CHAIN_TAKEUP_H
#define RAVIK_CHAIN_TAKEUP_H

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "chain/partwriter.h"
#include "merge/resumepoint.h"

// The manifest's "resume": where the parts go on and where the merge is taken up.
nlohmann::json takeUpJson(const PartResume& parts, const ResumePoint& point);
// Reads it back for `sources` streams; false with a message naming what is wrong.
bool takeUpFromJson(const nlohmann::json& json, size_t sources, PartResume* parts,
                    ResumePoint* point, std::string* error);

// Lets go of the temp files' raw data before a point, on a thread of its own, a few MB at a time:
// a file system makes a hole with the file locked, and a recording's writes to the file wait
// meanwhile, so one hole of gigabytes would hold up the devices' data for a good part of a second.
class RawRelease {
public:
  // The temp files, in the merge's order; opened for writing only when data are let go. An empty
  // name: a source without a file.
  explicit RawRelease(const std::vector<std::string>& paths);
  // Stops after the step under way.
  ~RawRelease();
  RawRelease(const RawRelease&) = delete;
  RawRelease& operator=(const RawRelease&) = delete;

  // Has each file's data before its point's offset made a hole (whole pages of the file system;
  // the rest of the last page stays), soon. A file system that cannot make holes is left alone,
  // as is a file that cannot be opened: error() then says so; the data stay, nothing is lost.
  void release(const ResumePoint& point);
  // The first release refused; empty: none.
  std::string error() const;

private:
  void run();

  std::vector<std::string> _paths;
  std::vector<int> _fds;          // the release thread's
  mutable std::mutex _lock;       // guards what follows
  std::condition_variable _wake;  // a new target, a step done, or stop
  std::vector<int64_t> _target, _released;
  std::vector<bool> _refused;
  std::string _error;
  bool _stop = false;
  std::thread _thread;
};

#endif
