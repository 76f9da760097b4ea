// Opening and checking the raw stream files before anything is written.
#ifndef RAVIK_MERGE_INPUTS_H
#define RAVIK_MERGE_INPUTS_H

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "merge/mergecore.h"
#include "merge/streamloss.h"

// One raw device stream and how to merge it.
struct StreamArg {
  std::string path;
  int32_t chainPos;  // output channel = 5 * chainPos + channel
  uint32_t markers;  // enabled-marker mask, bits 0..8
};

// The ravik-merge option that lets streams share a chain position (see checkDistinctStreams()).
constexpr char kSharedPositionsOption[] = "--shared-positions";

// One stream file, open for reading.
struct InputStream {
  StreamArg arg;
  FILE* file = nullptr;  // owned: closed by closeInputs()
  int64_t size = 0;      // bytes, at the time it was opened
  // A file still being written: the bytes of the blocks written whole so far; null: no limit.
  const std::atomic<int64_t>* written = nullptr;
  dev_t device = 0;      // identity of the file, to tell an output that would overwrite it
  ino_t inode = 0;
  std::vector<StreamLoss> losses;  // noted while it was recorded (its loss file); empty: none
  // The merge is taken up at this point of the stream (see MergeSource::from); null: from the
  // start.
  const SourcePoint* from = nullptr;
  // Its data before this point were let go (see CheckedSource::kept); null: none.
  const SourcePoint* kept = nullptr;
};

// Opens every stream read-only and returns them in merge order: stably sorted by chain
// position, as the window lists its devices, each with the losses of its loss file. On the first
// problem (missing, unreadable, a directory or another kind of non-regular file, a merged output
// rather than a device stream, an unreadable loss file, a temp file that a recording still holds
// locked unless `force`) closes what it opened and returns false with a one-line message naming
// the file in *error.
bool openInputs(const std::vector<StreamArg>& args, std::vector<InputStream>* inputs,
                std::string* error, bool force = false);

// False with a one-line message naming the files when two streams are one file, or share a chain
// position and so their output channels (unless `sharedPositions`).
bool checkDistinctStreams(const std::vector<InputStream>& inputs, bool sharedPositions,
                          std::string* error);

// False with a one-line message naming the chain positions when two streams would fill one output
// channel through their markers (chain positions from 20 up; see channelOverlaps()).
bool checkOutputChannels(const std::vector<InputStream>& inputs, std::string* error);

// Once the merge of `inputs` has read them to their ends, with what it decoded of each (`stats`,
// in the same order): false with a one-line message naming the stream when one is no device's
// recording, whose outputs would hold invented times in its channels: more than half of its
// packets (zeros aside, a stretch of the file lost in a crash) cannot be decoded, or it holds
// times more than a second before its first timestamp or after its last one (the span it
// recorded: a device's time only moves forward, and the bytes of another kind of file decode
// to times all over the 60-bit range). --force merges such a stream all the same.
bool checkStreamContents(const std::vector<InputStream>& inputs,
                         const std::vector<MergeSourceStats>& stats, std::string* error);

void closeInputs(std::vector<InputStream>* inputs);

// The total size of the streams in bytes.
int64_t totalSize(const std::vector<InputStream>& inputs);

#endif
