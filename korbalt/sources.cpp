#include "korbalt/sources.h"

#include <string.h>

#include <algorithm>

namespace korbalt {

namespace {

constexpr double kPsPerSecond = 1e12;
constexpr uint32_t kTickFlag = 1u << 4;

int64_t after(int64_t from, double gapPs) {
  const double t = static_cast<double>(from) + gapPs;
  return t >= 9.0e18 ? kNever : static_cast<int64_t>(t);
}

}  // namespace

bool StreamConfig::operator==(const StreamConfig& o) const {
  return memcmp(rates, o.rates, sizeof rates) == 0 && pairChannelOn == o.pairChannelOn &&
         markers == o.markers && fiveChannel == o.fiveChannel &&
         memcmp(delaysPs, o.delaysPs, sizeof delaysPs) == 0;
}

// --- Background ----------------------------------------------------------------------------

void BackgroundSource::configure(const StreamConfig& config) {
  double total = 0;
  for (double r : config.rates) total += r;
  _meanPs = total > 0 ? kPsPerSecond / total : 0;
  double sum = 0;
  for (int32_t c = 0; c < kInputChannels; ++c) {
    sum += config.rates[c];
    _limit[c] = total > 0 ? static_cast<uint32_t>(sum / total * 65536.0) : 0;
    _channelOf[c] = static_cast<uint8_t>(c);
  }
  // The last enabled input takes what rounding left over, so a draw never lands on an input
  // that is off.
  for (int32_t c = kInputChannels - 1; c >= 0; --c) {
    _limit[c] = 65536;
    if (config.rates[c] > 0) break;
  }
  if (config.fiveChannel) _channelOf[0] = 5;
}

void BackgroundSource::draw(Draw& d, int64_t from) const {
  if (_meanPs == 0) {
    d.next = kNever;
    return;
  }
  const uint64_t bits = d.random.next();
  // The gap alone goes through floating point, so successive events depend on each other only
  // through one integer addition.
  const double gap = _meanPs * exponential(bits, d.random);
  d.next = gap < 4.0e18 ? from + static_cast<int64_t>(gap) : kNever;
  // Counting the shares the draw passes picks the input without a branch to mispredict.
  const uint32_t share = static_cast<uint32_t>(bits >> 32) & 0xFFFF;
  int32_t c = 0;
  for (int32_t i = 0; i < kInputChannels - 1; ++i) c += share >= _limit[i];
  d.channel = _channelOf[c];
}

void BackgroundSource::seek(int64_t t) { draw(_state, t); }

int32_t BackgroundSource::run(SimEvent* out, int32_t max, int64_t bound, int64_t* last) {
  Draw d = _state;
  int64_t previous = *last;
  int32_t n = 0;
  while (n < max && d.next <= bound && d.next - previous <= kQuietPs) {
    out[n++] = SimEvent{d.next, d.channel};
    previous = d.next;
    draw(d, previous);
  }
  _state = d;
  *last = previous;
  return n;
}

// --- Pairs ---------------------------------------------------------------------------------

void PairWalker::init(uint64_t seed, double pairRate, int64_t delayPs, int32_t members,
                      int32_t member, bool second, int64_t lifetimePs) {
  _seed = seed;
  _lifetimePs = second ? double(lifetimePs) : 0;
  _decay = Random(mixSeed(seed, 0x2000 + static_cast<uint64_t>(member)));
  _meanPs = pairRate > 0 && members > 1 ? kPsPerSecond / pairRate : 0;
  _offset = second ? delayPs : 0;
  _members = members;
  _wanted = second ? (member + members - 1) % std::max(members, 1) : member;
  _next = kNever;
}

void PairWalker::enterWindow(int64_t window) {
  _window = window;
  _pairInWindow = -1;
  _pairTime = window * kPsPerMs;
  _random = Random(mixSeed(_seed, static_cast<uint64_t>(window)));
}

void PairWalker::seek(int64_t t) {
  if (_meanPs == 0) {
    _next = kNever;
    return;
  }
  enterWindow(std::max<int64_t>(0, t - _offset) / kPsPerMs);
  if (_lifetimePs > 0) {
    _decays = {};
    nextPair();
    settleDecays();
    while (_next < t) advance();
    return;
  }
  do {
    advance();
  } while (_next < t);
}

void PairWalker::advance() {
  if (_lifetimePs > 0) {
    _decays.pop();
    settleDecays();
    return;
  }
  nextPair();
  _next = _pairTime + _offset;
}

void PairWalker::settleDecays() {
  // Every pair still to come decays at its own time + offset or later: the earliest decay
  // pending is the next event once it is due no later than that.
  while (_decays.empty() || _decays.top() > _pairTime + _offset) {
    _decays.push(_pairTime + _offset + int64_t(_lifetimePs * exponential(_decay.next(), _decay)));
    nextPair();
  }
  _next = _decays.top();
}

void PairWalker::nextPair() {
  for (;;) {
    _pairTime = after(_pairTime, _meanPs * exponential(_random.next(), _random));
    if (_pairTime >= (_window + 1) * kPsPerMs) {
      enterWindow(_window + 1);
      continue;
    }
    ++_pairInWindow;
    if ((_window + _pairInWindow) % _members == _wanted) break;
  }
}

// --- Markers -------------------------------------------------------------------------------

uint32_t MarkerSource::flagsAt(int64_t tick) {
  uint32_t flags = kTickFlag;
  for (int k = 0; k < 4; ++k) {
    const int64_t period = int64_t{10} << k;
    const int64_t phase = tick % period;
    if (phase == 0) flags |= 1u << k;
    if (phase == period / 2) flags |= 1u << (5 + k);
  }
  return flags;
}

void MarkerSource::seek(int64_t t) {
  // A marker sits at most 511 ps after its tick, so the tick before t may still be due.
  find(std::max<int64_t>(1, t / kPsPerMs));
  while (_next < t) find(_tick + 1);
}

void MarkerSource::find(int64_t tick) {
  if (_enabled == 0) {
    _next = kNever;
    return;
  }
  // Every tick has the tick flag and the up/down flags recur, so this ends within 80 ticks.
  while ((flagsAt(tick) & _enabled) == 0) ++tick;
  _tick = tick;
  _next = tick * kPsPerMs + (flagsAt(tick) & _enabled);
}

// --- All sources ---------------------------------------------------------------------------

EventSources::EventSources(const DeviceSetup& setup, const Scenario& scenario)
    : _background(mixSeed(scenario.seed, 0x100 + static_cast<uint64_t>(setup.member))) {
  const int32_t members = static_cast<int32_t>(scenario.devices.size());
  _firstOfPair.init(scenario.seed, scenario.pairRate, scenario.pairDelayPs, members, setup.member,
                    false);
  _secondOfPair.init(scenario.seed, scenario.pairRate, scenario.pairDelayPs, members, setup.member,
                     true, scenario.pairLifetimePs);
}

void EventSources::configure(const StreamConfig& config) {
  const bool wasOn = _config.pairChannelOn;
  _config = config;
  _background.configure(config);
  _markers.configure(config.markers);
  // The sources forget their plans; being memoryless (or periodic) they pick up from now.
  _background.seek(_last);
  _markers.seek(_last + 1);
  if (config.pairChannelOn && !wasOn) {
    _firstOfPair.seek(_last + 1);
    _secondOfPair.seek(_last + 1);
  }
  updateOther();
}

void EventSources::restart(int64_t t) {
  _last = t;
  _background.seek(t);
  _markers.seek(t);
  _firstOfPair.seek(t);
  _secondOfPair.seek(t);
  updateOther();
}

void EventSources::updateOther() {
  _other = _markers.next();
  if (_config.pairChannelOn) {
    _other = std::min(_other, std::min(_firstOfPair.next(), _secondOfPair.next()));
  }
}

int64_t EventSources::nextTime() const {
  const int64_t t = std::min(_background.next(), _other);
  return t - _last > kQuietPs ? _last + kQuietPs : t;
}

uint8_t EventSources::take(int64_t t) {
  if (t == _background.next()) {
    const uint8_t channel = _background.channel();
    _background.advance();
    return channel;
  }
  if (t == _markers.next()) {
    _markers.advance();
    updateOther();
    return kMarkerChannel;
  }
  (t == _firstOfPair.next() ? _firstOfPair : _secondOfPair).advance();
  updateOther();
  return kPairChannel;
}

int32_t EventSources::fill(SimEvent* out, int32_t max, int64_t until) {
  int32_t n = 0;
  while (n < max) {
    // Most items are background events due before any other source: take them in a tight loop.
    n += _background.run(out + n, max - n, std::min(_other, until), &_last);
    if (n == max) break;
    int64_t t = std::min(_background.next(), _other);
    const bool quiet = t - _last > kQuietPs;
    if (quiet) t = _last + kQuietPs;
    if (t > until) break;
    out[n++] = SimEvent{t, quiet ? kAdvanceChannel : take(t)};
    _last = t;
  }
  return n;
}

}  // namespace korbalt
