#include "monitor/virtualchannels.h"

#include <algorithm>
#include <stdexcept>

#include "monitor/measurementargs.h"

using namespace measurementargs;

namespace {

constexpr int64_t kMaxDelayPs = int64_t(1) << 62;

std::string listText(const std::vector<int16_t>& channels) {
  std::string text;
  for (int16_t c : channels) text += (text.empty() ? "" : ", ") + std::to_string(c);
  return text;
}

// A first-in first-out ring of up to kMaxHistory entries that grows by doubling, so that a
// steady stream allocates nothing.
template <typename T>
class Ring {
public:
  size_t size() const { return size_t(_end - _begin); }
  bool empty() const { return _begin == _end; }
  bool full() const { return size() == kMaxHistory; }
  T& front() { return at(0); }
  T& at(size_t i) { return _items[(_begin + i) & (_items.size() - 1)]; }
  void popFront() { ++_begin; }
  // The caller checks full() first.
  void pushBack(const T& item) {
    if (size() == _items.size()) grow();
    _items[_end++ & (_items.size() - 1)] = item;
  }
  // For a ring kept in order: `item` goes after every entry not above it, walking back from
  // the newest (the entries come nearly in order).
  void insertOrdered(const T& item) {
    pushBack(item);
    for (size_t i = size() - 1; i > 0 && item < at(i - 1); --i) std::swap(at(i), at(i - 1));
  }

private:
  void grow() {
    std::vector<T> bigger(std::max<size_t>(64, _items.size() * 2));
    for (size_t i = 0; i < size(); ++i) bigger[i] = at(i);
    _end = size();
    _begin = 0;
    _items.swap(bigger);
  }

  std::vector<T> _items;  // its size a power of two
  uint64_t _begin = 0, _end = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Definitions

std::string virtualLabel(const VirtualChannel& v) {
  const std::string head = "virtual: ";
  switch (v.kind) {
    case VirtualChannel::Kind::Delayed:
      return head + listText(v.inputs) + " delayed by " + std::to_string(v.delayPs) + " ps";
    case VirtualChannel::Kind::Combined:
      return head + "combined " + listText(v.inputs);
    case VirtualChannel::Kind::Coincidence:
      return head + "coincidence of " + listText(v.inputs) + " within " +
             std::to_string(v.windowPs) + " ps";
    case VirtualChannel::Kind::Gated:
      return head + listText(v.inputs) + " gated by " + std::to_string(v.gateOpen) + " to " +
             std::to_string(v.gateClose);
  }
  return head;
}

std::vector<VirtualChannel> resolveVirtualChannels(std::vector<VirtualChannel> definitions) {
  if (definitions.size() > size_t(kLastVirtualChannel - kFirstVirtualChannel + 1))
    throw std::invalid_argument("more virtual channels than the block " +
                                std::to_string(kFirstVirtualChannel) + ".." +
                                std::to_string(kLastVirtualChannel) + " holds");
  // The outputs first, so that a definition's inputs are checked against those before it.
  std::vector<int16_t> outputs;
  for (size_t k = 0; k < definitions.size(); ++k) {
    VirtualChannel& v = definitions[k];
    const std::string which = "virtual channel " + std::to_string(k) + ": ";
    if (v.channel == -1) v.channel = int16_t(kFirstVirtualChannel + int32_t(k));
    if (v.channel < kFirstVirtualChannel)
      throw std::invalid_argument(which + "its channel " + std::to_string(v.channel) +
                                  " lies outside the virtual block " +
                                  std::to_string(kFirstVirtualChannel) + ".." +
                                  std::to_string(kLastVirtualChannel));
    if (std::find(outputs.begin(), outputs.end(), v.channel) != outputs.end())
      throw std::invalid_argument(which + "channel " + std::to_string(v.channel) +
                                  " is given twice");
    outputs.push_back(v.channel);
  }
  for (size_t k = 0; k < definitions.size(); ++k) {
    VirtualChannel& v = definitions[k];
    const std::string which = "virtual channel " + std::to_string(k) + ": ";
    const bool single = v.kind == VirtualChannel::Kind::Delayed || v.kind == VirtualChannel::Kind::Gated;
    if (single && v.inputs.size() != 1) throw std::invalid_argument(which + "needs one channel");
    if (v.inputs.empty()) throw std::invalid_argument(which + "needs at least one channel");
    std::vector<int16_t> named = v.inputs;
    if (v.kind == VirtualChannel::Kind::Gated) {
      named.push_back(v.gateOpen);
      named.push_back(v.gateClose);
      if (v.gateOpen == v.gateClose)
        throw std::invalid_argument(which + "the gate opens and closes on the same channel");
    }
    for (int16_t c : named) {
      if (c < 0)
        throw std::invalid_argument(which + "channel " + std::to_string(c) +
                                    ": channels are 0 and up (negative ones are loss records)");
      if (c >= kFirstVirtualChannel &&
          std::find(outputs.begin(), outputs.begin() + ptrdiff_t(k), c) == outputs.begin() + ptrdiff_t(k))
        throw std::invalid_argument(which + "channel " + std::to_string(c) +
                                    " is not a virtual channel defined before it");
    }
    // A channel named twice counts once.
    std::vector<int16_t> once;
    for (int16_t c : v.inputs)
      if (std::find(once.begin(), once.end(), c) == once.end()) once.push_back(c);
    v.inputs = once;
    if (v.kind == VirtualChannel::Kind::Delayed && (v.delayPs > kMaxDelayPs || v.delayPs < -kMaxDelayPs))
      throw std::invalid_argument(which + "the delay lies beyond +-2^62 ps");
    if (v.kind == VirtualChannel::Kind::Coincidence && (v.windowPs < 0 || v.windowPs > kMaxDelayPs))
      throw std::invalid_argument(which + "the window must lie between 0 and 2^62 ps");
  }
  return definitions;
}

std::string virtualChainError(int32_t largestChainPos) {
  if (largestChainPos <= kMaxVirtualChainPos) return std::string();
  return "virtual channels use channels " + std::to_string(kFirstVirtualChannel) +
         " and up, which the devices at chain positions above " +
         std::to_string(kMaxVirtualChainPos) + " use too";
}

// ---------------------------------------------------------------------------------------------
// The steps

class VirtualChannels::Step {
public:
  explicit Step(int16_t channel) : _channel(channel) {}
  virtual ~Step() = default;
  // Appends to *out the records `tags` lead to, in merge order.
  virtual void push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) = 0;
  virtual void finish(std::vector<TimeTag>* out) { (void)out; }
  bool overflowed() const { return _overflowed; }

protected:
  const int16_t _channel;
  bool _overflowed = false;
};

namespace {

// A step that adds at most one record right after each record: writes into room made once
// per batch.
template <typename Decide>
void addAfter(const TimeTag* tags, size_t count, std::vector<TimeTag>* out, int16_t channel,
              Decide decide) {
  const size_t from = out->size();
  out->resize(from + 2 * count);
  TimeTag* to = out->data() + from;
  for (size_t i = 0; i < count; ++i) {
    *to++ = tags[i];
    to->time = tags[i].time;
    to->channel = channel;
    to += int(decide(tags[i]));
  }
  out->resize(size_t(to - out->data()));
}

class CombinedStep : public VirtualChannels::Step {
public:
  explicit CombinedStep(const VirtualChannel& v) : Step(v.channel), _wanted(65536, 0) {
    for (int16_t c : v.inputs) _wanted[tableIndex(c)] = 1;
  }
  void push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) override {
    const uint8_t* wanted = _wanted.data() + tableIndex(0);
    addAfter(tags, count, out, _channel, [&](const TimeTag& t) { return wanted[t.channel] != 0; });
  }

private:
  std::vector<uint8_t> _wanted;
};

class CoincidenceStep : public VirtualChannels::Step {
public:
  explicit CoincidenceStep(const VirtualChannel& v)
      : Step(v.channel), _window(v.windowPs), _slot(65536, 0), _latest(v.inputs.size(), INT64_MIN) {
    for (size_t i = 0; i < v.inputs.size(); ++i) _slot[tableIndex(v.inputs[i])] = int16_t(i + 1);
  }
  void push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) override {
    const int16_t* slotOf = _slot.data() + tableIndex(0);
    int64_t* latest = _latest.data();
    const size_t members = _latest.size();
    const int64_t window = _window;
    addAfter(tags, count, out, _channel, [&](const TimeTag& tag) {
      const int16_t slot = slotOf[tag.channel];
      if (slot == 0) return false;
      const int64_t t = tag.time, from = t - window;
      bool all = true;
      for (size_t m = 0; m < members; ++m)
        if (m != size_t(slot - 1))
          all &= (latest[m] != INT64_MIN) & (latest[m] >= from) & (latest[m] <= t);
      latest[slot - 1] = t;
      return all;
    });
  }

private:
  int64_t _window;
  std::vector<int16_t> _slot;    // channel -> member + 1, 0: none
  std::vector<int64_t> _latest;  // per member: its latest time, INT64_MIN: none yet
};

class GatedStep : public VirtualChannels::Step {
public:
  explicit GatedStep(const VirtualChannel& v)
      : Step(v.channel), _input(v.inputs[0]), _open(v.gateOpen), _close(v.gateClose) {}
  void push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) override {
    bool open = _isOpen;
    addAfter(tags, count, out, _channel, [&](const TimeTag& t) {
      open = (open | (t.channel == _open)) & (t.channel != _close);
      return open & (t.channel == _input);
    });
    _isOpen = open;
  }

private:
  int16_t _input, _open, _close;
  bool _isOpen = false;
};

class DelayedStep : public VirtualChannels::Step {
public:
  explicit DelayedStep(const VirtualChannel& v)
      : Step(v.channel), _input(v.inputs[0]), _delay(v.delayPs) {}

  void push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) override {
    if (_delay >= 0) {
      for (size_t i = 0; i < count; ++i) {
        const TimeTag& tag = tags[i];
        while (!_delayed.empty() && _delayed.front() < tag.time) emitDelayed(out);
        out->push_back(tag);
        if (tag.channel != _input) continue;
        if (_delayed.full()) {
          _overflowed = true;  // the bound: this delayed record is dropped
        } else {
          _delayed.insertOrdered(tag.time + _delay);
        }
      }
      return;
    }
    // A record at s goes on once the stream has reached s + |delay|: a delayed record still to
    // come then is at or after it (or steps back no further than the stream does).
    for (size_t i = 0; i < count; ++i) {
      const TimeTag& tag = tags[i];
      _latest = std::max(_latest, tag.time);
      if (tag.channel == _input) {
        if (_delayed.full()) {
          _overflowed = true;
          emitDelayed(out);  // early, out of its place
        }
        _delayed.insertOrdered(tag.time + _delay);
      }
      if (_held.full()) {
        _overflowed = true;
        releaseHeld(out);  // early: the delayed records before it come after it
      }
      _held.pushBack(tag);
      const int64_t through = minusSaturated(_latest, -_delay);
      while (!_held.empty() && _held.front().time <= through) releaseHeld(out);
    }
  }

  void finish(std::vector<TimeTag>* out) override {
    while (!_held.empty()) releaseHeld(out);
    while (!_delayed.empty()) emitDelayed(out);
    _latest = INT64_MIN;
  }

private:
  void emitDelayed(std::vector<TimeTag>* out) {
    out->push_back({_delayed.front(), _channel});
    _delayed.popFront();
  }
  void releaseHeld(std::vector<TimeTag>* out) {
    const TimeTag tag = _held.front();
    _held.popFront();
    while (!_delayed.empty() && _delayed.front() < tag.time) emitDelayed(out);
    out->push_back(tag);
  }

  int16_t _input;
  int64_t _delay;
  Ring<int64_t> _delayed;  // delayed records not passed on yet, in time order
  Ring<TimeTag> _held;     // a negative delay: the stream held back, in its order
  int64_t _latest = INT64_MIN;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// VirtualChannels

VirtualChannels::VirtualChannels(std::vector<VirtualChannel> definitions)
    : _definitions(resolveVirtualChannels(std::move(definitions))) {
  for (const VirtualChannel& v : _definitions) {
    switch (v.kind) {
      case VirtualChannel::Kind::Delayed: _steps.emplace_back(new DelayedStep(v)); break;
      case VirtualChannel::Kind::Combined: _steps.emplace_back(new CombinedStep(v)); break;
      case VirtualChannel::Kind::Coincidence: _steps.emplace_back(new CoincidenceStep(v)); break;
      case VirtualChannel::Kind::Gated: _steps.emplace_back(new GatedStep(v)); break;
    }
  }
}

VirtualChannels::~VirtualChannels() = default;

void VirtualChannels::push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) {
  if (_steps.empty()) {
    out->insert(out->end(), tags, tags + count);
    return;
  }
  // Each step reads what the one before it passed on; the last appends to *out.
  const TimeTag* from = tags;
  size_t n = count;
  for (size_t k = 0; k + 1 < _steps.size(); ++k) {
    std::vector<TimeTag>& to = _between[k % 2];
    to.clear();
    _steps[k]->push(from, n, &to);
    from = to.data();
    n = to.size();
  }
  _steps.back()->push(from, n, out);
}

void VirtualChannels::finish(std::vector<TimeTag>* out) {
  // What a step gives up at the end goes through the steps after it, which then end too.
  std::vector<TimeTag> rest, next;
  for (size_t k = 0; k < _steps.size(); ++k) {
    next.clear();
    _steps[k]->push(rest.data(), rest.size(), &next);
    _steps[k]->finish(&next);
    rest.swap(next);
  }
  out->insert(out->end(), rest.begin(), rest.end());
}

bool VirtualChannels::overflowed() const {
  for (const auto& step : _steps)
    if (step->overflowed()) return true;
  return false;
}
