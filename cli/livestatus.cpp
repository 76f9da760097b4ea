#include "cli/livestatus.h"

#include <inttypes.h>
#include <sys/resource.h>

#include "chain/freespace.h"
#include "monitor/monitorcore.h"

namespace {

double perSecond(double amount, double seconds) { return seconds > 0 ? amount / seconds : 0; }

const char* lossText(const RecordedDevice& dev) {
  if (dev.log.hasWriteFailure()) return "WRITE";  // its raw file takes no more
  if (!dev.log.lossSeen()) return "none";
  return dev.lostNow ? "LOSING" : "LOST";
}

// A master out of sync drives no clock yet; a slave out of sync has lost the chain's clock.
const char* syncText(const RecordedDevice& dev) {
  if (dev.inSync) return "ok";
  return dev.device.link.chainPos == 0 ? "off" : "NO";
}

// "59.8k" and the like, short enough for many channels on one line.
std::string shortRate(double perSecond) {
  char text[32];
  if (perSecond >= 1e6)
    snprintf(text, sizeof text, "%.2fM", perSecond / 1e6);
  else if (perSecond >= 1e3)
    snprintf(text, sizeof text, "%.1fk", perSecond / 1e3);
  else
    snprintf(text, sizeof text, "%.0f", perSecond);
  return text;
}

const char* const kBehind = "monitor behind, showing partial data";

}  // namespace

std::string LiveStatus::deviceLine(const RecordedDevice& dev, double rate) const {
  // Aligned columns on a terminal; a compact form where all devices share one line.
  // Events are the devices' own estimate, 3/2 per word; the merge counts the records exactly.
  const char* format = _terminal ? "%-8s %-12s %10.3f M events (est.) %8.2f M/s  loss %-6s sync %s"
                                 : "%s %s %.3f M events (est.) %.2f M/s loss %s sync %s";
  char line[160];
  snprintf(line, sizeof line, format, roleText(dev.device.link.chainPos).c_str(),
           dev.device.serial.c_str(),
           double(dev.totalEvents) / 1e6, rate / 1e6, lossText(dev), syncText(dev));
  return line;
}

void LiveStatus::showMonitor(const MonitorCore* monitor, bool rates, bool peak) {
  _monitor = monitor;
  _rates = rates;
  _peak = peak;
}

// Inputs 0..4 always, input 5 (the start input in five-channel mode) once it counts, and the
// enabled markers, each under its output channel.
std::string LiveStatus::ratesText(const RecordedDevice& dev, const DeviceRates& rates) const {
  const int32_t position = dev.device.link.chainPos;
  std::string text;
  for (int32_t local = 0; local < kMonitorChannels; ++local) {
    const bool shown = local < 5 || (local == 5 && rates.perSecond[5] > 0) ||
                       (local > 5 && (dev.device.link.markers >> (local - 6) & 1));
    if (!shown) continue;
    text += (text.empty() ? "" : " ") + std::to_string(outputChannel(position, local)) + ":" +
            shortRate(rates.perSecond[local]);
  }
  return text;
}

std::vector<std::string> LiveStatus::monitorLines(const Recording& recording) const {
  std::vector<std::string> lines;
  if (_monitor == nullptr) return lines;
  const MonitorSnapshot snap = _monitor->snapshot();
  const auto& devices = recording.devices();
  for (size_t i = 0; _rates && i < devices.size() && i < snap.devices.size(); ++i)
    lines.push_back((_terminal ? "  rates/s " : "rates/s ") + ratesText(*devices[i], snap.devices[i]));
  if (_peak) lines.push_back((_terminal ? "  " : "") + peakText(snap));
  if (snap.behind) lines.push_back((_terminal ? "  " : "") + std::string(kBehind));
  return lines;
}

void LiveStatus::update(const Recording& recording, double seconds) {
  const auto& devices = recording.devices();
  if (!_terminal && int64_t(seconds) <= _lastSecond) return;
  _lastTotals.resize(devices.size(), 0);
  const double interval = seconds - _lastSeconds;
  // Back to the first device line, to overwrite the previous lines.
  if (_terminal && _linesShown > 0) fprintf(_out, "\033[%dA", _linesShown);
  if (!_terminal) fprintf(_out, "%5" PRId64 " s:", int64_t(seconds));
  for (size_t i = 0; i < devices.size(); ++i) {
    const RecordedDevice& dev = *devices[i];
    const double rate = perSecond(double(dev.totalEvents - _lastTotals[i]), interval);
    const std::string line = deviceLine(dev, rate);
    if (_terminal)
      fprintf(_out, "\r%s\033[K\n", line.c_str());
    else
      fprintf(_out, "%s %s", i == 0 ? "" : " |", line.c_str());
    _lastTotals[i] = dev.totalEvents;
  }
  std::vector<std::string> extra = monitorLines(recording);
  const std::string space = _space != nullptr ? _space->liveText() : std::string();
  if (!space.empty()) extra.push_back((_terminal ? "  " : "") + space);
  for (const std::string& line : extra) {
    if (_terminal)
      fprintf(_out, "\r%s\033[K\n", line.c_str());
    else
      fprintf(_out, " | %s", line.c_str());
  }
  // On a terminal, clear what is left of longer earlier output.
  fputs(_terminal ? "\033[J" : "\n", _out);
  fflush(_out);
  _linesShown = int32_t(devices.size() + extra.size());
  _lastSecond = int64_t(seconds);
  _lastSeconds = seconds;
}


void printDeviceSummary(FILE* out, const Recording& recording, const RecordTime& time,
                        int64_t records) {
  const double seconds = time.seconds;
  uint64_t total = 0;
  for (const auto& dev : recording.devices()) {
    fprintf(out,
            "%-8s %-12s index %-3" PRIu32 " %14" PRIu64 " events (est.)  %.3g events/s (est.)\n",
            roleText(dev->device.link.chainPos).c_str(), dev->device.serial.c_str(),
            dev->device.index, dev->totalEvents, perSecond(double(dev->totalEvents), seconds));
    total += dev->totalEvents;
  }
  if (records >= 0)
    fprintf(out, "recorded          %.3f s, %" PRId64 " records merged, %.4g records/s, %.4g per "
                 "processor-s\n",
            seconds, records, perSecond(double(records), seconds),
            perSecond(double(records), time.processorSeconds));
  else
    fprintf(out, "recorded          %.3f s, records not merged\n", seconds);
  fprintf(out, "devices' estimate %" PRIu64 " events (est.), %.4g events/s (est.)\n", total,
          perSecond(double(total), seconds));
}

std::string peakText(const MonitorSnapshot& snap) {
  const CorrelationSettings& s = snap.correlation;
  const Peak& p = snap.peak;
  char text[200];
  if (!p.found) {
    snprintf(text, sizeof text, "A %d, B %d: no pairs yet", int(s.channelA), int(s.channelB));
    return text;
  }
  snprintf(text, sizeof text,
           "A %d, B %d: peak at %" PRId64 " ps, height %" PRIu64 ", FWHM %.1f ps, %s "
           "coincidences/s within 1 bin",
           int(s.channelA), int(s.channelB), p.positionPs, p.height, p.fwhmPs,
           shortRate(p.coincidenceRate).c_str());
  return text;
}
