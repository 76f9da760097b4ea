// The run manifest: what its file keeps, what it refuses to read, and the lock that keeps a
// recovery off a run that is still in progress or already being recovered.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "merge/outputpath.h"
#include "report/metafile.h"
#include "report/runmanifest.h"
#include "tests/core_merge.h"

namespace {

// The HDF5 output's metadata of the sample, one field of every kind.
const nlohmann::json kMeta = {{"description", "two dyes"},
                              {"identity", {{"author", "A. Physicist"}}},
                              {"sample", {{"num_dyes", 2}}},
                              {"setup", {{"excitation_wavelengths", {5.32e-7, 6.35e-7}},
                                         {"excitation_cw", {1, 0}}}}};

// A manifest with every field set, as its file holds it: the master found last, a slave whose
// parameters are not known.
const nlohmann::json kSample = {
    {"manifest", "ravik-run"}, {"version", 1}, {"program", "ravik-record"},
    {"start_utc", "2026-12-06T07:05:09.123Z"},
    {"devices", {{{"serial", "TK24073"}, {"index", 2}, {"chain", 0}, {"role", "Master"},
                  {"markers", 0x10}, {"stream", "ravik-2.tmp"},
                  {"parameters", {{"markers", 16}, {"divider", 1}}}},
                 {{"serial", "TK24071"}, {"index", 0}, {"chain", 1}, {"role", "Slave 1"},
                  {"markers", 0x1FF}, {"stream", "ravik-0.tmp"}, {"parameters", nullptr}}}},
    {"outputs", {{{"kind", "text"}, {"path", "/data/run.txt"}},
                 {{"kind", "hdf5"}, {"path", "/data/run.h5"}}}},
    {"loss_records", true}, {"report", "/data/report.json"}, {"compress", true},
    {"keep", "6 within 5000 of 1"}, {"meta", kMeta},
    {"partials", {"/data/.ravik-Xq3b9Z", "/data/.ravik-0aB1c2"}}};

RunManifest sample() {
  RunManifest m;
  std::string error;
  EXPECT_TRUE(manifestFromJson(kSample, &m, &error)) << error;
  return m;
}

// The split of a run in parts and the HDF5 compression (false, true for deflate, or "fast") read
// back as written; no split is off; a bad value is refused.
TEST(RunManifest, SplitAndCompressionReadBackAsWritten) {
  using C = Hdf5Compression;
  const struct {
    const char* key;
    nlohmann::json value;  // null: the key left out
    bool good;
    int64_t size = 0, timePs = 0;
    C compression = C::Deflate;  // the sample's
  } cases[] = {{"split", nullptr, true},
               {"split", {{"size", 0}, {"time_ps", 60000000000000}}, true, 0, 60000000000000},
               {"split", {{"size", 1 << 30}, {"time_ps", 0}}, true, 1 << 30, 0},
               {"split", {{"size", 0}, {"time_ps", 0}}, false},
               {"split", {{"size", -1}, {"time_ps", 5}}, false},
               {"split", {{"time_ps", 5}}, false},
               {"split", "60 s", false},
               {"compress", false, true, 0, 0, C::None},
               {"compress", true, true, 0, 0, C::Deflate},
               {"compress", "fast", true, 0, 0, C::Fast},
               {"compress", "deflate", false},
               {"compress", "zip", false}};
  for (const auto& c : cases) {
    nlohmann::json j = kSample;
    if (!c.value.is_null()) j[c.key] = c.value;
    RunManifest m;
    std::string error;
    EXPECT_EQ(manifestFromJson(j, &m, &error), c.good) << c.key << " " << c.value;
    if (!c.good) continue;
    EXPECT_EQ(std::make_tuple(m.splitSize, m.splitTimePs, m.compress),
              std::make_tuple(c.size, c.timePs, c.compression)) << c.key << " " << c.value;
    EXPECT_EQ(toJson(m).value(c.key, nlohmann::json()), c.value);
  }
}

TEST(RunManifest, KeepsEveryFieldAndIsHeldByOneProgramAtATime) {
  TempDir dir;
  std::string error;
  ManifestFile recording;
  // What a writer killed while it wrote left, and one being written (its writer holds it).
  std::ofstream(dir / ".ravik-run-K1ll3d") << "{";
  std::ofstream(dir / ".ravik-run-Wr1t1n") << "{";
  std::ofstream(dir / ".ravik-run-notes.txt") << "the user's";
  const int writing = open((dir / ".ravik-run-Wr1t1n").c_str(), O_RDONLY);
  ASSERT_EQ(flock(writing, LOCK_EX), 0);
  ASSERT_TRUE(recording.write(dir.path, sample(), &error)) << error;
  EXPECT_EQ(namesIn(dir.path), (std::set<std::string>{kManifestName, ".ravik-run-Wr1t1n",
                                                      ".ravik-run-notes.txt"}));
  close(writing);
  for (const char* name : {".ravik-run-Wr1t1n", ".ravik-run-notes.txt"})
    unlink((dir / name).c_str());
  EXPECT_EQ(recording.dir(), dir.path);

  // While the recording holds it, no recovery takes it and no other recording replaces it.
  ManifestFile recovery;
  RunManifest read;
  EXPECT_FALSE(recovery.take(dir.path, &read, &error));
  EXPECT_NE(error.find("is in use"), std::string::npos) << error;
  ManifestFile other;
  EXPECT_FALSE(other.write(dir.path, RunManifest(), &error));
  EXPECT_NE(error.find("still being recorded"), std::string::npos) << error;

  // Released (the recording ended without its merge), it is read back whole, and held again by
  // the recovery against a second one.
  recording.release();
  EXPECT_TRUE(recording.dir() == dir.path && !recording.held());
  ASSERT_TRUE(recovery.take(dir.path, &read, &error)) << error;
  EXPECT_EQ(toJson(read), kSample);
  EXPECT_EQ(read.meta.size(), 5u);
  EXPECT_FALSE(other.take(dir.path, &read, &error));
  // The recovery notes its own outputs' temporary names: the file is written anew and stays its.
  read.partials = {"/data/.ravik-R3c0v3"};
  ASSERT_TRUE(recovery.write(dir.path, read, &error)) << error;
  EXPECT_TRUE(recovery.held());
  EXPECT_FALSE(other.take(dir.path, &read, &error));
  EXPECT_EQ(namesIn(dir.path), std::set<std::string>{kManifestName}) << "no temporary name left";
  recovery.release();
  ASSERT_TRUE(other.take(dir.path, &read, &error)) << error;
  EXPECT_EQ(read.partials, std::vector<std::string>{"/data/.ravik-R3c0v3"});
  other.release();

  // A recording that merged its run deletes the manifest with the temp files; what cannot be
  // deleted is named (here a folder in the parts log's place), the rest goes all the same.
  ASSERT_TRUE(recording.write(dir.path, sample(), &error)) << error;
  const std::string log = dir / kPartsLogName;
  ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
  EXPECT_EQ(recording.remove(), log + ": not removed: " + strerror(EISDIR));
  EXPECT_EQ(namesIn(dir.path), std::set<std::string>{kPartsLogName});
  ASSERT_EQ(rmdir(log.c_str()), 0);
  EXPECT_FALSE(recovery.take(dir.path, &read, &error));
  EXPECT_EQ(error, dir.path + ": holds no run manifest ravik-run.json");

  // A folder that takes no new file.
  EXPECT_FALSE(recording.write(dir / "missing", sample(), &error));
  EXPECT_NE(error.find(dir / "missing/.ravik-run-"), std::string::npos) << error;
  EXPECT_FALSE(recording.held());
}

// The parts published go to the log beside the manifest, each once, as they come, and the
// manifest names how many of its lines are the run's. A line beyond them (a kill while one was
// appended) is not the run's: the next part takes its place. A log with fewer parts than named is
// refused; a new run in the folder begins a log of its own, and the log goes with the manifest.
TEST(RunManifest, ThePartsPublishedGoToTheirLogOnceEach) {
  TempDir dir;
  std::string error;
  const auto part = [](int i) { return nlohmann::json{{"index", i}, {"records", 10 * i}}; };
  const auto lines = [&](int n) {
    std::string text;
    for (int i = 1; i <= n; ++i) text += part(i).dump() + "\n";
    return text;
  };
  const std::string log = dir / kPartsLogName;
  RunManifest m = sample();
  m.resume = {{"part", 3}};
  ManifestFile recording;
  for (int n = 1; n <= 2; ++n) {
    m.published.push_back(part(n));
    ASSERT_TRUE(recording.write(dir.path, m, &error)) << error;
  }
  EXPECT_EQ(slurp(log), lines(2));
  EXPECT_EQ(nlohmann::json::parse(slurp(manifestPath(dir.path)))["published"],
            (nlohmann::json{{"log", kPartsLogName}, {"count", 2}}));
  std::string runDir;
  EXPECT_TRUE(keptRunFile(log, &runDir) && runDir == dir.path) << "no output may replace it";
  recording.release();

  std::ofstream(log, std::ios::app) << R"({"index": 3, "rec)";
  ManifestFile recovery;
  RunManifest read;
  ASSERT_TRUE(recovery.take(dir.path, &read, &error)) << error;
  EXPECT_EQ(read.published, m.published);
  read.published.push_back(part(3));
  ASSERT_TRUE(recovery.write(dir.path, read, &error)) << error;
  EXPECT_EQ(slurp(log), lines(3));
  recovery.release();

  ASSERT_EQ(truncate(log.c_str(), off_t(lines(1).size())), 0);
  EXPECT_FALSE(recovery.take(dir.path, &read, &error));
  EXPECT_NE(error.find("holds 1 whole parts, not the 3 that it names"), std::string::npos) << error;

  m.published = nlohmann::json::array({part(1)});
  ASSERT_TRUE(recording.write(dir.path, m, &error)) << error;
  EXPECT_EQ(slurp(log), lines(1));
  EXPECT_EQ(recording.remove(), "");
  EXPECT_TRUE(namesIn(dir.path).empty());
}

// A manifest is read only when everything a merge takes from it is sound: a stream that would
// lead out of the run's folder, a chain position or marker mask the merge cannot take, or a
// damaged file is refused with the key at fault.
TEST(RunManifest, RefusesWhatTheMergeCannotTakeNamingTheKey) {
  const struct {
    const char* key;  // set to `value` in a sound manifest; "" is the whole document
    nlohmann::json value;
    const char* message;
  } cases[] = {
      {"/manifest", "other", "not a run manifest of version 1"},
      {"/version", 2, "not a run manifest of version 1"},
      {"/devices", nlohmann::json::array(), "devices is empty"},
      {"/devices", "all", "devices is not a list"},
      {"/devices/0/stream", "../ravik-0.tmp", "devices[0].stream is not a file name"},
      {"/devices/1/stream", "sub/ravik-0.tmp", "devices[1].stream is not a file name"},
      {"/devices/1/stream", nullptr, "devices[1].stream is missing"},
      {"/devices/0/chain", -1, "devices[0].chain is not a whole number from 0"},
      {"/devices/0/markers", 0x200, "devices[0].markers is not a whole number from 0 to 511"},
      {"/outputs/1/kind", "pdf", "outputs[1].kind is none of"},
      {"/outputs/0/path", "", "outputs[0].path is not a text"},
      {"/loss_records", "yes", "loss_records is not true or false"},
      {"/meta/identity/autor", "A",
       "meta is not the HDF5 output's metadata: unknown key identity.autor"},
      {"/meta/sample/num_dyes", -1, "meta is not the HDF5 output's metadata: sample.num_dyes must"},
      {"", 3, "the manifest is not an object"},
      // A recovery deletes these: nothing but an output's temporary name is taken.
      {"/partials", "/data/.ravik-Xq3b9Z", "partials is not a list"},
      {"/partials/1", "/data/run.txt", "partials[1] is not the absolute temporary name"},
      {"/partials/0", ".ravik-Xq3b9Z", "partials[0] is not the absolute temporary name"},
      {"/partials/0", "/data/.ravik-run-Xq3b9Z", "partials[0] is not the absolute temporary name"},
      {"/partials/0", "/data/.ravik-Xq3b9/", "partials[0] is not the absolute temporary name"},
  };
  RunManifest m;
  std::string error;
  for (const auto& c : cases) {
    nlohmann::json j = kSample;
    j[nlohmann::json::json_pointer(c.key)] = c.value;
    EXPECT_FALSE(manifestFromJson(j, &m, &error)) << c.key;
    EXPECT_EQ(error.find(c.message), 0u) << c.key << ": " << error;
  }

  // A manifest without metadata or temporary names, as from before they were kept, has none.
  nlohmann::json older = kSample;
  older.erase("meta");
  older.erase("partials");
  RunManifest read;
  EXPECT_TRUE(manifestFromJson(older, &read, &error)) << error;
  EXPECT_TRUE(read.meta.empty() && read.partials.empty());

  TempDir dir;
  std::ofstream(manifestPath(dir.path)) << "{\"manifest\": \"ravik-run\",";
  ManifestFile file;
  EXPECT_FALSE(file.take(dir.path, &m, &error));
  EXPECT_EQ(error, manifestPath(dir.path) + ": not a JSON document");
  EXPECT_FALSE(file.held());
}

TEST(RunManifest, OutputPathsAreMadeAbsoluteAgainstTheWorkingFolder) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(absolutePath("out/run.bin"), std::string(cwd) + "/out/run.bin");
  for (const char* path : {"/data/run.bin", "-", ""}) EXPECT_EQ(absolutePath(path), path);
}

}  // namespace
