// What went wrong in a run, in words for the user: who a device is, its loss intervals in
// brief, and one line for each device that lost data or had a bad clock. The window and the
// command-line programs tell the same facts the same way. No Qt.
#ifndef RAVIK_REPORT_PROBLEMS_H
#define RAVIK_REPORT_PROBLEMS_H

#include <string>
#include <vector>

#include "report/runreport.h"

// Who a device is in messages: "Master TK24071 (index 1)", or its stream and chain position
// when nothing else is known.
std::string deviceName(const ReportDevice& device);

// "none", or "3 intervals, 3.002 ms in all".
std::string lossText(const std::vector<LossInterval>& lost);

// One line for each device that lost data (a loss interval) or had a bad clock.
std::vector<std::string> problemLines(const std::vector<ReportDevice>& devices);

#endif
