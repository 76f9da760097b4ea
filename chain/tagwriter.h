// Writes time tags to the merge's outputs in their usual formats: a text output, a binary output
// of 10-byte records and a further sink (the HDF5 output) that takes the binary records or their
// columns. What the steps after the merge (OutputStage) and each part of a split run write with.
// Called from one thread at a time. No Qt.
#ifndef RAVIK_CHAIN_TAGWRITER_H
#define RAVIK_CHAIN_TAGWRITER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string.h>

#include <map>
#include <memory>

#include "merge/mergecore.h"
#include "monitor/measurements.h"

class OutBuf;
class RecordSink;

// Records read alike whether they are time tags or as the merge hands them on (kMergeRecordSize
// bytes each: the time, then the channel, in the order of the little-endian hosts this program
// runs on).
struct TagSpan {
  const TimeTag* tags;
  TimeTag at(size_t i) const { return tags[i]; }
  TagSpan from(size_t i) const { return {tags + i}; }
};
struct RecordSpan {
  const char* records;
  TimeTag at(size_t i) const {
    TimeTag t;
    memcpy(&t.time, records + kMergeRecordSize * i, sizeof t.time);
    memcpy(&t.channel, records + kMergeRecordSize * i + sizeof t.time, sizeof t.channel);
    return t;
  }
  RecordSpan from(size_t i) const { return {records + kMergeRecordSize * i}; }
};

class TagWriter {
public:
  // `text`, `binary` and `next` as the merge's outputs (null: none; not owned).
  TagWriter(FILE* text, FILE* binary, RecordSink* next);
  ~TagWriter();
  TagWriter(const TagWriter&) = delete;
  TagWriter& operator=(const TagWriter&) = delete;

  void write(const TimeTag* tags, size_t count);
  // The same records as the merge hands them on: the binary output takes them as they are.
  void writeRecords(const char* records, size_t count);
  void write(const TagSpan& tags, size_t count) { write(tags.tags, count); }
  void write(const RecordSpan& records, size_t count) { writeRecords(records.records, count); }
  // Hands on what is buffered; a sink that takes columns learns the records per channel,
  // `counts`. Nothing may be written after.
  void finish(const std::map<int16_t, int64_t>& counts);
  // Hands what is buffered to the outputs and the sink, which go on after it (a part held
  // part-way).
  void flush();
  // Bytes written to the text output so far.
  int64_t textBytes() const { return _textBytes; }

private:
  template <typename Span>
  void writeText(const Span& records, size_t count);
  void writeBinary(const TimeTag* tags, size_t count);
  void copyBinary(const char* records, size_t count);
  template <typename Span>
  void writeColumns(const Span& records, size_t count);

  RecordSink* _next;
  std::unique_ptr<OutBuf> _text, _binary;
  int64_t _lastTime = INT64_MIN;
  int64_t _textBytes = 0;
  bool _finished = false;
};

#endif
