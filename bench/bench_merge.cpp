// Speed and memory of the merge over raw streams in the page cache.
//
// For 1, 3 and 8 devices it merges the same streams to text only, binary only and both, into
// /dev/null and into files in /tmp, and prints records/s. To /dev/null it also runs the plain-way
// merge (plain_merge, built beside this program) over the same streams in the same run and prints
// the ratio, so that the figures compare across runs of a busy machine. Peak memory of a merge is
// measured in a child process. Times are wall-clock, the best of three runs. Before and after,
// the speed of the processors while all are busy: on a virtual machine it changes with the
// host's load, and the merge's two threads go at the pace of the slower one.
//
//   bench_merge [--ratios] [records-per-run [device-count ...]]   (default 24000000, 1 3 8)
//                                                        --ratios: only the cases with a ratio
//   bench_merge --streams DIR records device-count [events/s]
//                                                        writes the streams DIR/dev<i>.raw for
//                                                        other benchmarks, and measures nothing;
//                                                        each device at 2 M events/s, or all of
//                                                        them at events/s in all
//   bench_merge --once text|binary|both|none STREAM ...  one merge of the streams into /dev/null,
//                                                        for instruction counts (callgrind);
//                                                        RAVIK_BENCH_RUNS=N: N, timed, best shown
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <time.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/tdc56.h"
#include "merge/mergecore.h"

namespace {

// This run's own folder in /tmp for its streams and output files, so that runs side by side
// do not meet.
std::string runDir;

// Wall-clock time: the merge decodes ahead on a second thread, so processor time would count
// that thread's work on top. On a shared machine take the best of several runs.
double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Processor time of this process, all threads, or of the calling thread alone.
double cpuNow(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
  struct timespec t;
  clock_gettime(clock, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Writes a device's stream of `events` timestamps (exponential gaps of about `meanGapPs`,
// channels 0..4) to `path`.
// False, with the reason on stderr, when the file could not be written.
bool writeStream(const std::string& path, int64_t events, double meanGapPs, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> gap(1.0 / meanGapPs);
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    fprintf(stderr, "bench_merge: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  bool ok = true;
  Tdc56Instance* enc = tdc56Init();
  std::vector<PpTimest> chunk(65536);
  std::vector<uint32_t> words(4 * chunk.size());
  double t = 1e9;
  for (int64_t done = 0; done < events;) {
    int32_t n = int32_t(std::min<int64_t>(int64_t(chunk.size()), events - done));
    for (int32_t i = 0; i < n; ++i) {
      t += gap(rng) + 1;
      chunk[size_t(i)] = {int64_t(t), uint8_t(rng() % 5)};
    }
    int32_t count = n;
    int32_t w = tdc56Pack60(enc, chunk.data(), &count, words.data(), int32_t(words.size()));
    ok = ok && fwrite(words.data(), 4, size_t(w), f) == size_t(w);
    done += n;
  }
  tdc56DeInit(enc);
  ok = fclose(f) == 0 && ok;
  if (!ok) fprintf(stderr, "bench_merge: %s: cannot write: %s\n", path.c_str(), strerror(errno));
  return ok;
}

struct Devices {
  std::vector<std::string> paths;
  std::vector<Tdc56Instance*> decoders;
};

int64_t runMerge(const Devices& d, FILE* text, FILE* binary) {
  std::vector<MergeSource> sources;
  std::vector<FILE*> files;
  for (size_t i = 0; i < d.paths.size(); ++i) {
    files.push_back(fopen(d.paths[i].c_str(), "rb"));
    sources.push_back({d.decoders[i], int32_t(i), 0x1FF, files.back()});
  }
  MergeOutputs out;
  out.text = text;
  out.binary = binary;
  std::atomic<int64_t> bytes{0};
  std::atomic<bool> running{true};
  int64_t n = mergeStreams(sources.data(), int32_t(sources.size()), out, bytes, running);
  for (FILE* f : files) fclose(f);
  return n;
}

// The directory of this program, where plain_merge is built too.
std::string programDir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self(path, n > 0 ? size_t(n) : 0);
  return self.substr(0, self.rfind('/'));
}

struct Seconds {
  double wall, processor;
};

// Seconds of one plain-way merge of the streams (plain_merge's own count of its merge time),
// or -1 when it failed.
Seconds plainMergeSeconds(const Devices& d, bool text, bool binary) {
  std::string command = programDir() + "/plain_merge";
  if (text) command += " --text /dev/null";
  if (binary) command += " --bin /dev/null";
  for (const std::string& path : d.paths) command += " " + path;
  FILE* child = popen(command.c_str(), "r");
  long long records = -1;
  Seconds s{-1, -1};
  if (child && fscanf(child, "%lld %lf %lf", &records, &s.wall, &s.processor) != 3) s.wall = -1;
  if (child && pclose(child) != 0) s.wall = -1;
  return s;
}

// The best of three runs, with the processor time of that run. To /dev/null text only or binary
// only, the plain-way merge of the same streams runs between them, and the ratio of the two
// best times is printed and returned (0 otherwise). The ratio of processor times is printed too:
// it counts the decoding thread on top, but suffers less from a busy machine. So does the
// processor time of the merge's choice and writing alone (this thread; the best of the runs).
double timeMerge(const Devices& d, const char* what, bool text, bool binary, const char* sink) {
  const bool null = sink == std::string("/dev/null");
  const bool compare = null && text != binary;
  double best = 1e30, bestCpu = 0, bestChoice = 1e30;
  Seconds plainBest{1e30, 1e30};
  int64_t n = 0;
  for (int run = 0; run < 3; ++run) {
    if (compare) {
      const Seconds p = plainMergeSeconds(d, text, binary);
      plainBest.wall = std::min(plainBest.wall, p.wall);
      plainBest.processor = std::min(plainBest.processor, p.processor);
    }
    const std::string textPath = runDir + "/out.txt", binaryPath = runDir + "/out.bin";
    FILE* t = text ? fopen(null ? sink : textPath.c_str(), "w") : nullptr;
    FILE* b = binary ? fopen(null ? sink : binaryPath.c_str(), "wb") : nullptr;
    const double t0 = now(), c0 = cpuNow(), m0 = cpuNow(CLOCK_THREAD_CPUTIME_ID);
    n = runMerge(d, t, b);
    bestChoice = std::min(bestChoice, cpuNow(CLOCK_THREAD_CPUTIME_ID) - m0);
    if (t) fclose(t);
    if (b) fclose(b);
    const double s = now() - t0, c = cpuNow() - c0;
    if (s < best) best = s, bestCpu = c;
    unlink(textPath.c_str());
    unlink(binaryPath.c_str());
  }
  printf("  %-12s %-10s %9.1f M records/s  (%lld records, %.2f s, processor %.2f s, merge "
         "thread %.3f s)", what, sink, n / best / 1e6, (long long)n, best, bestCpu, bestChoice);
  if (!compare) return printf("\n"), 0;
  if (plainBest.wall <= 0) return printf("  plain way failed\n"), 0;
  printf("\n  %-23s %9.1f M records/s, ratio %.2fx (processor time %.2fx)\n", "  plain way",
         n / plainBest.wall / 1e6, plainBest.wall / best, plainBest.processor / bestCpu);
  return plainBest.wall / best;
}

// Peak resident memory of a merge in a process of its own (this program started again with
// --merge-only), so that nothing this process holds is counted. The child reports the high-water
// mark of its own memory, which a new program image starts afresh.
long peakRssKiBOfMerge(const Devices& d) {
  std::string command = "/proc/" + std::to_string(getpid()) + "/exe --merge-only";
  for (const std::string& path : d.paths) command += " " + path;
  FILE* child = popen(command.c_str(), "r");
  long kib = -1;
  if (child && fscanf(child, "%ld", &kib) != 1) kib = -1;
  if (child) pclose(child);
  return kib;
}

// The child of peakRssKiBOfMerge(): merges the given streams to /dev/null, both outputs, and
// prints its peak resident memory in KiB.
int mergeOnly(int argc, char** argv) {
  Devices d;
  for (int i = 2; i < argc; ++i) {
    d.paths.push_back(argv[i]);
    d.decoders.push_back(tdc56Init());
  }
  FILE* t = fopen("/dev/null", "w");
  FILE* b = fopen("/dev/null", "wb");
  runMerge(d, t, b);
  FILE* status = fopen("/proc/self/status", "r");
  char line[256];
  long kib = -1;
  while (status && fgets(line, sizeof line, status))
    if (sscanf(line, "VmHWM: %ld", &kib) == 1) break;
  if (status) fclose(status);
  printf("%ld\n", kib);
  return 0;
}

// One merge of the given streams into /dev/null with the outputs named by argv[2]; prints the
// records merged. Timing nothing, it is what an instruction count runs.
int mergeOnce(int argc, char** argv) {
  const std::string outputs = argc > 2 ? argv[2] : "";
  const bool text = outputs == "text" || outputs == "both";
  const bool binary = outputs == "binary" || outputs == "both";
  if (argc < 4 || (!text && !binary && outputs != "none")) {
    fprintf(stderr, "usage: bench_merge --once text|binary|both|none STREAM ...\n");
    return 2;
  }
  Devices d;
  for (int i = 3; i < argc; ++i) {
    d.paths.push_back(argv[i]);
    d.decoders.push_back(tdc56Init());
  }
  FILE* t = text ? fopen("/dev/null", "w") : nullptr;
  FILE* b = binary ? fopen("/dev/null", "wb") : nullptr;
  // RAVIK_BENCH_RUNS=N: N merges, and the best wall-clock and processor time of them.
  const char* runs = getenv("RAVIK_BENCH_RUNS");
  double best = 1e9, bestCpu = 1e9;
  int64_t records = 0;
  for (int run = 0, n = runs ? std::max(1, atoi(runs)) : 1; run < n; ++run) {
    const double t0 = now(), c0 = cpuNow();
    records = runMerge(d, t, b);
    best = std::min(best, now() - t0);
    bestCpu = std::min(bestCpu, cpuNow() - c0);
  }
  printf("%lld records\n", (long long)records);
  if (runs)
    printf("best of %s: %.1f M records/s, %.3f s, processor %.3f s\n", runs,
           double(records) / best / 1e6, best, bestCpu);
  if (t) fclose(t);
  if (b) fclose(b);
  for (Tdc56Instance* decoder : d.decoders) tdc56DeInit(decoder);
  return 0;
}

// The speed of each processor this program may use while all of them are busy, as a share of
// the fastest one's speed alone: a fixed piece of arithmetic on each, alone and then on all at
// once, the best of five. On a virtual machine a busy host can slow one of them to half speed
// for minutes while the other is busy too, and the merge's two threads then wait for the slow
// one: this tells such a run from a slow merge.
double spinSeconds(int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) != 0) return 0;
  double best = 1e30;
  for (int run = 0; run < 5; ++run) {
    const double start = now();
    volatile uint64_t x = 0;
    for (uint64_t i = 0; i < 20000000; ++i) x = x + i * i;
    best = std::min(best, now() - start);
  }
  return best;
}
std::string processorSpeeds() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return "unknown";
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  double alone = 1e30;
  for (int cpu : cpus) {
    std::thread t([&] { alone = std::min(alone, spinSeconds(cpu)); });
    t.join();
  }
  std::vector<double> together(cpus.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < cpus.size(); ++i)
    threads.emplace_back([&, i] { together[i] = spinSeconds(cpus[i]); });
  for (std::thread& t : threads) t.join();
  std::string text;
  for (size_t i = 0; i < cpus.size(); ++i)
    text += (text.empty() ? "" : ", ") + std::to_string(cpus[i]) + " at " +
            (together[i] > 0 ? std::to_string(int(100 * alone / together[i] + 0.5)) + " %"
                             : std::string("?"));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--merge-only") return mergeOnly(argc, argv);
  if (argc > 1 && std::string(argv[1]) == "--once") return mergeOnce(argc, argv);
  if ((argc == 5 || argc == 6) && std::string(argv[1]) == "--streams") {
    const int n = atoi(argv[4]);
    const double rate = argc == 6 ? atof(argv[5]) : 2e6 * n;
    if (n < 1 || !(rate > 0)) {
      fprintf(stderr, "bench_merge: --streams needs a device count and a rate above 0\n");
      return 2;
    }
    for (int i = 0; i < n; ++i)
      if (!writeStream(std::string(argv[2]) + "/dev" + std::to_string(i) + ".raw",
                       atoll(argv[3]) / n, 1e12 * n / rate, 77 + i))
        return 1;
    return 0;
  }
  const bool ratiosOnly = argc > 1 && std::string(argv[1]) == "--ratios";
  if (ratiosOnly) --argc, ++argv;
  const int64_t total = argc > 1 ? atoll(argv[1]) : 24000000;
  char dirTemplate[] = "/tmp/ravik-bench-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) return perror("bench_merge: mkdtemp"), 1;
  runDir = dirTemplate;
  printf("Merge of %lld records in all, raw streams in /tmp (page cache)\n", (long long)total);
  printf("Processors' speed, all busy at once (of one alone): %s\n", processorSpeeds().c_str());
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(atoi(argv[i]));
  if (counts.empty()) counts = {1, 3, 8};
  std::vector<std::string> ratios;
  char line[160];
  for (int n : counts) {
    Devices d;
    for (int i = 0; i < n; ++i) {
      d.paths.push_back(runDir + "/dev" + std::to_string(i) + ".raw");
      // Each device at 2 million events/s on average, all on one time axis.
      if (!writeStream(d.paths.back(), total / n, 500000.0, 77 + i)) {  // a full /tmp
        for (const std::string& path : d.paths) unlink(path.c_str());
        rmdir(runDir.c_str());
        return 1;
      }
      d.decoders.push_back(tdc56Init());
    }
    printf("%d device%s:\n", n, n == 1 ? "" : "s");
    if (!ratiosOnly) timeMerge(d, "decode+order", false, false, "(none)");
    for (const char* sink : {"/dev/null", "/tmp"}) {
      if (ratiosOnly && sink != std::string("/dev/null")) continue;
      const double text = timeMerge(d, "text only", true, false, sink);
      const double binary = timeMerge(d, "binary only", false, true, sink);
      if (!ratiosOnly) timeMerge(d, "both", true, true, sink);
      if (text == 0) continue;
      snprintf(line, sizeof line, "  %d device%s, /dev/null: text %.2fx, binary %.2fx", n,
               n == 1 ? " " : "s", text, binary);
      ratios.push_back(line);
    }
    printf("  peak resident memory of a merge: %.1f MiB\n", peakRssKiBOfMerge(d) / 1024.0);
    for (size_t i = 0; i < d.paths.size(); ++i) {
      unlink(d.paths[i].c_str());
      tdc56DeInit(d.decoders[i]);
    }
  }
  rmdir(runDir.c_str());
  printf("Processors' speed, all busy at once (of one alone), at the end: %s\n",
         processorSpeeds().c_str());
  printf("Ratios to the plain-way merge (best of three each, same run):\n");
  for (const std::string& r : ratios) printf("%s\n", r.c_str());
  return 0;
}
