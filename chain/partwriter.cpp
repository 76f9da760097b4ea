#include "chain/partwriter.h"

#include <dirent.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "chain/tagwriter.h"
#include "merge/hdf5file.h"
#include "merge/outputfile.h"
#include "merge/outputpath.h"

namespace {

// The most bytes one record takes in any output: a text line of a 19-digit time and a 6-character
// channel. A stretch of records that cannot take a part past its size is written without
// looking at the size record by record.
constexpr int64_t kMostRecordBytes = 29;
constexpr int64_t kBinaryHeaderBytes = 64;
constexpr int64_t kHoldLeast = 65536;  // records between two holds at least
constexpr std::chrono::milliseconds kHoldSpacing{250};  // and time

}  // namespace

bool splitTimePs(double seconds, int64_t* ps) {
  if (!(seconds > 0) || seconds > 1e7) return false;
  *ps = int64_t(seconds * 1e12 + 0.5);
  return *ps > 0;
}

std::string partName(const std::string& path, int32_t index) {
  char number[16];
  snprintf(number, sizeof number, "-%04d", int(index));
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  if (dot == std::string::npos || dot <= nameStart) return path + number;
  return path.substr(0, dot) + number + path.substr(dot);
}

nlohmann::json partsJson(const std::vector<PartFacts>& parts) {
  nlohmann::json list = nlohmann::json::array();
  for (const PartFacts& p : parts) {
    nlohmann::json files = nlohmann::json::array();
    for (const PartFile& f : p.files) files.push_back({{"kind", f.kind}, {"path", f.path}});
    const bool any = p.first <= p.last;
    list.push_back({{"index", p.index},
                    {"records", p.records},
                    {"first_ps", any ? nlohmann::json(p.first) : nlohmann::json()},
                    {"last_ps", any ? nlohmann::json(p.last) : nlohmann::json()},
                    {"files", files}});
  }
  return list;
}

std::string partsLine(const nlohmann::json& parts) {
  if (!parts.is_array() || parts.empty()) return "parts: none published";
  const auto name = [](const nlohmann::json& part) {
    const std::string path = part["files"].empty() ? std::string("?")
                                                   : part["files"][0]["path"].get<std::string>();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  };
  if (parts.size() == 1) return "parts: 1 published, " + name(parts[0]);
  return "parts: " + std::to_string(parts.size()) + " published, " + name(parts.front()) +
         " to " + name(parts.back());
}

PartInfo partInfo(const Hdf5RunInfo& run, const nlohmann::json& report) {
  Hdf5RunInfo base = run;
  base.acquisitionSeconds = -1;
  nlohmann::json shared = report;
  shared.erase("parts");
  return [base, shared](const PartFacts& part) {
    Hdf5RunInfo info = base;
    nlohmann::json share = shared;
    const nlohmann::json facts = partsJson({part}).front();
    share["records"] = facts["records"];
    share["first_ps"] = facts["first_ps"];
    share["last_ps"] = facts["last_ps"];
    share["part"] = facts;
    info.report = share.dump();
    return info;
  };
}

struct PartWriter::Part {
  PartFacts facts;
  bool headed = false;  // the binary header is written
  int64_t textBefore = 0;  // text bytes of a part taken up that its writer did not write
  OutputFile text, binary;
  Hdf5File hdf5;
  std::unique_ptr<TagWriter> writer;
};

namespace {

// `path` has the name of a part of the output `stem`: in its folder, the stem's name with "-"
// and four digits or more before the stem's extension.
bool partOf(const std::string& path, const std::string& stem) {
  const std::string first = absolutePath(partName(stem, 1)), name = absolutePath(path);
  const size_t digits = first.rfind("-0001") + 1;
  const std::string tail = first.substr(digits + 4);
  if (name.size() < first.size() || name.compare(0, digits, first, 0, digits) != 0 ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  const std::string number = name.substr(digits, name.size() - tail.size() - digits);
  return number.size() >= 4 && number.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::unique_ptr<PartWriter> PartWriter::begin(const PartPlan& plan, std::string* error) {
  // A part must never take the place of a file the run reads or writes besides it.
  for (const std::string* stem : {&plan.text, &plan.binary, &plan.hdf5}) {
    if (stem->empty()) continue;
    std::vector<OutputName> others = plan.others;
    for (const std::string* other : {&plan.text, &plan.binary, &plan.hdf5})
      if (other != stem) others.push_back({"output", *other});
    for (const OutputName& other : others) {
      if (other.path.empty() || !partOf(other.path, *stem)) continue;
      *error = other.path + ": the " + other.what + " has the name of a part of the output " +
               *stem + "; choose other names";
      return nullptr;
    }
  }
  for (const std::string* path : {&plan.text, &plan.binary, &plan.hdf5}) {
    struct stat st;
    if (path->empty()) continue;
    if (descriptorName(*path) >= 0 || (stat(path->c_str(), &st) == 0 && !S_ISREG(st.st_mode))) {
      *error = *path + ": an output split into parts must be a file name, not a device, a pipe "
               "or a descriptor";
      return nullptr;
    }
  }
  std::unique_ptr<PartWriter> parts(new PartWriter(plan));
  if (!parts->begin(error)) return nullptr;
  return parts;
}

PartWriter::PartWriter(const PartPlan& plan)
    : _plan(plan), _perChannel(65536), _spanEnd(plan.from.spanEnd),
      _lastTime(plan.from.lastTime), _any(plan.from.index > 1 || plan.from.hold.on),
      _total(plan.from.records), _skip(plan.skip),
      _takeUp(plan.from.hold.on && !plan.from.hold.complete) {}

PartWriter::~PartWriter() { discard(); }

bool PartWriter::begin(std::string* error) { return open(_plan.from.index, error); }

namespace {

// The file of `kind` among `files`; empty: none.
std::string fileOf(const std::vector<PartFile>& files, const char* kind) {
  for (const PartFile& f : files)
    if (f.kind == kind) return f.path;
  return std::string();
}

}  // namespace

bool PartWriter::open(int32_t index, std::string* error) {
  std::unique_ptr<Part> part(new Part);
  part->facts.index = index;
  const bool keep = _plan.noClobber;
  // The part held when the run was killed goes on in its files as far as they were held.
  const PartHold& held = _plan.from.hold;
  const bool takeUp = _takeUp;
  _takeUp = false;
  if (takeUp) {
    part->text.takeUpPartial(fileOf(held.part.files, "text"), held.textBytes);
    part->binary.takeUpPartial(fileOf(held.part.files, "binary"), held.binaryBytes);
  }
  // A part after the first is told under its temporary names before they exist: a run killed
  // while they are created leaves none that its manifest does not name.
  if (index > 1 && _begun) {
    std::vector<std::string> names;
    const auto reserve = [&](const std::string& output) {
      names.push_back(freePartialName(partName(output, index)));
      return names.back();
    };
    if (takeUp) {
      for (const char* kind : {"text", "binary"})
        if (!fileOf(held.part.files, kind).empty()) names.push_back(fileOf(held.part.files, kind));
    } else {
      if (!_plan.text.empty()) part->text.reservePartial(reserve(_plan.text));
      if (!_plan.binary.empty()) part->binary.reservePartial(reserve(_plan.binary));
    }
    if (!_plan.hdf5.empty()) part->hdf5.reservePartial(reserve(_plan.hdf5));
    {
      std::lock_guard<std::mutex> hold(_lock);
      _partials = names;
    }
    _begun(names);
  }
  if (!_plan.text.empty()) {
    const std::string name = partName(_plan.text, index);
    if (!part->text.create(name, error, keep)) return false;
    part->facts.files.push_back({"text", absolutePath(name)});
  }
  if (!_plan.binary.empty()) {
    const std::string name = partName(_plan.binary, index);
    if (!part->binary.create(name, error, keep)) return false;
    part->facts.files.push_back({"binary", absolutePath(name)});
  }
  if (!_plan.hdf5.empty()) {
    const std::string name = partName(_plan.hdf5, index);
    if (!part->hdf5.create(name, _plan.compress, error, keep, _plan.holds || takeUp))
      return false;
    part->facts.files.push_back({"hdf5", absolutePath(name)});
  }
  if (takeUp && !takeUpHeld(part.get(), error)) return false;
  part->writer.reset(new TagWriter(part->text.file(), part->binary.file(), part->hdf5.output()));
  if (!takeUp) std::fill(_perChannel.begin(), _perChannel.end(), 0);
  const std::vector<std::string> names =
      partialNames({&part->text, &part->binary, part->hdf5.file()});
  _part = std::move(part);
  std::lock_guard<std::mutex> hold(_lock);
  _partials = names;
  return true;
}

// Goes on with the held part: its text and binary files begin with what was held of those it
// was held in; its HDF5 file, new, takes up the held one. The files held in, and the hold, stay
// until the last part is in place: a recovery stopped in its turn goes on from them again.
bool PartWriter::takeUpHeld(Part* part, std::string* error) {
  const PartHold& held = _plan.from.hold;
  const std::string hdf5 = fileOf(held.part.files, "hdf5");
  if (part->hdf5.output() != nullptr &&
      (hdf5.empty() || !part->hdf5.output()->takeUp(hdf5, held.hdf5State, error))) {
    if (hdf5.empty()) *error = part->facts.files.back().path + ": the part held has no HDF5 file";
    return false;
  }
  part->facts.records = held.part.records;
  part->facts.first = held.part.first;
  part->facts.last = held.part.last;
  part->headed = true;
  part->textBefore = std::max<int64_t>(held.textBytes, 0);
  std::fill(_perChannel.begin(), _perChannel.end(), 0);
  for (const auto& [channel, count] : held.counts) _perChannel[size_t(channel + 32768)] = count;
  _any = true;
  _heldTime = _lastTime;
  _heldRecords = part->facts.records;
  for (const PartFile& f : held.part.files) _takenFrom.push_back(f.path);
  if (!held.hdf5State.empty()) _takenFrom.push_back(held.hdf5State);
  return true;
}

void removeHoldFiles(const std::string& partial) {
  const size_t slash = partial.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : partial.substr(0, slash);
  const std::string prefix = partial.substr(slash + 1) + ".hold-";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d))
    if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
      unlink((dir + "/" + e->d_name).c_str());
  closedir(d);
}

void PartWriter::dropHolds(const std::string& keep) {
  for (const std::string& file : _holdFiles)
    if (file != keep) unlink(file.c_str());
  _holdFiles.clear();
  if (!keep.empty()) _holdFiles.push_back(keep);
}

bool PartWriter::holdDue() const {
  // No closer than the points the merge can be taken up at (see ResumeLog): a hold between two
  // of them would let go of nothing more.
  if (!_plan.holds || !_publishedNote || _part->facts.records - _heldRecords < kHoldLeast)
    return false;
  const bool due = (_plan.rule.timePs > 0 && _heldTime != INT64_MIN &&
                    _lastTime - _heldTime >= _plan.rule.timePs / 16) ||
                   (_plan.rule.size > 0 && size() - _heldSize >= _plan.rule.size / 16);
  // And no more than a few times a second, whatever the part's size: each hold syncs the part's
  // files and has the manifest written.
  return due && std::chrono::steady_clock::now() - _heldAt >= kHoldSpacing;
}

// Syncs the part's files as far as its records so far and tells the hold (`complete`: the part
// is finished and synced, its files about to be renamed into place). A hold that cannot be made
// is not told: the part goes on, and the one before stays the run's last.
void PartWriter::hold(Part& part, bool complete) {
  PartHold h;
  h.on = true;
  h.complete = complete;
  h.part = part.facts;
  h.part.files.clear();
  if (!part.text.path().empty()) h.part.files.push_back({"text", part.text.partialPath()});
  if (!part.binary.path().empty()) h.part.files.push_back({"binary", part.binary.partialPath()});
  if (!part.hdf5.file()->partialPath().empty())
    h.part.files.push_back({"hdf5", part.hdf5.file()->partialPath()});
  _heldTime = _lastTime;
  _heldRecords = part.facts.records;
  _heldAt = std::chrono::steady_clock::now();
  if (!complete) _heldSize = size();
  std::string error;
  bool ok = true;
  if (!complete) {
    part.writer->flush();
    if (part.text.file() != nullptr) ok = part.text.sync(&h.textBytes, &error);
    if (ok && part.binary.file() != nullptr) ok = part.binary.sync(&h.binaryBytes, &error);
    if (ok && part.hdf5.output() != nullptr) {
      h.hdf5State = part.hdf5.file()->partialPath() + ".hold-" + std::to_string(++_holdCount);
      ok = part.hdf5.output()->hold(h.hdf5State, &error);
      for (size_t i = 0; ok && i < _perChannel.size(); ++i)
        if (_perChannel[i] != 0) h.counts[int16_t(int32_t(i) - 32768)] = _perChannel[i];
    }
  }
  const PartResume at{part.facts.index, _total, _spanEnd, _lastTime, h};
  if (ok && _publishedNote(part.facts, at)) {
    dropHolds(h.hdf5State);
    return;
  }
  if (!h.hdf5State.empty()) unlink(h.hdf5State.c_str());
}

void PartWriter::describe(const PartHeader& header, const PartInfo& info, const PartBegun& begun,
                          const PartPublished& published) {
  _header = header;
  _info = info;
  _begun = begun;
  _publishedNote = published;
}

std::vector<std::string> PartWriter::partials() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _partials;
}

// Before the part's first record, or at its end when it has none.
void PartWriter::writeHeader() {
  if (_part->headed) return;
  _part->headed = true;
  if (_part->binary.file() != nullptr && _header) _header(_part->binary.file(), true);
}

// Finishes the part being written and publishes it; the part is gone either way.
bool PartWriter::close(std::string* error) {
  writeHeader();
  std::unique_ptr<Part> part = std::move(_part);
  std::map<int16_t, int64_t> counts;
  for (size_t i = 0; i < _perChannel.size(); ++i)
    if (_perChannel[i] != 0) counts[int16_t(int32_t(i) - 32768)] = _perChannel[i];
  part->writer->finish(counts);
  part->writer.reset();
  if (part->binary.file() != nullptr && _header) _header(part->binary.file(), false);
  if (part->hdf5.output() != nullptr &&
      !part->hdf5.complete(_info ? _info(part->facts) : Hdf5RunInfo(), error)) {
    part->text.discard();
    part->binary.discard();
    part->hdf5.discard();
    return false;
  }
  const std::vector<NamedOutput> outputs = {
      {&part->text, "text"}, {&part->binary, "binary"}, {part->hdf5.file(), "HDF5"}};
  if (_plan.holds && _publishedNote) {
    // Complete and synced under the temporary names, told before they are renamed: a run
    // killed meanwhile has its recovery rename them, as its holds before are gone. So even a
    // part never held part-way: written again by the recovery, it would carry a merge's
    // description, not the recording's (its devices, provenance and report share).
    for (const NamedOutput& o : outputs) {
      if (o.file->finish(error, true)) continue;
      for (const NamedOutput& other : outputs) other.file->discard();
      *error += "; no output written";
      return false;
    }
    hold(*part, true);
  }
  if (!publishOutputs(outputs, error, true)) return false;
  {
    std::lock_guard<std::mutex> hold(_lock);
    _published.push_back(part->facts);
  }
  const bool noted =
      _publishedNote &&
      _publishedNote(part->facts, PartResume{part->facts.index + 1, _total, _spanEnd, _lastTime, {}});
  // The holds of the part are no longer needed once it is in place and named; a part taken up
  // by a recovery (which names no part) leaves the file and hold it took up until now.
  if (noted || !_publishedNote) dropHolds(std::string());
  return true;
}

void PartWriter::fail(const std::string& error) {
  // The outputs' own message speaks of one output; the run's parts before it are in place.
  _error = error;
  static const std::string kNone = "; no output written";
  if (_error.size() >= kNone.size() &&
      _error.compare(_error.size() - kNone.size(), kNone.size(), kNone) == 0)
    _error.resize(_error.size() - kNone.size());
  const size_t done = published().size();
  _error += "; part " + std::to_string(done + 1) + " was not written" +
            (done == 0   ? std::string()
             : done == 1 ? std::string(", part 1 is in place")
                         : ", parts 1 to " + std::to_string(done) + " are in place");
  _failed.store(true, std::memory_order_relaxed);
  discard();
}

// The time rule's span of the part that starts with a record of `time`: the first of the spans
// counted from the run's first record that holds it.
void PartWriter::startSpan(int64_t time) {
  if (_plan.rule.timePs <= 0) return;
  if (!_any) {
    _spanEnd = time + _plan.rule.timePs;
    return;
  }
  // Spans without a record are passed over rather than written as empty parts.
  while (_spanEnd <= time) _spanEnd += _plan.rule.timePs;
}

int64_t PartWriter::size() const {
  const int64_t records = _part->facts.records;
  int64_t bytes = _part->textBefore + _part->writer->textBytes();
  if (!_plan.binary.empty()) bytes = std::max(bytes, 2 * kBinaryHeaderBytes + 10 * records);
  if (!_plan.hdf5.empty()) bytes = std::max(bytes, 10 * records);
  return bytes;
}

// A part with records ends before a record of `time`.
bool PartWriter::ends(int64_t time) const {
  if (_part->facts.records == 0 || time == _lastTime) return false;
  if (_plan.rule.timePs > 0 && time >= _spanEnd) return true;
  return _plan.rule.size > 0 && size() >= _plan.rule.size;
}

void PartWriter::write(const TimeTag* tags, size_t count) { writeSpan(TagSpan{tags}, count); }

void PartWriter::writeRecords(const char* records, size_t count) {
  writeSpan(RecordSpan{records}, count);
}

template <typename Span>
void PartWriter::writeSpan(const Span& tags, size_t count) {
  size_t i = 0;
  if (_skip > 0) {
    i = size_t(std::min<int64_t>(_skip, int64_t(count)));
    _skip -= int64_t(i);
  }
  while (i < count && _part) {
    if (ends(tags.at(i).time)) {
      std::string error;
      const int32_t next = _part->facts.index + 1;
      if (!close(&error) || !open(next, &error)) {
        fail(error);
        return;
      }
    } else if (holdDue()) {
      hold(*_part, false);
    }
    if (_part->facts.records == 0) {
      startSpan(tags.at(i).time);
      _heldTime = tags.at(i).time;
      _heldSize = _heldRecords = 0;
    }
    writeHeader();
    // The stretch that no rule can end: up to the span's end, and as far as the size allows.
    size_t n = count - i;
    if (_plan.rule.timePs > 0) {
      size_t j = i + 1;
      while (j < count && tags.at(j).time < _spanEnd) ++j;
      n = j - i;
    }
    if (_plan.rule.size > 0)
      n = std::min(n, size_t(std::max<int64_t>(1, (_plan.rule.size - size()) / kMostRecordBytes)));
    _part->writer->write(tags.from(i), n);
    PartFacts& facts = _part->facts;
    // Only an HDF5 part is told its records per channel.
    if (!_plan.hdf5.empty())
      for (size_t k = i; k < i + n; ++k) ++_perChannel[size_t(int32_t(tags.at(k).channel) + 32768)];
    int64_t first = facts.first, last = facts.last;
    for (size_t k = i; k < i + n; ++k) {
      first = std::min(first, tags.at(k).time);
      last = std::max(last, tags.at(k).time);
    }
    facts.first = first;
    facts.last = last;
    facts.records += int64_t(n);
    _total += int64_t(n);
    _lastTime = tags.at(i + n - 1).time;
    _any = true;
    i += n;
    if (writeFailed()) {
      // Finishing the part gives the write error's message, and removes it; one whose every
      // byte reached its file after all is published, and the next part follows.
      std::string error;
      const int32_t next = _part->facts.index + 1;
      if (!close(&error) || !open(next, &error)) {
        fail(error);
        return;
      }
    }
  }
}

bool PartWriter::writeFailed() const {
  const Hdf5Output* hdf5 = _part->hdf5.output();
  return _part->text.writeError() != 0 || _part->binary.writeError() != 0 ||
         (hdf5 != nullptr && hdf5->failed());
}

bool PartWriter::publishLast(std::string* error) {
  if (failed()) {
    *error = _error;
    return false;
  }
  if (_part && !close(error)) {
    fail(*error);
    *error = _error;
    return false;
  }
  for (const std::string& file : _takenFrom) {
    removeHoldFiles(file);
    unlink(file.c_str());
  }
  _takenFrom.clear();
  return true;
}

void PartWriter::discard() {
  {
    std::lock_guard<std::mutex> hold(_lock);
    _partials.clear();
  }
  if (!_part) return;
  _part->writer.reset();
  _part->text.discard();
  _part->binary.discard();
  _part->hdf5.discard();
  _part.reset();
}

std::vector<PartFacts> PartWriter::publishedSince(size_t from) const {
  std::lock_guard<std::mutex> hold(_lock);
  return from >= _published.size()
             ? std::vector<PartFacts>()
             : std::vector<PartFacts>(_published.begin() + std::ptrdiff_t(from), _published.end());
}

void appendPublished(const PartWriter& parts, nlohmann::json* list) {
  if (!list->is_array()) *list = nlohmann::json::array();
  for (const nlohmann::json& part : partsJson(parts.publishedSince(list->size())))
    list->push_back(part);
}

std::vector<PartFacts> PartWriter::published() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _published;
}
