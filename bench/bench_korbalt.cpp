// Speed of the simulated devices at maximum rate, feeding a callback that appends every block to
// one file per device, as the program's recording does.
//
//   bench_korbalt [seconds=3] [folder=/tmp] [devices=3] [events/s per channel=20e6] [discard]
//
// The rate sets how densely the events lie on the time axis (and so how well they pack), not how
// fast they come: at maximum rate the devices produce as fast as the callback returns. With
// "discard" the callback only counts, which measures the simulator alone.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/korbalt.h"
#include "korbalt/simhooks.h"

namespace {

std::vector<FILE*> gFiles;  // by device index; empty when discarding
uint64_t gWords = 0;        // written by the library's thread only

void appendBlock(int32_t** index, int, int words, int, uint32_t* data) {
  gWords += static_cast<uint64_t>(words);
  if (!gFiles.empty()) fwrite(data, sizeof(uint32_t), static_cast<size_t>(words), gFiles[**index]);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 3.0;
  const std::string folder = argc > 2 ? argv[2] : "/tmp";
  const char* devices = argc > 3 ? argv[3] : "3";
  const char* rate = argc > 4 ? argv[4] : "20e6";
  const bool discard = argc > 5 && strcmp(argv[5], "discard") == 0;
  setenv("RAVIK_SIM_MAX_RATE", "1", 1);
  setenv("RAVIK_SIM_DEVICES", devices, 1);
  setenv("RAVIK_SIM_RATES", rate, 1);
  setenv("RAVIK_SIM_BLOCK_WORDS", "65536", 1);

  baseAllowFindSimDevice(true);
  uint32_t count = 0;
  if (TDC_discover(&count) != 0 || count == 0) {
    fprintf(stderr, "no simulated devices\n");
    return 1;
  }
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    TDC_connect(i);
    names.push_back(folder + "/ravik-bench-" + std::to_string(i) + ".tmp");
    if (!discard) gFiles.push_back(fopen(names.back().c_str(), "wb"));
    if (!discard && gFiles.back() == nullptr) {
      fprintf(stderr, "cannot open %s\n", names.back().c_str());
      return 1;
    }
  }

  const clock_t cpuStart = clock();
  const auto start = std::chrono::steady_clock::now();
  UL_setEventCallback(KORBALT_EVENT_DATA, appendBlock);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(clock() - cpuStart) / CLOCKS_PER_SEC;

  uint64_t events = 0;
  for (uint32_t i = 0; i < count; ++i) events += korbalt::simDelivered(i);
  for (FILE* f : gFiles) fclose(f);
  for (const std::string& name : names) remove(name.c_str());
  printf("devices %u, %.2f s, %.2f s of processor time, %s\n", count, elapsed, cpu,
         discard ? "discarded" : "appended to files");
  printf("words/s   %.1f million (%.0f MB/s)\n", gWords / elapsed / 1e6,
         4.0 * gWords / elapsed / 1e6);
  printf("events/s  %.1f million (%.2f events per word)\n", events / elapsed / 1e6,
         gWords ? static_cast<double>(events) / gWords : 0.0);
  // On a shared machine the thread may not get a whole processor; this is what one would give.
  printf("events per processor second  %.1f million\n", events / cpu / 1e6);
  return 0;
}
