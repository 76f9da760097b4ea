#include "chain/freespace.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>

bool parseSize(const std::string& text, int64_t* bytes) {
  if (text.empty() || text.find_first_of("0123456789") != 0) return false;
  char* end = nullptr;
  const double number = strtod(text.c_str(), &end);
  const std::string unit(end);
  double scale = 1;
  if (unit == "k" || unit == "K")
    scale = 1024.0;
  else if (unit == "M")
    scale = 1024.0 * 1024;
  else if (unit == "G")
    scale = 1024.0 * 1024 * 1024;
  else if (unit == "T")
    scale = 1024.0 * 1024 * 1024 * 1024;
  else if (!unit.empty())
    return false;
  const double value = number * scale;
  if (!(value >= 0) || value >= 9.2e18) return false;
  *bytes = int64_t(value);
  return true;
}

double secondsToMargin(int64_t freeBytes, int64_t marginBytes, double growthPerSecond) {
  if (freeBytes <= marginBytes) return 0;
  if (!(growthPerSecond > 0)) return -1;
  return double(freeBytes - marginBytes) / growthPerSecond;
}

std::string sizeText(int64_t bytes) {
  static const char* const units[] = {"kiB", "MiB", "GiB", "TiB", "PiB"};
  char text[32];
  if (bytes < 1024) {
    snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    return text;
  }
  double value = double(bytes) / 1024;
  size_t unit = 0;
  for (; value >= 1024 && unit + 1 < sizeof units / sizeof *units; ++unit) value /= 1024;
  if (unit == 0)
    snprintf(text, sizeof text, "%.0f %s", floor(value), units[unit]);
  else
    snprintf(text, sizeof text, "%.1f %s", floor(value * 10) / 10, units[unit]);
  return text;
}

std::string durationText(double seconds) {
  const int64_t s = seconds > 0 ? int64_t(seconds) : 0;
  char text[48];
  if (s >= 86400)
    snprintf(text, sizeof text, "%lld d %lld h", static_cast<long long>(s / 86400),
             static_cast<long long>(s % 86400 / 3600));
  else if (s >= 3600)
    snprintf(text, sizeof text, "%lld h %lld min", static_cast<long long>(s / 3600),
             static_cast<long long>(s % 3600 / 60));
  else if (s >= 60)
    snprintf(text, sizeof text, "%lld min %lld s", static_cast<long long>(s / 60),
             static_cast<long long>(s % 60));
  else
    snprintf(text, sizeof text, "%lld s", static_cast<long long>(s));
  return text;
}

void FileSystemSpace::note(int64_t nowNs, int64_t freeBytes, int64_t rawBytes,
                           int64_t outputBytes, int64_t reserve) {
  _free = freeBytes;
  if (_count == 0) _startFree = _leastFree = freeBytes;
  _leastFree = std::min(_leastFree, freeBytes);
  _rawBytes = rawBytes;
  _outputBytes = outputBytes;
  _reserve = reserve;
  _atNs[_count % kWindow] = nowNs;
  _own[_count % kWindow] = rawBytes + outputBytes;
  ++_count;
}

double FileSystemSpace::growthPerSecond() const {
  if (_count < 2) return 0;
  const int32_t last = (_count - 1) % kWindow;
  const int32_t first = _count < kWindow ? 0 : _count % kWindow;
  const int64_t ns = _atNs[last] - _atNs[first];
  return ns > 0 ? double(_own[last] - _own[first]) * 1e9 / double(ns) : 0;
}

int64_t outputReserve(int64_t rawBytes, int64_t mergedBytes, int64_t outputBytes,
                      int32_t outputs) {
  const int64_t left = std::max<int64_t>(rawBytes - mergedBytes, 0);
  if (outputs == 0 || left == 0) return 0;
  if (mergedBytes >= (int64_t(1) << 20))
    return int64_t(double(left) * double(outputBytes) / double(mergedBytes));
  return int64_t(double(left) * kOutputPerRawByte * outputs);
}

void FreeSpaceWatch::watch(const std::string& folder, const std::vector<std::string>& rawFiles,
                           const std::vector<std::string>& outputFiles) {
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return;
  const uint64_t id = uint64_t(st.st_dev);
  auto found = std::find_if(_systems.begin(), _systems.end(),
                            [id](const FileSystemSpace& fs) { return fs.id() == id; });
  if (found == _systems.end()) found = _systems.insert(_systems.end(), FileSystemSpace(id, folder));
  found->rawFiles().insert(found->rawFiles().end(), rawFiles.begin(), rawFiles.end());
  found->outputFiles().insert(found->outputFiles().end(), outputFiles.begin(), outputFiles.end());
}

namespace {

int64_t bytesOf(const std::vector<std::string>& files) {
  int64_t bytes = 0;
  struct stat st;
  for (const std::string& file : files)
    if (stat(file.c_str(), &st) == 0) bytes += int64_t(st.st_size);
  return bytes;
}

}  // namespace

bool FreeSpaceWatch::sample(int64_t nowNs, int64_t mergedBytes, bool force) {
  if (!force && _sampledOnce && nowNs - _lastNs < 1000000000) return false;
  _sampledOnce = true;
  _lastNs = nowNs;
  // The raw streams of every file system feed the outputs of every one.
  std::vector<int64_t> raw;
  int64_t allRaw = 0;
  for (FileSystemSpace& fs : _systems) allRaw += raw.emplace_back(bytesOf(fs.rawFiles()));
  for (size_t i = 0; i < _systems.size(); ++i) {
    FileSystemSpace& fs = _systems[i];
    struct statvfs vfs;
    if (statvfs(fs.folder().c_str(), &vfs) != 0) continue;
    const int64_t outputs = bytesOf(fs.outputFiles());
    const int64_t reserve =
        outputReserve(allRaw, mergedBytes, outputs, int32_t(fs.outputFiles().size()));
    fs.note(nowNs, int64_t(vfs.f_bavail) * int64_t(vfs.f_frsize), raw[i], outputs, reserve);
    if (_tripped < 0 && _margin > 0 && fs.freeBytes() - reserve < _margin) {
      _tripped = int32_t(i);
      _trippedFree = fs.freeBytes();
      _trippedReserve = reserve;
    }
  }
  return true;
}

const FileSystemSpace* FreeSpaceWatch::tightest() const {
  const FileSystemSpace* best = nullptr;
  double bestLeft = -1;
  for (const FileSystemSpace& fs : _systems) {
    if (!fs.sampled()) continue;
    const double left = secondsToMargin(fs.freeBytes() - fs.reserve(), _margin, fs.growthPerSecond());
    // A file system that fills comes before one that does not; among those that do not, the
    // one with the least free space.
    const bool better = best == nullptr ||
                        (left >= 0 && (bestLeft < 0 || left < bestLeft)) ||
                        (left < 0 && bestLeft < 0 && fs.freeBytes() < best->freeBytes());
    if (better) {
      best = &fs;
      bestLeft = left;
    }
  }
  return best;
}

std::string FreeSpaceWatch::liveText() const {
  const FileSystemSpace* fs = tightest();
  if (fs == nullptr) return std::string();
  const double left =
      secondsToMargin(fs->freeBytes() - fs->reserve(), _margin, fs->growthPerSecond());
  return "free " + sizeText(fs->freeBytes()) + (left < 0 ? "" : ", " + durationText(left));
}

std::string FreeSpaceWatch::stopText() const {
  const FileSystemSpace* fs = tripped();
  if (fs == nullptr) return std::string();
  return "free space below the margin: " + sizeText(_trippedFree) + " left on " +
         fs->folder() + " (the margin is " + sizeText(_margin) +
         (_trippedReserve > 0 ? ", the merge needs " + sizeText(_trippedReserve) + " more)" : ")");
}

nlohmann::json FreeSpaceWatch::reportJson() const {
  nlohmann::json list = nlohmann::json::array();
  for (const FileSystemSpace& fs : _systems) {
    if (!fs.sampled()) continue;
    list.push_back({{"folder", fs.folder()},
                    {"free_at_start_bytes", fs.startFree()},
                    {"free_at_stop_bytes", fs.freeBytes()},
                    {"least_free_bytes", fs.leastFree()}});
  }
  return {{"min_free_bytes", _margin}, {"file_systems", list}};
}

nlohmann::json FreeSpaceWatch::stopReasonJson() const {
  const FileSystemSpace* fs = tripped();
  if (fs == nullptr) return nullptr;
  return {{"cause", "free space"},
          {"folder", fs->folder()},
          {"free_bytes", _trippedFree},
          {"min_free_bytes", _margin},
          {"merge_needs_bytes", _trippedReserve}};
}
