#include "chain/outputstage.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "chain/livesink.h"

OutputStage::OutputStage(const std::vector<RecordStage*>& stages, FILE* text, FILE* binary,
                         RecordSink* next, const std::function<void(FILE*, bool)>& header)
    : _stages(stages), _binaryFile(binary), _header(header),
      _writer(new TagWriter(text, binary, next)), _perChannel(65536) {
  if (_binaryFile != nullptr && _header) _header(_binaryFile, true);
}

OutputStage::OutputStage(const std::vector<RecordStage*>& stages, PartWriter* parts,
                         RecordSink* next)
    : _stages(stages), _binaryFile(nullptr), _writer(new TagWriter(nullptr, nullptr, next)),
      _parts(parts), _perChannel(65536) {}

OutputStage::~OutputStage() = default;

void OutputStage::putRecords(const char* records, size_t count) {
  if (_stages.empty()) {
    // Nothing between the merge and the outputs: its records go on as they are.
    tally(RecordSpan{records}, count);
    if (_parts != nullptr) _parts->writeRecords(records, count);
    _writer->writeRecords(records, count);
    return;
  }
  _in.resize(count);
  decodeRecords(records, count, _in.data());
  for (RecordStage* stage : _stages) {
    _out.clear();
    stage->push(_in.data(), _in.size(), &_out);
    _in.swap(_out);
  }
  write(_in);
}

void OutputStage::finish() {
  if (_finished) return;
  _finished = true;
  // Each step's held records go through the steps after it.
  _in.clear();
  for (RecordStage* stage : _stages) {
    _out.clear();
    if (!_in.empty()) stage->push(_in.data(), _in.size(), &_out);
    stage->finish(&_out);
    _in.swap(_out);
  }
  write(_in);
  _written.perChannel.clear();
  for (size_t i = 0; i < _perChannel.size(); ++i)
    if (_perChannel[i] != 0) _written.perChannel[int16_t(int32_t(i) - 32768)] = _perChannel[i];
  // The parts' last one stays open until the run decides whether it is published.
  _writer->finish(_written.perChannel);
  if (_binaryFile != nullptr && _header) _header(_binaryFile, false);
}

template <typename Span>
void OutputStage::tally(const Span& records, size_t n) {
  // Two passes, the span in locals: the counts' stores would otherwise keep it in memory.
  int64_t* perChannel = _perChannel.data() + 32768;
  for (size_t i = 0; i < n; ++i) ++perChannel[records.at(i).channel];
  int64_t first = _written.first, last = _written.last;
  for (size_t i = 0; i < n; ++i) {
    first = std::min(first, records.at(i).time);
    last = std::max(last, records.at(i).time);
  }
  _written.first = first;
  _written.last = last;
  _written.records += int64_t(n);
}

void OutputStage::write(const std::vector<TimeTag>& tags) {
  tally(TagSpan{tags.data()}, tags.size());
  if (_parts != nullptr) _parts->write(tags.data(), tags.size());
  _writer->write(tags.data(), tags.size());
}

nlohmann::json keepReport(const KeepFilter& filter) {
  nlohmann::json channels = nlohmann::json::array();
  for (const KeepCount& c : filter.counts())
    channels.push_back({{"channel", c.channel}, {"kept", c.kept}, {"dropped", c.dropped}});
  return {{"filter", keepText(filter.clauses())},
          {"channels", channels},
          {"decided_early", filter.decidedEarly()}};
}

bool readKeepFile(const std::string& path, std::string* keep, std::string* error) {
  keep->clear();
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) return true;
    *error = path + ": cannot be read: " + strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
  if (!j.is_object() || !j.contains("keep") || !j["keep"].is_string()) {
    *error = path + ": not a JSON object with the filter as \"keep\": \"6 within 5000 of 1\"";
    return false;
  }
  std::vector<KeepClause> clauses;
  if (!parseKeep(j["keep"].get<std::string>(), &clauses, error)) {
    *error = path + ": bad keep: " + *error;
    return false;
  }
  *keep = keepText(clauses);
  return true;
}
