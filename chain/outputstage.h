// The steps between the merge and its outputs: the merge hands its records to an OutputStage,
// which passes them through a list of RecordStage steps (a filter, virtual channels), each
// taking what the one before passed on, and writes what the last passes on to the outputs
// (text, binary with its header and trailer, and a further sink such as the HDF5 output) in
// their usual formats. It counts what it wrote, so that the report and the outputs agree.
//
// Without a step the merge writes its outputs itself (see MergeRun); an OutputStage is made
// only for a list that is not empty, or for a run split into parts (see PartWriter). Called from one thread at a time, as a RecordSink is.
// No Qt.
#ifndef RAVIK_CHAIN_OUTPUTSTAGE_H
#define RAVIK_CHAIN_OUTPUTSTAGE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chain/channelcount.h"
#include "chain/partwriter.h"
#include "chain/tagwriter.h"
#include "merge/recordsink.h"
#include "monitor/keepfilter.h"
#include "monitor/recordstage.h"

class OutputStage : public RecordSink {
public:
  // `stages` in the order the records pass them, none owned; `text`, `binary` and `next` as
  // the merge's outputs (null: none; not owned). With a binary output, `header` writes its
  // header now and its trailer at finish().
  OutputStage(const std::vector<RecordStage*>& stages, FILE* text, FILE* binary,
              RecordSink* next, const std::function<void(FILE*, bool)>& header);
  // The same steps into the parts of a split run (not owned), whose outputs are theirs, and on to
  // `next` (null: none; not owned).
  OutputStage(const std::vector<RecordStage*>& stages, PartWriter* parts, RecordSink* next);
  ~OutputStage() override;
  OutputStage(const OutputStage&) = delete;
  OutputStage& operator=(const OutputStage&) = delete;

  void putRecords(const char* records, size_t count) override;
  // The stream ended: the records the steps still hold, then the binary trailer; the further
  // sink learns the counts. Into parts, the last part is left to be published or discarded.
  // Call once, after the merge.
  void finish();

  // What was written so far: records, per channel, their earliest and latest time.
  const ChannelCounts& written() const { return _written; }

private:
  void write(const std::vector<TimeTag>& tags);
  // Adds `n` records to what was written.
  template <typename Span>
  void tally(const Span& records, size_t n);

  std::vector<RecordStage*> _stages;
  FILE* _binaryFile;
  std::function<void(FILE*, bool)> _header;
  std::unique_ptr<TagWriter> _writer;  // into the outputs given
  PartWriter* _parts = nullptr;        // null: not split
  std::vector<TimeTag> _in, _out;  // kept between batches
  std::vector<int64_t> _perChannel;  // by channel + 32768
  ChannelCounts _written;
  bool _finished = false;
};

// The window's filter file in its temp folder: {"keep": "6,11 within 5000 of 1"}.
constexpr char kKeepFileName[] = "ravik-keep.json";
// Reads the filter from the file at `path` into *keep, checked; no file: true with *keep empty.
// False with a one-line message naming the file and what is wrong.
bool readKeepFile(const std::string& path, std::string* keep, std::string* error);

// The run report's "keep" entry: the filter's text, each filtered channel's kept and dropped
// records, and the records it decided before all their triggers could be seen.
nlohmann::json keepReport(const KeepFilter& filter);

#endif
