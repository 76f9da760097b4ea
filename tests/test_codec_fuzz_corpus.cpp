// Replays the kept fuzz inputs through the same checks as the fuzz targets, so that every build
// (not only a fuzzing one) runs them. A failed check aborts the test program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/fuzz/fuzz_checks.h"

namespace {

TEST(CodecFuzzCorpus, KeptInputsPassTheChecks) {
  for (const FuzzCheck& check : kFuzzChecks) {
    const std::filesystem::path folder = std::filesystem::path(RAVIK_FUZZ_CORPUS) / check.name;
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::ifstream file(entry.path(), std::ios::binary);
      const std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      check.check(data.data(), data.size());
      ++inputs;
    }
    EXPECT_GT(inputs, 0) << check.name;
  }
}

}  // namespace
