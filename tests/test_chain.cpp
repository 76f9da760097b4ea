// The live chain on the simulated devices: the merge while recording feeds the measurements and
// the stream queue with exactly the records of the binary output, one chain opens at a time,
// a measure-only run leaves nothing on disk, and a chain whose markers clash is refused.
// Threaded: also run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "live/livesink.h"
#include <vector>

#include "korbalt_env.h"
#include "live/chain.h"
#include "merge/mergecore.h"
#include "tests/core_merge.h"

namespace {

// Reads the queue to its end on a thread of its own: records per channel, and all of them.
struct Reader {
  std::map<int16_t, int64_t> perChannel;
  int64_t records = 0;
  bool ordered = true;  // times never went back (no markers are enabled)
  std::thread thread;

  explicit Reader(RecordQueue* queue) {
    queue->attach();
    thread = std::thread([this, queue] {
      std::vector<char> block;
      int64_t last = INT64_MIN;
      for (RecordQueue::Pop got; (got = queue->pop(&block, 100)) != RecordQueue::Pop::kEnd;) {
        for (size_t i = 0; got == RecordQueue::Pop::kBlock && i < block.size();
             i += kMergeRecordSize) {
          TimeTag tag;
          decodeRecords(&block[i], 1, &tag);
          ordered = ordered && tag.time >= last;
          last = tag.time;
          ++perChannel[tag.channel];
          ++records;
        }
      }
    });
  }
  ~Reader() { join(); }
  void join() { if (thread.joinable()) thread.join(); }
};

}  // namespace

TEST(Chain, FeedsTheMeasurementsAndTheStreamWithTheOutputsRecords) {
  clearSimVariables();
  const TempDir scratch;
  const std::string& dir = scratch.path;

  Chain chain;
  std::string error;
  ASSERT_TRUE(chain.open(true, &error)) << error;
  ASSERT_EQ(chain.devices().size(), 3u);
  EXPECT_EQ(chain.devices()[0].role, "Master");
  Chain second;
  EXPECT_FALSE(second.open(true, &error));
  EXPECT_NE(error.find("another Chain"), std::string::npos) << error;

  auto rate = std::make_shared<CountRate>(std::vector<int16_t>{1, 6, 11});
  chain.measurements().add(rate);
  ChainOutputs outputs;
  outputs.binary = dir + "/run.bin";
  outputs.tmpDir = dir;
  ASSERT_TRUE(chain.start(outputs, &error)) << error;
  EXPECT_FALSE(chain.start(outputs, &error));
  Reader reader(&chain.queue());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  nlohmann::json report;
  ASSERT_TRUE(chain.stop(&report, &error)) << error;
  reader.join();  // the stream ends with the merge
  chain.queue().detach();

  const int64_t records = report["records"];
  EXPECT_GT(records, 1000);
  EXPECT_EQ(int64_t(slurp(outputs.binary).size()), 64 + 10 * records + 64);
  EXPECT_EQ(namesIn(dir), (std::set<std::string>{"run.bin", "run.json"}));
  EXPECT_EQ(reader.records, records);
  EXPECT_TRUE(reader.ordered);
  const std::vector<int64_t> first = rate->counts();
  EXPECT_EQ(first, (std::vector<int64_t>{reader.perChannel[1], reader.perChannel[6],
                                         reader.perChannel[11]}));
  EXPECT_GT(first[0], 0);

  // A second run, measuring only: the measurements go on adding; nothing stays on disk.
  ASSERT_TRUE(chain.start(ChainOutputs{"", "", "", false, "", dir}, &error)) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(chain.stop(&report, &error)) << error;
  EXPECT_EQ(namesIn(dir), (std::set<std::string>{"run.bin", "run.json"}));
  EXPECT_TRUE(report["outputs"].empty());
  for (size_t i = 0; i < first.size(); ++i) EXPECT_GT(rate->counts()[i], first[i]);

  chain.close();

  // From chain position 20 up a device's inputs are output channels of the master's markers: the
  // start is refused before any output or raw file exists, until those markers are disabled.
  setenv("RAVIK_SIM_DEVICES", "2", 1);
  setenv("RAVIK_SIM_CHAIN", "0,20", 1);
  ASSERT_TRUE(second.open(true, &error)) << error;  // the first chain is closed
  ASSERT_EQ(second.devices().size(), 2u);
  const std::string serial = second.devices()[0].serial, refused = dir + "/refused";
  ASSERT_EQ(mkdir(refused.c_str(), 0755), 0);
  outputs = ChainOutputs{refused + "/run.txt", "", "", false, "", refused};
  ASSERT_TRUE(second.setParameters(0, {{"markers", 0x11}}, &error)) << error;
  EXPECT_FALSE(second.start(outputs, &error));
  EXPECT_EQ(error, "chain positions 0 and 20 would share output channel 100 (Master " + serial +
                       " marker 100, Slave 20 " + second.devices()[1].serial +
                       " input 0) and 1 more output channel; disable the markers of " + serial +
                       " or use chain positions below 20; nothing recorded");
  EXPECT_FALSE(second.recording());
  EXPECT_TRUE(namesIn(refused).empty());

  ASSERT_TRUE(second.setParameters(0, {{"markers", 0}}, &error)) << error;
  ASSERT_TRUE(second.start(outputs, &error)) << error;
  ASSERT_TRUE(second.stop(&report, &error)) << error;
  EXPECT_EQ(namesIn(refused), (std::set<std::string>{"run.txt", "run.json"}));
  second.close();
  clearSimVariables();
}
