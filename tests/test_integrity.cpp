// Losses in the merge: loss files, loss intervals located in crafted streams, loss records in
// the outputs, and read errors that fail the merge.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "codec/tdc56.h"
#include "chain/recordcore.h"
#include "chain/tempremoval.h"
#include "merge/checkedmerge.h"
#include "merge/outputfile.h"
#include "merge/outputstream.h"
#include "report/runreport.h"
#include "tests/codec_stamps.h"
#include "tests/core_merge.h"

namespace {

// Segments of timestamps, each packed as a stream of its own (so each opens with an absolute
// time, as a device's stream does after a loss), one after the other in a temporary file.
struct SegmentedStream {
  explicit SegmentedStream(const std::vector<std::vector<PpTimest>>& segments) {
    for (const auto& events : segments) {
      const Words words = packStream(events);
      EXPECT_EQ(fwrite(words.data(), 4, words.size(), file), words.size());
      ends.push_back(ftell(file));
    }
    EXPECT_EQ(fflush(file), 0);
  }
  ~SegmentedStream() {
    fclose(file);
    tdc56DeInit(decoder);
  }
  CheckedSource source(int32_t chain, std::vector<StreamLoss> losses) const {
    rewind(file);
    return {{decoder, chain, 0, file}, "stream", losses};
  }
  FILE* const file = tmpfile();
  Tdc56Instance* const decoder = tdc56Init();
  std::vector<int64_t> ends;  // the byte after each segment
};

// `n` events on channel 1 from `first`, `step` apart.
std::vector<PpTimest> events(int64_t first, int64_t step, int32_t n) {
  std::vector<PpTimest> e;
  for (int32_t i = 0; i < n; ++i) e.push_back({first + i * step, 1});
  return e;
}

typedef std::pair<int64_t, int64_t> Span;  // from, to

// Every field of a noted loss, for comparing losses whole.
std::tuple<int, int64_t, int64_t, std::string, int64_t> fields(const StreamLoss& l) {
  return {int(l.kind), l.fromByte, l.toByte, l.cause, l.lostNs};
}

MergeOutcome merge(const std::vector<CheckedSource>& sources, FILE* text, bool lossRecords,
                   bool running = true) {
  MergeOutputs outputs;
  outputs.text = text;
  std::atomic<int64_t> bytes{0};
  std::atomic<bool> run{running};
  return mergeChecked(sources, outputs, lossRecords, bytes, run);
}

std::vector<Span> spans(const MergeOutcome& out) {
  std::vector<Span> got;
  for (const LossInterval& l : out.losses) got.push_back({l.fromPs, l.toPs});
  return got;
}

// Segment k of stream A spans [(k + 1) * 10^6, (k + 1) * 10^6 + 99 * 1000] ps; stream B runs on
// after it. A stream of two segments is one whose recording stopped after the device raised its
// flag: a loss whose restart never reached the file, so its data are whole and the gap follows its
// last timestamp. Loss records change none of the intervals; in the text they mark each one (on
// chain position 3: -7 and -8), in time order, and add nothing else.
TEST(LossIntervals, ExactAtRestartsWidestWithoutOneAndToTheEndAfterAFailedWriteOrTheLastData) {
  const SegmentedStream a3({events(1000000, 1000, 100), events(2000000, 1000, 100),
                            events(3000000, 1000, 100)});
  const SegmentedStream a2({events(1000000, 1000, 100), events(2000000, 1000, 100)});
  const SegmentedStream b({events(1000500, 1000, 3000)});
  const int64_t last0 = 1099000, first1 = 2000000, last1 = 2099000, first2 = 3000000;
  const int64_t last2 = 3099000, bEnd = 1000500 + 2999 * 1000;
  const int64_t r1 = a3.ends[0], r2 = a3.ends[1], r3 = a3.ends[2];  // where the restarts begin
  ASSERT_EQ(a2.ends[1], r2);
  const StreamLoss::Kind device = StreamLoss::Device, write = StreamLoss::WriteFailed;
  const char* const lost = kDeviceLossCause;
  const struct {
    const char* what;
    int32_t segments;
    std::vector<StreamLoss> losses;
    std::vector<Span> expected;
    const char* cause;  // of every interval, unless null
  } cases[] = {
      {"a restart between the readings", 3, {{device, 0, r1 + 8, lost}}, {{last0, first1}}, lost},
      {"two restarts, two intervals", 3, {{device, 4, r3, lost}}, {{last0, first1}, {last1, first2}},
       lost},
      {"readings that share a restart", 3, {{device, 0, r1 + 16, ""}, {device, r1, r1 + 8, ""}},
       {{last0, first1}}, nullptr},
      {"no restart: all data between the readings", 3, {{device, r1 + 8, r2, lost}}, {{last0, first2}}, lost},
      {"a failed write lasts at least to the end", 3, {{write, r3, r3, "w", 1}}, {{last2, bEnd}}, "w"},
      {"or as long as the recording went on", 3, {{write, r3, r3, "w", 5000}},
       {{last2, last2 + 5000000}}, "w"},
      {"what a failed cut left is the device's", 3, {{write, r2, r2, "w", 1}}, {{last2, bEnd}}, "w"},
      {"flag raised after the last block, no restart", 2, {{device, r1 + 8, r2, lost}}, {{last1, bEnd}},
       lost},
      {"no data since the flag was last read clear", 2, {{device, r2, r2, lost}}, {{last1, bEnd}}, lost},
      {"with a restart: exactly its gap", 2, {{device, r1 - 8, r2, lost}}, {{last0, first1}}, lost},
      {"the recording went on longer than the data show", 2, {{device, r1 + 8, r2, lost, 5000}},
       {{last1, last1 + 5000000}}, lost},
      {"and a failed write: one interval, the write's", 2,
       {{device, r1 + 8, r2, lost}, {write, r2, r2, "w", 0}}, {{last1, bEnd}}, "w"},
  };
  for (const auto& c : cases) {
    std::string text[2];  // without loss records and with them
    for (const bool lossRecords : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (lossRecords ? ", with loss records" : ""));
      const SegmentedStream& a = c.segments == 3 ? a3 : a2;
      FILE* file = tmpfile();
      const MergeOutcome out = merge({a.source(3, c.losses), b.source(0, {})}, file, lossRecords);
      text[lossRecords] = contents(file);
      for (const LossInterval& l : out.losses)
        EXPECT_TRUE(l.chain == 3 && (c.cause == nullptr || l.cause == c.cause)) << l.cause;
      EXPECT_EQ(spans(out), c.expected);
      EXPECT_EQ(out.sourceRecords, (std::vector<int64_t>{100 * c.segments, 3000}));
      const int64_t markRecords = int64_t(2 * lossRecords * c.expected.size());
      EXPECT_EQ(out.records, 100 * c.segments + 3000 + markRecords);
      EXPECT_TRUE(out.readError.empty());
    }
    SCOPED_TRACE(c.what);
    std::string withoutMarks, marks, expected, line;
    for (const Span& s : c.expected)
      expected += std::to_string(s.first) + ", -7\n" + std::to_string(s.second) + ", -8\n";
    int64_t previous = INT64_MIN;
    for (std::istringstream lines(text[1]); std::getline(lines, line);) {
      long long t;
      int channel;
      ASSERT_EQ(sscanf(line.c_str(), "%lld, %d", &t, &channel), 2) << line;
      EXPECT_GE(t, previous) << line;
      previous = t;
      (channel < 0 ? marks : withoutMarks) += line + "\n";
    }
    EXPECT_EQ(withoutMarks, text[0]);
    EXPECT_EQ(marks, expected);
  }
}

// The end of the run is one time for every loss that lasts to it: the latest record of the
// devices, or the stop where a stream knows it to be later. A stream without any data (its temp
// disk full from the start) lost the whole run: from the run's first timestamp to its end; with
// no timestamp of any device, as long as the recording went on, from 0.
TEST(LossIntervals, LossesToTheEndAllEndAtTheEndOfTheRun) {
  const SegmentedStream a({events(1000000, 1000, 100)}), c({events(1500000, 1000, 300)});
  const SegmentedStream b({events(1000500, 1000, 3000)}), empty({}), alsoEmpty({});
  const int64_t aLast = 1099000, cLast = 1799000, bEnd = 1000500 + 2999 * 1000;
  // Stream a's write failed after its data, stream c lost data from its first block on; each
  // went on for `ns` after its last data.
  const auto aFailed = [&](int64_t ns) {
    return a.source(1, {{StreamLoss::WriteFailed, a.ends[0], a.ends[0], "w", ns}});
  };
  const auto cLost = [&](int64_t ns) {
    return c.source(2, {{StreamLoss::Device, 8, c.ends[0], kDeviceLossCause, ns}});
  };
  const std::vector<StreamLoss> full = {{StreamLoss::WriteFailed, 0, 0, "w", 5000}};
  const int64_t stop = aLast + 3000000;
  const struct {
    const char* what;
    std::vector<CheckedSource> sources;
    std::vector<Span> expected;
    int64_t lastPs;  // with loss records, unless 0 (without them, always the latest record)
  } cases[] = {
      {"both ended early: the latest record is the end", {b.source(0, {}), aFailed(0), cLost(0)},
       {{aLast, bEnd}, {cLast, bEnd}}, bEnd},
      {"gone on, but not past the latest record", {b.source(0, {}), aFailed(1), cLost(1000)},
       {{aLast, bEnd}, {cLast, bEnd}}, bEnd},
      {"the stop, later than any record", {b.source(0, {}), aFailed(3000), cLost(1000)},
       {{aLast, stop}, {cLast, stop}}, stop},
      {"the stop that another stream knows", {b.source(0, {}), aFailed(0), cLost(2500)},
       {{aLast, cLast + 2500000}, {cLast, cLast + 2500000}}, cLast + 2500000},
      {"no data, beside a device that recorded", {b.source(0, {}), empty.source(1, full)},
       {{1000500, bEnd}}, 0},
      {"no data: from the earliest device", {b.source(0, {}), a.source(1, {}), empty.source(2, full)},
       {{1000000, bEnd}}, 0},
      {"no data: to the one end of the run", {b.source(0, {}), aFailed(4000), empty.source(2, full)},
       {{1000000, aLast + 4000000}, {aLast, aLast + 4000000}}, 0},
      {"no device has a timestamp", {empty.source(0, full), alsoEmpty.source(1, full)},
       {{0, 5000000}, {0, 5000000}}, 0},
  };
  for (const auto& k : cases) {
    for (const bool lossRecords : {false, true}) {
      SCOPED_TRACE(std::string(k.what) + (lossRecords ? ", with loss records" : ""));
      std::vector<CheckedSource> sources = k.sources;
      for (CheckedSource& source : sources) rewind(source.source.file);
      const MergeOutcome out = merge(sources, nullptr, lossRecords);
      EXPECT_EQ(spans(out), k.expected);
      if (k.lastPs != 0) {
        EXPECT_EQ(out.lastPs, lossRecords ? k.lastPs : bEnd);
      }
    }
  }
}

// A stream whose every read fails (a folder opened as a file): the error names the file, found
// by the merge's reads and before them by the reads that locate losses. Quit during the walk
// that locates losses: a stopped merge reads no further, locates nothing and reports no error,
// so that the window answers at once.
TEST(LossIntervals, AReadErrorFailsTheMergeNamingTheFileUnlessStopped) {
  TempDir dir;
  FILE* folder = fopen(dir.path.c_str(), "rb");
  ASSERT_NE(folder, nullptr);
  Tdc56Instance* decoder = tdc56Init();
  const std::vector<StreamLoss> losses = {{StreamLoss::Device, 0, 8, kDeviceLossCause}};
  std::vector<LossInterval> found;
  std::string error = "unset";
  for (const bool running : {true, false}) {
    for (const bool lossRecords : {false, true})
      for (const std::vector<StreamLoss>& l : {std::vector<StreamLoss>{}, losses}) {
        if (!running && l.empty()) continue;  // a stop cuts short the walk that locates losses
        SCOPED_TRACE(testing::Message() << running << lossRecords << l.size());
        const MergeOutcome out = merge({{{decoder, 0, 0, folder}, dir.path, l}}, nullptr,
                                       lossRecords, running);
        EXPECT_EQ(out.readError, running ? dir.path + ": read failed: " + strerror(EISDIR) : "");
        EXPECT_TRUE(running || (out.losses.empty() && out.records == 0));
      }
    std::atomic<bool> run{running};
    EXPECT_FALSE(locateLosses(fileno(folder), 0, 0, losses, &found, nullptr, &error, &run));
    EXPECT_EQ(error, running ? strerror(EISDIR) : "");
  }
  EXPECT_TRUE(found.empty());
  tdc56DeInit(decoder);
  fclose(folder);
}

// The temp file write of the recording core with `room` bytes left, then no space.
size_t gRoom = 0;
ssize_t limitedWrite(int fd, const void* data, size_t bytes) {
  if (gRoom == 0) {
    errno = ENOSPC;
    return -1;
  }
  const size_t n = std::min(bytes, gRoom);
  gRoom -= n;
  return write(fd, data, n);
}

TEST(TempStream, AFailedWriteLeavesWholeBlocksAndNothingAfterIt) {
  TempDir dir;
  const std::string name = dir / "ravik-0.tmp";
  std::vector<uint32_t> words(5 * 100);
  std::iota(words.begin(), words.end(), 0u);
  const struct {
    size_t room;    // bytes the folder takes before it is full
    size_t blocks;  // whole blocks of 100 words the file keeps
  } cases[] = {{0, 0}, {399, 0}, {400, 1}, {1000, 2}, {SIZE_MAX, 5}};
  tempWriteFunction = &limitedWrite;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.room);
    FILE* file = nullptr;
    ASSERT_EQ(openTempFile(name, &file), 0);
    TempWriteState state;
    std::atomic<uint32_t> events{0};
    gRoom = c.room;
    for (size_t b = 0; b < 5; ++b) {
      recordBlock(file, state, events, &words[100 * b], 100);
      if (b == 2) gRoom = SIZE_MAX;  // space returns: the stream must not go on after a gap
    }
    EXPECT_EQ(closeTempFile(&file), 0);
    EXPECT_EQ(slurp(name), std::string(reinterpret_cast<const char*>(&words[0]), 400 * c.blocks));
    EXPECT_EQ(state.bytes.load(), int64_t(400 * c.blocks));
    EXPECT_EQ(state.error.load(), c.blocks < 5 ? ENOSPC : 0);
    EXPECT_EQ(events.load(), 5u * 150) << "the devices' estimate counts every block";
  }
  tempWriteFunction = &write;
}

// (A file that another recording holds is refused: RecordingTest.OutputOrTempFileThatCannotBeOpened.)
TEST(TempStream, AnEarlierStreamIsReplacedByANewFileAndWhatIsNoFileIsRefused) {
  TempDir dir;
  const std::string name = dir / "ravik-0.tmp";
  ASSERT_TRUE(std::ofstream(name, std::ios::binary) << "earlier stream");
  // A reader of the earlier stream keeps what it had: the file is replaced, never cut, so the
  // system need not write a cut file back when the new one is closed.
  FILE* reader = fopen(name.c_str(), "rb");
  ASSERT_NE(reader, nullptr);
  FILE* file = nullptr;
  ASSERT_EQ(openTempFile(name, &file), 0);
  EXPECT_EQ(slurp(name), "") << "the new stream starts empty";
  const uint32_t word = 0x01020304;
  TempWriteState state;
  appendBlock(file, state, &word, 1);
  char held[32];
  EXPECT_EQ(std::string(held, fread(held, 1, sizeof held, reader)), "earlier stream");
  fclose(reader);
  EXPECT_EQ(closeTempFile(&file), 0);
  EXPECT_EQ(slurp(name), std::string(reinterpret_cast<const char*>(&word), 4));
  // What is no regular file is refused at once: a named pipe without a reader, a folder.
  const std::string pipe = dir / "ravik-1.tmp", folder = dir / "ravik-2.tmp";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  for (const std::string& other : {pipe, folder}) {
    EXPECT_EQ(openTempFile(other, &file), kTempFileError) << other;
    EXPECT_EQ(file, nullptr);
  }
}

TEST(TempStream, TheLossLogNotesWhereAndKeepsItInALossFileThatRefusesWhatItDoesNotUnderstand) {
  TempDir dir;
  const std::string stream = dir / "ravik-3.tmp";
  FILE* file = nullptr;
  std::string error;
  ASSERT_TRUE(writeLossFile(lossFileName(stream), {{StreamLoss::Device, 1, 2, ""}}, &error));
  ASSERT_EQ(openTempFile(stream, &file), 0);
  EXPECT_EQ(namesIn(dir.path), std::set<std::string>{"ravik-3.tmp"}) << "an old loss file goes";
  LossLog log;
  log.start(stream);
  log.refresh(100, false, true, 1000);
  log.refresh(300, true, true, 2000);   // lost after 100; its restart may come after 300
  log.refresh(500, false, false, 3000);
  log.refresh(700, false, true, 4000);
  log.writeFailed(700, ENOSPC);
  EXPECT_EQ(log.losses().back().lostNs, 0) << "700 bytes seen first at this refresh";
  log.refresh(700, false, true, 5000);
  log.refresh(700, false, true, 6000);
  log.finish(700, 9000);
  EXPECT_TRUE(log.lossSeen() && log.hasWriteFailure() && log.clockBad());
  std::vector<StreamLoss> kept;
  ASSERT_TRUE(readLossFile(lossFileName(stream), &kept, &error)) << error;
  ASSERT_EQ(kept.size(), 2u);
  // Both went on from the second refresh that saw 700 bytes to the stop.
  EXPECT_EQ(fields(kept[0]), fields({StreamLoss::Device, 100, 500, kDeviceLossCause, 9000 - 5000}));
  const std::string full = std::string("temp file write failed: ") + strerror(ENOSPC);
  EXPECT_EQ(fields(kept[1]), fields({StreamLoss::WriteFailed, 700, 700, full, 9000 - 5000}));
  EXPECT_EQ(closeTempFile(&file), 0);
  EXPECT_EQ(removeTempFile(stream), "");
  EXPECT_TRUE(namesIn(dir.path).empty());
  // What cannot be deleted is named, the rest goes all the same: a folder in the loss file's
  // place; a name with a file on its path, which can be neither moved aside nor deleted.
  const std::string lossName = lossFileName(stream);
  ASSERT_TRUE(std::ofstream(stream) << "raw");
  ASSERT_EQ(mkdir(lossName.c_str(), 0755), 0);
  EXPECT_EQ(removeTempFile(stream), lossName + ": not removed: " + strerror(EISDIR));
  EXPECT_EQ(namesIn(dir.path), std::set<std::string>{lossName.substr(dir.path.size() + 1)});
  ASSERT_EQ(rmdir(lossName.c_str()), 0);
  ASSERT_TRUE(std::ofstream(stream) << "raw");
  TempFileRemoval removal;
  const std::string beyond = stream + "/ravik-0.tmp";
  EXPECT_EQ(removal.remove({beyond}).find(beyond + ": not removed: " + strerror(ENOTDIR) + "; "), 0u);
  EXPECT_EQ(removal.remove({stream}), "");
  removal.wait();
  EXPECT_TRUE(namesIn(dir.path).empty());

  // The loss file read back: no file is no loss; what it does not understand is refused.
  const std::string name = lossFileName(stream);
  EXPECT_TRUE(readLossFile(name, &kept, &error) && kept.empty()) << "no file: no loss";
  ASSERT_TRUE(std::ofstream(name) << "device 1 2\ndevice 4 8 7\ndevice 9 3\n");  // ends before it begins
  EXPECT_FALSE(readLossFile(name, &kept, &error));
  EXPECT_EQ(error, name + ": line 3 is not a loss record");
  // Device lines with and without the time the recording went on after the stream.
  const struct {
    const char* line;
    bool ok;
    int64_t lostNs;
  } cases[] = {{"device 4 8\n", true, 0}, {"device 4 8 250\n", true, 250},
               {"device 4 8 x\n", false, 0}, {"device 4 8 250 3\n", false, 0},
               {"device 4 8 -1\n", false, 0}, {"device 4 4\n", true, 0},
               {"write-failed 7 250 disk full\n", true, 250}, {"write-failed 7 250 \n", false, 0}};
  for (const auto& c : cases) {
    ASSERT_TRUE(std::ofstream(name) << c.line);
    EXPECT_EQ(readLossFile(name, &kept, &error), c.ok) << c.line;
    EXPECT_EQ(kept.size(), size_t(c.ok)) << c.line;
    EXPECT_EQ(kept.empty() ? int64_t(0) : kept[0].lostNs, c.lostNs) << c.line;
  }
  // A loss file that is there but cannot be opened (a link to itself) is no "no loss".
  ASSERT_TRUE(unlink(name.c_str()) == 0 && symlink(name.c_str(), name.c_str()) == 0);
  EXPECT_FALSE(readLossFile(name, &kept, &error));
  EXPECT_EQ(error.find(name), 0u) << error;
  EXPECT_EQ(unlink(name.c_str()), 0);
}

// A file that another recording took up while the outputs were written is not replaced at the
// end, and no output after it is put in place either.
TEST(OutputFile, AFileTakenUpMeanwhileIsNotReplacedNorAnyOutputAfterIt) {
  TempDir d;
  std::string error;
  OutputFile text, binary;
  ASSERT_TRUE(text.create(d / "run.txt", &error) && binary.create(d / "run.bin", &error)) << error;
  fputs("1000 1\n", text.file());
  fputs("records", binary.file());
  std::ofstream(d / "run.txt") << "theirs";
  const int held = open((d / "run.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  EXPECT_FALSE(publishOutputs({{&text, "text output"}, {&binary, "binary output"}}, &error));
  EXPECT_EQ(close(held), 0);
  EXPECT_EQ(error, d / "run.txt: is in use by another recording, which writes or replays it; the "
                       "finished file was not put in its place; no output written");
  EXPECT_EQ(namesIn(d.path), std::set<std::string>{"run.txt"});
  EXPECT_EQ(slurp(d / "run.txt"), "theirs");
}

// How long the recording surely went on after a stream's last data: from the second refresh
// that saw the stream at its final size to the stop, never less than nothing.
TEST(TempStream, TheRecordingWentOnFromTheSecondRefreshThatSawTheFinalSize) {
  const struct {
    const char* what;
    std::vector<std::pair<int64_t, int64_t>> refreshes;  // bytes, time
    int64_t finalBytes, stopNs, wentOnNs;
  } cases[] = {
      {"grew until the stop", {{100, 1000}, {200, 2000}, {300, 3100}}, 300, 3000, 0},
      {"the final size first seen at the stop", {{100, 1000}, {200, 2000}}, 300, 3000, 0},
      {"seen once before the stop", {{100, 1000}, {200, 2000}, {200, 3100}}, 200, 3050, 0},
      {"seen twice before the stop",
       {{100, 1000}, {200, 2000}, {200, 3000}, {200, 4000}, {200, 6100}}, 200, 6050, 3050},
      {"stalled, then grown after the last refresh",
       {{100, 1000}, {200, 2000}, {200, 3000}, {200, 4000}}, 300, 5000, 0},
      {"the stop's refresh before the stop (a clock step)", {{200, 2000}, {200, 3000}}, 200,
       2500, 0},
      {"an empty stream", {{0, 1000}, {0, 2000}}, 0, 3000, 0},
      {"an empty stream of a recording started at 500: all of it", {{0, 1000}, {0, 2000}}, 0,
       3000, 2500},
  };
  TempDir dir;
  for (const auto& c : cases) {
    LossLog log;  // not started: no loss file, no start time
    if (c.wentOnNs == 2500) log.start(dir / "empty", 500);
    for (const auto& r : c.refreshes)  // a loss, so that there is one to note
      log.refresh(r.first, &r == &c.refreshes[0], true, r.second);
    log.finish(c.finalBytes, c.stopNs);
    ASSERT_FALSE(log.losses().empty()) << c.what;
    EXPECT_EQ(log.losses()[0].lostNs, c.wentOnNs) << c.what;
  }
}

// An output on a full device: the data written end exactly at a page that cannot be read, so a
// stream that read on past them after the failed write would crash here.
TEST(OutputStream, AFullDeviceFailsTheCloseAndNothingPastTheDataIsRead) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE)), bytes = 256 * page;
  char* const map = static_cast<char*>(
      mmap(nullptr, bytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map + bytes, page, PROT_NONE), 0);
  FILE* out = openOutputStream("/dev/full");
  ASSERT_NE(out, nullptr);
  EXPECT_LT(fwrite(map + 1, 1, bytes - 1, out), bytes - 1);
  EXPECT_LT(fwrite(map, 1, bytes, out), bytes) << "a full device stays full";
  EXPECT_EQ(closeOutputStream(out), ENOSPC);
  munmap(map, bytes + page);
}

// The report beside an output replaces only an earlier run report: it steps aside for any other
// file, and a name that cannot be written is refused before the run.
TEST(RunReport, GoesBesideTheBinaryOutputOrElseTheTextOutput) {
  TempDir dir;
  RunReport earlier;
  earlier.program = "ravik-merge";
  std::string error;
  ASSERT_TRUE(writeReport(earlier, dir / "old.json", &error)) << error;
  for (const char* name : {"notes.json", "both.json"}) std::ofstream(dir / name) << "notes\n";
  std::ofstream(dir / "both.report.json") << "more notes\n";
  // A run manifest has a program and devices, but is no report.
  std::ofstream(dir / "m.json") << R"({"manifest": "x", "program": "ravik-record", "devices": []})";
  const std::string longest = dir / (std::string(250, 'n') + ".bin");
  const struct {
    std::string text, binary, report, error = "";
  } cases[] = {
      {"a/run.txt", "b/run.bin", "b/run.json"},  {"a/run.txt", "", "a/run.json"},
      {"", "x.y/run", "x.y/run.json"},           {"", "run.json", "run.json.json"},
      {"", "dir/.hidden", "dir/.hidden.json"},  {"/dev/null", "", ""},
      {"", dir / "old.bin", dir / "old.json"},  {"", dir / "notes.bin", dir / "notes.report.json"},
      {dir / "m.txt", "", dir / "m.report.json"},
      {"", longest, longest.substr(0, longest.size() - 4) + ".json"},
      {"", dir / "both.bin", "", dir / "both.json and " + dir / "both.report.json: both are taken"},
      {"", dir / std::string(251, 'n'), "", "would be 256 bytes long, and its folder takes 255"},
      {dir / (std::string(251, 'n') + ".txt"), "", "", "would be 256 bytes long"},
  };
  for (const auto& c : cases) {
    std::string path = "unset";
    error.clear();
    EXPECT_EQ(defaultReportPath(c.text, c.binary, {}, &path, &error), c.error.empty()) << error;
    EXPECT_EQ(path, c.report);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
  EXPECT_EQ(slurp(dir / "notes.json"), "notes\n");

  // The facts of a device's losses, and what is not known left out.
  RunReport report;
  report.devices.resize(1);
  report.devices[0].lost = {{1, 10, 30, kDeviceLossCause}, {1, 50, 60, "w"}};
  report.devices[0].clockOk = 0;
  report.firstPs = report.lastPs = 5;
  const nlohmann::json j = toJson(report);
  EXPECT_EQ(j["devices"][0]["lost"][1], (nlohmann::json{{"from_ps", 50}, {"to_ps", 60}, {"cause", "w"}}));
  EXPECT_EQ(j["devices"][0]["lost_ps"], 30);
  EXPECT_EQ(j["devices"][0]["clock_ok"], false);
  EXPECT_TRUE(j["devices"][0]["index"].is_null() && j["start_utc"].is_null());
  EXPECT_EQ(j["first_ps"], 5);
  EXPECT_EQ(namesIn(dir.path), (std::set<std::string>{"old.json", "notes.json", "both.json",
                                                      "both.report.json", "m.json"}));
}

}  // namespace
