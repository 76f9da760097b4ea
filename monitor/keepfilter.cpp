#include "monitor/keepfilter.h"

#include <stdlib.h>

#include <algorithm>
#include <stdexcept>

#include "monitor/measurementargs.h"

namespace {

using measurementargs::minusSaturated;
using measurementargs::tableIndex;

int64_t plusSaturated(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

std::string trimmed(const std::string& s) {
  const size_t from = s.find_first_not_of(" \t");
  if (from == std::string::npos) return std::string();
  return s.substr(from, s.find_last_not_of(" \t") - from + 1);
}

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  for (size_t at = 0; at < s.size();) {
    const size_t from = s.find_first_not_of(" \t", at);
    if (from == std::string::npos) break;
    at = s.find_first_of(" \t", from);
    out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
  }
  return out;
}

// A decimal number from `least` to `most`; false when `word` is anything else.
bool number(const std::string& word, int64_t least, int64_t most, int64_t* value) {
  if (word.empty() || word.size() > 18 || word.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = strtoll(word.c_str(), nullptr, 10);
  return *value >= least && *value <= most;
}

bool parseClause(const std::string& clause, KeepClause* out, std::string* error) {
  const std::vector<std::string> w = words(clause);
  if (w.size() != 5 || w[1] != "within" || w[3] != "of") {
    *error = "\"" + clause + "\" is not \"<channels> within <ps> of <channel>\"";
    return false;
  }
  int64_t value = 0;
  std::string list = w[0];
  for (size_t at = 0; at <= list.size();) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    const std::string item = list.substr(at, comma - at);
    if (!number(item, 0, 99, &value)) {
      *error = "\"" + item + "\" in \"" + clause +
               "\": a filtered channel is a number from 0 to 99";
      return false;
    }
    out->channels.push_back(int16_t(value));
    at = comma + 1;
  }
  if (!number(w[2], 0, kMaxKeepWindowPs, &out->windowPs)) {
    *error = "\"" + w[2] + "\" in \"" + clause + "\": the window is a number of ps from 0 to " +
             std::to_string(kMaxKeepWindowPs);
    return false;
  }
  if (!number(w[4], 0, 32767, &value)) {
    *error = "\"" + w[4] + "\" in \"" + clause + "\": the trigger is a channel from 0 to 32767";
    return false;
  }
  out->trigger = int16_t(value);
  return true;
}

// No channel filtered twice, none both filtered and a trigger.
bool consistent(const std::vector<KeepClause>& clauses, std::string* error) {
  std::vector<int16_t> filtered, triggers;
  for (const KeepClause& c : clauses) {
    triggers.push_back(c.trigger);
    for (int16_t ch : c.channels) {
      if (std::count(filtered.begin(), filtered.end(), ch) != 0) {
        *error = "channel " + std::to_string(ch) + " is filtered twice";
        return false;
      }
      filtered.push_back(ch);
    }
  }
  for (int16_t t : triggers)
    if (std::count(filtered.begin(), filtered.end(), t) != 0) {
      *error = "channel " + std::to_string(t) + " is both filtered and a trigger";
      return false;
    }
  return true;
}

}  // namespace

bool parseKeep(const std::string& text, std::vector<KeepClause>* clauses, std::string* error) {
  std::vector<KeepClause> parsed;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    const std::string clause = trimmed(text.substr(at, end - at));
    if (clause.empty()) {
      *error = "an empty clause: clauses are \"<channels> within <ps> of <channel>\", "
               "separated by \";\"";
      return false;
    }
    parsed.emplace_back();
    if (!parseClause(clause, &parsed.back(), error)) return false;
    at = end + 1;
  }
  if (!consistent(parsed, error)) return false;
  *clauses = std::move(parsed);
  return true;
}

std::string keepText(const std::vector<KeepClause>& clauses) {
  std::string text;
  for (const KeepClause& c : clauses) {
    if (!text.empty()) text += "; ";
    for (size_t i = 0; i < c.channels.size(); ++i)
      text += (i > 0 ? "," : "") + std::to_string(c.channels[i]);
    text += " within " + std::to_string(c.windowPs) + " of " + std::to_string(c.trigger);
  }
  return text;
}

KeepFilter::KeepFilter(const std::vector<KeepClause>& clauses)
    : _clauses(clauses), _rules(65536), _triggerOf(65536, -1) {
  std::string error;
  if (clauses.empty() || !parseKeep(keepText(clauses), &_clauses, &error))
    throw std::invalid_argument(clauses.empty() ? "no clause" : error);
  for (size_t i = 0; i < _clauses.size(); ++i) {
    const KeepClause& c = _clauses[i];
    int32_t& t = _triggerOf[tableIndex(c.trigger)];
    if (t < 0) {
      t = int32_t(_triggers.size());
      _triggers.push_back({c.trigger, 0, {}});
    }
    _triggers[size_t(t)].reachPs = std::max(_triggers[size_t(t)].reachPs, c.windowPs);
    _clauseTriggers.push_back(t);
    _widest = std::max(_widest, c.windowPs);
    for (int16_t ch : c.channels) {
      _rules[tableIndex(ch)] = {int32_t(i), int32_t(_counts.size())};
      _counts.push_back({ch});
    }
  }
}

std::vector<KeepCount> KeepFilter::counts() const { return _counts; }

void KeepFilter::addTrigger(Triggers& t, int64_t time) {
  if (t.times.empty() || time >= t.times.back())
    t.times.push_back(time);
  else
    t.times.insert(std::upper_bound(t.times.begin(), t.times.end(), time), time);
}

bool KeepFilter::triggered(const TimeTag& tag) const {
  const int32_t clause = _rules[tableIndex(tag.channel)].clause;
  const int64_t window = _clauses[size_t(clause)].windowPs;
  const Queue<int64_t>& times = _triggers[size_t(_clauseTriggers[size_t(clause)])].times;
  const auto at = std::lower_bound(times.begin(), times.end(), minusSaturated(tag.time, window));
  return at != times.end() && *at <= plusSaturated(tag.time, window);
}

void KeepFilter::push(const TimeTag* tags, size_t count, std::vector<TimeTag>* out) {
  for (size_t i = 0; i < count; ++i) {
    const TimeTag& tag = tags[i];
    const size_t index = tableIndex(tag.channel);
    const int32_t trigger = _triggerOf[index];
    if (trigger >= 0) addTrigger(_triggers[size_t(trigger)], tag.time);
    const bool filtered = _rules[index].clause >= 0;
    // Its triggers from before may be forgotten already.
    if (filtered && tag.time < minusSaturated(_latest, kMaxStepBackPs)) ++_decidedEarly;
    _latest = std::max(_latest, tag.time);
    if (_held.empty() && !filtered)
      out->push_back(tag);
    else
      _held.push_back(tag);
  }
  release(false, out);
  forget();
}

void KeepFilter::finish(std::vector<TimeTag>* out) { release(true, out); }

// A filtered record waits at the front until a trigger in its window is seen (it is kept), or
// until no record still to come can be one (it is dropped).
void KeepFilter::release(bool end, std::vector<TimeTag>* out) {
  const int64_t settled = minusSaturated(_latest, kMaxStepBackPs);
  while (!_held.empty()) {
    const TimeTag& front = _held.front();
    const Rule& rule = _rules[tableIndex(front.channel)];
    if (rule.clause >= 0) {
      const bool kept = triggered(front);
      if (!kept && !end) {
        const int64_t window = _clauses[size_t(rule.clause)].windowPs;
        const bool full = _held.size() > kMaxHeldRecords;
        if (plusSaturated(front.time, window) >= settled && !full) break;
        if (plusSaturated(front.time, window) >= settled) ++_decidedEarly;
      }
      KeepCount& c = _counts[size_t(rule.count)];
      if (!kept) {
        ++c.dropped;
        _held.pop_front();
        continue;
      }
      ++c.kept;
    }
    out->push_back(front);
    _held.pop_front();
  }
}

// A held record, or one still to come, lies no earlier than 2 x kMaxStepBackPs + the widest
// window before the latest time (each comes at most kMaxStepBackPs before the latest before
// it, and the front waits at most the window + kMaxStepBackPs): triggers before that reach
// none of them.
void KeepFilter::forget() {
  const int64_t needed = minusSaturated(minusSaturated(_latest, 2 * kMaxStepBackPs), _widest);
  for (Triggers& t : _triggers)
    while (!t.times.empty() && minusSaturated(needed, t.reachPs) > t.times.front())
      t.times.pop_front();
}
