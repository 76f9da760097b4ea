// A run's outputs in parts: together the parts hold the whole output's records in its order, a
// part ends only between records of two times and where its rule says, every part is a whole
// output of its own, and a part that cannot be put in place stops the run and keeps the parts
// before it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "chain/partwriter.h"
#include "chain/tagwriter.h"
#include "merge/outputfile.h"
#include "merge/outputpath.h"
#include "device/korbalt.h"
#include "tests/cli_run.h"
#include "tests/hdf5_filters.h"
#include "tests/measure_reference.h"

namespace {



void header(FILE* f, bool) { writeFileHeader(f, 0); }

PartPlan plan(const TempDir& d, SplitRule rule, bool hdf5) {
  PartPlan p;
  p.text = d / "run.txt";
  p.binary = d / "run.bin";
  if (hdf5) p.hdf5 = d / "run.h5";
  p.rule = rule;
  return p;
}

// Writes `tags` in pieces of `piece` records, as time tags or (`raw`) as the merge hands them on
// while recording, with holds: then each part is told complete under its temporary names before
// any of them is renamed, so that a run killed in between has its recovery rename them rather
// than write the part again without the recording's description.
std::vector<PartFacts> writeParts(PartPlan p, const Tags& tags, size_t piece, bool raw) {
  p.holds = raw;
  std::string bytes(10 * tags.size(), '\0');
  for (size_t i = 0; i < tags.size(); ++i) {
    memcpy(&bytes[10 * i], &tags[i].time, 8);
    memcpy(&bytes[10 * i + 8], &tags[i].channel, 2);
  }
  PartWriter parts(p);
  std::string error;
  EXPECT_TRUE(parts.begin(&error)) << error;
  // Each part after the first is told under its temporary names before any of them exists.
  size_t told = 0;
  std::vector<int32_t> completeHolds;
  parts.describe(header, {}, [&](const std::vector<std::string>& names) {
    ++told;
    EXPECT_EQ(names.size(), p.hdf5.empty() ? 2u : 3u);
    for (const std::string& name : names)
      EXPECT_TRUE(isPartialName(name) && access(name.c_str(), F_OK) != 0) << name;
  }, [&](const PartFacts& part, const PartResume& after) {
    const auto placed = [&](bool in) {
      for (const PartFile& f : part.files)
        EXPECT_EQ(access(f.path.c_str(), F_OK) == 0, in) << f.path;
    };
    if (after.hold.complete) {
      completeHolds.push_back(part.index);
      placed(false);
      for (const PartFile& f : after.hold.part.files) EXPECT_EQ(access(f.path.c_str(), F_OK), 0);
    } else if (!after.hold.on && p.holds) {
      EXPECT_EQ(completeHolds.size() > 0 ? completeHolds.back() : 0, part.index);
      placed(true);
    }
    return true;
  });
  for (size_t at = 0; at < tags.size(); at += piece) {
    const size_t n = std::min(piece, tags.size() - at);
    if (raw)
      parts.writeRecords(bytes.data() + 10 * at, n);
    else
      parts.write(tags.data() + at, n);
  }
  EXPECT_TRUE(parts.publishLast(&error)) << error;
  EXPECT_EQ(told + 1, std::max<size_t>(1, parts.published().size()));
  if (raw) {
    EXPECT_EQ(completeHolds.size(), parts.published().size());
  }
  return parts.published();
}

std::string wholeText(const Tags& tags) {
  std::string text;
  char line[48];
  for (const TimeTag& t : tags)
    text += std::string(line, size_t(snprintf(line, sizeof line, "%lld, %hd\n",
                                              static_cast<long long>(t.time), t.channel)));
  return text;
}

Tags hdf5Records(const std::string& path) {
  const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  EXPECT_GE(file, 0) << path;
  const auto times = readData<int64_t>(file, "/photon_data/timestamps", H5T_NATIVE_INT64);
  const auto channels = readData<int16_t>(file, "/photon_data/detectors", H5T_NATIVE_INT16);
  H5Fclose(file);
  Tags tags;
  for (size_t i = 0; i < times.size() && i < channels.size(); ++i)
    tags.push_back({times[i], channels[i]});
  return tags;
}

// Records at `times`, on channels 1 to 7 in turn.
Tags at(const std::vector<int64_t>& times) {
  Tags tags;
  for (size_t i = 0; i < times.size(); ++i) tags.push_back({times[i], int16_t(1 + i % 7)});
  return tags;
}

Tags grid(int64_t n, int64_t step) {
  std::vector<int64_t> times;
  for (int64_t i = 0; i < n; ++i) times.push_back(1000000 + i / 3 * step);  // threes of one time
  return at(times);
}

}  // namespace

TEST(Parts, TogetherTheyAreTheWholeOutputAndEndOnlyWhereTheirRuleSays) {
  const struct {
    const char* name;
    Tags tags;
    SplitRule rule;
    std::vector<int64_t> firsts;  // each part's first time; empty: not checked
    bool hdf5 = false;
  } cases[] = {
      // Spans of 1000 ps from the first record: a time on a span's edge starts the next part,
      // records of the edge's time stay together, spans without records are passed over, and a
      // record that steps back behind the edge stays in the part it comes in; spans are counted
      // from the first record, not from each part's first.
      {"time", at({500, 900, 1499, 1500, 1500, 1500, 2100, 2499, 2500, 7300, 7301, 7250, 7600, 8600}),
       {0, 1000}, {500, 1500, 2500, 7300, 7600, 8600}},
      // Whatever the size, a part holds every record of its last time.
      {"size, one time", at({5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5}), {100, 0}, {5}},
      {"size", grid(3000, 7), {4000, 0}, {}},
      {"size and time", grid(3000, 7), {4000, 2000}, {}},
      // The HDF5 parts cross chunks of 65536 records.
      {"hdf5", grid(300000, 3), {0, 200000}, {}, true},
      {"no record", {}, {0, 1000}, {}, true},
  };
  for (const auto& c : cases) {
    // One record at a time as time tags; the merge's batches as its records.
    for (size_t piece : {size_t(1), size_t(4096)}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      TempDir d;
      const PartPlan p = plan(d, c.rule, c.hdf5);
      const std::vector<PartFacts> parts = writeParts(p, c.tags, piece, piece > 1);
      ASSERT_FALSE(parts.empty());
      std::string text;
      Tags binary, hdf5;
      std::set<std::string> names;
      for (size_t i = 0; i < parts.size(); ++i) {
        const PartFacts& part = parts[i];
        EXPECT_EQ(part.index, int32_t(i + 1));
        const std::string bin = slurp(partName(p.binary, part.index));
        // Each binary part has the header and a trailer that gives its records' end.
        ASSERT_GE(bin.size(), 2 * kHeaderBytes);
        EXPECT_EQ(bin.substr(0, 8), "TIKORBIN");
        int64_t end = 0;
        memcpy(&end, &bin[bin.size() - kHeaderBytes + 24], 8);
        EXPECT_EQ(end, int64_t(bin.size() - kHeaderBytes));
        const Tags mine = reference::recordsOf(records(bin));
        ASSERT_EQ(int64_t(mine.size()), part.records);
        if (!mine.empty()) {
          const auto earlier = [](const TimeTag& a, const TimeTag& b) { return a.time < b.time; };
          EXPECT_EQ(part.first, std::min_element(mine.begin(), mine.end(), earlier)->time);
          if (!binary.empty()) {
            EXPECT_NE(mine.front().time, binary.back().time);
          }
          if (!c.firsts.empty() && i < c.firsts.size()) {
            EXPECT_EQ(mine.front().time, c.firsts[i]);
          }
        }
        // Size: every part but the last has reached it, passing it by one time's records.
        const int64_t largest =
            std::max<int64_t>(slurp(partName(p.text, part.index)).size(), bin.size());
        if (c.rule.size > 0 && c.rule.timePs == 0 && i + 1 < parts.size()) {
          EXPECT_GE(largest, c.rule.size);
          if (c.tags.size() > 20) {
            EXPECT_LT(largest, c.rule.size + 2 * 29);
          }
        }
        text += slurp(partName(p.text, part.index));
        binary.insert(binary.end(), mine.begin(), mine.end());
        if (c.hdf5) {
          const Tags h = hdf5Records(partName(p.hdf5, part.index));
          EXPECT_EQ(h, mine);
          hdf5.insert(hdf5.end(), h.begin(), h.end());
        }
        for (const PartFile& f : part.files) names.insert(f.path.substr(d.path.size() + 1));
      }
      if (!c.firsts.empty()) {
        EXPECT_EQ(parts.size(), c.firsts.size());
      }
      EXPECT_EQ(text, wholeText(c.tags));
      EXPECT_EQ(binary, c.tags);
      if (c.hdf5) {
        EXPECT_EQ(hdf5, c.tags);
      }
      // Only the parts are left: no temporary file, no file under the name given.
      EXPECT_EQ(namesIn(d.path), names);
    }
  }
}

// A folder holds the name of part 2: the run stops there, part 1 stays, nothing else is left.
TEST(Parts, APartThatCannotBePutInPlaceStopsTheRunAndKeepsThePartsBefore) {
  TempDir d;
  ASSERT_EQ(mkdir((d / "run-0002.bin").c_str(), 0755), 0);
  PartWriter parts(plan(d, {0, 1000}, false));
  std::string error;
  ASSERT_TRUE(parts.begin(&error)) << error;
  parts.describe(header, {});
  const Tags tags = grid(3000, 7);
  parts.write(tags.data(), tags.size());
  EXPECT_TRUE(parts.failed());
  EXPECT_NE(parts.error().find(d / "run-0002.bin"), std::string::npos) << parts.error();
  EXPECT_NE(parts.error().find("; part 2 was not written, part 1 is in place"), std::string::npos)
      << parts.error();
  EXPECT_FALSE(parts.publishLast(&error));
  ASSERT_EQ(parts.published().size(), 1u);
  EXPECT_EQ(namesIn(d.path), (std::set<std::string>{"run-0001.txt", "run-0001.bin", "run-0002.bin"}));
  EXPECT_EQ(partName("a/b.c/run", 12), "a/b.c/run-0012");
  EXPECT_EQ(partName(".hidden", 10000), ".hidden-10000");
}

// A part's unfinished output goes on where its last sync left it, in a file of its own: the bytes
// after it, which a killed writer wrote but did not sync, are left out, and the file it goes on
// from stays as it was. A file shorter than what was synced of it, or none, is refused.
TEST(Parts, AnUnfinishedOutputGoesOnWhereItWasSynced) {
  TempDir d;
  const std::string path = d / "run-0003.txt", left = d / ".run-0003.txt.left";
  std::string error;
  int64_t synced = -1;
  {
    OutputFile killed;
    ASSERT_TRUE(killed.create(path, &error)) << error;
    fputs("1000 1\n2000 2\n", killed.file());
    ASSERT_TRUE(killed.sync(&synced, &error)) << error;
    EXPECT_EQ(synced, 14);
    fputs("9000 9\n9000 9\n9000 9\n", killed.file());  // longer than what follows it
    fflush(killed.file());
    ASSERT_EQ(link(killed.partialPath().c_str(), left.c_str()), 0);
  }
  for (const int64_t beyond : {int64_t(36), int64_t(-2)}) {
    OutputFile refused;
    refused.takeUpPartial(beyond < 0 ? d / "none" : left, beyond < 0 ? 0 : beyond);
    EXPECT_FALSE(refused.create(path, &error));
    EXPECT_NE(error.find("cannot go on with"), std::string::npos) << error;
    EXPECT_EQ(slurp(left), "1000 1\n2000 2\n9000 9\n9000 9\n9000 9\n");
  }
  OutputFile taken;
  taken.takeUpPartial(left, synced);
  ASSERT_TRUE(taken.create(path, &error)) << error;
  fputs("3000 3\n4000 4\n", taken.file());
  int64_t bytes = 0;
  ASSERT_TRUE(taken.sync(&bytes, &error)) << error;
  EXPECT_EQ(bytes, 28);
  ASSERT_TRUE(taken.finish(&error) && taken.publish(&error)) << error;
  EXPECT_EQ(slurp(path), "1000 1\n2000 2\n3000 3\n4000 4\n");
  EXPECT_EQ(slurp(left), "1000 1\n2000 2\n9000 9\n9000 9\n9000 9\n");  // for a next recovery
}
