#include "korbalt/scenario.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <nlohmann/json.hpp>

#include "device/korbalt.h"

namespace korbalt {

namespace {

constexpr int32_t kDefaultDevices = 3;
constexpr int32_t kDefaultFeatures = KORBALT_FEATURE_CHANNEL3 | KORBALT_FEATURE_CHANNEL4 |
                                     KORBALT_FEATURE_FIVE_CHANNEL | KORBALT_FEATURE_MARKERS |
                                     KORBALT_FEATURE_FILTERS;
constexpr double kDefaultRate = 60000;  // per channel: 300,000 events/s per device
constexpr double kMaxRatePerChannel = 1e10;

// Reads one variable and reports a bad value of it.
class Setting {
public:
  Setting(EnvLookup env, const char* name) : _name(name) {
    const char* value = env(name);
    _set = value != nullptr && *value != '\0';
    if (_set) _text = value;
  }
  bool set() const { return _set; }
  const std::string& text() const { return _text; }
  // Always false, so that a parser can `return reject(...)`.
  bool reject(const char* why) const {
    fprintf(stderr, "korbalt: %s=\"%s\": %s; using the default\n", _name, _text.c_str(), why);
    return false;
  }

private:
  const char* _name;
  bool _set;
  std::string _text;
};

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(trimmed(text.substr(start, end - start)));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Decimal, or hexadecimal with 0x; the whole text must be the number.
bool toInteger(const std::string& text, int64_t lo, int64_t hi, int64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool toRate(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (*end != '\0' || !isfinite(v) || v < 0 || v > kMaxRatePerChannel) return false;
  *out = v;
  return true;
}

template <class T>
void readInteger(EnvLookup env, const char* name, int64_t lo, int64_t hi, T* value) {
  const Setting s(env, name);
  int64_t v = 0;
  if (!s.set()) return;
  if (!toInteger(s.text(), lo, hi, &v)) {
    char why[96];
    snprintf(why, sizeof why, "not an integer from %lld to %lld", static_cast<long long>(lo),
             static_cast<long long>(hi));
    s.reject(why);
    return;
  }
  *value = static_cast<T>(v);
}

// A list of n integers, or a single one that applies to every device when `single` allows it.
bool readIntegerList(const Setting& s, size_t n, int64_t lo, int64_t hi, bool single,
                     std::vector<int64_t>* out) {
  const std::vector<std::string> parts = split(s.text(), ',');
  if (parts.size() != n && !(single && parts.size() == 1)) {
    return s.reject(single ? "needs one value or one per device" : "needs one value per device");
  }
  out->assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if (!toInteger(parts[parts.size() == 1 ? 0 : i], lo, hi, &(*out)[i])) {
      return s.reject("holds a value that is no integer in range");
    }
  }
  return true;
}

// Library indexes as a bit set.
void readIndexSet(EnvLookup env, const char* name, uint32_t* bits) {
  const Setting s(env, name);
  if (!s.set()) return;
  uint32_t result = 0;
  for (const std::string& part : split(s.text(), ',')) {
    int64_t index = 0;
    if (!toInteger(part, 0, kMaxDevices - 1, &index)) {
      s.reject("needs device indexes from 0 to 31, separated by commas");
      return;
    }
    result |= 1u << index;
  }
  *bits = result;
}

void defaultDevices(int32_t n, std::vector<DeviceSetup>* devices) {
  devices->resize(n);
  for (int32_t i = 0; i < n; ++i) {
    DeviceSetup& d = (*devices)[i];
    char serial[32];
    snprintf(serial, sizeof serial, "TK%05d", 24071 + i);
    d.member = i;
    d.serial = serial;
    d.chainPos = i;
    d.features = kDefaultFeatures;
    for (double& r : d.rates) r = kDefaultRate;
  }
}

void readChain(EnvLookup env, std::vector<DeviceSetup>* devices) {
  const Setting s(env, "RAVIK_SIM_CHAIN");
  std::vector<int64_t> v;
  if (!s.set() || !readIntegerList(s, devices->size(), -1000, 1000, false, &v)) return;
  for (size_t i = 0; i < v.size(); ++i) (*devices)[i].chainPos = static_cast<int32_t>(v[i]);
}

void readFeatures(EnvLookup env, std::vector<DeviceSetup>* devices) {
  const Setting s(env, "RAVIK_SIM_FEATURES");
  std::vector<int64_t> v;
  if (!s.set() || !readIntegerList(s, devices->size(), 0, INT32_MAX, true, &v)) return;
  for (size_t i = 0; i < v.size(); ++i) (*devices)[i].features = static_cast<int32_t>(v[i]);
}

void readSerials(EnvLookup env, std::vector<DeviceSetup>* devices) {
  const Setting s(env, "RAVIK_SIM_SERIALS");
  if (!s.set()) return;
  const std::vector<std::string> parts = split(s.text(), ',');
  if (parts.size() != devices->size()) {
    s.reject("needs one serial number per device");
    return;
  }
  for (const std::string& p : parts) {
    if (p.empty() || p.size() > kMaxSerialLength) {
      s.reject("serial numbers have 1 to 23 characters");
      return;
    }
  }
  for (size_t i = 0; i < parts.size(); ++i) (*devices)[i].serial = parts[i];
}

// One group of 1 or 5 rates; a single rate applies to each channel.
bool toRateGroup(const std::string& text, double* rates) {
  const std::vector<std::string> parts = split(text, ',');
  if (parts.size() != 1 && parts.size() != static_cast<size_t>(kInputChannels)) return false;
  for (int32_t c = 0; c < kInputChannels; ++c) {
    if (!toRate(parts[parts.size() == 1 ? 0 : c], &rates[c])) return false;
  }
  return true;
}

void readRates(EnvLookup env, std::vector<DeviceSetup>* devices) {
  const Setting s(env, "RAVIK_SIM_RATES");
  if (!s.set()) return;
  const std::vector<std::string> groups = split(s.text(), ';');
  if (groups.size() != 1 && groups.size() != devices->size()) {
    s.reject("needs one group of rates, or one per device separated by ';'");
    return;
  }
  std::vector<double> rates(devices->size() * kInputChannels);
  for (size_t i = 0; i < devices->size(); ++i) {
    if (!toRateGroup(groups[groups.size() == 1 ? 0 : i], &rates[i * kInputChannels])) {
      s.reject("a group holds 1 or 5 rates in events/s, each from 0 to 1e10");
      return;
    }
  }
  for (size_t i = 0; i < devices->size(); ++i) {
    memcpy((*devices)[i].rates, &rates[i * kInputChannels], sizeof(double) * kInputChannels);
  }
}

// The scenario's devices in discovery order: "chain", "reverse" or a list of scenario devices.
// By default `order`, or else the master is found last, so that the program has to sort the
// chain.
void readOrder(EnvLookup env, std::vector<DeviceSetup>* devices, std::vector<int64_t> order) {
  const size_t n = devices->size();
  if (order.size() != n) {
    order.resize(n);
    for (size_t i = 0; i < n; ++i) order[i] = (i + 1) % n;
  }
  const Setting s(env, "RAVIK_SIM_ORDER");
  if (s.set() && s.text() == "chain") {
    for (size_t i = 0; i < n; ++i) order[i] = i;
  } else if (s.set() && s.text() == "reverse") {
    for (size_t i = 0; i < n; ++i) order[i] = n - 1 - i;
  } else if (s.set()) {
    std::vector<int64_t> v;
    if (readIntegerList(s, n, 0, static_cast<int64_t>(n) - 1, false, &v)) {
      std::vector<bool> seen(n, false);
      bool permutation = true;
      for (int64_t k : v) {
        permutation = permutation && !seen[k];
        seen[k] = true;
      }
      if (permutation) {
        order = v;
      } else {
        s.reject("must name every device once");
      }
    }
  }
  std::vector<DeviceSetup> sorted(n);
  for (size_t i = 0; i < n; ++i) sorted[i] = (*devices)[order[i]];
  devices->swap(sorted);
}

void readCorrelation(EnvLookup env, Scenario* scenario) {
  const Setting s(env, "RAVIK_SIM_CORRELATION");
  if (!s.set()) return;
  const std::vector<std::string> parts = split(s.text(), ',');
  double rate = 0;
  int64_t delay = 0, lifetime = 0;
  if ((parts.size() != 2 && parts.size() != 3) || !toRate(parts[0], &rate) ||
      (rate > 0 && rate < 1) || !toInteger(parts[1], 0, 1000000000000LL, &delay) ||
      (parts.size() == 3 && !toInteger(parts[2], 0, 1000000000LL, &lifetime))) {
    s.reject("needs \"pairs per second (0, or 1 and up),delay in ps[,lifetime in ps up to 1e9]\"");
    return;
  }
  scenario->pairRate = rate;
  scenario->pairDelayPs = delay;
  scenario->pairLifetimePs = lifetime;
}

void readParamFaults(EnvLookup env, Scenario* scenario) {
  const Setting s(env, "RAVIK_SIM_FAIL_PARAM");
  if (!s.set()) return;
  std::vector<ParamFault> faults;
  for (const std::string& part : split(s.text(), ',')) {
    const size_t at = part.find('@');
    ParamFault f{trimmed(part.substr(0, at)), -1};
    int64_t index = 0;
    if (at != std::string::npos) {
      if (!toInteger(trimmed(part.substr(at + 1)), 0, kMaxDevices - 1, &index)) {
        s.reject("an index after '@' must be from 0 to 31");
        return;
      }
      f.index = static_cast<int32_t>(index);
    }
    if (f.call.compare(0, 4, "TDC_") != 0 && f.call.compare(0, 3, "UL_") != 0) {
      s.reject("names TDC_ or UL_ calls, optionally followed by @index");
      return;
    }
    faults.push_back(f);
  }
  scenario->failParams = faults;
}

constexpr const char* kManifestName = "ravik-run.json";

// One device of a kept run, as the run's manifest lists it (chain order).
struct RunDevice {
  std::string serial;
  int32_t chainPos = 0;
  int64_t index = -1;   // its library index when it recorded
  uint32_t markers = 0;
  std::string stream;   // its raw stream file, with the run's folder
};

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads the devices of the run manifest in `dir`; false with the reason.
bool readRunManifest(const std::string& dir, std::vector<RunDevice>* devices, std::string* why) {
  const std::string path = dir + "/" + kManifestName;
  std::ifstream in(path);
  if (!in) {
    *why = path + ": " + strerror(errno) + " (a run folder holds the manifest of its recording)";
    return false;
  }
  const nlohmann::json m = nlohmann::json::parse(in, nullptr, false);
  const auto fail = [&](const std::string& problem) {
    *why = path + ": " + problem;
    return false;
  };
  if (!m.is_object() || m.value("manifest", "") != "ravik-run") return fail("no run manifest");
  const auto list = m.find("devices");
  if (list == m.end() || !list->is_array() || list->empty()) return fail("lists no device");
  devices->clear();
  for (const nlohmann::json& d : *list) {
    RunDevice r;
    const auto text = [&](const char* key) {
      const auto v = d.find(key);
      return v != d.end() && v->is_string() ? v->get<std::string>() : std::string();
    };
    const auto integer = [&](const char* key, int64_t lo, int64_t hi, int64_t fallback) {
      const auto v = d.find(key);
      const bool ok = v != d.end() && v->is_number_integer() && v->get<int64_t>() >= lo &&
                      v->get<int64_t>() <= hi;
      return ok ? v->get<int64_t>() : fallback;
    };
    r.serial = text("serial");
    r.stream = text("stream");
    const int64_t chain = integer("chain", -1000, 1000, INT64_MIN);
    r.chainPos = int32_t(chain);
    r.index = integer("index", 0, kMaxDevices - 1, -1);
    r.markers = uint32_t(integer("markers", 0, 0x1FF, 0));
    if (!d.is_object() || r.serial.empty() || r.serial.size() > kMaxSerialLength ||
        r.stream.empty() || r.stream.find('/') != std::string::npos || chain == INT64_MIN)
      return fail("device " + std::to_string(devices->size()) +
                  " needs a serial, a chain position and its stream's file name");
    r.stream = dir + "/" + r.stream;
    devices->push_back(r);
  }
  if (devices->size() > size_t(kMaxDevices)) return fail("lists more than 32 devices");
  return true;
}

// The chain position that the manifest beside `file` gives the device that recorded it; false
// when no manifest there lists it.
bool recordedPosition(const std::string& file, int32_t* chainPos) {
  std::vector<RunDevice> run;
  std::string why;
  if (!readRunManifest(folderOf(file), &run, &why)) return false;
  for (const RunDevice& d : run)
    if (baseName(d.stream) == baseName(file)) {
      *chainPos = d.chainPos;
      return true;
    }
  return false;
}

// The start of an absolute-time packet: a first word with bits 31 and 30 clear, a second with
// bit 31 set and bit 30 clear. Every device stream begins with one.
bool opensWithAbsoluteTime(const uint32_t words[2]) {
  return (words[0] & 0xC0000000u) == 0 && (words[1] & 0xC0000000u) == 0x80000000u;
}

// Why `file` cannot be replayed; empty when it can: a readable regular file, empty or beginning
// as a device's raw stream does (a merged output, a text file, an HDF5 file do not).
std::string streamProblem(const std::string& file) {
  // Looked at before opening: a named pipe would hold the discovery up until a writer came.
  struct stat st;
  if (stat(file.c_str(), &st) != 0) return file + ": " + strerror(errno);
  if (!S_ISREG(st.st_mode)) return file + ": not a regular file";
  FILE* f = fopen(file.c_str(), "rb");
  if (f == nullptr) return file + ": " + strerror(errno);
  uint32_t words[2] = {0, 0};
  const size_t got = fread(words, 4, 2, f);
  const bool readFailed = ferror(f) != 0;
  fclose(f);  // read only
  if (readFailed) return file + ": " + strerror(EIO);
  if (st.st_size == 0 || (got == 2 && opensWithAbsoluteTime(words))) return std::string();
  return file + ": no raw stream of a device (it does not begin with an absolute time, as every "
                "device stream does; a merged output cannot be replayed)";
}

// One raw stream file per device, in the scenario's own order. A file of a kept run must be
// replayed by a device at the chain position it was recorded at.
void readReplayFiles(EnvLookup env, std::vector<DeviceSetup>* devices, std::string* error) {
  const Setting s(env, "RAVIK_SIM_REPLAY");
  if (!s.set()) return;
  const std::vector<std::string> files = split(s.text(), ',');
  const auto refuse = [&](const std::string& why) { *error = "RAVIK_SIM_REPLAY: " + why; };
  if (files.size() != devices->size())
    return refuse(std::to_string(files.size()) + " files for " + std::to_string(devices->size()) +
                  " devices; give one raw stream per device, or a run folder");
  for (const std::string& file : files) {
    const std::string problem = streamProblem(file);
    if (!problem.empty()) return refuse(problem);
  }
  std::vector<DeviceSetup*> inOrder(devices->size());  // the scenario's own order
  for (DeviceSetup& d : *devices) inOrder[size_t(d.member)] = &d;
  for (DeviceSetup* device : inOrder) {
    DeviceSetup& d = *device;
    const std::string& file = files[size_t(d.member)];
    int32_t recorded = 0;
    if (recordedPosition(file, &recorded) && recorded != d.chainPos)
      return refuse(file + " was recorded at chain position " + std::to_string(recorded) +
                    " (its run's manifest), but would be replayed at chain position " +
                    std::to_string(d.chainPos) + "; give the files in chain order, or the run "
                    "folder " + folderOf(file));
    d.replay = file;
  }
}

// A run folder in RAVIK_SIM_REPLAY: its manifest's devices; false when the variable names no
// folder. A folder that cannot be replayed gives no device and the reason in *error.
bool readReplayRun(EnvLookup env, std::vector<RunDevice>* run, std::string* error) {
  const Setting s(env, "RAVIK_SIM_REPLAY");
  if (!s.set() || !isFolder(s.text())) return false;
  std::string why;
  bool ok = readRunManifest(s.text(), run, &why);
  for (size_t i = 0; ok && i < run->size(); ++i) {
    why = streamProblem((*run)[i].stream);
    ok = why.empty();
  }
  if (!ok) {
    run->clear();
    *error = "RAVIK_SIM_REPLAY: " + why;
  }
  return true;
}

// The run's devices in its chain order, each replaying its stream with the markers it recorded.
void applyRun(const std::vector<RunDevice>& run, std::vector<DeviceSetup>* devices) {
  for (size_t i = 0; i < run.size(); ++i) {
    DeviceSetup& d = (*devices)[i];
    d.serial = run[i].serial;
    d.chainPos = run[i].chainPos;
    d.markers = run[i].markers;
    d.replay = run[i].stream;
  }
}

// The discovery order in which the run's devices were found when it recorded: by their library
// indexes then.
std::vector<int64_t> recordedOrder(const std::vector<RunDevice>& run) {
  std::vector<int64_t> order(run.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = int64_t(i);
  std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
    return run[size_t(a)].index < run[size_t(b)].index;
  });
  return order;
}

void readFlag(EnvLookup env, const char* name, bool* value) {
  int32_t v = *value ? 1 : 0;
  readInteger(env, name, 0, 1, &v);
  *value = v != 0;
}

}  // namespace

bool Scenario::paramFails(const char* call, int32_t index) const {
  for (const ParamFault& f : failParams) {
    if ((f.index < 0 || f.index == index) && f.call == call) return true;
  }
  return false;
}

Scenario readScenario(EnvLookup env) {
  Scenario scenario;
  // A run folder to replay gives the devices, their serials and chain positions.
  std::vector<RunDevice> run;
  const bool fromRun = readReplayRun(env, &run, &scenario.replayError);
  int32_t n = kDefaultDevices;
  if (fromRun) n = int32_t(run.size());
  else readInteger(env, "RAVIK_SIM_DEVICES", 0, kMaxDevices, &n);
  defaultDevices(n, &scenario.devices);
  if (fromRun) {
    applyRun(run, &scenario.devices);
  } else {
    readChain(env, &scenario.devices);
    readSerials(env, &scenario.devices);
  }
  readFeatures(env, &scenario.devices);
  readRates(env, &scenario.devices);
  readOrder(env, &scenario.devices, fromRun ? recordedOrder(run) : std::vector<int64_t>());
  if (!fromRun) readReplayFiles(env, &scenario.devices, &scenario.replayError);
  readCorrelation(env, &scenario);
  readInteger(env, "RAVIK_SIM_SEED", 0, INT64_MAX, &scenario.seed);
  readInteger(env, "RAVIK_SIM_JITTER_PS", 0, 1000000, &scenario.jitterPs);
  readFlag(env, "RAVIK_SIM_MAX_RATE", &scenario.maxRate);
  readInteger(env, "RAVIK_SIM_FIFO_WORDS", 64, 1 << 28, &scenario.fifoWords);
  readInteger(env, "RAVIK_SIM_BLOCK_WORDS", 16, 1 << 22, &scenario.blockWords);
  scenario.blockWords &= ~1;  // whole packets only
  readInteger(env, "RAVIK_SIM_CALIBRATION_MS", 0, 600000, &scenario.calibrationMs);
  readInteger(env, "RAVIK_SIM_REGISTER_DELAY_MS", 0, 60000, &scenario.registerDelayMs);
  readFlag(env, "RAVIK_SIM_FAIL_DISCOVER", &scenario.failDiscover);
  readIndexSet(env, "RAVIK_SIM_FAIL_INFO", &scenario.failInfo);
  readIndexSet(env, "RAVIK_SIM_FAIL_CONNECT", &scenario.failConnect);
  readIndexSet(env, "RAVIK_SIM_DATA_LOSS", &scenario.dataLoss);
  readIndexSet(env, "RAVIK_SIM_REPLAY_LOSS", &scenario.replayLoss);
  readIndexSet(env, "RAVIK_SIM_BAD_CLOCK", &scenario.badClock);
  readParamFaults(env, &scenario);
  return scenario;
}

}  // namespace korbalt
