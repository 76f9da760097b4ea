#include "merge/inputs.h"

#include <errno.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "merge/channelmap.h"
#include "merge/inputfile.h"

namespace {

// The first bytes of the files a merge writes: an HDF5 file's signature and the binary output's
// header. A device stream never starts so (its first word holds the second word's bit 31 clear).
bool isMergedOutput(FILE* file) {
  static const char kHdf5[8] = {'\x89', 'H', 'D', 'F', '\r', '\n', '\x1a', '\n'};
  static const char kBinary[8] = {'T', 'I', 'K', 'O', 'R', 'B', 'I', 'N'};
  char head[8];
  if (pread(fileno(file), head, sizeof head, 0) != ssize_t(sizeof head)) return false;
  return memcmp(head, kHdf5, sizeof head) == 0 || memcmp(head, kBinary, sizeof head) == 0;
}

// A recording holds each temp file locked while it writes it (see openTempFile()): such a file is
// not complete yet.
bool lockedByRecording(FILE* file) {
  if (flock(fileno(file), LOCK_SH | LOCK_NB) == 0) {
    flock(fileno(file), LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

bool openInput(const StreamArg& arg, bool force, InputStream* input, std::string* error) {
  input->arg = arg;
  // The progress needs its size, the counts read it a second time: a regular file only.
  input->file = fopenRegularFile(arg.path, error);
  if (input->file == nullptr) return false;
  struct stat st;
  if (fstat(fileno(input->file), &st) != 0) {
    *error = arg.path + ": cannot read: " + strerror(errno);
    return false;
  }
  if (isMergedOutput(input->file)) {
    *error = arg.path + ": is a merged output, not a device stream";
    return false;
  }
  if (!force && lockedByRecording(input->file)) {
    *error = arg.path + ": is still being written by a running recording (--force merges what "
                        "it holds so far)";
    return false;
  }
  input->size = int64_t(st.st_size);
  input->device = st.st_dev;
  input->inode = st.st_ino;
  return readLossFile(lossFileName(arg.path), &input->losses, error);
}

}  // namespace

bool openInputs(const std::vector<StreamArg>& args, std::vector<InputStream>* inputs,
                std::string* error, bool force) {
  for (const StreamArg& arg : args) {
    inputs->emplace_back();
    if (!openInput(arg, force, &inputs->back(), error)) {
      closeInputs(inputs);
      return false;
    }
  }
  std::stable_sort(inputs->begin(), inputs->end(), [](const InputStream& a, const InputStream& b) {
    return a.arg.chainPos < b.arg.chainPos;
  });
  return true;
}

bool checkDistinctStreams(const std::vector<InputStream>& inputs, bool sharedPositions,
                          std::string* error) {
  for (size_t i = 0; i < inputs.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      const InputStream& a = inputs[j];
      const InputStream& b = inputs[i];
      if (a.device == b.device && a.inode == b.inode) {
        *error = b.arg.path + ": is given twice (also as " + a.arg.path + ")";
        return false;
      }
      if (a.arg.chainPos == b.arg.chainPos && !sharedPositions) {
        *error = a.arg.path + " and " + b.arg.path + ": both have chain position " +
                 std::to_string(a.arg.chainPos) + ", so their channels would mix (" +
                 kSharedPositionsOption + " allows it)";
        return false;
      }
    }
  }
  return true;
}

bool checkOutputChannels(const std::vector<InputStream>& inputs, std::string* error) {
  std::vector<ChainChannels> chain;
  std::vector<std::string> names;
  for (const InputStream& input : inputs) {
    // Offline the mode is not known: any input may be in use.
    chain.push_back({input.arg.chainPos, kAnyInputs, input.arg.markers});
    names.push_back("chain position " + std::to_string(input.arg.chainPos));
  }
  const std::vector<ChannelOverlap> overlaps = channelOverlaps(chain, true);
  if (overlaps.empty()) return true;
  const ChannelOverlap& o = overlaps.front();
  const InputStream& marked = inputs[o.channelA >= 100 ? o.a : o.b];
  *error = "chain positions " + std::to_string(inputs[o.a].arg.chainPos) + " and " +
           std::to_string(inputs[o.b].arg.chainPos) + " would share output " +
           overlapText(o, names) + "; give " + marked.arg.path + " the marker mask 0 (" +
           marked.arg.path + ":" + std::to_string(marked.arg.chainPos) + ":0)";
  return false;
}

namespace {

// The slack around a stream's own span: markers fall up to 5000 ps before the packet that
// carries them, and a device may hand over events a little out of order; the times that
// another kind of file decodes to lie some 10^17 ps apart.
constexpr double kSpanSlackPs = 1e12;
constexpr int64_t kPacketBytes = 8;

std::string forced(const std::string& path, const std::string& why) {
  return path + ": " + why + " (--force merges it all the same)";
}

}  // namespace

bool checkStreamContents(const std::vector<InputStream>& inputs,
                         const std::vector<MergeSourceStats>& stats, std::string* error) {
  for (size_t i = 0; i < inputs.size() && i < stats.size(); ++i) {
    const MergeSourceStats& s = stats[i];
    const std::string& path = inputs[i].arg.path;
    const int64_t undecodable = s.decodeErrors - s.zeroPackets;
    const int64_t packets = inputs[i].size / kPacketBytes - s.zeroPackets;
    if (undecodable > 0 && 2 * undecodable > packets) {
      *error = forced(path, std::to_string(100 * undecodable / std::max<int64_t>(packets, 1)) +
                                "% of its packets cannot be decoded: it is no device stream");
      return false;
    }
    if (s.records == 0) continue;
    if (double(s.first) - double(s.earliest) > kSpanSlackPs ||
        double(s.latest) - double(s.last) > kSpanSlackPs) {
      *error = forced(path, "holds times from " + std::to_string(s.earliest) + " to " +
                                std::to_string(s.latest) + " ps, outside the span it recorded (" +
                                std::to_string(s.first) + " to " + std::to_string(s.last) +
                                " ps): it is no device stream");
      return false;
    }
  }
  return true;
}

void closeInputs(std::vector<InputStream>* inputs) {
  for (InputStream& input : *inputs)
    if (input.file != nullptr) fclose(input.file);
  inputs->clear();
}

int64_t totalSize(const std::vector<InputStream>& inputs) {
  int64_t total = 0;
  for (const InputStream& input : inputs) total += input.size;
  return total;
}
