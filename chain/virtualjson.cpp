#include "chain/virtualjson.h"

#include <set>
#include <stdexcept>

#include "merge/inputfile.h"

using json = nlohmann::json;

namespace {

const struct {
  VirtualChannel::Kind kind;
  const char* name;
} kKinds[] = {{VirtualChannel::Kind::Delayed, "delayed"},
              {VirtualChannel::Kind::Combined, "combined"},
              {VirtualChannel::Kind::Coincidence, "coincidence"},
              {VirtualChannel::Kind::Gated, "gated"}};

// One entry's keys; the first problem is kept in *error.
class EntryReader {
public:
  EntryReader(const json& entry, const std::string& where, std::string* error)
      : _entry(entry), _where(where), _error(error) {}

  const json* find(const char* key, bool needed) {
    _known.insert(key);
    const auto it = _entry.find(key);
    if (it != _entry.end()) return &*it;
    if (needed) fail(key, "missing");
    return nullptr;
  }
  // A whole number from lo to hi.
  bool integer(const char* key, bool needed, int64_t lo, int64_t hi, int64_t* value) {
    const json* v = find(key, needed);
    if (v == nullptr || !ok()) return false;
    const bool fits = v->is_number_integer() && !(v->is_number_unsigned() && v->get<uint64_t>() > uint64_t(INT64_MAX)) &&
                      v->get<int64_t>() >= lo && v->get<int64_t>() <= hi;
    if (!fits) {
      fail(key, v->dump() + " is not a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
      return false;
    }
    *value = v->get<int64_t>();
    return true;
  }
  bool channel(const char* key, bool needed, int16_t* value) {
    int64_t c;
    if (!integer(key, needed, 0, INT16_MAX, &c)) return false;
    *value = int16_t(c);
    return true;
  }
  void channels(const char* key, std::vector<int16_t>* list) {
    const json* v = find(key, true);
    if (v == nullptr || !ok()) return;
    bool fits = v->is_array() && !v->empty();
    for (size_t i = 0; fits && i < v->size(); ++i) {
      const json& c = (*v)[i];
      fits = c.is_number_integer() && (c.is_number_unsigned() ? c.get<uint64_t>() <= uint64_t(INT16_MAX)
                                                              : c.get<int64_t>() >= 0 && c.get<int64_t>() <= INT16_MAX);
      if (fits) list->push_back(int16_t(c.get<int64_t>()));
    }
    if (!fits) fail(key, v->dump() + " is not a list of channels from 0 to " + std::to_string(INT16_MAX));
  }
  bool finish() {
    if (ok())
      for (const auto& item : _entry.items())
        if (_known.count(item.key()) == 0) fail(item.key(), "unknown key");
    return ok();
  }
  bool ok() const { return _error->empty(); }
  void fail(const std::string& key, const std::string& problem) {
    if (ok()) *_error = _where + (key.empty() ? "" : "." + key) + ": " + problem;
  }

private:
  const json& _entry;
  std::string _where;
  std::string* _error;
  std::set<std::string> _known;
};

bool entryFromJson(const json& entry, const std::string& where, VirtualChannel* v, std::string* error) {
  if (!entry.is_object()) {
    *error = where + ": an object is expected";
    return false;
  }
  EntryReader in(entry, where, error);
  const json* type = in.find("type", true);
  if (!in.ok()) return false;
  bool known = false;
  for (const auto& k : kKinds)
    if (type->is_string() && type->get<std::string>() == k.name) {
      v->kind = k.kind;
      known = true;
    }
  if (!known) {
    in.fail("type", type->dump() + " is none of delayed, combined, coincidence, gated");
    return false;
  }
  in.channel("output", false, &v->channel);
  int16_t one = -1;
  switch (v->kind) {
    case VirtualChannel::Kind::Delayed:
      if (in.channel("channel", true, &one)) v->inputs = {one};
      in.integer("delay_ps", true, INT64_MIN, INT64_MAX, &v->delayPs);
      break;
    case VirtualChannel::Kind::Combined:
      in.channels("channels", &v->inputs);
      break;
    case VirtualChannel::Kind::Coincidence:
      in.channels("channels", &v->inputs);
      in.integer("window_ps", true, 0, INT64_MAX, &v->windowPs);
      break;
    case VirtualChannel::Kind::Gated:
      if (in.channel("channel", true, &one)) v->inputs = {one};
      in.channel("gate_open", true, &v->gateOpen);
      in.channel("gate_close", true, &v->gateClose);
      break;
  }
  return in.finish();
}

}  // namespace

json virtualToJson(const std::vector<VirtualChannel>& list) {
  json out = json::array();
  for (const VirtualChannel& v : list) {
    json entry;
    for (const auto& k : kKinds)
      if (k.kind == v.kind) entry["type"] = k.name;
    switch (v.kind) {
      case VirtualChannel::Kind::Delayed:
        entry["channel"] = v.inputs.at(0);
        entry["delay_ps"] = v.delayPs;
        break;
      case VirtualChannel::Kind::Combined: entry["channels"] = v.inputs; break;
      case VirtualChannel::Kind::Coincidence:
        entry["channels"] = v.inputs;
        entry["window_ps"] = v.windowPs;
        break;
      case VirtualChannel::Kind::Gated:
        entry["channel"] = v.inputs.at(0);
        entry["gate_open"] = v.gateOpen;
        entry["gate_close"] = v.gateClose;
        break;
    }
    entry["output"] = v.channel;
    out.push_back(entry);
  }
  return out;
}

bool virtualFromJson(const json& j, std::vector<VirtualChannel>* list, std::string* error) {
  error->clear();
  if (!j.is_array()) {
    *error = "a list of virtual channels is expected";
    return false;
  }
  std::vector<VirtualChannel> read(j.size());
  for (size_t i = 0; i < j.size(); ++i)
    if (!entryFromJson(j[i], "[" + std::to_string(i) + "]", &read[i], error)) return false;
  try {
    *list = resolveVirtualChannels(std::move(read));
  } catch (const std::invalid_argument& e) {
    *error = e.what();
    return false;
  }
  return true;
}

bool loadVirtualFile(const std::string& path, std::vector<VirtualChannel>* list, std::string* error) {
  std::string text;
  if (!readRegularFile(path, &text, error)) return false;
  const json file = json::parse(text, nullptr, false);
  if (file.is_discarded()) {
    *error = path + ": not a JSON document";
    return false;
  }
  if (!virtualFromJson(file, list, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

json virtualReport(const std::vector<VirtualChannel>& list) {
  json out = json::array();
  for (const VirtualChannel& v : list) out.push_back({{"channel", v.channel}, {"label", virtualLabel(v)}});
  return out;
}

std::map<int16_t, std::string> virtualLabels(const std::vector<VirtualChannel>& list) {
  std::map<int16_t, std::string> labels;
  for (const VirtualChannel& v : list) labels[v.channel] = virtualLabel(v);
  return labels;
}
