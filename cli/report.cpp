#include "cli/report.h"

#include <inttypes.h>
#include <stdarg.h>
#include <unistd.h>

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[256];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

double perSecond(double amount, double seconds) { return seconds > 0 ? amount / seconds : 0; }

}  // namespace

std::string formatBytes(int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return format("%" PRId64 " B", bytes);
  double value = double(bytes) / 1024;
  int32_t unit = 0;
  for (; value >= 1024 && unit < 3; ++unit) value /= 1024;
  return format("%.*f %s", value < 100 ? 2 : 1, value, kUnits[unit]);
}

std::string formatDuration(double seconds) {
  const int64_t s = seconds > 0 ? int64_t(seconds + 0.5) : 0;
  if (s < 3600) return format("%" PRId64 ":%02" PRId64, s / 60, s % 60);
  return format("%" PRId64 ":%02" PRId64 ":%02" PRId64, s / 3600, s / 60 % 60, s % 60);
}

std::string progressLine(int64_t bytesRead, int64_t totalBytes, double seconds) {
  constexpr int32_t kBarWidth = 30;
  const double fraction = totalBytes > 0 ? double(bytesRead) / double(totalBytes) : 1.0;
  const int32_t filled = int32_t(fraction * kBarWidth);
  std::string line = "[" + std::string(size_t(filled), '#') +
                     std::string(size_t(kBarWidth - filled), '.') + "]";
  const double rate = perSecond(double(bytesRead), seconds);
  const std::string left =
      rate > 0 ? formatDuration(double(totalBytes - bytesRead) / rate) + " left" : "";
  return line + format(" %5.1f%%  %s of %s  %s/s  %s", 100 * fraction,
                       formatBytes(bytesRead).c_str(), formatBytes(totalBytes).c_str(),
                       formatBytes(int64_t(rate)).c_str(), left.c_str());
}

void printSummary(FILE* out, const MergeSummary& s) {
  fprintf(out, "records written   %" PRId64 "\n", s.records);
  // Times are in the devices' unit, picoseconds.
  if (s.counts != nullptr && s.counts->records > 0) {
    const int64_t span = s.counts->last - s.counts->first;
    fprintf(out, "first time        %" PRId64 " ps\n", s.counts->first);
    fprintf(out, "last time         %" PRId64 " ps\n", s.counts->last);
    fprintf(out, "time span         %" PRId64 " ps (%.9f s)\n", span, 1e-12 * double(span));
  }
  fprintf(out, "bytes read        %" PRId64 " (%s)\n", s.bytesRead, formatBytes(s.bytesRead).c_str());
  fprintf(out, "elapsed           %.3f s, %.0f records/s\n", s.seconds,
          perSecond(double(s.records), s.seconds));
  if (s.counts == nullptr) {
    fprintf(out, "records per channel: not counted\n");
    return;
  }
  fprintf(out, "records per channel:\n");
  for (const auto& channel : s.counts->perChannel)
    fprintf(out, "  channel %6d  %" PRId64 "\n", int32_t(channel.first), channel.second);
}

namespace {

const char* clockText(int32_t clockOk) { return clockOk < 0 ? "unknown" : clockOk ? "ok" : "BAD"; }

}  // namespace

void printDevices(FILE* out, const std::vector<ReportDevice>& devices, bool recordsKnown) {
  for (const ReportDevice& d : devices) {
    const std::string records =
        recordsKnown ? format("%" PRId64, d.records) : std::string("(merge incomplete)");
    fprintf(out, "%-34s records %-14s loss %s, clock %s\n", deviceName(d).c_str(),
            records.c_str(), lossText(d.lost).c_str(), clockText(d.clockOk));
    std::string told;
    for (const LossInterval& loss : d.lost) {
      if (loss.cause == kDeviceLossCause || loss.cause == told) continue;
      told = loss.cause;
      if (loss.wholeRun)
        fprintf(out, "  %s: nothing of the recording kept\n", loss.cause.c_str());
      else
        fprintf(out, "  %s from %" PRId64 " ps\n", loss.cause.c_str(), loss.fromPs);
    }
  }
}

namespace {

std::string counted(int64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

std::vector<std::string> streamFaultLines(const std::vector<ReportDevice>& devices) {
  std::vector<std::string> lines;
  for (const ReportDevice& d : devices) {
    std::string line;
    if (d.decodeErrors > 0) line = counted(d.decodeErrors, "undecodable packet");
    if (d.backwardSteps > 0)
      line += (line.empty() ? "" : ", ") + counted(d.backwardSteps, "step") + " back in time";
    if (!line.empty()) lines.push_back(deviceName(d) + ": " + line);
  }
  return lines;
}

std::function<void(int64_t, int64_t, double, bool)> progressBar() {
  double nextLine = 1;  // seconds of the next line into a file or a pipe
  return [nextLine](int64_t bytesRead, int64_t bytesTotal, double seconds, bool end) mutable {
    const bool terminal = isatty(STDERR_FILENO) != 0;
    if (terminal && end) {
      fprintf(stderr, "\r\033[K");
      return;
    }
    if (!terminal && !end && seconds < nextLine) return;
    nextLine = seconds + 1;
    const std::string line = progressLine(bytesRead, bytesTotal, seconds);
    fprintf(stderr, terminal ? "\r%s\033[K" : "%s\n", line.c_str());
  };
}
