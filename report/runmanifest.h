// The run manifest: what a recording is, written beside its temp files when it starts, so that a
// run that ends without its merge (killed, a power cut, a merge that failed or was stopped, raw
// files kept) can still be merged with the right chain positions, marker masks and outputs:
// `ravik-merge --recover DIR`. No Qt.
//
// "<dir>/ravik-run.json":
//
//   {"manifest": "ravik-run", "version": 1, "program": "ravik-record",
//    "start_utc": "2026-12-06T07:05:09.123Z",
//    "devices": [{"serial": "TK24073", "index": 2, "chain": 0, "role": "Master",
//                 "markers": 16, "stream": "ravik-2.tmp", "parameters": {...}}, ...],
//    "outputs": [{"kind": "text", "path": "/data/run.txt"}, {"kind": "binary", ...}],
//    "loss_records": false, "report": null, "compress": false, "keep": "6 within 5000 of 1",
//    "meta": {"identity": {"author": "..."}, ...},
//    "partials": ["/data/.ravik-Xq3b9Z", ...]}
//
// Devices are in chain order; "stream" is the temp file's name inside the manifest's folder, so
// the folder may be moved; output paths are absolute. "partials" are the outputs' temporary names
// (see partialTemplate()) while the recording writes them: a run that ended without publishing
// them leaves them there, and its recovery removes them. The program that records holds an advisory
// lock on the manifest while the run is its own (recording and merging); the lock goes with the
// process, whatever ends it, and a recovery takes the same lock, so that it never merges a run
// that is still going on, nor one that another recovery is merging.
#ifndef RAVIK_REPORT_RUNMANIFEST_H
#define RAVIK_REPORT_RUNMANIFEST_H

#include <stdint.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "merge/hdf5output.h"
#include "report/runreport.h"

// The manifest's file name in the folder of the temp files.
constexpr char kManifestName[] = "ravik-run.json";
// Beside it, the parts published so far, one JSON line each, appended as they are published: the
// manifest names how many of its lines are the run's ("published": {"log": ..., "count": n}),
// so that a run of thousands of parts does not rewrite them all with each one.
constexpr char kPartsLogName[] = "ravik-run-parts.jsonl";

struct ManifestDevice {
  std::string serial;
  int64_t index = -1;        // library index
  int32_t chain = 0;         // chain position, 0 for the master
  std::string role;          // "Master", "Slave 1", ...
  uint32_t markers = 0;      // enabled-marker mask, bits 0..8
  std::string stream;        // its temp file's name, without a folder
  nlohmann::json parameters; // the parameters it recorded with; null: not known
};

struct RunManifest {
  std::string program;    // "ravik" or "ravik-record"
  std::string startUtc;
  std::vector<ManifestDevice> devices;  // in chain order
  std::vector<ReportOutput> outputs;    // kinds "text", "binary", "hdf5"; absolute paths
  bool lossRecords = false;  // the outputs are to hold loss records
  std::string reportPath;    // the run report's file as asked for; empty: beside the outputs
  // The HDF5 output's columns: "compress" false (None), true (Deflate) or "fast".
  Hdf5Compression compress = Hdf5Compression::None;
  // The filter of what the outputs hold, in its text form (see monitor/keepfilter.h); empty:
  // none, and the manifest has no "keep".
  std::string keep;
  // The outputs in parts: a part's size in bytes and its span of stream time in ps, each 0 when
  // that rule is off; the manifest has "split" only when one is on.
  int64_t splitSize = 0, splitTimePs = 0;
  // The user's description of the experiment in the HDF5 output (see report/metafile.h); empty:
  // none. "meta" is null then, and a manifest without the key has none.
  std::vector<Hdf5MetaField> meta;
  // The virtual channels defined for the run, in their JSON form (chain/virtualjson.h); null:
  // none, and "virtual" is then left out.
  nlohmann::json virtualChannels;
  // Their records are in the outputs ("virtual_outputs": true, left out when not).
  bool virtualOutputs = false;
  // Absolute; only names that isPartialName() takes, so that a recovery removes nothing else.
  std::vector<std::string> partials;
  // A split run that let go of its raw data behind its published parts: those parts as the
  // run report lists them ("published"), and where the parts and the merge go on after the last
  // of them ("resume", see chain/takeup.h). Both null (and left out) while nothing was let go.
  // The list only grows: ManifestFile writes the parts it has not written yet to the parts log
  // and the manifest names their number; as read from a file without ManifestFile, "published"
  // is that {"log", "count"} object.
  nlohmann::json published, resume;
};

// "<dir>/ravik-run.json"
std::string manifestPath(const std::string& dir);

// True when `path` (links followed) is a file of a recording kept in its folder: the run
// manifest there, a stream that it lists or that stream's loss file, these two also while they
// are not there (a loss file is read as soon as it is). Writing over it would lose the run,
// which `ravik-merge --recover` may still need; *runDir is then the run's folder. A manifest
// that does not read as a whole still protects its folder's files, so long as it says it is one.
bool keptRunFile(const std::string& path, std::string* runDir);

nlohmann::json toJson(const RunManifest& manifest);
// Reads a manifest; false with a message naming the first key that is missing or wrong. Stream
// names must be plain file names (no folder), chain positions and marker masks what the merge
// takes.
bool manifestFromJson(const nlohmann::json& json, RunManifest* manifest, std::string* error);

// The manifest file of one run and its lock. The recording program writes it (write()) and holds
// it; a recovery opens an existing one (take()). The lock is released by release(), remove() or
// the destructor, or by the end of the process.
class ManifestFile {
public:
  ManifestFile() = default;
  ~ManifestFile() { release(); }
  ManifestFile(const ManifestFile&) = delete;
  ManifestFile& operator=(const ManifestFile&) = delete;

  // Writes `manifest` into `dir` under a temporary name, syncs it to the disk and renames it into
  // place, locked. Refused while another program holds the lock of a manifest already there. The
  // manifest of `dir` that this object holds is replaced without letting go of the run.
  // False with a message naming the file.
  bool write(const std::string& dir, const RunManifest& manifest, std::string* error);
  // Locks and reads the manifest in `dir`. False with a message when there is none, when it is
  // locked (its run is still being recorded or merged, or recovered by another program), or when
  // it cannot be read.
  bool take(const std::string& dir, RunManifest* manifest, std::string* error);

  // Unlocks; the file stays.
  void release();
  // Deletes the file (with the temp files of a merged run) and unlocks. Returns what could not
  // be deleted, with why ("NAME: not removed: ..."); empty when all is gone.
  std::string remove();

  bool held() const { return _fd >= 0; }
  // The folder of the last manifest written or taken, also after release(); empty before.
  const std::string& dir() const { return _dir; }

private:
  // Appends the parts of `published` after the first `_logged` to the parts log (which then ends
  // after them) and syncs it; false with a message.
  bool logParts(const nlohmann::json& published, std::string* error);

  int _fd = -1;
  std::string _dir;
  size_t _logged = 0;       // parts in the log as this object wrote or read it
  int64_t _logBytes = 0;    // their bytes: what follows is not the run's (a kill mid-append)
};

#endif
