// ravik-record's live monitor, run as a child process on the simulated chain: the histogram file
// against every pair of the merged text output, and the live and summary lines. (Its refused
// options are among the refusals in test_ravik_record.)
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/cli_run.h"
#include "tests/measure_reference.h"

namespace {

using RecordMonitor = RunFolders;

TEST_F(RecordMonitor, HistogramFileHoldsEveryPairOfTheRecording) {
  // B: channel 1 of slave 1, or (--virtual) that channel delayed by -1500 ps as channel 30000.
  const struct { const char* pair; int16_t b; int64_t delay; const char* peak; } runs[] = {
      {"1,6", 6, 0, "peak at 2500 ps"}, {"1,30000", 30000, -1500, "peak at 1000 ps"}};
  std::ofstream(dir / "v.json") << R"([{"type": "delayed", "channel": 6, "delay_ps": -1500}])";
  for (const auto& run : runs) {
    SCOPED_TRACE(run.pair);
    std::vector<std::string> args = {"-s", "--seconds", "1.5", "--text", dir / "run.txt", "--tmp",
                                     tmp, "--rates", "--correlate", run.pair, "--range", "5000",
                                     "--bin-width", "20", "--histogram", dir / "h.csv"};
    if (run.b != 6) args.insert(args.end(), {"--virtual", dir / "v.json"});
    unlink((dir / "run.txt").c_str());
    unlink((dir / "h.csv").c_str());
    const pid_t pid = spawnProgram(RAVIK_RECORD_PROGRAM, args, dir / "stderr",
                                   {"JITTER_PS=0"});  // every pair exactly 2500 ps apart
    ASSERT_EQ(exitCode(pid), 0) << slurp(dir / "stderr");

    // Channel 1 of the master (A) and B in the merged output, every pair: a virtual B is
    // written there too, one record for each record of 6.
    Tags tags;
    for (const auto& [time, channel] : textRecords(slurp(dir / "run.txt")))
      tags.push_back({time, int16_t(channel)});
    if (run.b != 6) {
      EXPECT_EQ(reference::count(tags, run.b), reference::count(tags, 6));
    }
    const std::vector<int64_t> pairs = reference::correlation(tags, 1, run.b, 20, 500, -5000, 5000);
    std::string want = "delay_ps,count\n";
    for (size_t i = 0; i < pairs.size(); ++i)
      want += std::to_string(-5000 + 20 * int64_t(i)) + "," + std::to_string(pairs[i]) + "\n";
    const std::string err = slurp(dir / "stderr");
    // A monitor that could not keep up (a slow or loaded machine) skipped part of its copy and
    // says so: its histogram then holds a part of every bin's pairs, never more.
    if (hasText(err, "h.csv is partial: the monitor could not keep up")) {
      std::istringstream got(slurp(dir / "h.csv"));
      std::string line;
      ASSERT_TRUE(std::getline(got, line));
      for (size_t i = 0; i < pairs.size() && std::getline(got, line); ++i)
        EXPECT_LE(std::stoll(line.substr(line.find(',') + 1)), pairs[i]) << line;
    } else {
      EXPECT_EQ(slurp(dir / "h.csv"), want);
    }
    EXPECT_GT(pairs[size_t((2500 + run.delay + 5000) / 20)], 5000);
    const std::string line = std::string("correlation: A 1, B ") + std::to_string(run.b) + ": " + run.peak;
    EXPECT_TRUE(hasText(err, line)) << err;
    if (run.b != 6) continue;
    for (const char* shown : {"rates/s 0:", "rates/s 5:", "rates/s 10:",
                              "A 1, B 6: peak at 2500 ps, height "})
      EXPECT_TRUE(hasText(err, shown));
  }
}

}  // namespace
