// ravik-merge --recover, run as a child process on runs that ravik-record or the window left
// behind (killed with SIGKILL, or kept with --keep-raw), against the merge core and an explicit
// ravik-merge of the same temp files.
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <thread>

#include "chain/keptrun.h"
#include "cli/recovery.h"
#include "device/korbalt.h"
#include "report/runmanifest.h"
#include "tests/cli_run.h"
#include "tests/codec_stamps.h"
#include "tests/hdf5_filters.h"

namespace {

int64_t sizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

class RecoverTest : public RunFolders {
protected:
  pid_t record(const std::vector<std::string>& sim, std::vector<std::string> args) const {
    args.insert(args.begin(), {"-s", "--text", out + "/run.txt", "--bin", out + "/run.bin",
                               "--tmp", tmp});
    return spawnProgram(RAVIK_RECORD_PROGRAM, args, dir / "record.err", sim);
  }
  std::string recordErr() const { return slurp(dir / "record.err"); }

  // ravik-merge with `args`; its exit code, its standard error in *err.
  int merge(const std::vector<std::string>& args, std::string* err = nullptr) const {
    const int code = exitCode(spawnProgram(RAVIK_MERGE_PROGRAM, args, dir / "merge.err"));
    if (err != nullptr) *err = slurp(dir / "merge.err");
    return code;
  }

  // The recording's own folder in `tmp` once its manifest is there and every one of its
  // `streams` holds at least `bytes`; empty when that does not come within 30 seconds.
  std::string waitForRun(const std::vector<std::string>& streams, int64_t bytes) const {
    for (int i = 0; i < 3000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      const std::set<std::string> names = namesIn(tmp);
      if (names.size() != 1) continue;
      const std::string run = tmp + "/" + *names.begin();
      bool ready = sizeOf(manifestPath(run)) > 0;
      for (const std::string& s : streams) ready = ready && sizeOf(run + "/" + s) >= bytes;
      if (ready) return run;
    }
    return std::string();
  }

  // The recovery's outputs against the merge core on `chain` (text of at least `least` bytes;
  // the core writes no loss records, so with `lossRecords` they are left out of the text and the
  // binary output is the core's only without a loss) and, byte for byte, against an explicit
  // ravik-merge of the streams in reverse order, which ends with the recovery's exit `code`. The
  // run's report says who recorded what as the explicit one does; it is returned.
  nlohmann::json expectMergedWhole(const std::vector<CoreSource>& chain, int code, size_t least,
                                   bool lossRecords) const {
    const std::string text = slurp(out + "/run.txt"), bin = slurp(out + "/run.bin");
    coreMerge(chain, dir / "core.txt", dir / "core.bin");
    std::string timestamps;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
      end = text.find('\n', at);
      if (text[text.rfind(',', end) + 2] != '-') timestamps.append(text, at, end + 1 - at);
    }
    EXPECT_TRUE((lossRecords ? timestamps : text) == slurp(dir / "core.txt")) << "every timestamp";
    EXPECT_GT(timestamps.size(), least);
    EXPECT_EQ(records(bin) == slurp(dir / "core.bin"), !lossRecords || code == 0);
    std::vector<std::string> options = {"--text", dir / "explicit.txt", "--bin", dir / "explicit.bin",
                                        "--report", dir / "explicit.json"};
    if (lossRecords) options.push_back("--loss-records");
    char mask[16];
    for (auto s = chain.rbegin(); s != chain.rend(); ++s) {
      snprintf(mask, sizeof mask, "%#x", s->markers);
      options.push_back(s->path + ":" + std::to_string(s->chainPos) + ":" + mask);
    }
    std::string err;
    EXPECT_EQ(merge(options, &err), code) << err;
    EXPECT_TRUE(slurp(dir / "explicit.txt") == text);
    EXPECT_TRUE(slurp(dir / "explicit.bin") == bin);
    // Three devices with the ms tick, the master found last.
    const nlohmann::json report = nlohmann::json::parse(slurp(out + "/run.json"));
    const nlohmann::json expected = nlohmann::json::parse(slurp(dir / "explicit.json"));
    EXPECT_EQ(report["completed"], "recovered");
    EXPECT_EQ(report["records"], expected["records"]);
    for (size_t i = 0; i < 3; ++i) {
      const nlohmann::json& d = report["devices"][i];
      EXPECT_EQ(d["serial"], "TK2407" + std::to_string(i + 1));
      EXPECT_EQ(d["index"], 2 - int64_t(i));
      EXPECT_EQ(d["role"], i == 0 ? "Master" : "Slave " + std::to_string(i));
      EXPECT_EQ(d["parameters"]["markers"], 16);
      for (const char* key : {"chain", "stream", "records", "lost"})
        EXPECT_EQ(d[key], expected["devices"][i][key]) << key;
    }
    return report;
  }
};

// Three devices at 1 M events/s each, the master found last, the ms tick on every device: the
// recovery writes the run's own outputs with every timestamp of the temp files as the kill left
// them (one cut further, inside a word and a packet, as a kill during a write can leave it).
TEST_F(RecoverTest, ARunKilledAt3MEventsPerSecondIsRecoveredWhole) {
  std::ofstream(dir / "params.json") << R"({"markers": 16})";
  const pid_t pid = record({"RATES=200000", "ORDER=reverse"},
                           {"--seconds", "1e9", "--loss-records", "--params", dir / "params.json"});
  const std::string run = waitForRun({"ravik-0.tmp", "ravik-1.tmp", "ravik-2.tmp"}, 2 << 20);
  kill(pid, SIGKILL);
  ASSERT_EQ(exitCode(pid), 1000 + SIGKILL) << recordErr();
  ASSERT_FALSE(run.empty()) << recordErr();
  const std::set<std::string> partials = namesIn(out);
  EXPECT_EQ(partials.size(), 2u) << "the text and binary outputs, unfinished";
  for (const std::string& name : partials) EXPECT_EQ(name[0], '.') << "only partial outputs";
  const std::string torn = run + "/ravik-0.tmp";
  ASSERT_EQ(truncate(torn.c_str(), sizeOf(torn) - 6), 0);
  // One of them replaced by a link to a file of the user's: neither is touched.
  const std::string link = out + "/" + *partials.rbegin();
  std::ofstream(dir / "mine.txt") << "mine";
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink((dir / "mine.txt").c_str(), link.c_str()), 0);

  std::string err;
  const int code = merge({"--recover", run}, &err);
  ASSERT_TRUE(code == 0 || code == 5) << code << err;  // 5: a busy host made a device lose data
  // What the killed run left unfinished is gone, and the user is told.
  EXPECT_EQ(namesIn(out), (std::set<std::string>{"run.bin", "run.json", "run.txt", *partials.rbegin()}));
  EXPECT_NE(err.find("removed " + out + "/" + *partials.begin() + " ("), std::string::npos) << err;
  EXPECT_NE(err.find("warning: " + link + ": not removed: not a regular file"), std::string::npos)
      << err;
  EXPECT_EQ(slurp(dir / "mine.txt"), "mine");
  ASSERT_EQ(unlink(link.c_str()), 0);
  // With no loss the binary output is the merge core's; loss records are the only lines it lacks.
  const nlohmann::json report = expectMergedWhole(
      {{run + "/ravik-2.tmp", 0, 0x10}, {run + "/ravik-1.tmp", 1, 0x10}, {run + "/ravik-0.tmp", 2, 0x10}},
      code, 3000000, true);
  EXPECT_EQ(report["loss_records"], true);

  // Recovered once, the run's outputs exist: a second recovery leaves them alone.
  const std::string before = slurp(out + "/run.bin");
  EXPECT_EQ(merge({"--recover", run}, &err), 2);
  EXPECT_EQ(err, "ravik-merge: " + out + "/run.txt: the run's output exists already; give the "
                 "outputs of the recovery with --text, --bin or --hdf5 (or remove it)\n");
  EXPECT_TRUE(slurp(out + "/run.bin") == before);
}

// The times of an HDF5 part are those of its binary part's records, in time order.
void expectTheBinaryTimes(const std::string& h5, const std::string& records) {
  const hid_t file = H5Fopen(h5.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(file, 0) << h5;
  const auto times = readData<int64_t>(file, "/photon_data/timestamps", H5T_NATIVE_INT64);
  H5Fclose(file);
  std::vector<int64_t> binary(records.size() / 10);
  for (size_t i = 0; i < binary.size(); ++i) memcpy(&binary[i], &records[10 * i], 8);
  std::stable_sort(binary.begin(), binary.end());
  EXPECT_TRUE(times == binary) << h5;
}

// The replayed `sources` as far as the killed run's temp files in `run` (named in its manifest)
// reached, in chain order, as inputs of the merge core; *released: one temp file begins with a
// hole.
std::vector<CoreSource> asKilled(const TempDir& dir, const std::string& run,
                                 const std::vector<std::string>& sources, bool* released) {
  RunManifest manifest;
  std::string err;
  EXPECT_TRUE(manifestFromJson(nlohmann::json::parse(slurp(manifestPath(run))), &manifest, &err))
      << err;
  std::vector<CoreSource> chain(sources.size());
  *released = false;
  for (const ManifestDevice& d : manifest.devices) {
    const std::string temp = run + "/" + d.stream;
    chain[size_t(d.chain)] = {dir / ("kept" + std::to_string(d.chain)), d.chain, d.markers};
    std::ofstream(chain[size_t(d.chain)].path)
        << slurp(sources[size_t(d.chain)]).substr(0, size_t(sizeOf(temp)));
    *released = *released || beginsWithHole(temp);
  }
  return chain;
}

// The parts that the report out/run.json lists, together, hold the merge core's outputs of
// `chain`, and the report counts their records; no other file is left in `out`; an HDF5 part
// holds its binary part's times. The report.
nlohmann::json expectPartsAreTheWhole(const TempDir& dir, const std::string& out,
                                      const std::vector<CoreSource>& chain) {
  const nlohmann::json report = nlohmann::json::parse(slurp(out + "/run.json"));
  std::string text, bin;
  std::set<std::string> names = {"run.json"};
  int64_t records = 0;
  for (const nlohmann::json& part : report["parts"]) {
    text += slurp(part["files"][0]["path"]);
    const std::string partRecords = ::records(slurp(part["files"][1]["path"]));
    bin += partRecords;
    if (part["files"].size() > 2) {
      const std::string h5 = part["files"][2]["path"];
      expectTheBinaryTimes(h5, partRecords);
      // Whether the recording or its recovery wrote it, a part names the devices it was
      // recorded from and tells itself complete.
      const std::vector<std::string> labels = readStrings(h5, "/setup/detectors/label");
      EXPECT_TRUE(!labels.empty() && labels[0].rfind("TK2407", 0) == 0) << h5;
      const std::vector<std::string> share = readStrings(h5, "/user/ravik/report");
      EXPECT_TRUE(share.size() == 1 && nlohmann::json::parse(share[0])["completed"] != false) << h5;
    }
    records += part["records"].get<int64_t>();
    for (const nlohmann::json& file : part["files"])
      names.insert(file["path"].get<std::string>().substr(out.size() + 1));
  }
  EXPECT_EQ(namesIn(out), names) << "the killed part's temporary files and holds are gone";
  coreMerge(chain, dir / "core.txt", dir / "core.bin");
  EXPECT_TRUE(text == slurp(dir / "core.txt"));
  EXPECT_TRUE(bin == slurp(dir / "core.bin"));
  EXPECT_EQ(report["records"], records);
  return report;
}

// A run in parts, its devices replaying streams of four seconds, killed at two moments wherever
// its parts stand (each part's temporary names are in the manifest before its files exist): the
// raw data behind its published parts are let go as it goes (holes in the temp files, where the
// file system makes them), and the recovery goes on after the last part its manifest names,
// leaving the parts in place as they are and removing the part being written. All the parts
// together hold every timestamp of the streams as far as the kill left them, once; its HDF5 parts
// hold them as well, a part held part-way taken up from its HDF5 file as the kill left it.
TEST_F(RecoverTest, ASplitRunKilledGoesOnAfterItsPublishedParts) {
  std::vector<std::string> sources;
  for (uint32_t d = 0; d < 3; ++d) {
    sources.push_back(dir / ("source" + std::to_string(d)));
    ASSERT_TRUE(writeWords(sources.back(), packStream(gridStamps(600000, d + 7, 4400000, 1u << 30))));
  }
  const bool holes = makesHoles(dir.path);
  // The window's run folder is its temp folder; it splits as its settings say.
  mkdir((dir / "window").c_str(), 0755);
  mkdir((dir / "window/config").c_str(), 0755);
  mkdir((dir / "window/config/Vorlink").c_str(), 0755);
  const struct {
    bool window;
    const char* seconds;  // each part's span
    bool held;            // killed once a part is held part-way
  } faces[] = {{true, "1", true}, {false, "0.25", false}, {false, "1", true}};
  for (const auto& face : faces) {
    SCOPED_TRACE(std::to_string(face.window) + " " + face.seconds);
    std::ofstream(dir / "window/config/Vorlink/Ravik.conf")
        << "[General]\nsplitTime=" << face.seconds << "\n";
    // Hidden files too: a manifest being written when the window was killed.
    for (const std::string& folder : {tmp, out})
      ASSERT_EQ(system(("rm -rf " + folder + " && mkdir " + folder).c_str()), 0);
    const std::vector<std::string> sim = {
        "ORDER=reverse", "REPLAY=" + sources[0] + "," + sources[1] + "," + sources[2]};
    const pid_t pid =
        face.window
            ? spawnProgram(RAVIK_WINDOW_DRIVER,
                           {dir / "window", "0", tmp, out + "/run.txt", out + "/run.bin", out + "/run.h5"},
                           dir / "record.err", sim)
            : record(sim, {"--seconds", "1e9", "--split-time", face.seconds, "--hdf5", out + "/run.h5"});
    std::string run;
    if (face.window) {
      const std::vector<std::string> temps = {tmp + "/ravik-0.tmp", tmp + "/ravik-1.tmp", tmp + "/ravik-2.tmp"};
      for (int i = 0; i < 3000 && run.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bool grown = sizeOf(manifestPath(tmp)) > 0;
        for (const std::string& t : temps) grown = grown && sizeOf(t) >= (1 << 20);
        if (grown) run = tmp;
      }
    } else {
      run = waitForRun({"ravik-0.tmp", "ravik-1.tmp", "ravik-2.tmp"}, 1 << 20);
    }
    // Anywhere in a part: a quarter of a second of stream time is some 0.25 s of the replay. In
    // parts of a second, held some four times each, once a part is held part-way (its files
    // synced, the raw data behind them let go), which the recovery goes on with.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::random_device()() % 250));
    for (int i = 0; i < 300 && face.held &&
                    slurp(manifestPath(run)).find("\"hold\"") == std::string::npos;
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool held = slurp(manifestPath(run)).find("\"hold\"") != std::string::npos;
    kill(pid, SIGKILL);
    EXPECT_TRUE(held || !face.held) << "no part was held part-way";
    ASSERT_EQ(exitCode(pid), 1000 + SIGKILL) << recordErr();
    ASSERT_FALSE(run.empty()) << recordErr();
    std::map<std::string, std::string> published;
    for (const std::string& name : namesIn(out))
      if (name[0] != '.') published[name] = slurp(out + "/" + name);
    ASSERT_NE(slurp(manifestPath(run)).find("\"resume\""), std::string::npos)
        << "no part's end was noted";
    bool released = false;
    const std::vector<CoreSource> chain = asKilled(dir, run, sources, &released);
    EXPECT_EQ(released, holes) << "the raw data behind the published parts are let go";
    std::string err;

    ASSERT_EQ(merge({"--recover", run}, &err), 0) << err;
    const nlohmann::json report = expectPartsAreTheWhole(dir, out, chain);
    // A part published after the manifest was last written is written again, with the same
    // records (its binary header is then a merge's without devices).
    for (const auto& p : published) {
      const std::string now = slurp(out + "/" + p.first);
      const bool binary = p.first.find(".bin") != std::string::npos;
      EXPECT_TRUE(binary ? ::records(now) == ::records(p.second) : now == p.second) << p.first;
    }
    EXPECT_GT(report["parts"].size(), published.size() / 3);  // text, binary and HDF5 each
    int64_t devices = 0;
    for (const nlohmann::json& d : report["devices"]) devices += d["records"].get<int64_t>();
    EXPECT_EQ(devices, report["records"]);
  }
  // Named outputs, or a published part gone, cannot finish such a run (ravik-record's, the last).
  std::string err;
  const std::string run = tmp + "/" + *namesIn(tmp).begin();
  EXPECT_EQ(merge({"--recover", run, "--bin", dir / "other.bin"}, &err), 2);
  EXPECT_NE(err.find("can only be finished into its own outputs"), std::string::npos) << err;
  // A point beyond its stream's end (a manifest edited by hand) is refused, not merged as empty.
  const std::string kept = slurp(manifestPath(run));
  nlohmann::json edited = nlohmann::json::parse(kept);
  edited["resume"]["merge"]["sources"][0]["offset"] = int64_t(400) << 30;
  edited["resume"].erase("hold");  // the part held is in place since the recovery
  std::ofstream(manifestPath(run)) << edited.dump();
  EXPECT_EQ(merge({"--recover", run}, &err), 2);
  EXPECT_NE(err.find("beyond the stream's end"), std::string::npos) << err;
  std::ofstream(manifestPath(run)) << kept;
  ASSERT_EQ(unlink((out + "/run-0001.bin").c_str()), 0);
  ASSERT_EQ(unlink((out + "/run.json").c_str()), 0);
  EXPECT_EQ(merge({"--recover", run}, &err), 2);
  EXPECT_NE(err.find(out + "/run-0001.bin: missing"), std::string::npos) << err;
}

// The window, in a process of its own, records three devices (the master found last) with the ms
// tick into its temp folder and is killed: the recovery writes the outputs the window was to
// write, with every timestamp of the temp files (one torn inside a word), the HDF5 output with
// the metadata the window read for it, and a report that says the run was recovered.
TEST_F(RecoverTest, AWindowKilledWhileRecordingIsRecoveredWhole) {
  mkdir((dir / "window").c_str(), 0755);
  const std::string text = out + "/run.txt", bin = out + "/run.bin", hdf5 = out + "/run.h5";
  std::ofstream(out + "/ravik-meta.json") << R"({"identity": {"author": "A. Physicist"}})";
  const pid_t pid = spawnProgram(RAVIK_WINDOW_DRIVER,
                                 {dir / "window", "0x10", tmp, text, bin, hdf5}, dir / "window.out",
                                 {"RATES=50000", "ORDER=reverse", "DATA_LOSS=1"});
  std::vector<std::string> streams = {tmp + "/ravik-0.tmp", tmp + "/ravik-1.tmp", tmp + "/ravik-2.tmp"};
  bool grown = false;
  siginfo_t ended{};  // an error box ended it: left unreaped for exitCode()
  for (int i = 0; i < 3000 && !grown && ended.si_pid != pid; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    grown = sizeOf(manifestPath(tmp)) > 0;
    for (const std::string& s : streams) grown = grown && sizeOf(s) >= (1 << 20);
    waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT);
  }
  kill(pid, SIGKILL);
  ASSERT_EQ(exitCode(pid), 1000 + SIGKILL) << slurp(dir / "window.out");
  ASSERT_TRUE(grown) << slurp(dir / "window.out");
  size_t partials = 0;
  for (const std::string& name : namesIn(out)) {
    EXPECT_TRUE(name[0] == '.' || name == "ravik-meta.json") << "only partial outputs";
    partials += name[0] == '.';
  }
  EXPECT_EQ(partials, 3u) << "text, binary and HDF5, unfinished";
  ASSERT_EQ(truncate(streams[0].c_str(), sizeOf(streams[0]) - 6), 0);
  const std::string killed = slurp(manifestPath(tmp));

  // The window is started again on the same temp folder before the run is recovered: its Start
  // moves the killed run aside, whole, before it creates temp files of the same names.
  const pid_t again = spawnProgram(RAVIK_WINDOW_DRIVER, {dir / "window", "0x10", tmp, dir / "again.txt",
                                   dir / "again.bin", dir / "again.h5"}, dir / "again.out",
                                   {"RATES=50000", "ORDER=reverse"});
  std::string kept;
  for (int i = 0; i < 3000 && kept.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const std::string& name : namesIn(tmp))
      if (name.rfind("ravik-kept-", 0) == 0 && sizeOf(manifestPath(tmp)) > 0 &&
          slurp(manifestPath(tmp)) != killed)
        kept = tmp + "/" + name;
  }
  kill(again, SIGKILL);
  exitCode(again);
  ASSERT_FALSE(kept.empty()) << slurp(dir / "again.out");
  EXPECT_EQ(slurp(manifestPath(kept)), killed);
  // Index 1 loses data now and then: its loss file, as the kill left it, moved along, is read too.
  EXPECT_TRUE(namesIn(kept).count("ravik-1.tmp.loss"));
  for (std::string& s : streams) s = kept + s.substr(tmp.size());

  std::string err;
  const int code = merge({"--recover", kept}, &err);
  ASSERT_EQ(code, 5) << err;
  EXPECT_EQ(namesIn(out), (std::set<std::string>{"ravik-meta.json", "run.h5", "run.bin", "run.json",
                                                  "run.txt"}))
      << "the window's unfinished outputs removed";
  // Library index 2 is the master, 1 slave 1 and 0 slave 2.
  const nlohmann::json report = expectMergedWhole(
      {{streams[2], 0, 0x10}, {streams[1], 1, 0x10}, {streams[0], 2, 0x10}}, code, 1000000, false);
  // The HDF5 output too, with the window's metadata.
  EXPECT_EQ(datasetSize(hdf5, "/photon_data/timestamps"), int64_t(records(slurp(bin)).size() / 10));
  EXPECT_EQ(datasetSize(hdf5, "/identity/author"), 1);
  // Its detectors named by the window's devices, as the window's own output names them.
  const std::vector<std::string> labels = readStrings(hdf5, "/setup/detectors/label");
  EXPECT_NE(std::find(labels.begin(), labels.end(), "TK24071 input 1"), labels.end());
  EXPECT_NE(std::find(labels.begin(), labels.end(), "TK24073 marker ms tick"), labels.end());
  EXPECT_EQ(readStrings(hdf5, "/provenance/software"), std::vector<std::string>{"ravik"});
  EXPECT_EQ(readStrings(hdf5, "/provenance/creation_time").size(), 1u);
  EXPECT_EQ(report["outputs"], (nlohmann::json{{{"kind", "text"}, {"path", text}},
                                                {{"kind", "binary"}, {"path", bin}},
                                                {{"kind", "hdf5"}, {"path", hdf5}}}));
  EXPECT_FALSE(report["devices"][1]["lost"].empty());
}

// What a new recording moves aside: only a kept run, never one in use; with a manifest that
// cannot be read, every temp file of the folder.
TEST_F(RecoverTest, ANewRecordingMovesAsideOnlyAKeptRun) {
  std::string kept, error;
  EXPECT_TRUE(setAsideKeptRun(tmp, &kept, &error) && kept.empty()) << "no run there";
  std::ofstream(tmp + "/ravik-0.tmp") << "stream";
  std::ofstream(tmp + "/ravik-0.tmp.loss") << "losses";
  std::ofstream(tmp + "/notes.txt") << "the user's";
  RunManifest m;
  m.program = "ravik";
  m.devices.push_back({});
  m.devices.back().stream = "ravik-0.tmp";
  m.published = nlohmann::json::array({{{"index", 1}}});  // a part published: its log goes too
  m.resume = {{"part", 2}};
  {
    ManifestFile held;
    ASSERT_TRUE(held.write(tmp, m, &error)) << error;
    EXPECT_TRUE(setAsideKeptRun(tmp, &kept, &error) && kept.empty()) << "in use: left alone";
    EXPECT_EQ(namesIn(tmp).size(), 5u);
  }
  ASSERT_TRUE(setAsideKeptRun(tmp, &kept, &error)) << error;
  EXPECT_EQ(namesIn(kept), (std::set<std::string>{"ravik-0.tmp", "ravik-0.tmp.loss", kManifestName,
                                                  kPartsLogName}));
  EXPECT_EQ(slurp(kept + "/ravik-0.tmp"), "stream");
  EXPECT_EQ(namesIn(tmp), (std::set<std::string>{kept.substr(tmp.size() + 1), "notes.txt"}));

  std::ofstream(tmp + "/" + kManifestName) << "{";
  std::ofstream(tmp + "/ravik-3.tmp") << "3";
  std::ofstream(tmp + "/ravik-12.tmp") << "12";
  ASSERT_TRUE(setAsideKeptRun(tmp, &kept, &error)) << error;
  EXPECT_EQ(namesIn(kept), (std::set<std::string>{"ravik-3.tmp", "ravik-12.tmp", kManifestName}));
  EXPECT_TRUE(namesIn(tmp).count("notes.txt"));
}

// Index 1 loses data now and then: ravik-record exits with 5, its loss file gives the loss records
// of the manifest's --loss-records, and ravik-record's summary counts per device every event the
// callback was given (estimated 3 events per 2 words) in its raw file, and loss intervals only
// for the device that lost data.
TEST_F(RecoverTest, AKeptRunRecoversAsItWasMergedAndRefusesWhatItCannotDoWhole) {
  ASSERT_EQ(exitCode(record({"DATA_LOSS=1"}, {"--seconds", "0.6", "--keep-raw", "--loss-records"})), 5)
      << recordErr();
  const std::string run = waitForRun({}, 0);
  ASSERT_FALSE(run.empty());
  EXPECT_EQ(namesIn(run), (std::set<std::string>{"ravik-0.tmp", "ravik-1.tmp", "ravik-1.tmp.loss",
                                                 "ravik-2.tmp", kManifestName}));
  expectCompleteOutputs();
  const std::string summary = recordErr();
  for (uint32_t index = 0; index < 3; ++index) {
    std::smatch m;
    const std::string i = std::to_string(index);
    ASSERT_TRUE(std::regex_search(summary, m, std::regex("index " + i + " +([0-9]+) events \\(est")))
        << summary;
    const size_t rawBytes = slurp(run + "/ravik-" + i + ".tmp").size();
    EXPECT_GT(rawBytes, 0u);
    EXPECT_EQ(std::stoull(m[1]), rawBytes / 4 * 3 / 2) << "device " << index;
    ASSERT_TRUE(std::regex_search(summary, m, std::regex("index " + i + "\\) +records [0-9]+ +loss (\\w+)")))
        << summary;
    EXPECT_EQ(m[1] == "none", index != 1) << "device " << index;
  }
  std::string err;
  // The run's outputs exist, so the recovery goes to outputs of its own; the manifest may be
  // named instead of its folder. Index 1 is at chain position 2: loss records on channels -5, -6.
  ASSERT_EQ(merge({"--recover", manifestPath(run), "--text", dir / "again.txt", "--quiet"}, &err), 5)
      << err;
  EXPECT_TRUE(slurp(dir / "again.txt") == slurp(out + "/run.txt"));
  EXPECT_NE(slurp(dir / "again.txt").find(", -6\n"), std::string::npos) << "loss records";
  const nlohmann::json again = nlohmann::json::parse(slurp(dir / "again.json"));
  const nlohmann::json recorded = nlohmann::json::parse(slurp(out + "/run.json"));
  EXPECT_EQ(again["completed"], "recovered");
  EXPECT_EQ(recorded["completed"], true);
  for (size_t i = 0; i < 3; ++i)
    for (const char* key : {"serial", "index", "chain", "role", "stream", "records", "lost", "parameters"})
      EXPECT_EQ(again["devices"][i][key], recorded["devices"][i][key]) << i << key;

  // The manifest is read, never replaced by an output or the report.
  const std::string manifest = slurp(manifestPath(run));
  for (const char* option : {"--text", "--report"}) {
    EXPECT_EQ(merge({"--recover", run, "--bin", dir / "x.bin", option, manifestPath(run)}, &err), 2);
    EXPECT_EQ(err, "ravik-merge: " + manifestPath(run) + ": is the run manifest " + manifestPath(run) +
                       "; choose another name for the " +
                       (option == std::string("--text") ? "text output" : "run report") + "\n");
    EXPECT_EQ(slurp(manifestPath(run)), manifest);
  }

  // While a recording holds one of its temp files (a run whose manifest another program holds:
  // test_ravik_record, CtrlCInTheMergeLeavesNoOutputAndKeepsTheRawFiles).
  const std::string held = run + "/ravik-2.tmp";
  const int fd = open(held.c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  EXPECT_EQ(merge({"--recover", run, "--text", dir / "x.txt"}, &err), 2);
  EXPECT_EQ(err, "ravik-merge: " + held + ": is in use by a recording or another merge\n");
  close(fd);

  // A recovery killed in its turn (held in the merge by a pipe nobody reads) leaves its text
  // output unfinished under the name it noted in the manifest (when created, before its first
  // write: waited for until it holds text), holding the run; the next recovery removes it.
  const std::string pipe = dir / "stuck.pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  const pid_t stuck = spawnProgram(RAVIK_MERGE_PROGRAM,
                                   {"--recover", run, "--text", dir / "k.txt", "--bin", pipe},
                                   dir / "stuck.err");
  std::string partial;
  for (int i = 0; i < 3000 && partial.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const nlohmann::json m = nlohmann::json::parse(slurp(manifestPath(run)), nullptr, false);
    for (const nlohmann::json& p : m.is_object() ? m["partials"] : nlohmann::json::array())
      if (sizeOf(p) > 0) partial = p;
  }
  EXPECT_EQ(merge({"--recover", run, "--text", dir / "x.txt"}, &err), 2) << "still the run's";
  kill(stuck, SIGKILL);
  EXPECT_EQ(exitCode(stuck), 1000 + SIGKILL) << slurp(dir / "stuck.err");
  close(reader);
  ASSERT_EQ(partial.rfind(dir / ".ravik-", 0), 0u) << partial << slurp(dir / "stuck.err");
  EXPECT_GT(sizeOf(partial), 0);
  ASSERT_EQ(merge({"--recover", run, "--text", dir / "k.txt"}, &err), 5) << err;
  EXPECT_NE(err.find("removed " + partial + " ("), std::string::npos) << err;
  EXPECT_EQ(sizeOf(partial), -1);
  EXPECT_TRUE(slurp(dir / "k.txt") == slurp(out + "/run.txt"));

  // Refused before any output exists: streams beside the manifest's, a folder without a manifest
  // (without runs in it: test_runmanifest), and a missing temp file, the others named with their
  // chains.
  const struct {
    std::vector<std::string> args;
    std::string message;
  } refusals[] = {
      {{"--recover", run, "--text", dir / "x.txt", run + "/ravik-0.tmp"},
       "--recover takes the streams from the run's manifest: give no STREAM with it"},
      // The temp folder given to the recording instead of the run's own: the runs in it are named.
      {{"--recover", tmp, "--text", dir / "x.txt"},
       tmp + ": holds no run manifest ravik-run.json; the runs kept in its folders: " + run +
           "; finish each with ravik-merge --recover FOLDER"},
      {{"--recover", run, "--text", dir / "x.txt"},
       run + ": temp file missing: ravik-0.tmp (TK24072); the run cannot be recovered whole; the "
             "others merge with: ravik-merge --text FILE " + run + "/ravik-2.tmp:0:0x0 " + run +
             "/ravik-1.tmp:2:0x0"},
  };
  ASSERT_EQ(rename((run + "/ravik-0.tmp").c_str(), (dir / "elsewhere.tmp").c_str()), 0);
  for (const auto& r : refusals) {
    EXPECT_EQ(merge(r.args, &err), 2) << r.message;
    EXPECT_EQ(err, "ravik-merge: " + r.message + "\n");
    EXPECT_EQ(namesIn(dir.path).count("x.txt"), 0u);
  }
}

}  // namespace
