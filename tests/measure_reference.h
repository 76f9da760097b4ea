// Test helper: the measurements computed the plain way, straight from a list of merged records,
// as a reader of the merged output would: every pair by brute force, every "next" and "latest"
// by position in the list.
#ifndef RAVIK_TESTS_MEASURE_REFERENCE_H
#define RAVIK_TESTS_MEASURE_REFERENCE_H

#include <stdint.h>

#include <string.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "monitor/keepfilter.h"
#include "monitor/measurements.h"
#include "monitor/virtualchannels.h"

using Tags = std::vector<TimeTag>;

inline bool operator==(const TimeTag& a, const TimeTag& b) {
  return a.time == b.time && a.channel == b.channel;
}

namespace reference {

inline int64_t span(const Tags& tags) {
  const auto [lo, hi] = std::minmax_element(tags.begin(), tags.end(),
                                            [](TimeTag a, TimeTag b) { return a.time < b.time; });
  return tags.empty() ? 0 : hi->time - lo->time;
}

inline int64_t count(const Tags& tags, int16_t channel) {
  return std::count_if(tags.begin(), tags.end(), [&](const TimeTag& t) { return t.channel == channel; });
}

// The records that pass the filter: a record of a clause's channel only when some record of the
// clause's trigger, anywhere in the list, lies within the window of it; every other record.
inline Tags keep(const Tags& tags, const std::vector<KeepClause>& clauses) {
  std::vector<std::vector<int64_t>> triggers(clauses.size());  // sorted times
  for (size_t c = 0; c < clauses.size(); ++c) {
    for (const TimeTag& u : tags)
      if (u.channel == clauses[c].trigger) triggers[c].push_back(u.time);
    std::sort(triggers[c].begin(), triggers[c].end());
  }
  Tags out;
  for (const TimeTag& t : tags) {
    bool pass = true;
    for (size_t c = 0; c < clauses.size(); ++c) {
      const std::vector<int16_t>& channels = clauses[c].channels;
      if (std::count(channels.begin(), channels.end(), t.channel) == 0) continue;
      const auto near = std::lower_bound(triggers[c].begin(), triggers[c].end(),
                                         t.time - clauses[c].windowPs);
      pass = near != triggers[c].end() && *near <= t.time + clauses[c].windowPs;
    }
    if (pass) out.push_back(t);
  }
  return out;
}

// Every pair of a record of a and a different record of b with edges.front() <= t(b) - t(a) <
// edges.back(), in the bin whose edges hold the lag; found through the b records sorted by time.
inline std::vector<int64_t> logCorrelation(const Tags& tags, int16_t a, int16_t b,
                                           const std::vector<int64_t>& edges) {
  std::vector<std::pair<int64_t, size_t>> bs;  // time, position
  for (size_t j = 0; j < tags.size(); ++j)
    if (tags[j].channel == b) bs.push_back({tags[j].time, j});
  std::sort(bs.begin(), bs.end());
  std::vector<int64_t> bins(edges.size() - 1, 0);
  for (size_t i = 0; i < tags.size(); ++i) {
    if (tags[i].channel != a) continue;
    const std::pair<int64_t, size_t> from = {tags[i].time + edges.front(), 0};
    for (auto it = std::lower_bound(bs.begin(), bs.end(), from);
         it != bs.end() && it->first - tags[i].time < edges.back(); ++it) {
      const auto edge = std::upper_bound(edges.begin(), edges.end(), it->first - tags[i].time);
      if (it->second != i) ++bins[size_t(edge - edges.begin()) - 1];
    }
  }
  return bins;
}

// The same in n bins of `width` from `low`, the last one cut short at `high`.
inline std::vector<int64_t> correlation(const Tags& tags, int16_t a, int16_t b, int64_t width,
                                        int32_t n, int64_t low, int64_t high) {
  std::vector<int64_t> edges;
  for (int32_t k = 0; k < n; ++k) edges.push_back(std::min(low + k * width, high));
  edges.push_back(high);
  return logCorrelation(tags, a, b, edges);
}

inline std::vector<std::vector<int64_t>> timeTrace(const Tags& tags, const std::vector<int16_t>& channels,
                                                   int64_t width, int32_t n) {
  std::vector<std::vector<int64_t>> out(channels.size(), std::vector<int64_t>(size_t(n), 0));
  if (tags.empty()) return out;
  int64_t last = INT64_MIN;
  for (const TimeTag& t : tags) last = std::max(last, t.time);
  const auto binOf = [&](int64_t t) { return t >= 0 ? t / width : -((-t + width - 1) / width); };
  const int64_t first = binOf(last) - n + 1;
  for (size_t c = 0; c < channels.size(); ++c)
    for (const TimeTag& t : tags)
      if (t.channel == channels[c] && binOf(t.time) >= first) ++out[c][size_t(binOf(t.time) - first)];
  return out;
}

// Per record, the delay to the first record of `stop` after it in the list; -1: none.
inline std::vector<int64_t> delaysToNext(const Tags& tags, int16_t stop) {
  std::vector<int64_t> out(tags.size(), -1);
  for (size_t i = tags.size(), next = tags.size(); i-- > 0;) {
    if (next < tags.size()) out[i] = tags[next].time - tags[i].time;
    if (tags[i].channel == stop) next = i;
  }
  return out;
}

inline std::vector<int64_t> startStop(const Tags& tags, int16_t start, int16_t stop, int64_t width,
                                      int32_t n) {
  const std::vector<int64_t> d = delaysToNext(tags, stop);
  std::vector<int64_t> bins(size_t(n), 0);
  for (size_t i = 0; i < tags.size(); ++i)
    if (tags[i].channel == start && d[i] >= 0 && d[i] < width * n) ++bins[size_t(d[i] / width)];
  return bins;
}

// Every pair of a start and a different record of each stop with 0 <= delay < width * n, in the
// row current at the start: [stop][row][bin].
inline std::vector<int64_t> timeDifferences(const Tags& tags, int16_t start, const std::vector<int16_t>& stops,
                                            int64_t width, int32_t n, int16_t next, int32_t rows) {
  std::vector<int64_t> bins(stops.size() * size_t(rows) * size_t(n), 0);
  int32_t row = 0;
  for (size_t i = 0; i < tags.size(); ++i) {
    if (tags[i].channel == next) row = (row + 1) % rows;
    if (tags[i].channel != start) continue;
    for (size_t k = 0; k < stops.size(); ++k)
      for (size_t j = 0; j < tags.size(); ++j) {
        const int64_t d = tags[j].time - tags[i].time;
        if (j != i && tags[j].channel == stops[k] && d >= 0 && d < width * n)
          ++bins[(k * size_t(rows) + size_t(row)) * size_t(n) + size_t(d / width)];
      }
  }
  return bins;
}

// Per start, the first record of each stop after it; both delays in range: [i][j].
inline std::vector<int64_t> histogram2D(const Tags& tags, int16_t start, int16_t stop1, int16_t stop2,
                                        int64_t width1, int32_t n1, int64_t width2, int32_t n2) {
  std::vector<int64_t> bins(size_t(n1) * size_t(n2), 0);
  const std::vector<int64_t> d1 = delaysToNext(tags, stop1), d2 = delaysToNext(tags, stop2);
  for (size_t i = 0; i < tags.size(); ++i)
    if (tags[i].channel == start && d1[i] >= 0 && d1[i] < width1 * n1 && d2[i] >= 0 &&
        d2[i] < width2 * n2)
      ++bins[size_t(d1[i] / width1) * size_t(n2) + size_t(d2[i] / width2)];
  return bins;
}

// Per bin of a gated counter: its last gate's count of `channel` records by time and its
// duration. Gates open at each record of `begin` and close at the next record of `begin` or
// `end` (-1: none) in list order; the one left open runs to the latest record of the three
// channels. Also the number of gates closed.
struct Gated {
  std::vector<int64_t> counts, widths;
  int64_t closed = 0;
};
inline Gated countBetweenMarkers(const Tags& tags, int16_t channel, int16_t begin, int16_t end,
                                 int32_t n) {
  struct Gate { int64_t open, close; };
  std::vector<Gate> gates;
  bool open = false;
  int64_t latest = INT64_MIN;
  Gated out;
  for (const TimeTag& t : tags) {
    if (t.channel == channel || t.channel == begin || (end != -1 && t.channel == end))
      latest = std::max(latest, t.time);
    if (open && (t.channel == begin || (end != -1 && t.channel == end))) {
      gates.back().close = std::max(t.time, gates.back().open);
      open = false;
      ++out.closed;
    }
    if (t.channel == begin) {
      gates.push_back({t.time, INT64_MAX});
      open = true;
    }
  }
  out.counts.assign(size_t(n), 0);
  out.widths.assign(size_t(n), 0);
  for (size_t g = 0; g < gates.size(); ++g) {
    const size_t bin = g % size_t(n);
    out.counts[bin] = std::count_if(tags.begin(), tags.end(), [&](const TimeTag& t) {
      return t.channel == channel && t.time >= gates[g].open && t.time < gates[g].close;
    });
    out.widths[bin] = (gates[g].close == INT64_MAX ? latest : gates[g].close) - gates[g].open;
  }
  return out;
}

// The stream with a virtual channel's records added: a combined, coincidence or gated record right
// after the record that makes it, the delayed records at the end (their order is by time).
inline Tags withVirtual(const Tags& tags, const VirtualChannel& v) {
  const auto named = [&](int16_t c) { return std::find(v.inputs.begin(), v.inputs.end(), c) != v.inputs.end(); };
  Tags out, delayed;
  std::vector<int64_t> latest(v.inputs.size(), INT64_MIN);
  bool open = false;
  for (const TimeTag& t : tags) {
    out.push_back(t);
    bool add = false;
    switch (v.kind) {
      case VirtualChannel::Kind::Combined: add = named(t.channel); break;
      case VirtualChannel::Kind::Gated:
        if (t.channel == v.gateOpen) open = true;
        if (t.channel == v.gateClose) open = false;
        add = open && t.channel == v.inputs[0];
        break;
      case VirtualChannel::Kind::Coincidence:
        if (!named(t.channel)) break;
        add = true;
        for (size_t m = 0; m < v.inputs.size(); ++m) {
          if (v.inputs[m] == t.channel) continue;
          add = add && latest[m] != INT64_MIN && latest[m] >= t.time - v.windowPs && latest[m] <= t.time;
        }
        for (size_t m = 0; m < v.inputs.size(); ++m)
          if (v.inputs[m] == t.channel) latest[m] = t.time;
        break;
      case VirtualChannel::Kind::Delayed:
        if (t.channel == v.inputs[0]) delayed.push_back({t.time + v.delayPs, v.channel});
        break;
    }
    if (add) out.push_back({t.time, v.channel});
  }
  std::stable_sort(delayed.begin(), delayed.end(), [](TimeTag a, TimeTag b) { return a.time < b.time; });
  out.insert(out.end(), delayed.begin(), delayed.end());
  return out;
}

// Per group, the records of its channels that find the latest record of each other channel of
// the group within `window` before them: the records of a coincidence channel of the group.
inline std::vector<int64_t> coincidences(const Tags& tags, const std::vector<std::vector<int16_t>>& groups,
                                         int64_t window) {
  std::vector<int64_t> out;
  for (const std::vector<int16_t>& group : groups) {
    VirtualChannel v;
    v.kind = VirtualChannel::Kind::Coincidence;
    v.inputs = group;
    v.windowPs = window;
    v.channel = INT16_MAX;  // no channel of the records
    out.push_back(count(withVirtual(tags, v), v.channel));
  }
  return out;
}

// The records of `tags` whose channels `keep` says yes to, in their order.
template <typename Keep>
Tags only(const Tags& tags, Keep keep) {
  Tags out;
  std::copy_if(tags.begin(), tags.end(), std::back_inserter(out), [&](const TimeTag& t) { return keep(t.channel); });
  return out;
}

// The records of a binary output's record bytes (without its header and trailer).
inline Tags recordsOf(const std::string& bytes) {
  Tags tags(bytes.size() / 10);
  for (size_t i = 0; i < tags.size(); ++i) {
    memcpy(&tags[i].time, &bytes[10 * i], 8);
    memcpy(&tags[i].channel, &bytes[10 * i + 8], 2);
  }
  return tags;
}

// The longest step back: how much earlier than the latest before it a record comes.
inline int64_t longestStepBack(const Tags& tags) {
  int64_t latest = INT64_MIN, longest = 0;
  for (const TimeTag& t : tags) {
    if (latest != INT64_MIN) longest = std::max(longest, latest - t.time);
    latest = std::max(latest, t.time);
  }
  return longest;
}

}  // namespace reference

#endif
