#include "chain/tagwriter.h"

#include <algorithm>

#include "merge/outbuf.h"

TagWriter::TagWriter(FILE* text, FILE* binary, RecordSink* next)
    : _next(next), _text(new OutBuf(text)), _binary(new OutBuf(binary, next)) {}

TagWriter::~TagWriter() = default;

void TagWriter::write(const TimeTag* tags, size_t count) {
  if (_text->open()) writeText(TagSpan{tags}, count);
  if (_binary->open()) writeBinary(tags, count);
}

void TagWriter::writeRecords(const char* records, size_t count) {
  if (_text->open()) writeText(RecordSpan{records}, count);
  if (!_binary->open()) return;
  if (_binary->columns())
    writeColumns(RecordSpan{records}, count);
  else
    copyBinary(records, count);
}

void TagWriter::finish(const std::map<int16_t, int64_t>& counts) {
  if (_finished) return;
  _finished = true;
  _text->finish();
  _binary->finish();
  if (_binary->columns()) _next->putChannelCounts(counts);
}

void TagWriter::flush() {
  _text->flush();
  _binary->flush();
}

template <typename Span>
void TagWriter::writeText(const Span& records, size_t count) {
  char* p = _text->cursor();
  int64_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    if (p >= _text->limit()) p = _text->drain(p);
    const TimeTag tag = records.at(i);
    char* const end = _text->putText(p, tag.time, tag.channel);
    bytes += end - p;
    p = end;
  }
  _text->commit(p);
  _textBytes += bytes;
}

void TagWriter::writeBinary(const TimeTag* tags, size_t count) {
  if (!_binary->columns()) {
    RecordCursor c{_binary->cursor()};
    for (size_t i = 0; i < count; ++i) {
      if (c.at >= _binary->limit()) c.at = _binary->drain(c.at);
      c.put(tags[i].time, tags[i].channel);
      c.forward();
    }
    _binary->commit(c.at);
    return;
  }
  writeColumns(TagSpan{tags}, count);
}

void TagWriter::copyBinary(const char* records, size_t count) {
  char* p = _binary->cursor();
  while (count > 0) {
    if (p >= _binary->limit()) p = _binary->drain(p);
    // Each record begins below the limit, as the merge's own writer keeps them.
    constexpr size_t kBytes = kMergeRecordSize;
    const size_t n = std::min(count, (size_t(_binary->limit() - p) + kBytes - 1) / kBytes);
    memcpy(p, records, kBytes * n);
    p += kBytes * n;
    records += kBytes * n;
    count -= n;
  }
  _binary->commit(p);
}

template <typename Span>
void TagWriter::writeColumns(const Span& records, size_t count) {
  ColumnCursor c = _binary->columnCursor();
  for (size_t i = 0; i < count; ++i) {
    const TimeTag tag = records.at(i);
    if (tag.time < _lastTime) _binary->noteUnordered();
    _lastTime = tag.time;
    c.put(tag.time, tag.channel);
    c.forward();
    if (c.reached(_binary->columnLimit())) c = _binary->drain(c);
  }
  _binary->commit(c);
}
