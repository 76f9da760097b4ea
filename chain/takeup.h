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

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chain/partwriter.h"
#include "merge/resumepoint.h"

// The manifest's "resume": where the parts go on and where the merge is taken up.
nlohmann::json takeUpJson(const PartResume& parts, const ResumePoint& point);
// Reads it back for `sources` streams; false with a message naming what is wrong.
bool takeUpFromJson(const nlohmann::json& json, size_t sources, PartResume* parts,
                    ResumePoint* point, std::string* error);

// Lets go of the temp files' raw data before a point.
class RawRelease {
public:
  // The temp files, in the merge's order; opened for writing only when data are let go. An empty
  // name: a source without a file.
  explicit RawRelease(const std::vector<std::string>& paths);
  ~RawRelease();
  RawRelease(const RawRelease&) = delete;
  RawRelease& operator=(const RawRelease&) = delete;

  // Makes each file's data before its point's offset a hole (whole pages of the file system; the
  // rest of the last page stays). A file system that cannot make holes is left alone, as is a
  // file that cannot be opened: *error then says so, once; the data stay, nothing is lost.
  void release(const ResumePoint& point, std::string* error);
  // Bytes let go from each file so far; whether any were.
  std::vector<int64_t> released() const;
  bool any() const;

private:
  std::vector<std::string> _paths;
  std::vector<int> _fds;
  std::vector<int64_t> _released;
  bool _refused = false;  // told once that a file could not be released
};

#endif
