// Writes time tags to the merge's outputs in their usual formats: a text output, a binary output
// of 10-byte records and a further sink (the HDF5 output) that takes the binary records or their
// columns. What the steps after the merge (OutputStage) and each part of a split run write with.
// Called from one thread at a time. No Qt.
#ifndef RAVIK_CHAIN_TAGWRITER_H
#define RAVIK_CHAIN_TAGWRITER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <map>
#include <memory>

#include "monitor/measurements.h"

class OutBuf;
class RecordSink;

class TagWriter {
public:
  // `text`, `binary` and `next` as the merge's outputs (null: none; not owned).
  TagWriter(FILE* text, FILE* binary, RecordSink* next);
  ~TagWriter();
  TagWriter(const TagWriter&) = delete;
  TagWriter& operator=(const TagWriter&) = delete;

  void write(const TimeTag* tags, size_t count);
  // Hands on what is buffered; a sink that takes columns learns the records per channel,
  // `counts`. Nothing may be written after.
  void finish(const std::map<int16_t, int64_t>& counts);
  // Bytes written to the text output so far.
  int64_t textBytes() const { return _textBytes; }

private:
  void writeText(const TimeTag* tags, size_t count);
  void writeBinary(const TimeTag* tags, size_t count);

  RecordSink* _next;
  std::unique_ptr<OutBuf> _text, _binary;
  int64_t _lastTime = INT64_MIN;
  int64_t _textBytes = 0;
  bool _finished = false;
};

#endif
