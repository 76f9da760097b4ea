// Speed of the HDF5 output against the binary output, in one run over the same streams.
//
// Merges the raw streams DIR/dev<i>.raw (made by `bench_merge --streams DIR records devices`)
// into a binary file, into an HDF5 file, into an HDF5 file with shuffle and deflate, and into a
// binary and an HDF5 file at once, all in OUT (default /dev/shm, memory: the merge and the
// output code are measured, not a disk). Wall-clock time, the best of three runs; records/s and
// the ratio to the binary output.
//
//   bench_hdf5 DIR [OUT]
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "codec/tdc56.h"
#include "merge/hdf5output.h"
#include "merge/mergecore.h"

namespace {

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

std::vector<std::string> streamsIn(const std::string& dir) {
  std::vector<std::string> paths;
  for (int i = 0;; ++i) {
    const std::string path = dir + "/dev" + std::to_string(i) + ".raw";
    if (access(path.c_str(), R_OK) != 0) break;
    paths.push_back(path);
  }
  return paths;
}

int64_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

struct Result {
  int64_t records = 0;
  double seconds = 1e30;
  int64_t bytes = 0;  // size of the output files
};

// One merge into the chosen outputs; false when an output failed.
bool mergeOnce(const std::vector<std::string>& streams, const std::string& out, bool binary,
               int hdf5, Result* result) {
  const std::string binPath = out + "/ravik-bench.bin", h5Path = out + "/ravik-bench.h5";
  std::vector<MergeSource> sources;
  for (size_t i = 0; i < streams.size(); ++i)
    sources.push_back({tdc56Init(), int32_t(i), 0x1FF, fopen(streams[i].c_str(), "rb")});
  Hdf5Output h5;
  std::string error;
  const double start = now();
  MergeOutputs outputs;
  outputs.binary = binary ? fopen(binPath.c_str(), "wb") : nullptr;
  if (hdf5 && !h5.create(h5Path, h5Path, hdf5 == 2, &error)) return false;
  outputs.records = hdf5 ? &h5 : nullptr;
  std::atomic<double> bytes{0};
  std::atomic<bool> running{true};
  const int64_t n = mergeStreams(sources.data(), int32_t(sources.size()), outputs, bytes, running);
  bool ok = !outputs.binary || fclose(outputs.binary) == 0;
  if (hdf5) ok = h5.finish(Hdf5RunInfo(), &error) && ok;
  const double seconds = now() - start;
  result->records = n;
  result->seconds = std::min(result->seconds, seconds);
  result->bytes = (binary ? fileSize(binPath) : 0) + (hdf5 ? fileSize(h5Path) : 0);
  for (MergeSource& s : sources) {
    fclose(s.file);
    tdc56DeInit(s.decoder);
  }
  unlink(binPath.c_str());
  unlink(h5Path.c_str());
  if (!error.empty()) fprintf(stderr, "%s\n", error.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bench_hdf5 DIR [OUT]   (streams from bench_merge --streams DIR ...)\n");
    return 2;
  }
  const std::vector<std::string> streams = streamsIn(argv[1]);
  const std::string out = argc > 2 ? argv[2] : "/dev/shm";
  if (streams.empty()) {
    fprintf(stderr, "no stream %s/dev0.raw\n", argv[1]);
    return 2;
  }
  const struct {
    const char* name;
    bool binary;
    int hdf5;  // 0 none, 1 plain, 2 compressed
  } cases[] = {{"binary", true, 0},
               {"hdf5", false, 1},
               {"hdf5 compressed", false, 2},
               {"binary + hdf5", true, 1}};
  printf("%zu device stream(s), outputs in %s, best of 3\n", streams.size(), out.c_str());
  double binaryRate = 0;
  for (const auto& c : cases) {
    Result r;
    for (int run = 0; run < 3; ++run)
      if (!mergeOnce(streams, out, c.binary, c.hdf5, &r)) return 1;
    const double rate = double(r.records) / r.seconds;
    if (binaryRate == 0) binaryRate = rate;
    printf("  %-16s %7.1f M records/s  %5.0f %% of binary  (%lld records, %.3f s, %.1f MB)\n",
           c.name, rate / 1e6, 100 * rate / binaryRate, (long long)r.records, r.seconds,
           double(r.bytes) / 1e6);
  }
  return 0;
}
