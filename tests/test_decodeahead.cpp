// The jobs that the merge hands to the decoding thread of DecodeAhead: each runs exactly once,
// on whichever thread starts it first, and is done when completeJob() returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/tdc56.h"
#include "merge/decodeahead.h"
#include "merge/mergecore.h"

namespace {

struct Job {
  std::mutex lock;
  std::condition_variable started;
  std::thread::id where;      // the thread that ran it
  std::atomic<int32_t> runs{0};
  bool waitForGo = false;     // holds the run until `go`
  std::atomic<bool> go{false};
  std::vector<int32_t> result;

  static void run(void* self) {
    Job& job = *static_cast<Job*>(self);
    {
      std::lock_guard<std::mutex> hold(job.lock);
      job.where = std::this_thread::get_id();
    }
    job.started.notify_all();
    ++job.runs;
    while (job.waitForGo && !job.go.load()) std::this_thread::yield();
    for (int32_t i = 0; i < 1000; ++i) job.result.push_back(i);
  }
};

// Sources without data: they end at once, and the decoding thread has nothing to decode.
struct NoData {
  NoData() {
    for (int32_t i = 0; i < 2; ++i) sources.push_back({decoders[i], i, 0x1FF, nullptr});
  }
  ~NoData() {
    for (Tdc56Instance* d : decoders) tdc56DeInit(d);
  }
  Tdc56Instance* decoders[2] = {tdc56Init(), tdc56Init()};
  std::vector<MergeSource> sources;
};

// A job of an output's: logs its index, negated when another job of the output ran beside it.
struct Step {
  std::vector<int32_t>* log;
  std::atomic<int32_t>* running;
  std::atomic<int32_t>* done;
  int32_t index;
  static void run(void* self) {
    const Step& step = *static_cast<const Step*>(self);
    const int32_t others = step.running->fetch_add(1);
    for (int32_t i = 0; i < step.index % 7 * 100; ++i)  // jobs of different lengths
      std::atomic_signal_fence(std::memory_order_seq_cst);
    step.log->push_back(others == 0 ? step.index : -1 - step.index);
    step.running->fetch_sub(1);
    step.done->fetch_add(1);
  }
};

}  // namespace

TEST(DecodeAhead, JobsRunOnceInTheirOrderAndAreDoneOnCompletion) {
  NoData data;
  for (const bool onThread : {false, true}) {
    SCOPED_TRACE(onThread ? "with the decoding thread" : "without it");
    DecodeAhead ahead(data.sources.data(), 2, onThread);
    const PpTimest *first, *last;
    EXPECT_EQ(ahead.take(0, &first, &last), 0);  // the streams have ended
    for (int32_t k = 0; k < 300; ++k) {
      Job job;
      ahead.offerJob(&Job::run, &job);
      if (k % 2 == 1) std::this_thread::yield();
      ahead.completeJob();
      EXPECT_TRUE(job.runs == 1 && job.result.size() == 1000u && job.result.back() == 999) << k;
      EXPECT_TRUE(onThread || job.where == std::this_thread::get_id());
    }
    // An output's jobs, two open at a time as the output buffers offer them: each runs once,
    // one at a time and in the order offered; completeJob(kind, 1) leaves at most the newest
    // one open, and completeJob(kind) none.
    std::vector<int32_t> log[2];
    std::atomic<int32_t> running[2]{{0}, {0}}, done[2]{{0}, {0}};
    Step steps[2][DecodeAhead::kOutputSlots];
    const DecodeAhead::JobKind kinds[2] = {DecodeAhead::kBinaryJob, DecodeAhead::kTextJob};
    const int32_t kSteps = 2000;
    for (int32_t n = 0; n < kSteps; ++n) {
      for (int32_t k = 0; k < 2; ++k) {
        ahead.completeJob(kinds[k], DecodeAhead::kOutputSlots - 1);
        // Every job but the newest is done, so its step may be used again.
        ASSERT_GE(done[k].load(), n - 1);
        Step& step = steps[k][n % DecodeAhead::kOutputSlots];
        step = Step{&log[k], &running[k], &done[k], n};
        ahead.offerJob(&Step::run, &step, kinds[k]);
      }
      if (n % 3 == 0) std::this_thread::yield();
    }
    for (int32_t k = 0; k < 2; ++k) {
      ahead.completeJob(kinds[k]);
      ASSERT_EQ(int32_t(log[k].size()), kSteps);
      for (int32_t n = 0; n < kSteps; ++n) ASSERT_EQ(log[k][size_t(n)], n);
    }
  }

  // A job the decoding thread has started, though every stream has ended: completeJob() waits
  // for it to finish there instead of running it a second time.
  DecodeAhead ahead(data.sources.data(), 2, true);
  const PpTimest *first, *last;
  ahead.take(0, &first, &last);
  ahead.take(1, &first, &last);
  // Time for the decoding thread to find that both have ended: it must stay for the jobs.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Job job;
  job.waitForGo = true;
  ahead.offerJob(&Job::run, &job);
  {
    std::unique_lock<std::mutex> hold(job.lock);
    ASSERT_TRUE(job.started.wait_for(hold, std::chrono::seconds(60),
                                     [&] { return job.where != std::thread::id(); }));
    EXPECT_NE(job.where, std::this_thread::get_id());
  }
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    job.go = true;
  });
  ahead.completeJob();
  EXPECT_TRUE(job.runs == 1 && job.result.size() == 1000u);
  release.join();
}

