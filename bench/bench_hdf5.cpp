// Speed of the HDF5 output against the binary output, in one run over the same streams.
//
// Merges the raw streams DIR/dev<i>.raw (made by `bench_merge --streams DIR records devices
// [events/s]`: 3 devices give 6 M events/s in all, `3 15e6` 15 M events/s) into a binary file,
// into an HDF5 file, into a binary file again (a control: the same case twice), into an HDF5
// file with bitshuffle and LZ4 (--compress fast), into an HDF5 file with shuffle and deflate,
// and into a binary and an HDF5 file at once, all in OUT (default /dev/shm, memory: the merge
// and the output code are measured, not a disk). Wall-clock time, the best of three runs (the
// cases take turns); records/s and the ratio to the binary output; the size of each output per
// record; and the processor time of the run (all threads, user and system), which depends less
// on what else runs on the machine. Before those, the binary and the HDF5 case run once each,
// not counted: a process's first merge and first HDF5 file cost more (code and memory touched
// for the first time, the HDF5 library set up), and that once per process, whatever the size of
// the merge; their times are printed on their own.
//
// Then the outputs alone, without the merge: the merged records, held in memory, handed to the
// HDF5 output (plain and fast) in the merge's batches as the merge hands them over (columns of
// OutBuf::kSize / 10 records with their order flags), against the same batches written to a
// binary file; processor time of the one thread, best of five.
//
//   bench_hdf5 DIR [OUT]
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/tdc56.h"
#include "merge/hdf5output.h"
#include "merge/mergecore.h"
#include "merge/outbuf.h"

namespace {

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// User and system time of all threads of this process so far.
double processorTime() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
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
  double processor = 1e30;
  int64_t bytes = 0;  // size of the output files
};

// One merge into the chosen outputs; false when an output failed.
bool mergeOnce(const std::vector<std::string>& streams, const std::string& out, bool binary,
               bool hdf5, Hdf5Compression compression, Result* result) {
  const std::string binPath = out + "/ravik-bench.bin", h5Path = out + "/ravik-bench.h5";
  std::vector<MergeSource> sources;
  for (size_t i = 0; i < streams.size(); ++i)
    sources.push_back({tdc56Init(), int32_t(i), 0x1FF, fopen(streams[i].c_str(), "rb")});
  Hdf5Output h5;
  std::string error;
  const double start = now(), startProcessor = processorTime();
  MergeOutputs outputs;
  outputs.binary = binary ? fopen(binPath.c_str(), "wb") : nullptr;
  if (hdf5 && !h5.create(h5Path, h5Path, compression, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  outputs.records = hdf5 ? &h5 : nullptr;
  std::atomic<int64_t> bytes{0};
  std::atomic<bool> running{true};
  const int64_t n = mergeStreams(sources.data(), int32_t(sources.size()), outputs, bytes, running);
  bool ok = !outputs.binary || fclose(outputs.binary) == 0;
  if (hdf5) ok = h5.finish(Hdf5RunInfo(), &error) && ok;
  const double seconds = now() - start;
  result->records = n;
  result->seconds = std::min(result->seconds, seconds);
  result->processor = std::min(result->processor, processorTime() - startProcessor);
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

// Keeps the merged records in memory, also as columns, each batch of those with its order flag,
// and the records of each channel (as the merge hands them over).
struct Collect : RecordSink {
  std::vector<char> bytes;
  std::vector<int64_t> times;
  std::vector<int16_t> channels;
  std::vector<bool> ordered;
  std::map<int16_t, int64_t> counts;
  void putRecords(const char* records, size_t count) override {
    bytes.insert(bytes.end(), records, records + 10 * count);
  }
  void makeColumns() {
    const size_t n = bytes.size() / 10;
    times.resize(n);
    channels.resize(n);
    for (size_t i = 0; i < n; ++i) {
      memcpy(&times[i], &bytes[10 * i], 8);
      memcpy(&channels[i], &bytes[10 * i + 8], 2);
      if (i % size_t(OutBuf::kColumnRecords) == 0) ordered.push_back(true);
      if (i > 0 && times[i] < times[i - 1]) ordered.back() = false;
      ++counts[channels[i]];
    }
  }
};

double threadTime() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The records of `all` into an HDF5 file (hdf5) or a binary file in OUT, in the merge's batches;
// the processor time it took, negative when an output failed.
double outputOnly(const Collect& merged, const std::string& out, bool hdf5,
                  Hdf5Compression compression) {
  const std::vector<char>& all = merged.bytes;
  const std::string path = out + (hdf5 ? "/ravik-bench-only.h5" : "/ravik-bench-only.bin");
  const size_t batch = OutBuf::kSize / 10;  // the records of the merge's buffer
  const size_t records = all.size() / 10;
  std::string error;
  const double start = threadTime();
  bool ok = true;
  if (hdf5) {
    Hdf5Output h5;
    ok = h5.create(path, path, compression, &error);
    for (size_t i = 0; ok && i < records; i += batch)
      h5.putColumns(&merged.times[i], &merged.channels[i], std::min(batch, records - i),
                    merged.ordered[i / batch]);
    h5.putColumns(nullptr, nullptr, 0, true);
    h5.putChannelCounts(merged.counts);
    ok = ok && h5.finish(Hdf5RunInfo(), &error);
  } else {
    FILE* f = fopen(path.c_str(), "wb");
    ok = f != nullptr;
    for (size_t i = 0; ok && i < records; i += batch)
      ok = fwrite(all.data() + 10 * i, 10, std::min(batch, records - i), f) ==
           std::min(batch, records - i);
    ok = f != nullptr && fclose(f) == 0 && ok;
  }
  const double seconds = threadTime() - start;
  unlink(path.c_str());
  if (!error.empty()) fprintf(stderr, "%s\n", error.c_str());
  return ok ? seconds : -1;
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
    bool hdf5;
    Hdf5Compression compression;
  } cases[] = {{"binary", true, false, Hdf5Compression::None},
               {"hdf5", false, true, Hdf5Compression::None},
               {"binary again", true, false, Hdf5Compression::None},
               {"hdf5 fast", false, true, Hdf5Compression::Fast},
               {"hdf5 compressed", false, true, Hdf5Compression::Deflate},
               {"binary + hdf5", true, true, Hdf5Compression::None}};
  constexpr size_t kCases = sizeof cases / sizeof cases[0];
  printf("%zu device stream(s), outputs in %s, best of 3\n", streams.size(), out.c_str());
  // The cases take turns, so that a change in the machine's speed meanwhile (another process,
  // a busy host) falls on all of them alike: first the four quick ones, three times, then the
  // two others. So each quick case follows another quick one; a case that followed the long
  // compressed one, or the one that writes twice as much, ran up to a tenth slower. "binary
  // again" is the binary case once more, as near to it as the HDF5 case: its share of the
  // binary case is what the machine's changes of speed alone make of a share.
  constexpr size_t kQuick = 4;
  Result first[2];
  for (size_t i = 0; i < 2; ++i)
    if (!mergeOnce(streams, out, cases[i].binary, cases[i].hdf5, cases[i].compression, &first[i]))
      return 1;
  printf("  first runs, not counted: binary %.3f s, hdf5 %.3f s\n", first[0].seconds,
         first[1].seconds);
  Result results[kCases];
  for (const auto& [from, to] : {std::make_pair(size_t(0), kQuick), std::make_pair(kQuick, kCases)})
    for (int run = 0; run < 3; ++run)
      for (size_t i = from; i < to; ++i)
        if (!mergeOnce(streams, out, cases[i].binary, cases[i].hdf5, cases[i].compression,
                       &results[i]))
          return 1;
  double binaryRate = 0;
  for (size_t i = 0; i < kCases; ++i) {
    const auto& c = cases[i];
    const Result& r = results[i];
    const double rate = double(r.records) / r.seconds;
    if (binaryRate == 0) binaryRate = rate;
    printf("  %-16s %7.1f M records/s  %5.0f %% of binary  %5.2f bytes/record  (%lld records, "
           "%.3f s, processor %.3f s, %.1f MB)\n",
           c.name, rate / 1e6, 100 * rate / binaryRate,
           r.records > 0 ? double(r.bytes) / double(r.records) : 0.0, (long long)r.records,
           r.seconds, r.processor, double(r.bytes) / 1e6);
  }

  Collect all;
  {
    std::vector<MergeSource> sources;
    for (size_t i = 0; i < streams.size(); ++i)
      sources.push_back({tdc56Init(), int32_t(i), 0x1FF, fopen(streams[i].c_str(), "rb")});
    MergeOutputs outputs;
    outputs.records = &all;
    std::atomic<int64_t> bytes{0};
    std::atomic<bool> running{true};
    mergeStreams(sources.data(), int32_t(sources.size()), outputs, bytes, running);
    for (MergeSource& s : sources) {
      fclose(s.file);
      tdc56DeInit(s.decoder);
    }
  }
  all.makeColumns();
  const double records = double(all.bytes.size() / 10);
  printf("outputs alone, merged records from memory, processor time, best of 5\n");
  double binarySeconds = 0;
  for (const auto& [hdf5, compression, name] :
       {std::make_tuple(false, Hdf5Compression::None, "binary"),
        std::make_tuple(true, Hdf5Compression::None, "hdf5"),
        std::make_tuple(true, Hdf5Compression::Fast, "hdf5 fast")}) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
      const double seconds = outputOnly(all, out, hdf5, compression);
      if (seconds < 0) return 1;
      best = std::min(best, seconds);
    }
    if (!hdf5) binarySeconds = best;
    printf("  %-16s %7.1f M records/s  %5.0f %% of binary  (%.3f s)\n", name,
           records / best / 1e6, 100 * binarySeconds / best, best);
  }
  return 0;
}
