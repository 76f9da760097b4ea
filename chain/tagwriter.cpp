#include "chain/tagwriter.h"

#include "merge/outbuf.h"

TagWriter::TagWriter(FILE* text, FILE* binary, RecordSink* next)
    : _next(next), _text(new OutBuf(text)), _binary(new OutBuf(binary, next)) {}

TagWriter::~TagWriter() = default;

void TagWriter::write(const TimeTag* tags, size_t count) {
  if (_text->open()) writeText(tags, count);
  if (_binary->open()) writeBinary(tags, count);
}

void TagWriter::finish(const std::map<int16_t, int64_t>& counts) {
  if (_finished) return;
  _finished = true;
  _text->finish();
  _binary->finish();
  if (_binary->columns()) _next->putChannelCounts(counts);
}

void TagWriter::writeText(const TimeTag* tags, size_t count) {
  char* p = _text->cursor();
  int64_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    if (p >= _text->limit()) p = _text->drain(p);
    char* const end = _text->putText(p, tags[i].time, tags[i].channel);
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
  ColumnCursor c = _binary->columnCursor();
  for (size_t i = 0; i < count; ++i) {
    if (tags[i].time < _lastTime) _binary->noteUnordered();
    _lastTime = tags[i].time;
    c.put(tags[i].time, tags[i].channel);
    c.forward();
    if (c.reached(_binary->columnLimit())) c = _binary->drain(c);
  }
  _binary->commit(c);
}
