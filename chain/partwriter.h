// The outputs of a long run split into parts: "run-0001.bin", "run-0002.bin", ... in place of
// "run.bin", and so for every output of the run (text, binary, HDF5), all split at the same
// record. Each part is written under a temporary name and renamed into place once it is
// complete, synced to disk and valid on its own (the binary part with its header and trailer, the
// HDF5 part a whole file of its own), while the run goes on; the records of all parts in order are
// those of the unsplit output. A part ends once it has reached the size (its largest output; an
// HDF5 output counted as its uncompressed columns, 10 bytes a record) or once the stream time has
// reached the end of the part's time span, counted in spans from the run's first record; it
// never ends between two records of one time. No Qt.
#ifndef RAVIK_CHAIN_PARTWRITER_H
#define RAVIK_CHAIN_PARTWRITER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "merge/hdf5output.h"
#include "merge/outputcheck.h"
#include "monitor/measurements.h"

// When a part ends; zero: that rule is off.
struct SplitRule {
  int64_t size = 0;    // bytes of a part (--split-size)
  int64_t timePs = 0;  // stream time of a part (--split-time)
  bool on() const { return size > 0 || timePs > 0; }
};

// A part's span of `seconds` as whole picoseconds in *ps; false unless above 0 and at most 1e7 s
// (beyond, a part's end could overflow the time axis's 64-bit picoseconds).
bool splitTimePs(double seconds, int64_t* ps);

// The name of part `index` (from 1) of the output `path`: "dir/run.bin" gives "dir/run-0001.bin";
// four digits at least; a name without extension gets the number at its end.
std::string partName(const std::string& path, int32_t index);

struct PartFile {
  std::string kind;  // "text", "binary", "hdf5"
  std::string path;  // absolute
};

// One published part.
struct PartFacts {
  int32_t index = 0;
  int64_t records = 0;
  int64_t first = INT64_MAX, last = INT64_MIN;  // of its records; none: INT64_MAX, INT64_MIN
  std::vector<PartFile> files;
};
// The run report's "parts".
nlohmann::json partsJson(const std::vector<PartFacts>& parts);
class PartWriter;
// Appends to `list` (the parts' JSON form, see partsJson()) the parts published since it was
// made: each note of a long run costs its new parts, not all of them again.
void appendPublished(const PartWriter& parts, nlohmann::json* list);
// What a summary says of them: "parts: 12 published, run-0001.bin to run-0012.bin" (the
// file names of the first output), or "parts: none published".
std::string partsLine(const nlohmann::json& parts);

// A part held part-way (see PartPlan::holds): its files synced as far as its first records, so
// that a recovery goes on with them rather than writing the part anew; or, `complete`, a part
// whose files are complete and synced under their temporary names, about to be renamed into
// place (a recovery renames those that are not).
struct PartHold {
  bool on = false;
  bool complete = false;
  PartFacts part;                // its facts so far; its files under their temporary names
  int64_t textBytes = -1;        // of its text and binary files; -1: no such output
  int64_t binaryBytes = -1;
  std::string hdf5State;         // the HDF5 output's hold (Hdf5Output::hold()); empty: none
  std::map<int16_t, int64_t> counts;  // its records per channel (an HDF5 part)
};

// Where the parts of a run go on that was taken up after its published parts (a recovery of a
// run whose raw data behind them were let go), or, told at each part's publication, where they
// would go on after it; with `hold`, the part `index` that is held.
struct PartResume {
  int32_t index = 1;            // the next part, or the one held
  int64_t records = 0;          // records in the parts before it (and those held of it)
  int64_t spanEnd = INT64_MIN;  // the time rule's end of the part before it (or of the one held)
  int64_t lastTime = INT64_MIN; // time of the last record before it
  PartHold hold;
};

// What a split run writes.
struct PartPlan {
  std::string text, binary, hdf5;  // the outputs as named; empty: not written
  Hdf5Compression compress = Hdf5Compression::None;
  bool noClobber = false;
  SplitRule rule;
  // The other files of the run (its inputs, the files it reads, its report), none of which a
  // part may replace.
  std::vector<OutputName> others;
  // The parts written begin at `from`; of the records handed over, the first `skip` are passed
  // over (the parts before hold them already).
  PartResume from;
  int64_t skip = 0;
  // The part being written is held part-way (its files synced, and told as a hold through
  // PartPublished) every sixteenth of its span or size (no closer than 65,536 records, and
  // than a quarter of a second after the hold before), and once complete before its files are
  // renamed into place: a run that lets go of its raw data behind the holds needs no more temp
  // disk than a sixteenth of a part's. The HDF5 output's holds go beside its temporary file.
  bool holds = false;
};

// Removes the hold files of the unfinished HDF5 part `partial` ("partial.hold-N", see
// PartPlan::holds): a run killed before its manifest named its last hold leaves that one.
void removeHoldFiles(const std::string& partial);

// Writes the binary header (first = true) and trailer of each part.
using PartHeader = std::function<void(FILE* binary, bool first)>;
// What an HDF5 part tells beside its records, given the part's facts (its files named).
using PartInfo = std::function<Hdf5RunInfo(const PartFacts& part)>;
// Told the temporary names (absolute) of each part after the first before its files are created
// under them, on the merge's thread: what a run's manifest keeps, so that a recovery can remove
// them.
using PartBegun = std::function<void(const std::vector<std::string>& partials)>;
// Told of each part once it is published (synced and renamed into place), with where the parts go
// on after it, and of each hold (`after.hold`); on the thread that writes the parts. True when the
// run's manifest now names it: a hold's files before it may go.
using PartPublished = std::function<bool(const PartFacts& part, const PartResume& after)>;
// Each part tells `run` (what the run's HDF5 output would, as far as it is known while the run
// goes on: its losses are located only at its end), the span of its own timestamps, and its share
// of the run report `report`: its records and time span, and the part's facts as "part".
PartInfo partInfo(const Hdf5RunInfo& run, const nlohmann::json& report);

class PartWriter {
public:
  // A writer of `plan`'s parts with its first part begun; null with a one-line message when an
  // output is no file name (a device, a pipe, a descriptor) or the first part cannot be created.
  static std::unique_ptr<PartWriter> begin(const PartPlan& plan, std::string* error);

  explicit PartWriter(const PartPlan& plan);
  // A part not published is removed.
  ~PartWriter();
  PartWriter(const PartWriter&) = delete;
  PartWriter& operator=(const PartWriter&) = delete;

  // Creates the first part's files (before the merge: the outputs' faults show at once). False
  // with a one-line message.
  bool begin(std::string* error);
  // How the parts' binary header and HDF5 facts are made, and who is told of each new part;
  // before the first record.
  void describe(const PartHeader& header, const PartInfo& info, const PartBegun& begun = {},
                const PartPublished& published = {});
  // The temporary names of the part being written (absolute); any thread may ask.
  std::vector<std::string> partials() const;
  // The records in the merge's order, ending and publishing parts on the way (the merge's
  // thread). After a failure nothing more is written.
  void write(const TimeTag* tags, size_t count);
  // The same, the records as the merge hands them on (10 bytes each).
  void writeRecords(const char* records, size_t count);
  // After the whole merge: publishes the part being written, the last, and removes the files
  // of a part taken up. False with a message.
  bool publishLast(std::string* error);
  // Removes the part being written; the published ones stay.
  void discard();

  // A part could not be written or published (the merge should stop); any thread may ask.
  bool failed() const { return _failed.load(std::memory_order_relaxed); }
  // Why; after the merge's thread has ended.
  const std::string& error() const { return _error; }
  // The parts published so far, in order; any thread may ask.
  std::vector<PartFacts> published() const;
  // Those after the first `from`: what a list of the parts kept up to date still lacks.
  std::vector<PartFacts> publishedSince(size_t from) const;

private:
  struct Part;
  bool open(int32_t index, std::string* error);
  bool close(std::string* error);
  void fail(const std::string& error);
  void startSpan(int64_t time);
  bool ends(int64_t time) const;
  int64_t size() const;
  bool writeFailed() const;
  bool holdDue() const;
  void hold(Part& part, bool complete);
  bool takeUpHeld(Part* part, std::string* error);
  void dropHolds(const std::string& keep);

  void writeHeader();
  template <typename Span>
  void writeSpan(const Span& records, size_t count);

  PartPlan _plan;
  PartHeader _header;
  PartInfo _info;
  PartBegun _begun;
  PartPublished _publishedNote;
  std::unique_ptr<Part> _part;  // being written; null after the last or a failure
  std::vector<int64_t> _perChannel;  // the part's records by channel + 32768
  int64_t _spanEnd = INT64_MIN;  // the stream time at which the part ends (time rule)
  int64_t _lastTime = INT64_MIN;
  bool _any = false;              // a record was written
  int64_t _total = 0;             // records in the parts, the one being written included
  int64_t _skip = 0;              // records still to be passed over
  // Where the part was last held (the time and the size it had reached), and the HDF5 holds
  // that the manifest may still name (at most the last two), and those of a part taken up.
  int64_t _heldTime = INT64_MIN, _heldSize = 0, _heldRecords = 0;
  std::chrono::steady_clock::time_point _heldAt;  // the last hold, of any part
  int32_t _holdCount = 0;
  bool _takeUp = false;  // the first part opened goes on with the part held (plan.from.hold)
  std::vector<std::string> _holdFiles;
  // The files and hold of the part taken up, removed once the last part is in place.
  std::vector<std::string> _takenFrom;
  std::atomic<bool> _failed{false};
  std::string _error;
  mutable std::mutex _lock;  // guards _published and _partials
  std::vector<PartFacts> _published;
  std::vector<std::string> _partials;
};

#endif
