#include "chain/paramsjson.h"

#include <stdio.h>

#include <set>
#include <vector>

using json = nlohmann::json;

namespace {

const std::vector<const char*> kTypes = {"LVTTL", "NIM", "Misc"};
const std::vector<const char*> kEdges = {"Falling Edge", "Rising Edge"};
const std::vector<const char*> kFilters = {"None", "Mute", "Coinc", "Sync"};

json entryJson(int32_t index, const std::vector<const char*>& names) {
  return index >= 0 && size_t(index) < names.size() ? json(names[size_t(index)]) : json(nullptr);
}

// Takes the keys of one JSON object into parameters; the first problem is kept in *error.
class ObjectReader {
public:
  ObjectReader(const json& object, const std::string& where, std::string* error)
      : _object(object), _where(where), _error(error) {
    if (!object.is_object()) fail(where, "an object is expected");
  }

  void flag(const char* key, bool* value) {
    const json* v = find(key);
    if (v == nullptr) return;
    if (!v->is_boolean()) return fail(path(key), "true or false is expected");
    *value = v->get<bool>();
  }

  void mask(const char* key, uint32_t max, uint32_t* value) {
    const json* v = find(key);
    if (v == nullptr) return;
    if (!v->is_number_integer() || v->get<int64_t>() < 0 || v->get<int64_t>() > int64_t(max))
      return fail(path(key), v->dump() + " is not a mask of 0 to " + hex(max));
    *value = v->get<uint32_t>();
  }

  void number(const char* key, const ParamRange& range, double* value) {
    double v;
    if (within(key, range, &v)) *value = controlValue(v, range);
  }

  // A time in ns within the range, kept as the whole ps the device takes.
  void picoseconds(const char* key, const ParamRange& range, int32_t* ps) {
    double ns;
    if (within(key, range, &ns)) *ps = psFromNs(ns);
  }

  // One of the entry texts, or null for no entry (-1).
  void choice(const char* key, const std::vector<const char*>& names, int32_t* index) {
    const json* v = find(key);
    if (v == nullptr) return;
    if (v->is_null()) {
      *index = -1;
      return;
    }
    for (size_t i = 0; i < names.size() && v->is_string(); ++i)
      if (v->get<std::string>() == names[i]) {
        *index = int32_t(i);
        return;
      }
    std::string expected;
    for (const char* name : names) expected += std::string(expected.empty() ? "" : ", ") + name;
    fail(path(key), v->dump() + " is none of " + expected);
  }

  // The number at `key` within the range; false when there is none (or a problem is kept).
  bool within(const char* key, const ParamRange& range, double* value) {
    const json* v = find(key);
    if (v == nullptr) return false;
    if (!v->is_number() || !(v->get<double>() >= range.min && v->get<double>() <= range.max)) {
      fail(path(key), v->dump() + " is not a number from " + text(range.min) + " to " +
                          text(range.max));
      return false;
    }
    *value = v->get<double>();
    return true;
  }

  const json* find(const char* key) {
    _known.insert(key);
    if (!ok() || !_object.is_object()) return nullptr;
    const auto it = _object.find(key);
    return it == _object.end() ? nullptr : &*it;
  }

  // Fails on a key that no call asked for.
  bool finish() {
    if (ok() && _object.is_object())
      for (const auto& item : _object.items())
        if (_known.count(item.key()) == 0) fail(path(item.key()), "unknown key");
    return ok();
  }

  bool ok() const { return _error->empty(); }
  std::string path(const std::string& key) const { return _where + "." + key; }
  void fail(const std::string& key, const std::string& problem) {
    if (ok()) *_error = key + ": " + problem;
  }

private:
  static std::string text(double value) { return json(value).dump(); }
  static std::string hex(uint32_t value) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "0x%X", unsigned(value));
    return buffer;
  }

  const json& _object;
  std::string _where;
  std::string* _error;
  std::set<std::string> _known;
};

void channelFromJson(ObjectReader* in, ChannelParams* c) {
  in->flag("enable", &c->enable);
  in->choice("type", kTypes, &c->type);
  in->choice("trigger", kEdges, &c->edge);
  in->number("threshold_v", kThresholdRange, &c->threshold);
  in->picoseconds("signal_delay_ns", kDelayRange, &c->delayPs);
  in->picoseconds("dead_time_ns", kDeadTimeRange, &c->deadTimePs);
  in->choice("filter", kFilters, &c->filter);
  in->mask("filter_channels", 0x1F, &c->filterChannels);
}

}  // namespace

json paramsToJson(const DeviceParams& p) {
  json channels = json::array();
  for (const ChannelParams& c : p.channel)
    channels.push_back({{"enable", c.enable},
                        {"type", entryJson(c.type, kTypes)},
                        {"trigger", entryJson(c.edge, kEdges)},
                        {"threshold_v", c.threshold},
                        {"signal_delay_ns", nsFromPs(c.delayPs)},
                        {"dead_time_ns", nsFromPs(c.deadTimePs)},
                        {"filter", entryJson(c.filter, kFilters)},
                        {"filter_channels", c.filterChannels}});
  return {{"channels", channels},
          {"markers", p.markers},
          {"divider", p.divider == 0 ? json(nullptr) : json(p.divider)},
          {"reconstruct", p.reconstruct},
          {"five_channel", p.fiveChannel},
          {"coincidence_window_ns", nsFromPs(p.coincidenceWindowPs)},
          {"single_stop", p.singleStop},
          {"generate", p.generate},
          {"period_ns", p.period},
          {"burst_count", int64_t(p.burstCount)},
          {"burst_distance_us", p.burstDistance}};
}

bool paramsFromJson(const json& j, const std::string& where, DeviceParams* p, std::string* error) {
  error->clear();
  ObjectReader in(j, where, error);
  if (const json* channels = in.find("channels")) {
    if (!channels->is_array() || channels->size() > size_t(kParamChannels))
      in.fail(in.path("channels"), "an array of up to 5 channel objects is expected");
    for (size_t ch = 0; in.ok() && ch < channels->size(); ++ch) {
      ObjectReader channel((*channels)[ch], in.path("channels") + "[" + std::to_string(ch) + "]",
                           error);
      channelFromJson(&channel, &p->channel[ch]);
      channel.finish();
    }
  }
  in.mask("markers", 0x1FF, &p->markers);
  // The divider's entries are numbers; null is no entry, which writes 0.
  if (const json* d = in.find("divider")) {
    const int64_t v = d->is_number_integer() ? d->get<int64_t>() : -1;
    if (d->is_null())
      p->divider = 0;
    else if (v == 1 || v == 2 || v == 4 || v == 8)
      p->divider = int32_t(v);
    else
      in.fail(in.path("divider"), d->dump() + " is none of 1, 2, 4, 8, null");
  }
  in.flag("reconstruct", &p->reconstruct);
  in.flag("five_channel", &p->fiveChannel);
  in.picoseconds("coincidence_window_ns", kCoincidenceRange, &p->coincidenceWindowPs);
  in.flag("single_stop", &p->singleStop);
  in.flag("generate", &p->generate);
  in.number("period_ns", kPeriodRange, &p->period);
  in.number("burst_count", kBurstCountRange, &p->burstCount);
  in.number("burst_distance_us", kBurstDistanceRange, &p->burstDistance);
  return in.finish();
}
