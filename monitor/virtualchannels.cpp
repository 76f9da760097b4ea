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
  virtual void push(const TimeTag* tags, size_t count, Buffer* out) = 0;
  virtual void finish(Buffer* out) { (void)out; }
  // push() for the last step, straight to the stage's output: by default through `scratch`,
  // which a step that can write into *out itself does without.
  virtual void pushLast(const TimeTag* tags, size_t count, std::vector<TimeTag>* out,
                        Buffer* scratch) {
    scratch->clear();
    push(tags, count, scratch);
    out->insert(out->end(), scratch->data(), scratch->data() + scratch->size());
  }
  bool overflowed() const { return _overflowed; }

protected:
  const int16_t _channel;
  bool _overflowed = false;
};

namespace {

using Buffer = VirtualChannels::Buffer;

// A step that adds at most one record right after each record: writes into room made once
// per batch.
template <typename Decide>
void addAfter(const TimeTag* tags, size_t count, Buffer* out, int16_t channel,
              Decide decide) {
  TimeTag* to = out->room(2 * count);
  for (size_t i = 0; i < count; ++i) {
    *to++ = tags[i];
    to->time = tags[i].time;
    to->channel = channel;
    to += int(decide(tags[i]));
  }
  out->setEnd(to);
}

// The stage's output vector as a step's output that writes into room made at its end, as into
// a Buffer.
struct VectorRoom {
  std::vector<TimeTag>* v;
  TimeTag* room(size_t n) {
    const size_t size = v->size();
    v->resize(size + n);
    return v->data() + size;
  }
  void setEnd(const TimeTag* end) { v->resize(size_t(end - v->data())); }
  void push_back(const TimeTag& tag) { v->push_back(tag); }
};

// The stage's output vector as a step's output.
struct VectorOut {
  std::vector<TimeTag>* v;
  void append(const TimeTag* begin, const TimeTag* end) { v->insert(v->end(), begin, end); }
  void push_back(const TimeTag& tag) { v->push_back(tag); }
};

class CombinedStep : public VirtualChannels::Step {
public:
  explicit CombinedStep(const VirtualChannel& v) : Step(v.channel), _wanted(65536, 0) {
    for (int16_t c : v.inputs) _wanted[tableIndex(c)] = 1;
  }
  void push(const TimeTag* tags, size_t count, Buffer* out) override {
    const uint8_t* wanted = _wanted.data() + tableIndex(0);
    addAfter(tags, count, out, _channel, [&](const TimeTag& t) { return wanted[t.channel] != 0; });
  }

private:
  std::vector<uint8_t> _wanted;
};

class CoincidenceStep : public VirtualChannels::Step {
public:
  explicit CoincidenceStep(const VirtualChannel& v)
      : Step(v.channel), _window(v.windowPs), _slot(65536, 0), _latest(v.inputs.size(), INT64_MIN),
        _sieve(v.inputs) {
    for (size_t i = 0; i < v.inputs.size(); ++i) _slot[tableIndex(v.inputs[i])] = int16_t(i + 1);
  }
  void push(const TimeTag* tags, size_t count, Buffer* out) override { pushTo(tags, count, out); }
  void pushLast(const TimeTag* tags, size_t count, std::vector<TimeTag>* out, Buffer*) override {
    VectorOut to{out};
    pushTo(tags, count, &to);
  }

  const std::vector<int16_t>& members() const { return _sieve.channels(); }
  int16_t channel() const { return _channel; }
  bool isMember(int16_t channel) const { return _slot[tableIndex(channel)] != 0; }
  // A record of a member, in merge order: true when its coincidence record follows it.
  bool follows(const TimeTag& tag) {
    const size_t self = size_t(_slot[tableIndex(tag.channel)] - 1);
    bool all = true;
    for (size_t m = 0; m < _latest.size(); ++m)
      if (m != self) all &= inWindowBefore(_latest[m], tag.time, _window);
    _latest[self] = tag.time;
    return all;
  }

private:
  // Only the records of the members are looked at; the stretches between two coincidences
  // are appended as they are, in one go each.
  template <typename Out>
  void pushTo(const TimeTag* tags, size_t count, Out* out) {
    const int16_t* slotOf = _slot.data() + tableIndex(0);
    int64_t* latest = _latest.data();
    const size_t members = _latest.size();
    const int64_t window = _window;
    const int16_t channel = _channel;
    const TimeTag* copied = tags;  // the records before it are passed on
    _sieve.forEach(tags, count, [&](const TimeTag& tag) {
      const size_t self = size_t(slotOf[tag.channel] - 1);
      const int64_t t = tag.time;
      bool all = true;
      for (size_t m = 0; m < members; ++m)
        if (m != self) all &= inWindowBefore(latest[m], t, window);
      latest[self] = t;
      if (all) {
        const TimeTag* next = &tag + 1;
        out->append(copied, next);
        copied = next;
        out->push_back(TimeTag{t, channel});
      }
    });
    out->append(copied, tags + count);
  }

  int64_t _window;
  std::vector<int16_t> _slot;    // channel -> member + 1, 0: none
  std::vector<int64_t> _latest;  // per member: its latest time, INT64_MIN: none yet
  ChannelSieve _sieve;           // the members
};

class GatedStep : public VirtualChannels::Step {
public:
  explicit GatedStep(const VirtualChannel& v)
      : Step(v.channel), _input(v.inputs[0]), _open(v.gateOpen), _close(v.gateClose) {}
  void push(const TimeTag* tags, size_t count, Buffer* out) override {
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
      : Step(v.channel), _input(v.inputs[0]), _delay(v.delayPs), _sieve({v.inputs[0]}) {}

  // A delay below 0 and next a coincidence of channels other than this one's: the coincidence
  // is decided here, in the pass that looks for the input's records, and its records go with
  // the records that make them. The stream comes out the same: this step passes the other
  // records on in their order, and a coincidence record, at the time of the record before it,
  // goes where that record goes.
  bool absorbs(const Step& next) const {
    const auto* c = dynamic_cast<const CoincidenceStep*>(&next);
    return _delay < 0 && _then == nullptr && c != nullptr &&
           std::find(c->members().begin(), c->members().end(), _channel) == c->members().end();
  }
  void absorb(std::unique_ptr<CoincidenceStep> next) {
    std::vector<int16_t> channels = next->members();
    if (std::find(channels.begin(), channels.end(), _input) == channels.end())
      channels.push_back(_input);
    _sieve = ChannelSieve(channels);
    _then = std::move(next);
  }

  void push(const TimeTag* tags, size_t count, Buffer* out) override { pushTo(tags, count, out); }
  void pushLast(const TimeTag* tags, size_t count, std::vector<TimeTag>* out, Buffer*) override {
    VectorRoom to{out};
    pushTo(tags, count, &to);
  }

  void finish(Buffer* out) override {
    release(out, _held.size() - _heldBegin);
    writeDelayed(out, _delayed.size());
    _held.clear();
    _heldBegin = 0;
    _latest = INT64_MIN;
  }

private:
  template <typename Out>
  void pushTo(const TimeTag* tags, size_t count, Out* out) {
    if (_delay >= 0) return pushLater(tags, count, out);
    // The delayed records of the batch first: they may belong before records held from
    // earlier batches.
    int64_t latest = _latest;
    _marks.clear();
    _sieve.forEach(tags, count, [&](const TimeTag& tag) {
      if (_then != nullptr && _then->isMember(tag.channel) && _then->follows(tag))
        _marks.push_back(size_t(&tag - tags));
      if (tag.channel != _input) return;
      if (_delayed.full()) {
        _overflowed = true;
        writeDelayed(out, 1);  // early, out of its place
      }
      _delayed.insertOrdered(tag.time + _delay);
    }, [&](const TimeTag& tag) { latest = std::max(latest, tag.time); });
    _latest = latest;
    const size_t added = _marks.size();
    _marks.push_back(SIZE_MAX);  // ends the list
    const size_t heldCount = _held.size() - _heldBegin;
    if (heldCount + count + added > kMaxHistory) {
      _overflowed = true;  // the oldest go early: the delayed records before them come after
      release(out, std::min(heldCount, heldCount + count + added - kMaxHistory));
    }
    // A record at s goes on once the stream has reached s + |delay|: a delayed record still to
    // come is then at or after it (or steps back no further than the stream does). The held
    // records go first, then those of the batch, up to the first that must wait; only what
    // waits is copied into the held ones.
    const int64_t through = minusSaturated(_latest, -_delay);
    _heldBegin += releaseThrough(out, _held.data() + _heldBegin, _held.size() - _heldBegin, through);
    size_t passed = 0;
    const size_t* mark = _marks.data();
    if (_heldBegin == _held.size()) {
      _held.clear();
      _heldBegin = 0;
      passed = releaseThrough(out, tags, count, through, &mark);
    }
    // Room at the back: the released front goes once it is half of what is kept.
    if (_heldBegin > 0 && _heldBegin >= _held.size() / 2) {
      _held.erase(_held.begin(), _held.begin() + ptrdiff_t(_heldBegin));
      _heldBegin = 0;
    }
    if (*mark == SIZE_MAX) {
      _held.insert(_held.end(), tags + passed, tags + count);
      return;
    }
    // The coincidence records wait with the records that make them.
    for (size_t i = passed; i < count; ++i) {
      _held.push_back(tags[i]);
      if (i == *mark) _held.push_back(TimeTag{tags[i].time, _then->channel()}), ++mark;
    }
  }

  // A delay of 0 or more: the delayed records wait for the first later record.
  template <typename Out>
  void pushLater(const TimeTag* tags, size_t count, Out* out) {
    TimeTag* to = out->room(2 * count + _delayed.size());
    int64_t due = _delayed.empty() ? INT64_MAX : _delayed.front();
    for (size_t i = 0; i < count; ++i) {
      const TimeTag tag = tags[i];
      while (due < tag.time) {
        *to++ = TimeTag{due, _channel};
        _delayed.popFront();
        due = _delayed.empty() ? INT64_MAX : _delayed.front();
      }
      *to++ = tag;
      if (tag.channel != _input) continue;
      if (_delayed.full()) {
        _overflowed = true;  // the bound: this delayed record is dropped
        continue;
      }
      _delayed.insertOrdered(tag.time + _delay);
      due = _delayed.front();
    }
    out->setEnd(to);
  }

  // Passes on the `n` oldest held records, each after the delayed records earlier than it.
  template <typename Out>
  void release(Out* out, size_t n) {
    _heldBegin += releaseThrough(out, _held.data() + _heldBegin, n, INT64_MAX);
  }

  // Passes on records of `from` (up to `n`) while they are not later than `through`, each
  // after the delayed records earlier than it; returns how many went. With `marks` (the places
  // in `from` that a coincidence record follows, in order, SIZE_MAX after them): each of those
  // records goes with its coincidence record, and *marks moves past them.
  template <typename Out>
  size_t releaseThrough(Out* out, const TimeTag* from, size_t n, int64_t through,
                        const size_t** marks = nullptr) {
    size_t mark = marks != nullptr ? **marks : SIZE_MAX;
    TimeTag* to = out->room(n + _delayed.size() + (mark == SIZE_MAX ? 0 : _marks.size()));
    int64_t due = _delayed.empty() ? INT64_MAX : _delayed.front();
    size_t i = 0;
    for (;;) {
      // The run of records up to the first that is later than the next delayed record or than
      // `through` goes as it is, copied as it is read.
      const int64_t limit = std::min(due, through);
      const size_t stop = std::min(n, mark);
      while (i < stop && from[i].time <= limit) *to++ = from[i++];
      if (i == mark && from[i].time <= limit) {
        *to++ = from[i];
        *to++ = TimeTag{from[i].time, _then->channel()};
        ++i;
        mark = *++*marks;
        continue;
      }
      if (i == n || from[i].time > through) break;
      while (due < from[i].time) {
        *to++ = TimeTag{due, _channel};
        _delayed.popFront();
        due = _delayed.empty() ? INT64_MAX : _delayed.front();
      }
    }
    out->setEnd(to);
    return i;
  }

  template <typename Out>
  void writeDelayed(Out* out, size_t n) {
    for (size_t i = 0; i < n; ++i, _delayed.popFront()) out->push_back({_delayed.front(), _channel});
  }

  int16_t _input;
  int64_t _delay;
  ChannelSieve _sieve;     // the input (and the coincidence's), for a negative delay
  std::unique_ptr<CoincidenceStep> _then;  // see absorb()
  std::vector<size_t> _marks;  // the batch's records that a coincidence record follows
  Ring<int64_t> _delayed;  // delayed records not passed on yet, in time order
  // A negative delay: the stream held back, in its order, from _heldBegin on.
  std::vector<TimeTag> _held;
  size_t _heldBegin = 0;
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
  // A coincidence right after a delay runs in the delay's own pass (DelayedStep::absorb()).
  for (size_t k = 0; k + 1 < _steps.size(); ++k) {
    auto* delayed = dynamic_cast<DelayedStep*>(_steps[k].get());
    if (delayed == nullptr || !delayed->absorbs(*_steps[k + 1])) continue;
    delayed->absorb(std::unique_ptr<CoincidenceStep>(static_cast<CoincidenceStep*>(_steps[k + 1].release())));
    _steps.erase(_steps.begin() + ptrdiff_t(k + 1));
  }
}

VirtualChannels::~VirtualChannels() = default;

void VirtualChannels::push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) {
  if (_steps.empty()) {
    out->insert(out->end(), tags, tags + count);
    return;
  }
  // Each step reads what the one before it passed on; the last writes to *out.
  const TimeTag* from = tags;
  size_t n = count;
  const size_t last = _steps.size() - 1;
  for (size_t k = 0; k < last; ++k) {
    Buffer& to = _between[k % 2];
    to.clear();
    _steps[k]->push(from, n, &to);
    from = to.data();
    n = to.size();
  }
  _steps[last]->pushLast(from, n, out, &_between[last % 2]);
}

void VirtualChannels::finish(std::vector<TimeTag>* out) {
  // What a step gives up at the end goes through the steps after it, which then end too.
  Buffer rest, next;
  for (size_t k = 0; k < _steps.size(); ++k) {
    next.clear();
    _steps[k]->push(rest.data(), rest.size(), &next);
    _steps[k]->finish(&next);
    std::swap(rest, next);
  }
  out->insert(out->end(), rest.data(), rest.data() + rest.size());
}

VirtualChannels::Buffer::Buffer() = default;

TimeTag* VirtualChannels::Buffer::room(size_t n) {
  if (_size + n > _capacity) {
    const size_t capacity = std::max({_capacity * 2, _size + n, size_t(4096)});
    std::unique_ptr<TimeTag[]> bigger(new TimeTag[capacity]);
    if (_size != 0) std::copy(_data.get(), _data.get() + _size, bigger.get());
    _data.swap(bigger);
    _capacity = capacity;
  }
  return _data.get() + _size;
}

bool VirtualChannels::overflowed() const {
  for (const auto& step : _steps)
    if (step->overflowed()) return true;
  return false;
}
