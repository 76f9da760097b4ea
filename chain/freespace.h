// The free space of the file systems a recording writes to: sampled about once a second by the
// face's own refresh (never by the devices' callback), with the growth of the run's own files on
// each file system and the time left until its free space falls to the margin. A recording whose
// file system falls below the margin is stopped by its face, so that the merge still has room to
// finish and nothing recorded is lost to a full disk. No Qt.
#ifndef RAVIK_CHAIN_FREESPACE_H
#define RAVIK_CHAIN_FREESPACE_H

#include <stdint.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The margin when none is asked for. The merge beside the recording writes its outputs while the
// devices record, a few seconds behind them; what is left at the stop is that lag, the HDF5
// output's completion and the run report, all far below this.
constexpr int64_t kDefaultMinFree = int64_t(2) << 30;

// SIZE: a number, fractions allowed, with an optional unit k, M, G or T (powers of 1024; "K"
// also for k). False for an empty text, a negative number or anything else after the unit.
bool parseSize(const std::string& text, int64_t* bytes);

// Seconds until `freeBytes` falls to `marginBytes` when files grow at `growthPerSecond`: 0 when
// it is at or below the margin already, -1 when nothing grows (no end in sight).
double secondsToMargin(int64_t freeBytes, int64_t marginBytes, double growthPerSecond);

// "41.2 GiB", "512.0 MiB", "900 kiB", "17 B".
std::string sizeText(int64_t bytes);
// "3 d 4 h", "1 h 12 min", "5 min 10 s", "40 s"; whole units, rounded down.
std::string durationText(double seconds);

// Bytes an output takes per byte of raw stream, for as long as the merge has not measured it: a
// text line of a 13-digit time takes about 7 times the raw stream's 8 bytes per 3 events, a
// binary record about 4 times.
constexpr double kOutputPerRawByte = 8;

// One file system that the run writes to, as the samples found it.
class FileSystemSpace {
public:
  FileSystemSpace(uint64_t id, const std::string& folder) : _id(id), _folder(folder) {}

  // One sample at `nowNs`: the free space for unprivileged writers, the bytes of the run's raw
  // files and of its outputs on it, and the bytes its outputs will still take for the part of
  // the raw streams not yet merged (`reserve`). The growth is that of the run's files over the
  // last kWindow samples.
  void note(int64_t nowNs, int64_t freeBytes, int64_t rawBytes, int64_t outputBytes,
            int64_t reserve);

  uint64_t id() const { return _id; }
  const std::string& folder() const { return _folder; }  // the first folder of the run on it
  std::vector<std::string>& rawFiles() { return _rawFiles; }
  std::vector<std::string>& outputFiles() { return _outputFiles; }
  bool sampled() const { return _count > 0; }
  int64_t freeBytes() const { return _free; }
  int64_t startFree() const { return _startFree; }
  int64_t leastFree() const { return _leastFree; }
  int64_t rawBytes() const { return _rawBytes; }
  int64_t outputBytes() const { return _outputBytes; }
  int64_t reserve() const { return _reserve; }
  double growthPerSecond() const;

  static constexpr int32_t kWindow = 10;

private:
  uint64_t _id;
  std::string _folder;
  std::vector<std::string> _rawFiles, _outputFiles;
  int64_t _free = -1, _startFree = -1, _leastFree = -1;
  int64_t _rawBytes = 0, _outputBytes = 0, _reserve = 0;
  // The last samples of the run's own bytes, as a ring.
  int64_t _atNs[kWindow] = {}, _own[kWindow] = {};
  int32_t _count = 0;  // samples noted
};

// What the outputs on a file system will still take once the merge has read the rest of the raw
// streams: `rawBytes` written, `mergedBytes` of them read by the merge, `outputBytes` the outputs
// there hold now for them and `outputs` how many there are. Measured from the outputs once the
// merge has read a MiB, else estimated with kOutputPerRawByte.
int64_t outputReserve(int64_t rawBytes, int64_t mergedBytes, int64_t outputBytes, int32_t outputs);

class FreeSpaceWatch {
public:
  // `marginBytes`: the free space below which the recording is to stop; 0: never.
  explicit FreeSpaceWatch(int64_t marginBytes) : _margin(marginBytes) {}

  // A folder the run writes to, with the run's raw files and its outputs in it. Folders on one
  // file system share one entry. A folder that cannot be looked at is passed over.
  void watch(const std::string& folder, const std::vector<std::string>& rawFiles,
             const std::vector<std::string>& outputFiles);

  // Samples every file system when a second has passed since the last sample, or always with
  // `force` (at the start and at the stop); `mergedBytes`: the raw bytes the merge has read so
  // far. True when it sampled. A file system whose free space is below the margin and what its
  // outputs will still take trips the watch.
  bool sample(int64_t nowNs, int64_t mergedBytes, bool force = false);

  int64_t margin() const { return _margin; }
  const std::vector<FileSystemSpace>& fileSystems() const { return _systems; }
  // The file system whose free space reaches the margin first at the growth seen (the one with
  // the least free space when nothing grows); null before the first sample.
  const FileSystemSpace* tightest() const;
  // The first file system found below the margin; null while none was. Stays set.
  const FileSystemSpace* tripped() const { return _tripped < 0 ? nullptr : &_systems[_tripped]; }

  // "free 41.2 GiB, 1 h 12 min" of the tightest file system ("free 41.2 GiB" while nothing
  // grows); empty before the first sample.
  std::string liveText() const;
  // "free space below the margin: 1.9 GiB left on /data (the margin is 2.0 GiB, the merge
  // needs 80.0 MiB more)".
  std::string stopText() const;
  // Per file system: its folder, free space at the start, at the last sample, and the least seen.
  nlohmann::json reportJson() const;
  // Why the recording stopped: the file system, its free space, the margin and what the merge
  // still needed there; null when it stopped as asked.
  nlohmann::json stopReasonJson() const;

private:
  int64_t _margin;
  std::vector<FileSystemSpace> _systems;
  int64_t _lastNs = 0;
  bool _sampledOnce = false;
  int32_t _tripped = -1;
  int64_t _trippedFree = 0, _trippedReserve = 0;  // when it was found below the margin
};

#endif
