// Test helper: what the merge core writes for raw stream files, as the reference that the
// programs' outputs are compared with.
#ifndef RAVIK_TESTS_CORE_MERGE_H
#define RAVIK_TESTS_CORE_MERGE_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "codec/tdc56.h"
#include "merge/mergecore.h"

struct CoreSource {
  std::string path;
  int32_t chainPos;
  uint32_t markers;
};

// Merges the files (in this order, each with a fresh decoder) into `text` and `bin`; `header`
// as in MergeOutputs, none when empty.
inline void coreMerge(const std::vector<CoreSource>& sources, const std::string& text,
                      const std::string& bin,
                      const std::function<void(FILE*, bool)>& header = nullptr) {
  std::vector<MergeSource> merged;
  for (const CoreSource& s : sources)
    merged.push_back({tdc56Init(), s.chainPos, s.markers, fopen(s.path.c_str(), "rb")});
  MergeOutputs outputs;
  outputs.text = fopen(text.c_str(), "w");
  outputs.binary = fopen(bin.c_str(), "wb");
  outputs.header = header;
  std::atomic<double> bytes{0};
  std::atomic<bool> running{true};
  mergeStreams(merged.data(), int32_t(merged.size()), outputs, bytes, running);
  fclose(outputs.text);
  fclose(outputs.binary);
  for (MergeSource& s : merged) {
    if (s.file != nullptr) fclose(s.file);
    tdc56DeInit(s.decoder);
  }
}

#endif
