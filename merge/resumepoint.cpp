#include "merge/resumepoint.h"

#include "codec/tdc56.h"

DecoderState decoderState(const Tdc56Instance* d) {
  DecoderState s;
  s.lastTime = d->lastTime;
  s.timeBase = d->timeBase;
  s.startTime = d->startTime;
  s.measuredPeriod = d->measuredPeriod;
  s.startPeriod = d->startPeriod;
  s.pendingWord = d->pendingWord;
  s.virtualCount = d->virtualCount;
  return s;
}

void restoreDecoder(Tdc56Instance* d, const DecoderState& s) {
  d->lastTime = s.lastTime;
  d->timeBase = s.timeBase;
  d->startTime = s.startTime;
  d->measuredPeriod = s.measuredPeriod;
  d->startPeriod = s.startPeriod;
  d->pendingWord = s.pendingWord;
  d->virtualCount = s.virtualCount;
}

void ResumeLog::note(ResumePoint point) {
  _lastNoted = point.records;
  std::lock_guard<std::mutex> hold(_lock);
  _points.push_back(std::move(point));
  if (_points.size() > kKept) _points.pop_front();
}

bool ResumeLog::before(int64_t records, ResumePoint* point) {
  std::lock_guard<std::mutex> hold(_lock);
  size_t found = _points.size();
  for (size_t i = 0; i < _points.size() && _points[i].records <= records; ++i) found = i;
  if (found == _points.size()) return false;
  *point = _points[found];
  _points.erase(_points.begin(), _points.begin() + std::ptrdiff_t(found));
  return true;
}
