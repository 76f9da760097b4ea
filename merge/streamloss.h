// Where a device's data are missing from its raw stream, and the loss intervals in time that the
// merge makes of it.
//
// While recording, every sighting of a device's loss flag and every failed write of its temp
// file is noted as byte positions in the stream, in a small text file beside it
// ("<stream>.loss"), so that a merge of kept files later knows as much as the merge right after
// the recording. Positions are all the recording can tell; locateLosses() turns them into times
// by decoding the stream.
#ifndef RAVIK_MERGE_STREAMLOSS_H
#define RAVIK_MERGE_STREAMLOSS_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "merge/resumepoint.h"

// One loss noted in a stream, in bytes from its start.
struct StreamLoss {
  enum Kind { Device, WriteFailed };
  Kind kind;
  // Device: the stream's size when the device's loss flag was last read clear, and its size at
  // the first reading after the one that found the flag set; the data lost lie between the
  // stream's data before `fromByte` and its data after `toByte`.
  // WriteFailed: the size the stream was cut back to (its last complete block); nothing after it
  // was kept. `toByte` equals `fromByte`.
  int64_t fromByte;
  int64_t toByte;
  std::string cause;  // WriteFailed: "temp file write failed: <system error text>"
  // How long the recording surely went on after the stream's last data reached it (wall clock,
  // the time axis's own pace): never more than it did, so that a loss lasting to the end of the
  // recording never reaches past its stop. 0: not known, or the stream grew until the stop.
  int64_t lostNs = 0;
};

// The cause of a loss that the device itself reported.
extern const char* const kDeviceLossCause;

// "<stream>.loss"
std::string lossFileName(const std::string& stream);

// Writes `losses` to `name` (replacing it): one line per loss. False with a message on failure.
bool writeLossFile(const std::string& name, const std::vector<StreamLoss>& losses,
                   std::string* error);

// Reads the losses noted for a stream. A missing file means none. False with a message naming
// the file when it cannot be read or holds a line it does not understand.
bool readLossFile(const std::string& name, std::vector<StreamLoss>* losses, std::string* error);

// A stretch of time in which a device's data are missing: from the device's last timestamp
// before the gap to its first one after it.
struct LossInterval {
  int32_t chain;  // chain position of the device
  int64_t fromPs;
  int64_t toPs;
  std::string cause;
  // Nothing of the device follows: the loss lasts to the end of the recording. locateLosses()
  // sets `toPs` to the stop as far as this stream knows it; the merge then moves it to the end
  // of the whole recording (see extendToEnd()).
  bool untilEnd = false;
  // The stream holds no data of its device at all (a temp disk full from the start): the loss
  // is the whole recording, from the run's first timestamp to its end. locateLosses() gives it as
  // [0, how long the recording surely went on], the only times it knows; the merge places it on
  // the chain's time axis, or leaves it so when no device has a timestamp.
  bool wholeRun = false;
};

// The times of the first and the last timestamp of a stream; INT64_MAX and INT64_MIN when it
// has none.
struct StreamTimes {
  int64_t first = INT64_MAX;
  int64_t last = INT64_MIN;
};

// Decodes the raw stream `fd` (read with pread(), so another reader may share the open file) as
// the merge does, with the enabled-marker mask `markers`, and turns `losses` into intervals of
// device `chain`, in time order. A device that restarts its stream after a loss with an
// absolute-time packet gives the exact gap around each such restart between `fromByte` and
// `toByte`. Without a restart, a loss with data after `toByte` spans all of the stream's data
// between the two positions; one with none after it (the recording stopped before the restart
// reached the file) lasts from the stream's last timestamp to the end, and so does a failed
// write. The interval of such a loss never holds a timestamp of its device; a stream without any
// data gives one `wholeRun` interval. *times, when given, gets the times of the stream's first
// and last timestamps; the stream is decoded for them even without losses. False with the
// system's error text in *error when a read fails. Clearing `*running` (null: never) stops the
// walk before its next read: false then, with *error empty and nothing located, so that a stop of
// the merge is not held up by a long stream. With `from` (null: none) the stream's data before
// that point were let go: the walk begins there, and a position noted before it is taken to be
// there.
bool locateLosses(int fd, uint32_t markers, int32_t chain, const std::vector<StreamLoss>& losses,
                  std::vector<LossInterval>* intervals, StreamTimes* times, std::string* error,
                  const std::atomic<bool>* running = nullptr, const SourcePoint* from = nullptr);

#endif
