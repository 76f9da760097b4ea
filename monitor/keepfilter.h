// The conditional filter of what is written: records of the filtered channels pass only near a
// record of their trigger channel, and every other record passes always.
//
// Its text form is one clause or several separated by ";", each
//   <channel>[,<channel>...] within <window ps> of <trigger channel>
// e.g. "6,11 within 5000 of 1; 7 within 200 of 2". A record of channel 6 at time t passes when
// a record of channel 1 lies at a time u with |t - u| <= 5000, before or after it in the stream:
// the window is symmetric and both edges belong to it. Trigger records, markers, loss records
// and the channels no clause names pass always.
//
// Exactness: the filter decides a filtered record once no record still to come can be a
// trigger in its window: a record comes at most kMaxStepBackPs earlier than the latest before
// it (merge order), so the record is held back until the stream has gone kMaxStepBackPs +
// window past it, and every record after it waits with it, so that the order stays the merge's
// (one with a trigger in its window already seen passes at once).
// At most kMaxHeldRecords records wait; beyond that the oldest is decided with the triggers
// seen so far (which may miss a later one), and decidedEarly() counts such records. A record
// that comes further back than kMaxStepBackPs may miss triggers already forgotten; it too is
// counted there.
//
// No Qt. Called from one thread at a time (see RecordStage).
#ifndef RAVIK_MONITOR_KEEPFILTER_H
#define RAVIK_MONITOR_KEEPFILTER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "monitor/recordstage.h"

// One clause: records of `channels` pass within `windowPs` of a record of `trigger`.
struct KeepClause {
  std::vector<int16_t> channels;
  int64_t windowPs = 0;
  int16_t trigger = 0;
};

// The largest window: as far as a record may step back, which keeps the triggers to remember
// and the records held back to a few times that stretch of the stream.
constexpr int64_t kMaxKeepWindowPs = kMaxStepBackPs;
// Records the filter holds back at most (see above).
constexpr size_t kMaxHeldRecords = size_t(1) << 22;

// Parses the text form into *clauses. False with a one-line message in *error naming what is
// wrong: an empty clause, a missing or misplaced word, a number that is not one, a channel out
// of range (filtered ones are 0 to 99, the trigger 0 to 32767), a window out of 0 to
// kMaxKeepWindowPs, a channel filtered twice or one that is both filtered and a trigger.
bool parseKeep(const std::string& text, std::vector<KeepClause>* clauses, std::string* error);
// The clauses in their text form, as parseKeep() reads them back.
std::string keepText(const std::vector<KeepClause>& clauses);

// Kept and dropped records of one filtered channel.
struct KeepCount {
  int16_t channel;
  int64_t kept = 0;
  int64_t dropped = 0;
};

class KeepFilter : public RecordStage {
public:
  // Clauses as parseKeep() accepts them (throws std::invalid_argument for others).
  explicit KeepFilter(const std::vector<KeepClause>& clauses);

  void push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) override;
  void finish(std::vector<TimeTag>* out) override;

  const std::vector<KeepClause>& clauses() const { return _clauses; }
  // Per filtered channel, in the order of the clauses.
  std::vector<KeepCount> counts() const;
  // Records decided before every trigger in their window could have been seen (see above).
  int64_t decidedEarly() const { return _decidedEarly; }

private:
  // A queue in one piece of memory, so that it can be searched as an array: taken from the front,
  // added at the back; the space of those taken is given back now and then, and none is
  // allocated once it has grown to the stream's need.
  template <typename T>
  class Queue {
  public:
    bool empty() const { return _head == _items.size(); }
    size_t size() const { return _items.size() - _head; }
    const T& front() const { return _items[_head]; }
    const T& back() const { return _items.back(); }
    const T* begin() const { return _items.data() + _head; }
    const T* end() const { return _items.data() + _items.size(); }
    void push_back(const T& item) {
      if (_head > 4096 && _head * 2 > _items.size()) {
        _items.erase(_items.begin(), _items.begin() + ptrdiff_t(_head));
        _head = 0;
      }
      _items.push_back(item);
    }
    void pop_front() { ++_head; }
    // Before `at`, one of begin() to end().
    void insert(const T* at, const T& item) {
      _items.insert(_items.begin() + (at - _items.data()), item);
    }

  private:
    std::vector<T> _items;
    size_t _head = 0;
  };

  // The times of one trigger channel's records that later decisions may still need, in time
  // order.
  struct Triggers {
    int16_t channel;
    int64_t reachPs = 0;  // the widest window of the clauses that use it
    Queue<int64_t> times;
  };
  struct Rule {
    int32_t clause = -1;  // -1: the channel is not filtered
    int32_t count = -1;   // its entry in _counts
  };

  // Releases the held records from the front that are decided; all of them at the end.
  void release(bool end, std::vector<TimeTag>* out);
  bool triggered(const TimeTag& tag) const;
  void addTrigger(Triggers& t, int64_t time);
  void forget();

  std::vector<KeepClause> _clauses;
  std::vector<Rule> _rules;             // by channel + 32768
  std::vector<int32_t> _triggerOf;      // by channel + 32768: index in _triggers, or -1
  std::vector<int32_t> _clauseTriggers;  // per clause: index in _triggers
  std::vector<Triggers> _triggers;
  std::vector<KeepCount> _counts;
  Queue<TimeTag> _held;
  int64_t _latest = INT64_MIN;
  int64_t _widest = 0;  // the widest window of all clauses
  int64_t _decidedEarly = 0;
};

#endif
