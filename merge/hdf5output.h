// The merged records as an HDF5 file in the Photon-HDF5 layout (format version 0.5), the open
// interchange format for photon time tags.
//
//   /photon_data/timestamps        int64, picoseconds (timestamps_specs/timestamps_unit = 1e-12)
//   /photon_data/detectors         int16, the output channel of each timestamp
//   /setup, /identity, /provenance the description of the run; /setup/detectors holds the ids
//                                  of the output channels in use and their counts
//   /user/ravik/report             the run report, a JSON string
//   /user/ravik/loss_intervals     where data were lost: chain, from_ps, to_ps, cause
//
// The two columns are chunked (2^20 records per chunk) and grow as the merge goes, so memory
// stays at one chunk of each whatever the file's size. Every node carries the TITLE that readers
// of the format expect; strings are fixed-length byte strings and booleans are 0/1 integers.
//
// No Qt and no device library. Used from one thread at a time (the HDF5 library is not built
// thread-safe): create(), then putRecords() from the merge's thread, then finish() or abandon().
#ifndef RAVIK_MERGE_HDF5OUTPUT_H
#define RAVIK_MERGE_HDF5OUTPUT_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "merge/recordsink.h"
#include "merge/streamloss.h"

// What the records themselves do not tell; written by finish().
struct Hdf5RunInfo {
  std::string description;      // root description, a comment on the run
  std::string software;         // the program that wrote the file, e.g. "ravik-merge"
  std::string softwareVersion;
  double acquisitionSeconds = -1;  // measurement duration; negative: the span of the timestamps
  // The raw device streams the records came from, in chain order (full paths); none: no
  // provenance group.
  std::vector<std::string> sources;
  std::string sourceSoftware;   // what recorded the raw streams, with its version; may be empty
  std::string sourceSoftwareVersion;
  std::string report;           // the run report as JSON; empty: "{}"
  std::vector<LossInterval> losses;  // the cause is cut to 127 bytes
};

class Hdf5Output : public RecordSink {
public:
  static constexpr int64_t kChunkRecords = int64_t(1) << 20;

  Hdf5Output();
  ~Hdf5Output() override;  // abandons an unfinished file
  Hdf5Output(const Hdf5Output&) = delete;
  Hdf5Output& operator=(const Hdf5Output&) = delete;

  // Creates (truncates) the file at `path`, whose name once complete is `finalPath` (recorded in
  // /identity). `compress`: shuffle and deflate filters on the columns. False with a one-line
  // message naming `finalPath` in *error.
  bool create(const std::string& path, const std::string& finalPath, bool compress,
              std::string* error);

  void putRecords(const char* records, size_t count) override;

  // True once a write has failed; later records are dropped. Any thread may ask.
  bool failed() const { return _failed.load(std::memory_order_relaxed); }
  int64_t records() const { return _records; }

  // Writes the rest of the columns and the description of the run and closes the file. False
  // with a message naming the file when anything could not be written.
  bool finish(const Hdf5RunInfo& info, std::string* error);
  // Closes the file without completing it (the caller removes it).
  void abandon();

private:
  struct Impl;

  bool writeColumns(int64_t count);
  void fail(const char* what);

  std::unique_ptr<Impl> _impl;
  std::string _finalPath;
  std::vector<int64_t> _times;    // kChunkRecords entries
  std::vector<int16_t> _channels;
  int64_t _buffered = 0;          // records in _times and _channels
  int64_t _records = 0;           // records taken in all
  int64_t _first = 0, _last = 0;  // times of the first and the last record
  std::vector<int64_t> _counts;   // per output channel, indexed by channel + 32768
  std::string _error;             // the first failure
  std::atomic<bool> _failed{false};
};

#endif
