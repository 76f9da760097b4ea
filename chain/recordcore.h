// The parts of recording that the window and the headless recorder share: chain ordering,
// temp file naming, opening and closing, and appending a delivered block. No Qt.
#ifndef RAVIK_CHAIN_RECORDCORE_H
#define RAVIK_CHAIN_RECORDCORE_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "merge/streamloss.h"

// Results of openTempFile() when the file cannot be created (reported like a library code), and
// when another recording holds it.
constexpr int32_t kTempFileError = 11;
constexpr int32_t kTempFileBusy = 1011;

// One step of placing the devices in chain order.
struct ChainStep {
  enum Kind {
    Place,      // append `device` to the chain
    NotUnique,  // two or more devices share `position` (all of them were placed)
    Missing,    // no device has `position`; a caller may stop the ordering here
  };
  Kind kind;
  int32_t position;
  int32_t device;  // index into the list given to chainOrder(); -1 for the reports
};

// The steps that place devices with the given chain positions (in discovery order): positions
// 0 up to the highest, devices of one position in discovery order, followed by the position's
// report. Devices with a negative position are never placed.
std::vector<ChainStep> chainOrder(const std::vector<int32_t>& positions);

// True when two of the chain positions are equal. A recording merges such a chain as it was
// placed, so the command printed to finish a kept recording adds kSharedPositionsOption
// (merge/inputs.h) exactly then, and so gives the merge the recording would have made.
bool positionsRepeat(std::vector<int32_t> positions);

// "<dir>/ravik-<index>.tmp"
std::string tempFileName(const std::string& dir, uint32_t index);

// Creates `name` for writing into *file, an empty file in place of any earlier one: 0, or
// kTempFileError or kTempFileBusy with *file null. The file is first locked (an advisory lock,
// held until the file is closed): a file that another recording is writing or merging is never
// replaced. A loss file of an earlier recording beside it is removed.
int32_t openTempFile(const std::string& name, FILE** file);

// Takes the lock of openTempFile() on a temp file opened for reading: 0, or kTempFileBusy when
// another recording holds it.
int32_t lockTempFile(FILE* file);

// Sets *file to null before closing it, so that a reader of the handle never sees a closed file.
// Returns 0, or the errno of a failed close (data the system had not yet stored may be lost).
int32_t closeTempFile(FILE** file);

// Deletes a temp file and its loss file. Returns what could not be deleted, with why ("NAME: not
// removed: ..."), empty when both are gone; a loss file that is not there is not missed.
std::string removeTempFile(const std::string& name);

// How far a temp file was written; shared by the event callback, which appends, and the thread
// that refreshes the device's state, which reads.
struct TempWriteState {
  std::atomic<int64_t> bytes{0};  // bytes of the complete blocks in the file
  std::atomic<int32_t> error{0};  // errno of the failed write that ended the file; 0: none

  // For a new recording, before the callback is registered.
  void reset() {
    bytes.store(0, std::memory_order_relaxed);
    error.store(0, std::memory_order_relaxed);
  }
};

// The write used for temp files: write(2), or a replacement a test installs to make writes fail.
using TempWriteFunction = ssize_t (*)(int fd, const void* data, size_t bytes);
extern TempWriteFunction tempWriteFunction;

// Appends the block to the file with as many writes as it takes. When one fails (or takes
// nothing) the file is cut back to its last complete block, so that it stays an exact prefix of
// the device's stream, never a splice, and `state.error` is set: nothing is appended after it.
void appendBlock(FILE* file, TempWriteState& state, const uint32_t* words, int32_t count);

// One delivered block of `count` 32-bit words: appended unchanged when `file` is open and no
// earlier write failed, and counted as 3 * count / 2 events (the devices' estimate) also when it
// is not. Nothing happens for count <= 0.
inline void recordBlock(FILE* file, TempWriteState& state, std::atomic<uint32_t>& events,
                        const uint32_t* words, int32_t count) {
  if (count <= 0) return;
  if (file && state.error.load(std::memory_order_relaxed) == 0)
    appendBlock(file, state, words, count);
  // Only the callback thread writes the counter, so a plain load and store suffice.
  events.store(events.load(std::memory_order_relaxed) + uint32_t(3 * int64_t(count) / 2),
               std::memory_order_relaxed);
}

// The monotonic clock in nanoseconds, the clock of the loss log.
int64_t monotonicNs();

// What went wrong with one device's temp stream during a recording, noted at every refresh of
// the device's state by the thread that polls it, and kept in the stream's loss file.
class LossLog {
public:
  // Begins the log of a new recording into the temp file `stream`, at `nowNs` (monotonicNs()).
  void start(const std::string& stream, int64_t nowNs = monotonicNs());
  // One refresh of the device's state at `nowNs` (monotonicNs()): `bytes`, the stream's size,
  // read before `lost`, the device's loss flag (which the reading clears); `clockOk` its clock
  // state.
  void refresh(int64_t bytes, bool lost, bool clockOk, int64_t nowNs);
  // The temp file's write or close failed with errno `error`; the stream ends at `bytes`.
  void writeFailed(int64_t bytes, int32_t error);
  // After the last block, at the end of the recording: `bytes` is the stream's final size and
  // `stopNs` when the recording stopped, before the last refresh. Notes in every loss how long
  // the recording surely went on after the stream's last data (see StreamLoss::lostNs).
  void finish(int64_t bytes, int64_t stopNs);

  const std::vector<StreamLoss>& losses() const { return _losses; }
  bool lossSeen() const { return _lossSeen; }        // the device reported a loss
  bool hasWriteFailure() const { return _writeFailed; }
  // The failed write among losses(); null when there is none.
  const StreamLoss* writeFailure() const;
  bool clockBad() const { return _clockBad; }        // at one refresh or more
  // Why the loss file could not be written; empty when it could.
  const std::string& fileError() const { return _fileError; }

private:
  // How long the recording went on from the second refresh that saw the stream at `bytes`
  // until `stopNs`; 0 when no two refreshes did. A stream that stayed empty had nothing of the
  // recording from its start.
  int64_t wentOnNs(int64_t bytes, int64_t stopNs) const;
  void save();

  std::string _name;                // the loss file
  int64_t _startNs = 0;             // when the recording started; 0: not known
  std::vector<StreamLoss> _losses;
  int64_t _lastBytes = 0;           // the stream's size at the previous refresh
  int64_t _lastNs = 0;              // when the previous refresh was
  // When a refresh saw the stream at _lastBytes for the second time; 0: not yet.
  int64_t _stalledSinceNs = 0;
  bool _pending = false;            // the last loss still awaits its end position
  bool _lossSeen = false, _writeFailed = false, _clockBad = false;
  std::string _fileError;
};

#endif
