// Speed of the recording path as the program runs it: the simulated devices at maximum rate,
// each block handed to the callback, looked up in the device registry and appended to the
// device's temp file with the program's recording core. In the same run, a plain sequential
// write of the same number of bytes into the same folder gives the reference.
//
//   bench_record [seconds=3] [folder=/tmp]        (1 and 3 devices)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/korbalt.h"
#include "chain/recordcore.h"
#include "korbalt/simhooks.h"

namespace {

struct Recorded {
  FILE* file = nullptr;
  std::atomic<uint32_t> events{0};
  TempWriteState write;
  uint64_t words = 0;  // for the report only
};

// Time spent inside the callback: the recording path without the simulator's own work.
double gCallbackSeconds = 0;

// The registry by library index, as the window keeps it.
std::map<int, Recorded*> gRegistry;

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void callback(int32_t** index, int, int words, int, uint32_t* data) {
  auto start = std::chrono::steady_clock::now();
  auto it = gRegistry.find(**index);
  if (it == gRegistry.end()) return;
  recordBlock(it->second->file, it->second->write, it->second->events, data, words);
  it->second->words += uint64_t(words);
  gCallbackSeconds += since(start);
}

// Seconds for writing `bytes` in 256 KiB pieces to a new file in `folder`, closed at the end.
double plainWrite(const std::string& folder, uint64_t bytes) {
  std::vector<char> piece(256 * 1024, 'x');
  std::string name = folder + "/ravik-bench-plain.tmp";
  auto start = std::chrono::steady_clock::now();
  FILE* f = fopen(name.c_str(), "wb");
  for (uint64_t done = 0; done < bytes; done += piece.size())
    fwrite(piece.data(), 1, size_t(std::min<uint64_t>(piece.size(), bytes - done)), f);
  fclose(f);
  double s = since(start);
  unlink(name.c_str());
  return s;
}

void run(int devices, double seconds, const std::string& folder) {
  setenv("RAVIK_SIM_DEVICES", std::to_string(devices).c_str(), 1);
  uint32_t count = 0;
  if (TDC_discover(&count) != 0 || count == 0) {
    fprintf(stderr, "no simulated devices\n");
    exit(1);
  }
  std::vector<std::unique_ptr<Recorded>> recorded;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    TDC_connect(i);
    recorded.emplace_back(new Recorded);
    names.push_back(tempFileName(folder, i));
    if (openTempFile(names.back(), &recorded.back()->file) != 0) {
      fprintf(stderr, "cannot open %s\n", names.back().c_str());
      exit(1);
    }
    gRegistry[int(i)] = recorded.back().get();
  }
  auto start = std::chrono::steady_clock::now();
  UL_setEventCallback(KORBALT_EVENT_DATA, callback);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  for (auto& r : recorded) closeTempFile(&r->file);
  double elapsed = since(start);

  uint64_t words = 0, events = 0;
  for (uint32_t i = 0; i < count; ++i) {
    words += recorded[i]->words;
    events += korbalt::simDelivered(i);
  }
  gRegistry.clear();
  for (const std::string& name : names) unlink(name.c_str());
  double plain = plainWrite(folder, 4 * words);
  printf("%d device%s: %.1f M events/s, %.1f M words/s (%.0f MB/s) with the simulator; "
         "callback %.0f MB/s against a plain write of the same bytes at %.0f MB/s (%+.0f%%)\n",
         devices, devices == 1 ? " " : "s", events / elapsed / 1e6, words / elapsed / 1e6,
         4.0 * words / elapsed / 1e6, 4.0 * words / gCallbackSeconds / 1e6,
         4.0 * words / plain / 1e6, 100.0 * (gCallbackSeconds / plain - 1));
  gCallbackSeconds = 0;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 3.0;
  const std::string folder = argc > 2 ? argv[2] : "/tmp";
  setenv("RAVIK_SIM_MAX_RATE", "1", 1);
  // Dense events (how closely they lie on the time axis, not how fast they come) and large
  // blocks, as a busy chain delivers them.
  setenv("RAVIK_SIM_RATES", "20e6", 1);
  setenv("RAVIK_SIM_BLOCK_WORDS", "65536", 1);
  baseAllowFindSimDevice(true);
  for (int devices : {1, 3}) run(devices, seconds, folder);
  return 0;
}
