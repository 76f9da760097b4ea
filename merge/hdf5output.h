// The merged records as an HDF5 file in the Photon-HDF5 layout (format version 0.5), the open
// interchange format for photon time tags.
//
//   /photon_data/timestamps        int64, picoseconds (timestamps_specs/timestamps_unit = 1e-12),
//                                  non-decreasing (see below)
//   /photon_data/detectors         int16, the output channel of each timestamp
//   /photon_data/measurement_specs "generic"; detectors_specs/non_photon_id1 the marker channels,
//                                  non_photon_id2 the loss-record channels
//   /setup, /identity, /provenance the description of the run; /setup/detectors names every
//                                  output channel in use (id, label, module, id_hardware, counts)
//   /user/ravik/report             the run report, a JSON string
//   /user/ravik/loss_intervals     where data were lost: chain, from_ps, to_ps, cause
//   /user/ravik/sources            the raw streams merged: file, serial, chain position
//   /user/ravik/sorted             1 when the timestamps are in time order
//
// Analysis code cuts the timestamps with binary searches, so they must be in time order. The merge
// writes a marker as soon as it reaches the head of its stream, which can be some microseconds
// before ordinary timestamps of other devices (and lets the devices after it in the chain go
// ahead of those before it meanwhile). Here every record goes to its place in time among the
// records not yet written to the file, of which the last kReorderRecords are always kept back;
// records of one time keep the merge's order. The other outputs keep the merge's order.
//
// The two columns are chunked (kChunkRecords per chunk, 512 KiB of timestamps, so that a chunk
// fits the chunk cache of common readers) and grow as the merge goes, written straight from a
// ring of kBufferRecords records, every whole chunk before the last kReorderRecords after each
// batch (so that batches cost about the same, and the merge need not wait for one): memory
// does not grow with the file, and the ring (two chunks, 1.25 MiB) is small enough to stay in
// the processor's cache between the records' coming and their writing: a ring of four chunks
// twice as large made the HDF5 output 15 % slower. When the HDF5 output is the merge's only taker
// of binary records, the merge writes them as columns of whole chunks (putColumns()), and a batch
// in time order goes to the file from the merge's memory at once, while the processor's cache
// still holds it: the next batch may take it back into the ring and have its chunk written again
// (it stands for the records kept back); only batches with an early record pass through the ring.
//
// Every node carries the TITLE that readers of the format expect; strings are fixed-length byte
// strings and booleans are 0/1 integers.
//
// No Qt and no device library. Used from one thread at a time (the HDF5 library is not built
// thread-safe): create(), then putRecords() from the merge's thread, then finish() or abandon().
#ifndef RAVIK_MERGE_HDF5OUTPUT_H
#define RAVIK_MERGE_HDF5OUTPUT_H

#include <stdint.h>
#include <stdlib.h>

#include <time.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "merge/hugebuffer.h"
#include "merge/recordsink.h"
#include "merge/streamloss.h"

// One raw device stream the records came from.
struct Hdf5Source {
  std::string path;
  int32_t chain = 0;         // its chain position
  std::string serial;        // the device's serial number; empty: not known (an offline merge)
  bool fiveChannel = false;  // the device counts its start input as channel 5 (it has no 0)
  bool kept = true;          // the file remains after the merge
};

// Metadata the user gives about the experiment (ravik-record and ravik-merge --meta, the
// window's ravik-meta.json), see report/metafile.h. Each field is a node of the format's field
// list: "/identity/author", "/setup/excitation_wavelengths", ...
struct Hdf5MetaField {
  enum Kind { Text, Integer, Reals, Integers };
  std::string path;
  Kind kind = Text;
  std::string text;
  std::vector<double> reals;
  std::vector<int64_t> integers;  // Integer: one value
};

// What the records themselves do not tell; written by finish().
struct Hdf5RunInfo {
  std::string description;      // root description, a comment on the run
  std::string software;         // the program that wrote the file, e.g. "ravik-merge"
  std::string softwareVersion;
  // Measurement duration; negative: the span of the timestamps. At least that span is written.
  double acquisitionSeconds = -1;
  // The raw device streams the records came from, in chain order; none: no provenance group.
  std::vector<Hdf5Source> sources;
  // Of the file (see hdf5TimeText()); empty: when finish() runs.
  std::string creationTime;
  std::string recordingStart;   // of the raw streams, for /provenance; empty: not known
  std::vector<Hdf5MetaField> meta;  // written over the fields above ("/description" included)
  std::string sourceSoftware;   // what recorded the raw streams, with its version; may be empty
  std::string sourceSoftwareVersion;
  std::string report;           // the run report as JSON; empty: "{}"
  std::vector<LossInterval> losses;  // the cause is cut to 127 bytes
  // The virtual channels among the records (30000 and up), each with its label ("virtual:
  // coincidence of 1, 6 within 5000 ps"); listed as detectors that are no pixels.
  std::map<int16_t, std::string> virtualLabels;
};

// The format's form of a local time, "2026-12-06 18:40:00" (no zone: see utcOffsetText()).
std::string hdf5TimeText(time_t t);
// The local time's offset from UTC at `t`, "+01:00".
std::string utcOffsetText(time_t t);

// How the two columns are stored. Only their filters differ: the file reads the same.
enum class Hdf5Compression : uint8_t {
  None,
  Deflate,  // shuffle and deflate at level 1: about a third of the binary output, slow to write
  Fast,     // bitshuffle with LZ4 (HDF5 filter 32008, a plugin): a little larger, several times
            // quicker to write than deflate
};
// The word for it on command lines and in run manifests: "none", "deflate", "fast".
const char* compressionWord(Hdf5Compression compression);
// False when `word` names none.
bool compressionFromWord(const std::string& word, Hdf5Compression* compression);

// Where Debian installs the HDF5 filter plugins (the library's own default there as well; added
// to its search path in case HDF5_PLUGIN_PATH replaced that).
extern const char* const kHdf5PluginFolder;
// True when the library can write columns with `compression`: None and Deflate always, Fast
// when the bitshuffle plugin loads. Else false with a line that says which package to install.
bool hdf5CanCompress(Hdf5Compression compression, std::string* error);

// What an output channel is, for /setup/detectors: derived from its number and the sources.
struct ChannelName {
  enum Kind { Photon, Marker, Loss };
  Kind kind = Photon;
  std::string label;   // "TK24072 input 1", "TK24072 marker ms tick", "TK24072 loss start"
  std::string module;  // the device's serial ("chain 2" when not known)
  int16_t hardware = -1;  // the device's own channel number; -1: none (loss records)
};
ChannelName nameChannel(int16_t channel, const std::vector<Hdf5Source>& sources);

class Hdf5Output : public RecordSink {
public:
  static constexpr int64_t kChunkRecords = int64_t(1) << 16;
  static constexpr int64_t kBufferRecords = int64_t(1) << 17;  // a ring of whole chunks
  // How far back a record can still be put in its place: the records kept back at each write.
  static constexpr int64_t kReorderRecords = kChunkRecords;

  Hdf5Output();
  ~Hdf5Output() override;  // abandons an unfinished file
  Hdf5Output(const Hdf5Output&) = delete;
  Hdf5Output& operator=(const Hdf5Output&) = delete;

  // Creates (truncates) the file at `path`, whose name once complete is `finalPath` (recorded in
  // /identity). `compression`: the columns' filters. False with a one-line message naming
  // `finalPath` in *error (for Fast without its plugin, the package to install).
  // With `holdable`, the file can be held part-way (hold()) and taken up after its writer was
  // killed (takeUp()): it is written in the library's single-writer mode, in which the file on
  // disk is readable at every moment of its writing, in the library's latest file format (which
  // readers of HDF5 1.10 and later read); the description of the run is written at finish(),
  // with the file opened again in the ordinary mode.
  bool create(const std::string& path, const std::string& finalPath, Hdf5Compression compression,
              std::string* error, bool holdable = false);

  // Of a holdable output, between two batches: makes the records taken so far durable. The
  // columns' records that are final reach the disk with the file's metadata; the records not
  // yet final (kept back for late ones, or a batch that the next one may take back) and the
  // output's counts go to the file `statePath`, created anew and synced, with where each final
  // chunk of the columns is stored in the file (which no later write moves). False with a message
  // (the output goes on; a failed write of the columns fails it as any write does).
  bool hold(const std::string& statePath, std::string* error);
  // Of a holdable output just created: takes up the output whose writer was killed after a
  // hold(), from its file `heldPath` (left as the kill left it) and the hold's `statePath`. The
  // final records are copied chunk by chunk as they are stored, read from where the hold found
  // them (so also from a file whose writer was killed while it completed its description), the
  // rest restored as they were held; the records after the hold then give the file the killed
  // writer would have written.
  // False with a message naming what is wrong.
  bool takeUp(const std::string& heldPath, const std::string& statePath, std::string* error);

  void putRecords(const char* records, size_t count) override;
  // Columns of whole chunks: a batch in time order after the records before it is written to
  // the file as it is, from the merge's memory, at once; a next batch with an earlier record
  // takes it back into the ring (it takes the place of the ring's kReorderRecords), and any
  // batch but one in order goes through the ring as in putRecords().
  size_t columns() const override { return size_t(kChunkRecords); }
  void putColumns(const int64_t* times, const int16_t* channels, size_t count,
                  bool ordered) override;
  // The channels of columns are not counted as they come: the merge hands over the counts.
  // Without them, finish() counts the file's column.
  void putChannelCounts(const std::map<int16_t, int64_t>& counts) override;

  // True once a write has failed; later records are dropped. Any thread may ask.
  bool failed() const { return _failed.load(std::memory_order_relaxed); }
  int64_t records() const { return _records; }
  // Records that came too late for their place in time (after later ones were written to the
  // file): a marker ran further ahead than the records kept back. 0: the file is in time order.
  int64_t outOfOrder() const { return _outOfOrder; }

  // Writes the rest of the columns and the description of the run and closes the file. False
  // with a message naming the file when anything could not be written.
  bool finish(const Hdf5RunInfo& info, std::string* error);
  // Closes the file without completing it (the caller removes it).
  void abandon();

private:
  struct Impl;

  bool writeColumns(int64_t count);
  bool writeChunks(bool full);
  bool countWrittenChannels();
  bool haveRing();
  int64_t* countTables();
  std::map<int16_t, int64_t> channelCounts() const;
  bool writeRun(const int64_t* times, const int16_t* channels, int64_t count);
  bool noteChunks(int64_t records);
  bool copyFinal(const std::string& heldPath, const char* table, int64_t chunks,
                 std::string* error);
  bool reopen();
  void takeColumns(const int64_t* times, const int16_t* channels, size_t count);
  void fail(const char* what);
  // Puts a record that is earlier than the last one taken in its place.
  void insert(int64_t time, int16_t channel);

  std::unique_ptr<Impl> _impl;
  std::string _finalPath;
  // Where the record `i` records after the first one held back is in _times and _channels.
  int64_t at(int64_t i) const {
    return _head + i - (_head + i >= kBufferRecords ? kBufferRecords : 0);
  }

  // The records not yet written, in a ring of kBufferRecords entries from _head on, so that
  // those kept back at a write stay where they are. Made when first needed: columns in time
  // order go to the file without it.
  HugeBuffer _memory;  // the ring's two columns
  int64_t* _times = nullptr;
  int16_t* _channels = nullptr;
  int64_t _head = 0;              // where the first of them is
  int64_t _buffered = 0;          // how many there are
  int64_t _records = 0;           // records taken in all
  int64_t _first = 0;             // the least time taken
  int64_t _lastPut = INT64_MIN;   // the greatest time taken
  int64_t _lastWritten = INT64_MIN;  // time of the last record written to the file
  // The last batch of putColumns(), written to the file from the merge's memory (then the ring
  // is empty), which the next batch may take back into the ring: _takeBack records, written
  // after a record of time _lastWrittenBefore.
  const int64_t* _takeBackTimes = nullptr;
  const int16_t* _takeBackChannels = nullptr;
  int64_t _takeBack = 0;
  int64_t _lastWrittenBefore = INT64_MIN;
  bool _columnsUncounted = false;  // columns were taken, and their channels not yet counted
  bool _recount = false;  // taken up: finish() counts the channels of the file's column
  // Per output channel, indexed by channel + 32768: kCountTables such tables one after the
  // other, added up by finish(); made when first needed (by putRecords()), zero pages until a
  // channel is counted.
  static constexpr size_t kCountTables = 2;
  struct Free {
    void operator()(int64_t* p) const { free(p); }
  };
  std::unique_ptr<int64_t, Free> _counts;
  std::map<int16_t, int64_t> _handedCounts;  // putChannelCounts()'s
  int64_t _outOfOrder = 0;
  std::string _error;             // the first failure
  std::atomic<bool> _failed{false};
};

#endif
