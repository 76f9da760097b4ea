#include "chain/takeup.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

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
  return {{"part", parts.index},
          {"records", parts.records},
          {"span_end_ps", parts.spanEnd},
          {"last_ps", parts.lastTime},
          {"merge", {{"records", point.records}, {"sources", sources}}}};
}

bool takeUpFromJson(const json& j, size_t sources, PartResume* parts, ResumePoint* point,
                    std::string* error) {
  int64_t index = 0;
  const json merge = j.is_object() ? j.value("merge", json()) : json();
  const json list = merge.is_object() ? merge.value("sources", json()) : json();
  if (!integer(j, "part", &index) || index < 2 || index > INT32_MAX ||
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

RawRelease::RawRelease(const std::vector<std::string>& paths)
    : _paths(paths), _fds(paths.size(), -1), _released(paths.size(), 0) {}

RawRelease::~RawRelease() {
  for (int fd : _fds)
    if (fd >= 0) close(fd);  // nothing written through it
}

void RawRelease::release(const ResumePoint& point, std::string* error) {
  for (size_t i = 0; i < _paths.size() && i < point.sources.size(); ++i) {
    const int64_t to = point.sources[i].offset / kHolePage * kHolePage;
    if (to <= _released[i] || _paths[i].empty()) continue;
    if (_fds[i] < 0) _fds[i] = open(_paths[i].c_str(), O_WRONLY | O_CLOEXEC);
    const bool done = _fds[i] >= 0 && fallocate(_fds[i], FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                                _released[i], to - _released[i]) == 0;
    if (done) {
      _released[i] = to;
      continue;
    }
    if (!_refused)
      *error = _paths[i] + ": its raw data behind the published parts stay on the temp disk: " +
               strerror(errno);
    _refused = true;
  }
}

std::vector<int64_t> RawRelease::released() const { return _released; }

bool RawRelease::any() const {
  return std::any_of(_released.begin(), _released.end(), [](int64_t r) { return r > 0; });
}
