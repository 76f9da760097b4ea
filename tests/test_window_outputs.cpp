// The window's outputs as chosen while it records: the outputs ticked and named at Stop are the
// ones written (those changed since Start from the temp files after Stop, the others by the merge
// beside the recording), the temp files leave their names before Idle, and a chain whose
// channels two devices share is recorded and said so.
#include <QRegularExpression>
#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "chain/tempremoval.h"
#include "merge/mergethread.h"
#include "core_merge.h"
#include "window_harness.h"

namespace {

// While set, the deletion of merged temp files waits.
std::atomic<bool> gHoldRemoval{false};
void holdRemoval() {
  while (gHoldRemoval.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class OutputsTest : public WindowTest {
protected:
  void SetUp() override {
    WindowTest::SetUp();
    tempRemovalStarting = &holdRemoval;
  }
  void TearDown() override {
    gHoldRemoval = false;
    WindowTest::TearDown();
    tempRemovalStarting = nullptr;
  }

  // Ticks the text and binary outputs named (in the test's folder; empty: unticked).
  void choose(const char* text, const char* binary) {
    KRmtProbe p = probe();
    p.ascEnable()->setChecked(*text != '\0');
    p.binEnable()->setChecked(*binary != '\0');
    if (*text != '\0') p.ascPath()->setText(path(text));
    if (*binary != '\0') p.binPath()->setText(path(binary));
  }

  // Whether every path field, folder button and output box can be used.
  bool fieldsEnabled() const {
    KRmtProbe p = probe();
    const QWidget* fields[] = {p.ascEnable(), p.binEnable(), p.hdf5Enable(), p.ascPath(),
                               p.binPath(),   p.hdf5Path(),  p.tmpPath(),    p.ascBtn(),
                               p.binBtn(),    p.hdf5Btn(),   p.tmpBtn()};
    return std::all_of(std::begin(fields), std::end(fields), [](const QWidget* w) { return w->isEnabled(); });
  }

  QStringList entries(const QString& folder, const QString& pattern) const {
    return QDir(path(folder)).entryList({pattern}, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  }
};

int64_t lines(const QByteArray& text) { return text.count('\n'); }
int64_t binaryRecords(const QByteArray& binary) { return (binary.size() - 2 * 64) / 10; }

}  // namespace

TEST_F(OutputsTest, TheOutputsChosenAtStopAreWrittenAndTheTempFilesLeaveTheirNamesBeforeIdle) {
  openRecordingWindow();
  QDir(_dir.path()).mkpath("work2");
  ASSERT_EQ(KRmt::_devs.size(), 3);
  const QString noTempFile =
      "Can't open tempfile " + path("work/ravik-%1.tmp").arg(KRmt::_devs[0]->_index);
  const struct {
    const char* what;
    const char *startText, *startBinary, *stopText, *stopBinary;
    bool moveTmp;        // the temp folder field changed while recording
    const char* later;   // what a merge after Stop writes: "", "text", "binary"
    QString box;         // the one error box; empty: none
  } cases[] = {
      {"unchanged", "a.txt", "run.bin", "a.txt", "run.bin", false, "", ""},
      {"text unticked", "a.txt", "run.bin", "", "run.bin", false, "", ""},
      {"text ticked", "", "run.bin", "a.txt", "run.bin", false, "text", ""},
      {"text renamed", "a.txt", "", "b.txt", "", false, "text", ""},
      {"binary renamed", "a.txt", "run.bin", "a.txt", "other.bin", false, "binary", ""},
      {"temp folder changed", "a.txt", "run.bin", "a.txt", "run.bin", true, "", ""},
      // No output at Start, so no temp file: nothing to merge when one is ticked later. The box
      // names the file in the temp folder of Start.
      {"no output at Start", "", "", "a.txt", "", true, "", noTempFile},
  };
  const char* const files[] = {"a.txt", "b.txt", "run.bin", "other.bin"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    KRmtProbe p = probe();
    for (const char* name : files) ASSERT_TRUE(std::ofstream(path(name).toStdString()) << "earlier");
    for (const QString& report : entries(".", "*.json")) QFile::remove(path(report));
    p.tmpPath()->setText(path("work"));
    choose(c.startText, c.startBinary);
    record();
    EXPECT_TRUE(fieldsEnabled());
    choose(c.stopText, c.stopBinary);
    if (c.moveTmp) p.tmpPath()->setText(path("work2"));
    gHoldRemoval = true;
    p.stopBtn()->click();
    if (_window->state() == KRmt::Saving) {
      EXPECT_TRUE(fieldsEnabled());
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
    // Deleted or not, no temp file is under its name any more.
    EXPECT_EQ(entries("work", "ravik-*.tmp*"), QStringList());
    EXPECT_EQ(entries("work2", "*"), QStringList());
    EXPECT_EQ(_boxes.texts, c.box.isEmpty() ? QStringList() : QStringList{c.box});
    _boxes.texts.clear();
    if (c.box.isEmpty()) {  // the merge after Stop writes only the outputs changed since Start
      const MergeThread* last = p.merger();
      const std::string later = c.later;
      EXPECT_EQ(std::make_tuple(last->_growing == nullptr, !later.empty() && last->_ascFile != nullptr,
                                !later.empty() && last->_binFile != nullptr),
                std::make_tuple(!later.empty(), later == "text", later == "binary"));
    }
    // What Stop chose holds the whole recording; every other file keeps its content.
    std::set<std::string> written;
    for (const char* name : {c.stopText, c.stopBinary})
      if (*name != '\0' && c.box.isEmpty()) written.insert(path(name).toStdString());
    for (const char* name : files) {
      const QByteArray content = readFile(path(name));
      if (written.count(path(name).toStdString()) == 0)
        EXPECT_EQ(content, "earlier") << name;
      else
        EXPECT_GT(QString(name).endsWith(".txt") ? lines(content) : binaryRecords(content), 100) << name;
    }
    if (*c.stopText != '\0' && *c.stopBinary != '\0' && c.box.isEmpty()) {
      EXPECT_EQ(lines(readFile(path(c.stopText))), binaryRecords(readFile(path(c.stopBinary))));
    }
    EXPECT_EQ(entries(".", ".ravik-*"), QStringList()) << "no output left under a temporary name";
    // The run report names what was written.
    const QStringList reports = entries(".", "*.json");
    std::set<std::string> reported;
    if (reports.size() == 1) {
      const nlohmann::json report = nlohmann::json::parse(readFile(path(reports[0])).toStdString());
      for (const auto& out : report["outputs"]) reported.insert(out["path"].get<std::string>());
    }
    EXPECT_EQ(reported, written);
    gHoldRemoval = false;
    p.waitTempRemoval();
    EXPECT_EQ(entries("work", "*"), QStringList()) << "the deleted files' folder goes too";
  }
}

// A file of the run that cannot be deleted after the merge (a folder in the place of the parts
// log, which a run in one part never writes) is named once the window is in Idle; the output is
// complete.
TEST_F(OutputsTest, AFileOfTheRunThatCannotBeDeletedIsSaidOnceIdle) {
  KRmtProbe p = openRecordingWindow();
  p.tmpPath()->setText(path("work"));
  choose("", "out.bin");
  record();
  const QString log = path("work/ravik-run-parts.jsonl");
  ASSERT_TRUE(QDir().mkpath(log));
  p.stopBtn()->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !_boxes.texts.isEmpty(); }, kWaitMs));
  EXPECT_EQ(_window->state(), KRmt::Idle);
  EXPECT_EQ(_boxes.texts, QStringList{"The outputs are complete, but these files could not be deleted: " +
                                      log + ": not removed: " + strerror(EISDIR)});
  EXPECT_GT(binaryRecords(readFile(path("out.bin"))), 100);
  _boxes.texts.clear();
  ASSERT_TRUE(QDir().rmdir(log));
}

// The margin of free space from the settings: above what the temp folder's file system has free,
// the recording stops by itself at once and publishes what it recorded; 0 never stops; a bad
// size is said and the default kept. While recording, the note's last line is the free space.
TEST_F(OutputsTest, BelowTheSettingsMarginTheRecordingStopsByItselfAndSaysWhy) {
  const struct {
    const char* minFree;
    const char* note;  // on the note line after the stop
    bool stopped;      // by itself
  } cases[] = {{"1000T", "Stopped by itself: free space below the margin: ", true},
               {"0", nullptr, false},
               {"2GB", "The setting minFree=2GB is no size such as 500M or 2G; 2.0 GiB is kept free",
                false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minFree);
    QSettings(KRmt::vendorName, KRmt::programName).setValue("minFree", c.minFree);
    KRmtProbe p = openRecordingWindow();
    choose("", "out.bin");
    p.startBtn()->click();
    if (!c.stopped) {
      ASSERT_TRUE(QTest::qWaitFor([&] { return p.noteText()->text().contains("free "); }, kWaitMs));
      EXPECT_TRUE(p.noteText()->text().contains(QRegularExpression("\\bfree [0-9.]+ [kMGT]?i?B")))
          << p.noteText()->text().toStdString();
      p.stopBtn()->click();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
    const QString note = p.noteText()->text();
    EXPECT_FALSE(note.contains(QRegularExpression("^free ", QRegularExpression::MultilineOption)))
        << "gone at the stop: " << note.toStdString();
    if (c.note) {
      EXPECT_TRUE(note.contains(c.note)) << note.toStdString();
    }
    const nlohmann::json report = nlohmann::json::parse(readFile(path("out.json")).toStdString());
    EXPECT_EQ(report["stop_reason"].is_null(), !c.stopped) << report.dump();
    if (c.stopped) {
      EXPECT_EQ(report["stop_reason"]["cause"], "free space");
      EXPECT_EQ(report["stop_reason"]["folder"], path("work").toStdString());
    }
    EXPECT_EQ(report["records"], binaryRecords(readFile(path("out.bin"))));
    EXPECT_EQ(report["free_space"]["file_systems"].size(), 1u) << "temp and output on one";
    EXPECT_TRUE(_boxes.texts.isEmpty()) << _boxes.texts.join('\n').toStdString();
    _boxes.texts.clear();
  }
}

// From chain position 20 up a device's inputs are output channels of other devices' markers (19
// for input 5 in five-channel mode): the window records such a chain, says so once on the note
// line, and the run report lists the shared channels.
TEST_F(OutputsTest, AChainWhoseChannelsAreOthersMarkersIsRecordedAndSaidOnce) {
  setSim("DEVICES", "2");
  const struct {
    const char* chain;
    uint32_t markers[2];  // of the master and of the slave
    bool fiveChannel;
    QString note;         // empty: none
    std::vector<int> shared;
  } cases[] = {
      {"0,20", {0x11, 0}, false,
       "channel 100 (Master TK24071 marker 100, Slave 20 TK24072 input 0) and 1 more", {100, 104}},
      // Markers of both devices on one channel (the master's 200, the slave's 100).
      {"0,20", {0x20, 0x1}, false, "channel 200 (Master TK24071 marker 200, Slave 20 TK24072 marker 100)",
       {200}},
      {"0,20", {0, 0x1FF}, false, "", {}},  // the slave's markers are 300..
      {"0,19", {0x1, 0}, true, "channel 100 (Master TK24071 marker 100, Slave 19 TK24072 input 5)",
       {100}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chain + c.note.toStdString());
    setSim("CHAIN", c.chain);
    KRmtProbe p = openRecordingWindow();  // the missing positions between are answered with Ok
    _boxes.texts.clear();
    ASSERT_EQ(KRmt::_devs.size(), 2);
    choose("", "out.bin");
    for (int d = 0; d < 2; ++d) {
      for (int k = 0; k < RmtDev::kMarkers; ++k)
        KRmt::_devs[d]->_marker[k]->setChecked(c.markers[d] >> k & 1);
      KRmt::_devs[d]->_fiveChBox->setChecked(c.fiveChannel);
    }
    record();
    const QString said = c.note.isEmpty()
                             ? QString()
                             : "Recorded with shared output channels, whose timestamps cannot be told "
                           "apart: " + c.note + "; the run report lists them under overlaps";
    // While recording the free space is the note's last line.
    EXPECT_EQ(p.noteText()->text().section(QRegularExpression("\n?free [^\n]*$"), 0, 0), said);
    p.stopBtn()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
    EXPECT_EQ(p.noteText()->text(), said) << "once";
    EXPECT_TRUE(_boxes.texts.isEmpty()) << _boxes.texts.join('\n').toStdString();
    EXPECT_GT(binaryRecords(readFile(path("out.bin"))), 100);
    std::vector<int> reported;
    const nlohmann::json report = nlohmann::json::parse(readFile(path("out.json")).toStdString());
    for (const auto& o : report["overlaps"]) reported.push_back(o["channel"]);
    EXPECT_EQ(reported, c.shared);
  }
}

// The settings' splitTime writes the outputs in parts, each published while the recording goes
// on; together they hold the whole recording, which the report lists part by part. A change of an
// output at Stop writes every output's parts again from the temp files (the parts published
// before stay); a value that cannot be used is said, and Ok writes the outputs whole.
TEST_F(OutputsTest, TheSettingsSplitTheOutputsIntoPartsPublishedWhileRecording) {
  const struct {
    const char* splitTime;
    const char* stopBinary;  // the binary output named at Stop
    const char* box;         // empty: none
    const char* rates;       // each input's events/s; above the default, raw data are let go
  } cases[] = {{"0.05", "run.bin", "", "3000"},
               {"0.05", "other.bin", "", "100000"},
               {"0s", "run.bin", "splitTime is '0s'", "3000"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.splitTime) + " " + c.stopBinary);
    QSettings(KRmt::vendorName, KRmt::programName).setValue("splitTime", c.splitTime);
    KRmtProbe p = openRecordingWindow();
    setSim("RATES", c.rates);
    for (const QString& name : entries(".", "*.*")) QFile::remove(path(name));
    choose("a.txt", "run.bin");
    p.startBtn()->click();
    const bool split = *c.box == '\0';
    if (split) {  // the second part begins only once the first is in place
      ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path("a-0002.txt")); }, kWaitMs));
      EXPECT_TRUE(QFile::exists(path("a-0001.txt")) && QFile::exists(path("run-0001.bin")));
    }
    if (strcmp(c.rates, "3000") != 0) {
      // The manifest names where the parts go on before the temp files' data behind them go.
      ASSERT_TRUE(QTest::qWaitFor([&] {
        return readFile(path("work/ravik-run.json")).contains("\"resume\"");
      }, kWaitMs));
      const QStringList temps = entries("work", "ravik-*.tmp");
      ASSERT_FALSE(temps.isEmpty());
      const std::string temp = path("work/" + temps[0]).toStdString();
      if (makesHoles(path("work").toStdString())) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return beginsWithHole(temp); }, kWaitMs));
      }
    }
    choose("a.txt", c.stopBinary);
    p.stopBtn()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
    EXPECT_EQ(_boxes.texts.join('\n').contains(c.box), true) << _boxes.texts.join('\n').toStdString();
    EXPECT_EQ(_boxes.texts.isEmpty(), split);
    _boxes.texts.clear();
    EXPECT_EQ(entries(".", ".ravik-*"), QStringList()) << "no part left under a temporary name";
    // Parts go on under the names given at Start whatever is named at Stop.
    const QString binary = "run";
    EXPECT_EQ(p.noteText()->text().contains("cannot be renamed at Stop"),
              split && strcmp(c.stopBinary, "run.bin") != 0);
    EXPECT_FALSE(QFile::exists(path("other-0001.bin")));
    const nlohmann::json report =
        nlohmann::json::parse(readFile(path(binary + ".json")).toStdString());
    if (!split) {
      EXPECT_EQ(entries(".", "*-0001.*"), QStringList());
      EXPECT_EQ(lines(readFile(path("a.txt"))), report["records"]);
      EXPECT_EQ(binaryRecords(readFile(path(c.stopBinary))), report["records"]);
      continue;
    }
    // Every part of both outputs, in order, as the report lists them.
    int64_t text = 0, records = 0;
    ASSERT_GE(report["parts"].size(), 2u) << report.dump();
    for (const auto& part : report["parts"]) {
      const int index = part["index"];
      const QString number = QString("-%1").arg(index, 4, 10, QChar('0'));
      EXPECT_EQ(part["files"][0]["path"], path("a" + number + ".txt").toStdString());
      EXPECT_EQ(part["files"][1]["path"], path(binary + number + ".bin").toStdString());
      EXPECT_EQ(binaryRecords(readFile(path(binary + number + ".bin"))), part["records"]);
      text += lines(readFile(path("a" + number + ".txt")));
      records += part["records"].get<int64_t>();
    }
    EXPECT_EQ(text, records);
    EXPECT_EQ(records, report["records"].get<int64_t>());
    EXPECT_EQ(entries(".", binary + "-*.bin").size(), report["parts"].size());
  }
  QSettings(KRmt::vendorName, KRmt::programName).remove("splitTime");
}
