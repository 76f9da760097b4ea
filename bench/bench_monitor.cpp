// Cost of the live monitor on the recording path, and whether the monitor keeps up.
//
//   bench_monitor [seconds=3] [folder=/tmp]   (seconds 0: the capacity figures only)
//
// Three simulated devices; every block goes through the program's recording step into a temp
// file, with or without the monitor's tap (and the monitor thread draining it). In one run:
//   - at maximum rate: events/s recorded without and with the tap, best of two each;
//   - the monitor's capacity: blocks of a chain at 30 M events/s, taken first, then decoded into
//     rates and the histogram on one core, in processor time, also with all five kinds of
//     measurement attached; the best of three runs over the same blocks;
//   - paced at 100 M and at 30 M events/s in all: processor time of the library's delivery
//     thread (the simulator's work and the callback) and of the callback alone, per event,
//     without and with the tap; loss flags; the words the monitor dropped or only walked;
//   - paced at 30 M events/s with the tap and all five measurements: the same, and whether a
//     measurement overflowed; two runs each way, the best recording path of each, the rest from
//     the worse run; then the same with two virtual channels (6 delayed by -1500 ps, the
//     coincidences of 1 and 6 within 5 ns) and a LogCorrelation of 1 and 6 (10 ps to 1 ms, 8 per
//     decade) besides the five, the correlation's channel B the delayed 6.
// Processor time, read on the delivery thread, is what the tap adds to the recording path; it
// does not count the time the thread waits for a core that others hold.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/korbalt.h"
#include "chain/recordcore.h"
#include "korbalt/simhooks.h"
#include "monitor/logcorrelation.h"
#include "monitor/measurements.h"
#include "monitor/monitorcore.h"
#include "monitor/monitorthread.h"
#include "monitor/virtualchannels.h"

namespace {

struct Recorded {
  FILE* file = nullptr;
  std::atomic<uint32_t> events{0};
  TempWriteState write;
  TapQueue* tap = nullptr;
};

std::vector<std::unique_ptr<Recorded>> gDevices;  // by library index
// Written by the library's delivery thread only.
double gCallbackSeconds = 0;
double gFirstCall = -1, gLastCall = 0;  // the thread's processor time

double threadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

void callback(int32_t** index, int, int words, int, uint32_t* data) {
  const double start = threadSeconds();
  if (gFirstCall < 0) gFirstCall = start;
  Recorded* dev = gDevices[size_t(**index)].get();
  recordBlock(dev->file, dev->write, dev->events, data, words);
  tapBlock(dev->tap, data, words);
  gLastCall = threadSeconds();
  gCallbackSeconds += gLastCall - start;
}

// What a run attaches to the monitor.
enum class Load { None, Five, FiveVirtualLog };

// One measurement of each kind on the chain's output channels, attached to `monitor`; with
// Load::FiveVirtualLog also the two virtual channels and a LogCorrelation.
std::vector<std::shared_ptr<Measurement>> attachAll(MonitorCore& monitor, Load load) {
  if (load == Load::None) return {};
  const bool virtuals = load == Load::FiveVirtualLog;
  if (virtuals) {
    VirtualChannel delayed, coincidence;
    delayed.kind = VirtualChannel::Kind::Delayed;
    delayed.inputs = {6};
    delayed.delayPs = -1500;
    coincidence.kind = VirtualChannel::Kind::Coincidence;
    coincidence.inputs = {1, 6};
    coincidence.windowPs = 5000;
    monitor.setVirtualChannels({delayed, coincidence});  // 30000 and 30001
  }
  std::vector<int16_t> inputs;
  for (int16_t c = 0; c < 15; ++c) inputs.push_back(c);
  std::vector<std::shared_ptr<Measurement>> all = {
      std::make_shared<CountRate>(inputs),
      std::make_shared<Correlation>(1, virtuals ? 30000 : 6, 10, 2000),
      std::make_shared<TimeTrace>(inputs, 1000000000, 1000),
      std::make_shared<StartStop>(1, 6, 10, 2000),
      std::make_shared<Coincidences>(std::vector<std::vector<int16_t>>{{1, 6}, {6, 11}, {1, 6, 11}},
                                     1000)};
  if (virtuals) all.push_back(std::make_shared<LogCorrelation>(1, 6, 10, 1000000000, 8));
  for (const auto& m : all) monitor.measurements().add(m);
  return all;
}

bool anyOverflowed(const std::vector<std::shared_ptr<Measurement>>& all) {
  return std::any_of(all.begin(), all.end(), [](const auto& m) { return m->overflowed(); });
}

struct Result {
  double eventsPerSecond;
  double pathNsPerEvent;      // delivery thread, processor time
  double callbackNsPerEvent;  // callback alone, processor time
  double monitorLoad;         // processor-seconds of the rest of the process per second
  bool lost;
  uint64_t droppedWords, skippedWords;
  bool overflowed;  // a measurement said it missed records
};

double processSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

Result run(bool maxRate, double totalRate, bool tap, double seconds, const std::string& folder,
           Load load = Load::None) {
  setenv("RAVIK_SIM_MAX_RATE", maxRate ? "1" : "0", 1);
  setenv("RAVIK_SIM_RATES", std::to_string(totalRate / 15).c_str(), 1);
  uint32_t count = 0;
  if (TDC_discover(&count) != 0 || count != 3) {
    fprintf(stderr, "no simulated devices\n");
    exit(1);
  }
  std::vector<MonitorDevice> chain;
  gDevices.clear();
  for (uint32_t i = 0; i < count; ++i) {
    TDC_connect(i);
    int32_t position = 0;
    TDC_getChainPosition(&position, nullptr);
    chain.push_back({position, 0});
    UL_setParameter(i, 699, 0, 1);  // clears the loss flag
    gDevices.emplace_back(new Recorded);
    if (openTempFile(tempFileName(folder, i), &gDevices.back()->file) != 0) {
      fprintf(stderr, "cannot open %s\n", tempFileName(folder, i).c_str());
      exit(1);
    }
  }
  MonitorCore monitor(chain);
  const std::vector<std::shared_ptr<Measurement>> measurements = attachAll(monitor, load);
  MonitorThread thread(&monitor);
  if (tap) {
    for (uint32_t i = 0; i < count; ++i) gDevices[i]->tap = monitor.tap(i);
    thread.start();
  }
  uint64_t before = 0;
  for (uint32_t i = 0; i < count; ++i) before += korbalt::simDelivered(i);
  gCallbackSeconds = 0;
  gFirstCall = -1;
  const double processStart = processSeconds();
  const auto start = std::chrono::steady_clock::now();
  UL_setEventCallback(KORBALT_EVENT_DATA, callback);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  thread.finish();
  Result r{0, 0, 0, 0, false, 0, 0, anyOverflowed(measurements)};
  // The main thread sleeps meanwhile: the rest is the monitor thread's.
  r.monitorLoad = (processSeconds() - processStart - (gLastCall - gFirstCall)) / elapsed;
  uint64_t events = 0;
  for (uint32_t i = 0; i < count; ++i) {
    events += korbalt::simDelivered(i);
    closeTempFile(&gDevices[i]->file);
    unlink(tempFileName(folder, i).c_str());
    int32_t lost = 0;
    TDC_addressDevice(i);
    TDC_getDataLost(&lost);
    r.lost = r.lost || lost != 0;
  }
  events -= before;
  r.eventsPerSecond = double(events) / elapsed;
  r.pathNsPerEvent = 1e9 * (gLastCall - gFirstCall) / double(events);
  r.callbackNsPerEvent = 1e9 * gCallbackSeconds / double(events);
  const MonitorSnapshot snap = monitor.snapshot();
  r.droppedWords = snap.droppedWords;
  r.skippedWords = snap.skippedWords;
  return r;
}

// Blocks in delivery order, taken until every device sent `want` words.
struct Taken {
  std::vector<std::pair<int32_t, std::vector<uint32_t>>> blocks;
  uint64_t words[3] = {};
  uint64_t want = 0;
  std::atomic<bool> done{false};
};
Taken* gTaken = nullptr;

void take(int32_t** index, int, int words, int, uint32_t* data) {
  Taken& t = *gTaken;
  if (t.done) return;
  t.blocks.push_back({**index, std::vector<uint32_t>(data, data + words)});
  t.words[**index] += uint64_t(words);
  t.done = t.words[0] >= t.want && t.words[1] >= t.want && t.words[2] >= t.want;
}

// Events per processor-second of the monitor thread's work on a 30 M events/s chain, without
// and with the five measurements, and with the virtual channels and the LogCorrelation too: the
// best of three runs over the same blocks each, so that a busy host's stalls show less.
struct Capacity {
  double plain = 0, measured = 0, full = 0;
};

Capacity monitorCapacity() {
  setenv("RAVIK_SIM_MAX_RATE", "1", 1);
  setenv("RAVIK_SIM_RATES", std::to_string(30e6 / 15).c_str(), 1);
  uint32_t count = 0;
  TDC_discover(&count);
  std::vector<MonitorDevice> chain;
  uint64_t before = 0;
  for (uint32_t i = 0; i < count; ++i) {
    TDC_connect(i);
    int32_t position = 0;
    TDC_getChainPosition(&position, nullptr);
    chain.push_back({position, 0});
    before += korbalt::simDelivered(i);
  }
  Taken taken;
  taken.want = 8000000;
  gTaken = &taken;
  UL_setEventCallback(KORBALT_EVENT_DATA, take);
  while (!taken.done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  uint64_t events = 0;
  for (uint32_t i = 0; i < count; ++i) events += korbalt::simDelivered(i);
  events -= before;
  Capacity best;
  for (int round = 0; round < 3; ++round) {
    for (Load load : {Load::None, Load::Five, Load::FiveVirtualLog}) {
      MonitorCore monitor(chain);
      const std::vector<std::shared_ptr<Measurement>> measurements = attachAll(monitor, load);
      const double start = threadSeconds();
      for (const auto& block : taken.blocks) {
        monitor.tap(size_t(block.first))->push(block.second.data(), int32_t(block.second.size()));
        while (monitor.drain()) {
        }
      }
      monitor.finish();
      const double seconds = threadSeconds() - start;
      const MonitorSnapshot snap = monitor.snapshot();
      if (snap.skippedWords + snap.droppedWords != 0 || !snap.peak.found ||
          anyOverflowed(measurements))
        fprintf(stderr, "the monitor skipped words, found no peak or overflowed a measurement\n");
      double& figure = load == Load::None ? best.plain : load == Load::Five ? best.measured : best.full;
      figure = std::max(figure, double(events) / seconds);
    }
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 3.0;
  const std::string folder = argc > 2 ? argv[2] : "/tmp";
  setenv("RAVIK_SIM_DEVICES", "3", 1);
  setenv("RAVIK_SIM_BLOCK_WORDS", "65536", 1);
  baseAllowFindSimDevice(true);

  const Capacity capacity = monitorCapacity();
  printf("monitor capacity: %.1f M events/s per processor-second (a 30 M events/s chain's "
         "blocks, decoded into rates and the histogram of channels 1 and 6)\n",
         capacity.plain / 1e6);
  printf("monitor capacity with the five measurements too: %.1f M events/s per "
         "processor-second\n",
         capacity.measured / 1e6);
  printf("monitor capacity with the five measurements, two virtual channels and a "
         "LogCorrelation: %.1f M events/s per processor-second\n",
         capacity.full / 1e6);
  if (seconds <= 0) return 0;  // the capacity alone, for a profiler

  double best[2] = {0, 0};
  for (int round = 0; round < 2; ++round)
    for (int tap = 0; tap < 2; ++tap)
      best[tap] = std::max(best[tap], run(true, 300e6, tap, seconds, folder).eventsPerSecond);
  printf("maximum rate: %.1f M events/s without the tap, %.1f M with it (%+.1f%%)\n",
         best[0] / 1e6, best[1] / 1e6, 100 * (best[1] / best[0] - 1));

  for (double rate : {100e6, 30e6}) {
    const Result plain = run(false, rate, false, seconds, folder);
    const Result tapped = run(false, rate, true, seconds, folder);
    printf("paced at %.0f M events/s (delivered %.1f / %.1f M/s, loss %s / %s), without / with "
           "the tap:\n  recording path %.2f / %.2f ns/event (%+.1f%%), callback %.2f / %.2f "
           "ns/event; monitor thread %.0f %% of a core, dropped %llu words, walked %llu without "
           "decoding\n",
           rate / 1e6, plain.eventsPerSecond / 1e6, tapped.eventsPerSecond / 1e6,
           plain.lost ? "yes" : "no", tapped.lost ? "yes" : "no", plain.pathNsPerEvent,
           tapped.pathNsPerEvent, 100 * (tapped.pathNsPerEvent / plain.pathNsPerEvent - 1),
           plain.callbackNsPerEvent, tapped.callbackNsPerEvent, 100 * tapped.monitorLoad,
           static_cast<unsigned long long>(tapped.droppedWords),
           static_cast<unsigned long long>(tapped.skippedWords));
  }
  // Two runs each, alternating: the recording path's processor time varies from run to run
  // more than the monitor changes it, so each side's best counts; the chain's and the
  // monitor's figures are those of the worse run.
  for (Load load : {Load::Five, Load::FiveVirtualLog}) {
    Result plain = run(false, 30e6, false, seconds, folder);
    Result measured = run(false, 30e6, true, seconds, folder, load);
    const Result plain2 = run(false, 30e6, false, seconds, folder);
    const Result measured2 = run(false, 30e6, true, seconds, folder, load);
    for (auto pair : {std::make_pair(&plain, &plain2), std::make_pair(&measured, &measured2)}) {
      Result& r = *pair.first;
      const Result& again = *pair.second;
      r.pathNsPerEvent = std::min(r.pathNsPerEvent, again.pathNsPerEvent);
      r.eventsPerSecond = std::min(r.eventsPerSecond, again.eventsPerSecond);
      r.lost = r.lost || again.lost;
      r.monitorLoad = std::max(r.monitorLoad, again.monitorLoad);
      r.droppedWords = std::max(r.droppedWords, again.droppedWords);
      r.skippedWords = std::max(r.skippedWords, again.skippedWords);
      r.overflowed = r.overflowed || again.overflowed;
    }
    printf("paced at 30 M events/s, with the tap and %s (delivered %.1f / %.1f M/s, loss %s / "
           "%s): recording path %.2f / %.2f ns/event (%+.1f%%); monitor thread %.0f %% of a core, "
           "dropped %llu words, walked %llu without decoding; overflowed: %s\n",
           load == Load::Five ? "the five measurements"
                              : "the five measurements, two virtual channels and a LogCorrelation",
           plain.eventsPerSecond / 1e6, measured.eventsPerSecond / 1e6, plain.lost ? "yes" : "no",
           measured.lost ? "yes" : "no", plain.pathNsPerEvent, measured.pathNsPerEvent,
           100 * (measured.pathNsPerEvent / plain.pathNsPerEvent - 1), 100 * measured.monitorLoad,
           static_cast<unsigned long long>(measured.droppedWords),
           static_cast<unsigned long long>(measured.skippedWords), measured.overflowed ? "yes" : "no");
  }
  return 0;
}
