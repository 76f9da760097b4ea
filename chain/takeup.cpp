#include "chain/takeup.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

using nlohmann::json;

namespace {

constexpr int64_t kHolePage = 4096;

json stateJson(const DecoderState& s) {
  return {{"last_time", s.lastTime},     {"time_base", s.timeBase},
          {"start_time", s.startTime},   {"measured_period", s.measuredPeriod},
          {"start_period", s.startPeriod}, {"pending_word", s.pendingWord},
          {"virtual_count", s.virtualCount}};
}

bool integer(const json& object, const char* key, int64_t* value) {
  const json v = object.is_object() ? object.value(key, json()) : json();
  if (!v.is_number_integer()) return false;
  *value = v.get<int64_t>();
  return true;
}

bool stateFromJson(const json& j, DecoderState* s) {
  int64_t pending = 0, virtuals = 0;
  const bool ok = integer(j, "last_time", &s->lastTime) && integer(j, "time_base", &s->timeBase) &&
                  integer(j, "start_time", &s->startTime) &&
                  integer(j, "measured_period", &s->measuredPeriod) &&
                  integer(j, "start_period", &s->startPeriod) &&
                  integer(j, "pending_word", &pending) && integer(j, "virtual_count", &virtuals);
  s->pendingWord = uint32_t(pending);
  s->virtualCount = uint32_t(virtuals);
  return ok && pending >= 0 && pending <= UINT32_MAX && virtuals >= 0 && virtuals <= UINT32_MAX;
}

json holdJson(const PartHold& h) {
  json counts = json::array();
  for (const auto& [channel, count] : h.counts) counts.push_back({channel, count});
  return {{"complete", h.complete},
          {"part", partsJson({h.part}).front()},
          {"text_bytes", h.textBytes},
          {"binary_bytes", h.binaryBytes},
          {"hdf5_state", h.hdf5State},
          {"counts", counts}};
}

bool holdFromJson(const json& j, PartHold* h) {
  const json part = j.is_object() ? j.value("part", json()) : json();
  const json files = part.is_object() ? part.value("files", json()) : json();
  const json counts = j.is_object() ? j.value("counts", json()) : json();
  const json complete = j.is_object() ? j.value("complete", json()) : json();
  const json state = j.is_object() ? j.value("hdf5_state", json()) : json();
  int64_t index = 0;
  if (!complete.is_boolean() || !state.is_string() || !files.is_array() || !counts.is_array() ||
      !integer(part, "index", &index) || index < 1 || index > INT32_MAX ||
      !integer(part, "records", &h->part.records) || h->part.records < 0 ||
      !integer(j, "text_bytes", &h->textBytes) || !integer(j, "binary_bytes", &h->binaryBytes))
    return false;
  h->on = true;
  h->complete = complete.get<bool>();
  h->hdf5State = state.get<std::string>();
  h->part.index = int32_t(index);
  const bool any = part.value("first_ps", json()).is_number_integer();
  if (any && (!integer(part, "first_ps", &h->part.first) || !integer(part, "last_ps", &h->part.last)))
    return false;
  for (const json& f : files) {
    const json kind = f.is_object() ? f.value("kind", json()) : json();
    const json path = f.is_object() ? f.value("path", json()) : json();
    if (!kind.is_string() || !path.is_string() || path.get<std::string>().empty()) return false;
    h->part.files.push_back({kind.get<std::string>(), path.get<std::string>()});
  }
  for (const json& c : counts) {
    if (!c.is_array() || c.size() != 2 || !c[0].is_number_integer() || !c[1].is_number_integer() ||
        c[0].get<int64_t>() < INT16_MIN || c[0].get<int64_t>() > INT16_MAX)
      return false;
    h->counts[int16_t(c[0].get<int64_t>())] = c[1].get<int64_t>();
  }
  return true;
}

}  // namespace

json takeUpJson(const PartResume& parts, const ResumePoint& point) {
  json sources = json::array();
  for (const SourcePoint& p : point.sources)
    sources.push_back({{"offset", p.offset},
                       {"skip", p.skip},
                       {"before", p.before},
                       {"first_ps", p.first},
                       {"last_before_ps", p.lastBefore},
                       {"decoder", stateJson(p.state)}});
  json j = {{"part", parts.index},
            {"records", parts.records},
            {"span_end_ps", parts.spanEnd},
            {"last_ps", parts.lastTime},
            {"merge", {{"records", point.records}, {"sources", sources}}}};
  if (parts.hold.on) j["hold"] = holdJson(parts.hold);
  return j;
}

bool takeUpFromJson(const json& j, size_t sources, PartResume* parts, ResumePoint* point,
                    std::string* error) {
  int64_t index = 0;
  const json merge = j.is_object() ? j.value("merge", json()) : json();
  const json list = merge.is_object() ? merge.value("sources", json()) : json();
  const json hold = j.is_object() ? j.value("hold", json()) : json();
  parts->hold = PartHold();
  if ((!hold.is_null() && !holdFromJson(hold, &parts->hold)) || !integer(j, "part", &index) ||
      index < (parts->hold.on ? 1 : 2) || index > INT32_MAX ||
      (parts->hold.on && parts->hold.part.index != index) ||
      !integer(j, "records", &parts->records) || !integer(j, "span_end_ps", &parts->spanEnd) ||
      !integer(j, "last_ps", &parts->lastTime) || !integer(merge, "records", &point->records) ||
      point->records < 0 || point->records > parts->records || !list.is_array() ||
      list.size() != sources) {
    *error = "\"resume\" is not where a split run goes on, for " + std::to_string(sources) +
             " streams";
    return false;
  }
  parts->index = int32_t(index);
  point->sources.assign(sources, SourcePoint{});
  for (size_t i = 0; i < sources; ++i) {
    SourcePoint& p = point->sources[i];
    const json& s = list[i];
    if (!integer(s, "offset", &p.offset) || !integer(s, "skip", &p.skip) ||
        !integer(s, "before", &p.before) || p.before < 0 ||
        !integer(s, "first_ps", &p.first) || !integer(s, "last_before_ps", &p.lastBefore) ||
        !stateFromJson(s.value("decoder", json()), &p.state) || p.offset < 0 ||
        p.offset % 400 != 0 || p.skip < 0) {
      *error = "\"resume\": stream " + std::to_string(i + 1) + " has no point to go on from";
      return false;
    }
  }
  return true;
}

namespace {

// A hole of this many bytes at a time keeps a recording's writes waiting a few milliseconds at
// most; the pause after each gives them their turn.
constexpr int64_t kReleaseStep = int64_t(16) << 20;
constexpr std::chrono::milliseconds kReleasePause{2};

}  // namespace

RawRelease::RawRelease(const std::vector<std::string>& paths)
    : _paths(paths), _fds(paths.size(), -1), _target(paths.size(), 0),
      _released(paths.size(), 0), _refused(paths.size(), false), _thread([this] { run(); }) {}

RawRelease::~RawRelease() {
  {
    std::lock_guard<std::mutex> hold(_lock);
    _stop = true;
  }
  _wake.notify_all();
  _thread.join();
  for (int fd : _fds)
    if (fd >= 0) close(fd);  // nothing written through it
}

void RawRelease::release(const ResumePoint& point) {
  {
    std::lock_guard<std::mutex> hold(_lock);
    for (size_t i = 0; i < _paths.size() && i < point.sources.size(); ++i)
      _target[i] = std::max(_target[i], point.sources[i].offset / kHolePage * kHolePage);
  }
  _wake.notify_all();
}

void RawRelease::run() {
  std::unique_lock<std::mutex> hold(_lock);
  for (;;) {
    size_t next = _paths.size();
    for (size_t i = 0; i < _paths.size() && next == _paths.size(); ++i)
      if (!_refused[i] && !_paths[i].empty() && _released[i] < _target[i]) next = i;
    if (_stop) return;
    if (next == _paths.size()) {
      _wake.wait(hold);
      continue;
    }
    const int64_t from = _released[next], to = std::min(_target[next], from + kReleaseStep);
    hold.unlock();
    if (_fds[next] < 0) _fds[next] = open(_paths[next].c_str(), O_WRONLY | O_CLOEXEC);
    const bool done = _fds[next] >= 0 && fallocate(_fds[next], FALLOC_FL_PUNCH_HOLE |
                                                   FALLOC_FL_KEEP_SIZE, from, to - from) == 0;
    const std::string why = done ? std::string() : strerror(errno);
    std::this_thread::sleep_for(kReleasePause);
    hold.lock();
    if (done) {
      _released[next] = to;
    } else {
      _refused[next] = true;
      if (_error.empty())
        _error = _paths[next] + ": its raw data behind the published parts stay on the temp "
                                "disk: " + why;
    }
    _wake.notify_all();
  }
}

std::string RawRelease::error() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _error;
}
