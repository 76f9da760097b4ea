#include "chain/recordqueue.h"

#include <chrono>
#include <utility>

#include "merge/mergecore.h"

RecordQueue::RecordQueue(size_t maxBytes) : _maxBytes(maxBytes) {}

void RecordQueue::push(const char* records, size_t count) {
  if (count == 0) return;
  const size_t bytes = count * size_t(kMergeRecordSize);
  std::unique_lock<std::mutex> hold(_lock);
  // An empty queue always takes the block, so a block larger than the limit cannot stall.
  const auto fits = [&] { return _bytes == 0 || _bytes + bytes <= _maxBytes; };
  if (_attached) _changed.wait(hold, [&] { return !_attached || fits(); });
  if (!_attached && !_collecting) return;
  while (!fits()) {
    _bytes -= _blocks.front().size();
    _dropped += int64_t(_blocks.front().size());
    _blocks.pop_front();
  }
  _blocks.emplace_back(records, records + bytes);
  _bytes += bytes;
  _changed.notify_all();
}

void RecordQueue::finish(bool complete) {
  std::lock_guard<std::mutex> hold(_lock);
  _finished = true;
  _complete = complete;
  _changed.notify_all();
}

void RecordQueue::reopen() {
  std::lock_guard<std::mutex> hold(_lock);
  _blocks.clear();
  _bytes = 0;
  _dropped = 0;
  _collecting = true;
  _finished = false;
  _complete = true;
}

void RecordQueue::attach() {
  std::lock_guard<std::mutex> hold(_lock);
  _attached = true;
}

bool RecordQueue::detach() {
  std::lock_guard<std::mutex> hold(_lock);
  const bool all = _attached && _finished && _complete && _blocks.empty();
  _attached = false;
  _collecting = false;
  _blocks.clear();
  _bytes = 0;
  _changed.notify_all();
  return all;
}

bool RecordQueue::endedEarly() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _finished && !_complete;
}

int64_t RecordQueue::droppedBytes() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _dropped;
}

RecordQueue::Pop RecordQueue::pop(std::vector<char>* block, int32_t timeoutMs) {
  std::unique_lock<std::mutex> hold(_lock);
  const bool ready = _changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
    return !_blocks.empty() || _finished || !_attached;
  });
  if (!_blocks.empty() && _attached) {
    *block = std::move(_blocks.front());
    _blocks.pop_front();
    _bytes -= block->size();
    _changed.notify_all();
    return Pop::kBlock;
  }
  return ready ? Pop::kEnd : Pop::kTimeout;
}
