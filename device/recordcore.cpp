#include "device/recordcore.h"

std::vector<ChainStep> chainOrder(const std::vector<int32_t>& positions) {
  int32_t highest = -1;
  for (int32_t p : positions)
    if (p > highest) highest = p;
  std::vector<ChainStep> steps;
  for (int32_t p = 0; p <= highest; ++p) {
    int n = 0;
    for (size_t d = 0; d < positions.size(); ++d) {
      if (positions[d] != p) continue;
      steps.push_back({ChainStep::Place, p, int32_t(d)});
      ++n;
    }
    if (n >= 2) steps.push_back({ChainStep::NotUnique, p, -1});
    if (n == 0) steps.push_back({ChainStep::Missing, p, -1});
  }
  return steps;
}

std::string tempFileName(const std::string& dir, uint32_t index) {
  return dir + "/ravik-" + std::to_string(index) + ".tmp";
}

int32_t openTempFile(const std::string& name, FILE** file) {
  *file = fopen(name.c_str(), "wb");
  return *file ? 0 : kTempFileError;
}

void closeTempFile(FILE** file) {
  FILE* f = *file;
  *file = nullptr;
  if (f) fclose(f);
}
