#include "cli/inputs.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "device/recordcore.h"

namespace {

bool openInput(const StreamArg& arg, InputStream* input, std::string* error) {
  input->arg = arg;
  input->file = fopen(arg.path.c_str(), "rb");
  if (input->file == nullptr) {
    *error = arg.path + ": cannot open: " + strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fileno(input->file), &st) != 0) {
    *error = arg.path + ": cannot read: " + strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = arg.path + ": is a directory, not a stream file";
    return false;
  }
  // The progress needs its size, the counts read it a second time.
  if (!S_ISREG(st.st_mode)) {
    *error = arg.path + ": is not a regular file";
    return false;
  }
  input->size = int64_t(st.st_size);
  input->device = st.st_dev;
  input->inode = st.st_ino;
  return readLossFile(lossFileName(arg.path), &input->losses, error);
}

}  // namespace

bool openInputs(const std::vector<StreamArg>& args, std::vector<InputStream>* inputs,
                std::string* error) {
  for (const StreamArg& arg : args) {
    inputs->emplace_back();
    if (!openInput(arg, &inputs->back(), error)) {
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
