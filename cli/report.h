// What ravik-merge and ravik-record tell the user on standard error: the progress bar, the
// final summary, and each device's records, losses and clock.
#ifndef RAVIK_CLI_REPORT_H
#define RAVIK_CLI_REPORT_H

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>

#include "chain/channelcount.h"
#include "report/problems.h"
#include "report/runreport.h"

// "1.50 GiB", "812.0 KiB", "17 B".
std::string formatBytes(int64_t bytes);
// "0:07", "1:02:03".
std::string formatDuration(double seconds);

// One line of progress, without line end: a bar, the percentage, bytes read of the total, the
// rate and the time left. `seconds` is the time since the merge started.
std::string progressLine(int64_t bytesRead, int64_t totalBytes, double seconds);

// The merge's progress on standard error (see MergeWatch::progress): on a terminal the bar is
// redrawn in place at every tick and cleared at the end; into a file or a pipe it is a whole
// line once a second, and a last one at the end.
std::function<void(int64_t bytesRead, int64_t bytesTotal, double seconds, bool end)>
progressBar();

struct MergeSummary {
  int64_t records;        // records written by the merge
  int64_t bytesRead;      // bytes of the streams consumed
  double seconds;         // from the start of the merge to the last output closed
  const ChannelCounts* counts;  // null when they could not be made
};

// The summary, several lines: records and records per output channel, first and last time and
// the span between them, bytes read, elapsed time and records/s.
void printSummary(FILE* out, const MergeSummary& summary);

// One line per device: its name, records (when `recordsKnown`: the merge completed), loss
// intervals and clock state; then every loss cause other than the device's own.
void printDevices(FILE* out, const std::vector<ReportDevice>& devices, bool recordsKnown);

// One warning for each device whose stream had undecodable packets or steps back in time:
// "<device>: 3 undecodable packets, 2 steps back in time".
std::vector<std::string> streamFaultLines(const std::vector<ReportDevice>& devices);

#endif
