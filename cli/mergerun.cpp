#include "cli/mergerun.h"

#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "cli/report.h"
#include "codec/tdc56.h"
#include "device/korbalt.h"
#include "merge/mergecore.h"

namespace {

// Sent by a worker to the main thread when it is done, so that the end of a short merge is not
// delayed to the next progress tick.
constexpr int kWakeSignal = SIGUSR1;
constexpr int64_t kTickNs = 200 * 1000 * 1000;

MergeOutputs makeOutputs(OutputFile* text, OutputFile* binary) {
  MergeOutputs outputs;
  outputs.text = text != nullptr ? text->file() : nullptr;
  outputs.binary = binary != nullptr ? binary->file() : nullptr;
  // The window addresses its first chain device before the header. Offline no device is
  // discovered or connected, so there is none to address: the library writes the header that
  // says so, and the same again after the last record.
  outputs.header = [](FILE* file, bool) { writeFileHeader(file, 0); };
  return outputs;
}

std::vector<CheckedSource> makeSources(const std::vector<InputStream>& inputs,
                                       std::vector<Tdc56Instance*>* decoders) {
  std::vector<CheckedSource> sources;
  for (const InputStream& input : inputs) {
    decoders->push_back(tdc56Init());
    sources.push_back({{decoders->back(), input.arg.chainPos, input.arg.markers, input.file},
                       input.arg.path,
                       input.losses});
  }
  return sources;
}

bool writeFailed(const OutputFile* text, const OutputFile* binary) {
  return (text != nullptr && text->writeError() != 0) ||
         (binary != nullptr && binary->writeError() != 0);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

sigset_t blockSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, kWakeSignal}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

RunResult runMerge(const std::vector<InputStream>& inputs, OutputFile* text, OutputFile* binary,
                   const RunSettings& settings, const sigset_t& signals) {
  std::vector<Tdc56Instance*> decoders;
  const std::vector<CheckedSource> sources = makeSources(inputs, &decoders);
  const MergeOutputs outputs = makeOutputs(text, binary);
  const int64_t total = totalSize(inputs);
  std::atomic<double> bytesRead{0};
  std::atomic<bool> running{true};
  std::atomic<int32_t> working{settings.counts != nullptr ? 2 : 1};
  RunResult result;
  const pthread_t main = pthread_self();
  auto done = [&] {
    working.fetch_sub(1);
    pthread_kill(main, kWakeSignal);
  };

  const auto start = std::chrono::steady_clock::now();
  std::thread merger([&] {
    result.outcome = mergeChecked(sources, outputs, settings.lossRecords, bytesRead, running);
    result.records = result.outcome.records;
    done();
  });
  std::thread counter;
  if (settings.counts != nullptr) counter = std::thread([&] {
    result.counted = countRecords(inputs, running, settings.counts);
    done();
  });

  const timespec tick{0, kTickNs};
  while (working.load() > 0) {
    const int s = sigtimedwait(&signals, nullptr, &tick);
    if (s > 0 && s != kWakeSignal) {
      result.stopSignal = s;
      running.store(false);
    }
    if (writeFailed(text, binary)) running.store(false);
    if (settings.progress)
      fprintf(stderr, "\r%s\033[K", progressLine(int64_t(bytesRead.load()), total,
                                                  secondsSince(start)).c_str());
  }
  merger.join();
  if (counter.joinable()) counter.join();
  if (settings.progress) fprintf(stderr, "\r\033[K");
  result.seconds = secondsSince(start);
  result.bytesRead = int64_t(bytesRead.load());
  for (Tdc56Instance* d : decoders) tdc56DeInit(d);
  return result;
}

int pendingStopSignal(const sigset_t& signals) {
  const timespec now{0, 0};
  for (int s; (s = sigtimedwait(&signals, nullptr, &now)) > 0;)
    if (s != kWakeSignal) return s;
  return 0;
}
