// The queue between a live merge and the chain's stream reader: what is kept before a reader
// comes, that an attached reader gets every record in order while the writer waits for it, and
// that a reader going away never leaves the writer waiting.
#include <gtest/gtest.h>
#include <string.h>

#include <thread>
#include <vector>

#include "chain/recordqueue.h"
#include "merge/mergecore.h"

namespace {

std::vector<int64_t> times(const std::vector<char>& block) {
  std::vector<int64_t> out(block.size() / kMergeRecordSize);
  for (size_t i = 0; i < out.size(); ++i) memcpy(&out[i], &block[i * kMergeRecordSize], 8);
  return out;
}

// Pushes `count` records whose times are first, first + 1, ...
void push(RecordQueue& q, int64_t first, size_t count) {
  std::vector<char> r(count * kMergeRecordSize);
  for (size_t i = 0; i < count; ++i) {
    const int64_t t = first + int64_t(i);
    memcpy(&r[i * kMergeRecordSize], &t, sizeof t);
  }
  q.push(r.data(), count);
}

}  // namespace

TEST(RecordQueue, KeepsTheNewestBlocksUntilAReaderComes) {
  RecordQueue q(3 * 10 * kMergeRecordSize);  // three blocks of 10 records
  std::vector<char> block;
  EXPECT_EQ(q.pop(&block, 0), RecordQueue::Pop::kEnd) << "no recording, no reader";
  q.reopen();
  for (int64_t b = 0; b < 5; ++b) push(q, 10 * b, 10);
  EXPECT_EQ(q.droppedBytes(), 2 * 10 * kMergeRecordSize);
  q.attach();
  for (int64_t b = 2; b < 5; ++b) {
    ASSERT_EQ(q.pop(&block, 0), RecordQueue::Pop::kBlock);
    EXPECT_EQ(times(block).front(), 10 * b);
  }
  EXPECT_EQ(q.pop(&block, 0), RecordQueue::Pop::kTimeout);
  q.finish();
  EXPECT_EQ(q.pop(&block, 0), RecordQueue::Pop::kEnd);
  EXPECT_FALSE(q.endedEarly());
  EXPECT_TRUE(q.detach()) << "the reader had every record";

  // A reader leaving before it had every record, or a merge that ended early, is told.
  for (const bool mergedToTheEnd : {true, false}) {
    q.reopen();
    q.attach();
    push(q, 0, 10);
    q.finish(mergedToTheEnd);
    EXPECT_FALSE(q.detach()) << "a block was left";
    q.reopen();
    q.attach();
    q.finish(mergedToTheEnd);
    EXPECT_EQ(q.pop(&block, 0), RecordQueue::Pop::kEnd);
    EXPECT_EQ(q.endedEarly(), !mergedToTheEnd);
    EXPECT_EQ(q.detach(), mergedToTheEnd);
  }

  // A reader that left ends the collecting of that recording; the next recording collects again.
  q.reopen();
  q.detach();
  push(q, 0, 10);
  q.attach();
  EXPECT_EQ(q.pop(&block, 0), RecordQueue::Pop::kTimeout);
  q.detach();
  q.reopen();
  push(q, 7, 1);
  q.attach();
  ASSERT_EQ(q.pop(&block, 0), RecordQueue::Pop::kBlock);
  EXPECT_EQ(times(block), std::vector<int64_t>{7});
}

TEST(RecordQueue, AnAttachedReaderGetsEveryRecordInOrderAndItsLeavingReleasesTheWriter) {
  // Room for two blocks only: the writer must wait for the reader again and again.
  RecordQueue q(2 * 100 * kMergeRecordSize);
  q.reopen();
  q.attach();
  constexpr int64_t kBlocks = 500;
  std::thread writer([&] {
    for (int64_t b = 0; b < kBlocks; ++b) push(q, 100 * b, 100);
    q.finish();
  });
  std::vector<char> block;
  int64_t next = 0;
  for (RecordQueue::Pop got; (got = q.pop(&block, 1000)) != RecordQueue::Pop::kEnd;) {
    if (got == RecordQueue::Pop::kTimeout) continue;
    for (int64_t t : times(block)) ASSERT_EQ(t, next++);
  }
  writer.join();
  EXPECT_EQ(next, 100 * kBlocks);
  EXPECT_EQ(q.droppedBytes(), 0);

  // A reader leaving releases a writer that waits for room.
  q.reopen();
  q.attach();
  push(q, 0, 200);  // full
  std::thread waiting([&] { push(q, 200, 10); });
  q.detach();
  waiting.join();
  // A block larger than the whole queue still goes in when the queue is empty.
  q.reopen();
  q.attach();
  push(q, 0, 250);
  ASSERT_EQ(q.pop(&block, 0), RecordQueue::Pop::kBlock);
  EXPECT_EQ(times(block).size(), 250u);
}
