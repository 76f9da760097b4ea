#include "korbalt/delivery.h"

#include <algorithm>

#include "korbalt/generator.h"
#include "korbalt/replay.h"
#include "trace/trace.h"

namespace korbalt {

namespace {

constexpr int kTickMs = 2;
// A device with the data-loss fault loses 1 ms of its stream every 250 ms.
constexpr int64_t kForcedLossEveryPs = 250 * kPsPerMs;
constexpr int64_t kForcedLossPs = kPsPerMs;

}  // namespace

struct Delivery::Stream {
  Stream(SimDevice* d, const Scenario& scenario, int32_t blockWords)
      : device(d),
        generator(d->setup(), scenario),
        index(static_cast<int32_t>(d->index())),
        block(blockWords) {}

  SimDevice* device;  // not owned
  StreamGenerator generator;
  int32_t index;
  int32_t* indexPointer = &index;  // the callback receives the address of this pointer
  // The file it streams instead of generated events; null: generated.
  std::unique_ptr<ReplaySource> replay;
  bool connected = false;
  bool running = false;
  StreamConfig config{};
  bool forcedLoss = false;
  int64_t nextLoss = kNever;
  std::vector<uint32_t> block;
};

Delivery::Delivery(Library& library, KorbaltEventCallback callback)
    : _library(library),
      _maxRate(library.scenario().maxRate),
      _blockWords(library.scenario().blockWords),
      _fifoWords(library.scenario().fifoWords),
      _callback(callback) {
  for (uint32_t i = 0; i < library.count(); ++i) {
    SimDevice* d = library.device(i);
    auto s = std::make_unique<Stream>(d, library.scenario(), _blockWords);
    if (d->recordLimit() > 0) s->generator.keepRecord(&d->record(), d->recordLimit());
    const bool replayLoss = (library.scenario().replayLoss >> i) & 1;
    if (!d->setup().replay.empty())
      s->replay.reset(new ReplaySource(d->setup().replay, !_maxRate, replayLoss));
    s->forcedLoss = !s->replay && ((library.scenario().dataLoss >> i) & 1);
    _streams.push_back(std::move(s));
  }
}

Delivery::~Delivery() {}

void Delivery::stop() {
  _waitLock.lock();
  _stop.store(true, std::memory_order_release);
  _wake.wakeOne();
  _waitLock.unlock();
}

void Delivery::run() {
  while (!stopping()) {
    snapshot();
    deliverAll(_maxRate ? kNever : axisNowPs());
    // At maximum rate the next pass follows at once, unless no device is streaming.
    const bool busy = _maxRate && std::any_of(_streams.begin(), _streams.end(), [](const auto& s) {
      return s->running && !(s->replay && s->replay->ended());
    });
    _waitLock.lock();
    if (!stopping() && !busy) _wake.wait(&_waitLock, kTickMs);
    _waitLock.unlock();
  }
}

void Delivery::snapshot() {
  Guard guard(_library.lock());
  for (auto& s : _streams) {
    s->connected = s->device->connected();
    s->config = s->device->streamConfig();
  }
}

void Delivery::deliverAll(int64_t now) {
  // The devices that join in one pass start at one time, as a chain started together does:
  // the blocks delivered before a device's turn (however long the receiver takes for them)
  // never move its start later on the chain's axis.
  int64_t joinedAt = kNever;
  for (auto& s : _streams) {
    if (stopping()) return;
    if (!s->connected) {
      s->running = false;
      continue;
    }
    s->generator.configure(s->config);
    if (!s->running) {
      // A device (re)joining starts at the present; what it measured meanwhile went nowhere.
      if (joinedAt == kNever) joinedAt = axisNowPs();
      const int64_t t = joinedAt;
      s->generator.restart(t);
      if (s->replay) s->replay->restart(t);
      s->running = true;
      s->nextLoss = s->forcedLoss ? t + kForcedLossEveryPs : kNever;
    }
    deliver(*s, now);
  }
}

void Delivery::deliver(Stream& s, int64_t now) {
  int64_t backlog = 0;
  for (;;) {
    const int64_t until = std::min(now, s.nextLoss);
    int32_t words = 0;
    if (!deliverBlock(s, until, &words)) return;
    const bool caughtUp = words < _blockWords - 1;
    if (s.replay) {
      // A replay is never lost: a receiver that holds it up only delays it. Paced, it hands on
      // what is due until nothing is.
      if (_maxRate || words == 0) return;
      continue;
    }
    if (caughtUp && until == s.nextLoss) {
      loseData(s, s.nextLoss + kForcedLossPs);
      s.nextLoss += kForcedLossEveryPs;
      continue;
    }
    if (caughtUp || _maxRate) return;
    backlog += words;
    if (backlog > _fifoWords) {
      loseData(s, axisNowPs());
      return;
    }
  }
}

bool Delivery::deliverBlock(Stream& s, int64_t until, int32_t* words) {
  const auto events = [&s] { return s.replay ? s.replay->events() : s.generator.events(); };
  const uint64_t before = events();
  *words = s.replay ? s.replay->produce(axisNowPs(), s.block.data(), _blockWords)
                    : s.generator.produce(until, s.block.data(), _blockWords);
  if (*words == 0) return !stopping();
  // Raised before the block reaches the receiver, as a device's flag is set before the data
  // that follow a loss: a receiver that reads its stream's size and then the flag places the
  // loss before the restart.
  if (s.replay && s.replay->takeRestart()) s.device->raiseDataLost();
  s.device->delivered().fetch_add(events() - before, std::memory_order_relaxed);
  // Once produced, a block is delivered even if a stop comes now: the stop waits for it.
  const KorbaltEventCallback callback = _callback.load();
  if (callback != nullptr) callback(&s.indexPointer, 0, *words, 0, s.block.data());
  return !stopping();
}

void Delivery::loseData(Stream& s, int64_t restartAt) {
  s.device->raiseDataLost();
  s.generator.restart(restartAt);
  traceTrace("Device %d lost data, stream restarts at %lld ps", s.index,
             static_cast<long long>(restartAt));
}

}  // namespace korbalt
