#include "report/problems.h"

#include <stdio.h>

std::string deviceName(const ReportDevice& d) {
  if (d.serial.empty()) return d.stream + " (chain " + std::to_string(d.chain) + ")";
  std::string name = d.role.empty() ? d.serial : d.role + " " + d.serial;
  return d.index >= 0 ? name + " (index " + std::to_string(d.index) + ")" : name;
}

std::string lossText(const std::vector<LossInterval>& lost) {
  if (lost.empty()) return "none";
  int64_t ps = 0;
  for (const LossInterval& loss : lost) ps += loss.toPs - loss.fromPs;
  char text[96];
  snprintf(text, sizeof text, "%zu interval%s, %.3f ms in all", lost.size(),
           lost.size() == 1 ? "" : "s", 1e-9 * double(ps));
  return text;
}

std::vector<std::string> problemLines(const std::vector<ReportDevice>& devices) {
  std::vector<std::string> lines;
  for (const ReportDevice& d : devices) {
    std::string line;
    if (!d.lost.empty()) line = "lost data: " + lossText(d.lost);
    for (const LossInterval& loss : d.lost)
      if (loss.cause != kDeviceLossCause && line.find(loss.cause) == std::string::npos)
        line += "; " + loss.cause;
    if (d.clockOk == 0) line += line.empty() ? "clock bad" : "; clock bad";
    if (!line.empty()) lines.push_back(deviceName(d) + ": " + line);
  }
  return lines;
}
