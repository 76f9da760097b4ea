// The whole record-and-merge cycle through the window on a simulated chain: temp files, outputs
// holding exactly what the devices delivered, and the failures on the way.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>
#include <thread>
#include <tuple>

#include <QDoubleSpinBox>

#include <nlohmann/json.hpp>

#include "chain/recordcore.h"
#include "report/runmanifest.h"
#include "korbalt/simhooks.h"
#include "merge/mergethread.h"
#include "tests/cli_run.h"
#include "window_harness.h"

namespace {

typedef std::vector<std::pair<int64_t, int32_t>> Stamps;  // time, output channel

// The text output's records. (Its format, and the binary output's, as the other faces write
// them: test_faces.)
Stamps textStamps(const QString& name) { return textRecords(readFile(name).toStdString()); }

// The chain positions whose channels appear; the stamps must be in time order.
std::set<int> positionsIn(const Stamps& stamps) {
  std::set<int> positions;
  for (size_t i = 0; i < stamps.size(); ++i) {
    EXPECT_TRUE(i == 0 || stamps[i - 1].first <= stamps[i].first) << "record " << i;
    positions.insert(stamps[i].second / 5);
  }
  return positions;
}

// Temp file writes that fail (ENOSPC) once `gWritesLeft` writes of the process have succeeded.
std::atomic<int32_t> gWritesLeft{INT32_MAX};
ssize_t failingWrite(int fd, const void* data, size_t bytes) {
  if (gWritesLeft.fetch_sub(1) > 0) return write(fd, data, bytes);
  errno = ENOSPC;
  return -1;
}

// A reader of the named pipe `name` that comes only when a step of the test has not returned
// within kWaitMs, as a window that waits for a reader would not: it then reads whatever comes
// until it is destroyed, so that the test fails rather than hangs.
class LateReader {
public:
  explicit LateReader(const QString& name) : _name(name.toUtf8().toStdString()) {}
  ~LateReader() {
    _end = true;
    for (std::thread& watch : _watches) watch.join();
  }
  // Runs `step`, which must return without a reader on the pipe.
  void guard(const std::function<void()>& step) {
    auto returned = std::make_shared<std::atomic<bool>>(false);
    _watches.emplace_back([this, returned] {
      for (int32_t ms = 0; ms < kWaitMs && !*returned; ms += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (*returned) return;
      _came = true;
      const int fd = open(_name.c_str(), O_RDONLY | O_NONBLOCK);
      char buffer[65536];
      while (fd >= 0 && !_end)
        if (read(fd, buffer, sizeof buffer) <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (fd >= 0) close(fd);
    });
    step();
    *returned = true;
  }
  bool came() const { return _came; }

private:
  const std::string _name;
  std::atomic<bool> _came{false}, _end{false};
  std::vector<std::thread> _watches;
};

class RecordingTest : public WindowTest {
protected:
  // The default chain, with both outputs and the temp folder in the test's folder.
  KRmtProbe prepare() {
    setSim("CORRELATION", "2000,2500");
    KRmtProbe p = openRecordingWindow();
    EXPECT_EQ(KRmt::_devs.size(), 3);
    chooseOutputs(p);
    return p;
  }

  // Both outputs ticked, and they and the temp folder in the test's folder.
  void chooseOutputs(KRmtProbe& p) const {
    p.ascPath()->setText(path("out.txt"));
    p.binPath()->setText(path("out.bin"));
    p.tmpPath()->setText(path("work"));
    for (QCheckBox* enable : {p.ascEnable(), p.binEnable()}) enable->setChecked(true);
    p.hdf5Enable()->setChecked(false);
  }

  // Records until every temp file write fails for lack of space, and a refresh has noted it.
  void recordUntilDiskFull() {
    gWritesLeft = 30;
    tempWriteFunction = &failingWrite;
    record();
    ASSERT_TRUE(QTest::qWaitFor([] { return gWritesLeft < 0; }, kWaitMs));
    QTest::qWait(300);
  }

  // Stops and waits for the merge to end.
  void stopAndMerge(KRmtProbe& p) {
    p.stopBtn()->click();
    EXPECT_EQ(_window->state(), KRmt::Saving);
    EXPECT_TRUE(p.progress()->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
  }

  QStringList tempFiles() const {
    if (_window) KRmtProbe(_window.get()).waitTempRemoval();
    return QDir(path("work")).entryList({"ravik-*.tmp"}, QDir::Files, QDir::Name);
  }
  // Outputs left under a temporary name.
  QStringList hiddenOutputs() const {
    return QDir(_dir.path()).entryList({".ravik-*"}, QDir::Files | QDir::Hidden);
  }
  std::string file(const QString& name) const { return slurp(path(name).toStdString()); }
  // Outputs of an earlier recording, which a recording that fails must leave as they are.
  void writeEarlierOutputs() const {
    for (const char* name : {"out.txt", "out.bin"}) ASSERT_TRUE(std::ofstream(path(name).toStdString()) << "earlier");
  }
  bool earlierOutputs() const { return file("out.txt") == "earlier" && file("out.bin") == "earlier"; }
  bool hasManifest() const { return QFile::exists(path("work/ravik-run.json")); }
  // A recording kept for ravik-merge --recover by the window that closed: Idle, every temp file
  // closed and still there with the run's manifest, and no output left under a temporary name.
  void expectKept(int files) const {
    EXPECT_FALSE(_window->isVisible());
    EXPECT_EQ(_window->state(), KRmt::Idle);
    EXPECT_TRUE(tempFilesClosed());
    EXPECT_EQ(tempFiles().size(), files);
    EXPECT_EQ(hasManifest(), files > 0);
    EXPECT_EQ(hiddenOutputs(), QStringList());
  }
  static bool tempFilesClosed() {
    return std::none_of(KRmt::_devs.begin(), KRmt::_devs.end(), [](RmtDev* d) {
      return d->_tmpFile != nullptr || d->_mergeFile != nullptr;
    });
  }
};

}  // namespace

TEST_F(RecordingTest, CyclesWriteEveryDeviceToTheChosenOutputs) {
  KRmtProbe p = prepare();
  KRmt::_devs[1]->_chDeadTime[2]->setValue(12.5);  // written at Start, so in the run report
  record();
  EXPECT_EQ(tempFiles(), (QStringList{"ravik-0.tmp", "ravik-1.tmp", "ravik-2.tmp"}));
  // The merge reads the temp files while the devices write them.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return p.merger() && p.merger()->_bytesRead.load() > 0; }, kWaitMs));
  EXPECT_EQ(_window->state(), KRmt::Recording);
  stopAndMerge(p);
  EXPECT_TRUE(tempFiles().isEmpty());
  EXPECT_FALSE(hasManifest()) << "deleted with the temp files";
  const nlohmann::json report = nlohmann::json::parse(file("out.json"));
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(report["devices"][i]["parameters"]["channels"][2]["dead_time_ns"], i == 1 ? 12.5 : 0);
  // Every device's channels, in time order (no markers). That the outputs hold every delivered
  // event: the window's against ravik-record's of one replayed run in python/tests/test_faces.py,
  // ravik-record's against the merge core on its raw files in test_recover, the temp file's
  // blocks in test_rmtdev.
  EXPECT_EQ(positionsIn(textStamps(path("out.txt"))), (std::set<int>{0, 1, 2}));

  // Again with Slave 2 (library index 1) left out, into a temp folder and outputs named beyond
  // ASCII, as the user's text: they are made, and the run report names them, exactly as typed.
  const QString folder = path("Temp-\u00e4"), text = path("Messung-\u00e4-\u00b5.txt"),
                binary = path("Messung-\u00e4-\u00b5.bin");
  ASSERT_TRUE(QDir().mkpath(folder));
  p.tmpPath()->setText(folder);
  p.ascPath()->setText(text);
  p.binPath()->setText(binary);
  KRmt::_devs[2]->_recordBox->setChecked(false);
  const QVector<RmtDev*> recorded = {KRmt::_devs[0], KRmt::_devs[1]};
  record(recorded);
  EXPECT_EQ(QDir(folder).entryList({"ravik-*.tmp"}, QDir::Files, QDir::Name),
            (QStringList{"ravik-0.tmp", "ravik-2.tmp"}));
  stopAndMerge(p);
  EXPECT_EQ(positionsIn(textStamps(text)), (std::set<int>{0, 1}));
  EXPECT_GT(QFileInfo(binary).size(), 1000);
  const auto utf8 = [](const QString& name) { return name.toUtf8().toStdString(); };
  const nlohmann::json named = nlohmann::json::parse(slurp(utf8(path("Messung-\u00e4-\u00b5.json"))));
  EXPECT_EQ(named["outputs"], nlohmann::json::array({{{"kind", "text"}, {"path", utf8(text)}},
                                                     {{"kind", "binary"}, {"path", utf8(binary)}}}));
  EXPECT_EQ(named["devices"][0]["stream"], utf8(folder) + "/ravik-" +
                                               std::to_string(KRmt::_devs[0]->_index) + ".tmp");
  chooseOutputs(p);

  // Without outputs the devices count but write nothing, and nothing is merged: the outputs of
  // the earlier recording stay as they are.
  writeEarlierOutputs();
  for (QCheckBox* enable : {p.ascEnable(), p.binEnable()}) enable->setChecked(false);
  MergeThread* previous = p.merger();
  record(recorded);
  EXPECT_TRUE(tempFiles().isEmpty());
  EXPECT_FALSE(hasManifest()) << "no temp file, no manifest";
  const auto nothingMerged = [&] {
    EXPECT_EQ(_window->state(), KRmt::Idle);
    EXPECT_EQ(p.merger(), previous);
    EXPECT_TRUE(earlierOutputs());
  };
  p.stopBtn()->click();
  nothingMerged();
  EXPECT_TRUE(_boxes.texts.isEmpty());

  // An output ticked but no device recorded: Stop says so and the file keeps its content.
  p.ascEnable()->setChecked(true);
  for (RmtDev* dev : KRmt::_devs) dev->_recordBox->setChecked(false);
  p.startBtn()->click();
  p.stopBtn()->click();
  nothingMerged();
  EXPECT_EQ(_boxes.texts, QStringList{"Nothing was recorded: no device has a temp file of this "
                                      "recording.\nThe outputs were not touched."});
  EXPECT_EQ(hiddenOutputs(), QStringList()) << "no output left under a temporary name";
}

// Outputs to a named pipe that no one reads yet: Start and Stop return at once, and while the
// merge waits for a reader the window refreshes and takes Quit; a reader that comes gets the
// whole binary file, headed by the master's header. (A pipe's bytes as a file's: test_ravik_merge.)
TEST_F(RecordingTest, ANamedPipeWithoutAReaderNeverHoldsTheWindow) {
  KRmtProbe p = prepare();
  ASSERT_EQ(mkfifo(path("pipe").toUtf8().constData(), 0644), 0);
  LateReader late(path("pipe"));
  p.ascEnable()->setChecked(false);
  p.binPath()->setText(path("pipe"));
  late.guard([&] { record(); });
  late.guard([&] { p.stopBtn()->click(); });
  ASSERT_FALSE(late.came()) << "the window waited for the pipe's reader";
  EXPECT_EQ(_window->state(), KRmt::Saving);
  QTest::qWait(300);  // the merge has nowhere to write meanwhile
  EXPECT_EQ(_window->state(), KRmt::Saving);
  std::string piped;
  std::thread reader([&] { piped = file("pipe"); });
  EXPECT_TRUE(QTest::qWaitFor([&] { return _window->state() == KRmt::Idle; }, kWaitMs));
  reader.join();
  ASSERT_GT(piped.size(), 2 * kHeaderBytes);
  EXPECT_EQ(records(piped).size() % 10, 0u);
  EXPECT_EQ(std::string(piped.c_str() + 40), KRmt::_devs[0]->_serialEdit->text().toStdString());

  // Again, and Quit while the merge waits for a reader: the recording is kept.
  late.guard([&] { record(); });
  late.guard([&] { p.stopBtn()->click(); });
  late.guard([&] { p.quitBtn()->click(); });
  expectKept(3);
  EXPECT_FALSE(late.came()) << "the window waited for the pipe's reader at Quit";
  EXPECT_TRUE(_boxes.texts.isEmpty()) << _boxes.texts.join("\n").toStdString();
}

TEST_F(RecordingTest, OutputOrTempFileThatCannotBeOpened) {
  KRmtProbe p = prepare();
  // An output that cannot be made, one on another output, on a file that the recording makes in
  // the temp folder (deleted once merged) or on the metadata file that the HDF5 output reads is
  // refused at Start with the reason; the recording goes on with the other outputs, and the file
  // stays what it was.
  ASSERT_TRUE(QFile(path("plain")).open(QIODevice::WriteOnly));
  const QString meta = path("ravik-meta.json");
  const QByteArray metaText = R"({"identity": {"author": "A. Physicist"}})";
  ASSERT_TRUE(std::ofstream(meta.toStdString()) << metaText.constData());
  const QString txt = path("out.txt"), bin = path("out.bin"), h5 = path("out.h5"),
                bad = path("plain/out.txt"), temp = path("work/ravik-0.tmp"),
                run = path("work/ravik-run.json");
  const auto both = [](const QString& name, const QString& first, const QString& second) {
    return name + "\n" + name + ": is given for the " + first + " (" + name + ") and for the " +
           second + "; one file cannot be both";
  };
  const struct {
    QString text, binary, hdf5;  // empty: not ticked
    QString refused;             // the output refused, and why, as the box says
    QString written;             // the other output
  } clashes[] = {
      {bad, bin, "", bad, bin},
      {txt, txt, "", both(txt, "text output", "binary output"), txt},
      {temp, "", h5, both(temp, "text output", "recording's temp file"), h5},
      {txt, run, "", both(run, "binary output", "run manifest"), txt},
      {txt, "", meta, meta + "\n" + meta + ": is the metadata file " + meta +
       "; choose another name for the HDF5 output", txt},
  };
  for (const auto& c : clashes) {
    SCOPED_TRACE(c.refused.toStdString());
    for (const QString& name : {txt, h5}) QFile::remove(name);
    const std::tuple<QCheckBox*, QLineEdit*, QString> rows[] = {{p.ascEnable(), p.ascPath(), c.text},
        {p.binEnable(), p.binPath(), c.binary}, {p.hdf5Enable(), p.hdf5Path(), c.hdf5}};
    for (const auto& [enable, field, chosen] : rows) {
      enable->setChecked(!chosen.isEmpty());
      field->setText(chosen);
    }
    record();
    EXPECT_EQ(_boxes.texts.last(), "Can't open output file\n" + c.refused);
    stopAndMerge(p);
    EXPECT_TRUE(tempFiles().isEmpty());
    EXPECT_EQ(readFile(meta), metaText);
    EXPECT_GT(QFileInfo(c.written).size(), 1000);
  }
  const int refusals = int(std::size(clashes));
  EXPECT_EQ(_boxes.texts.size(), refusals);
  chooseOutputs(p);

  // An output that fills up: the merge fails, the device file stays, the recording is kept, and
  // the binary output of the earlier recording is not replaced by this one's.
  const QByteArray earlierBin = readFile(bin);
  p.ascPath()->setText("/dev/full");
  record();
  stopAndMerge(p);
  EXPECT_EQ(_boxes.texts.last().toStdString(), std::string("Merge failed: /dev/full: write error: ") +
                                     strerror(ENOSPC) + "\nNo output was written; the temp files are kept.");
  EXPECT_TRUE(QFileInfo("/dev/full").exists());
  EXPECT_TRUE(readFile(bin) == earlierBin);
  EXPECT_EQ(tempFiles().size(), 3);

  // Close at Start: nothing is recorded, the window closes and the kept recording stays.
  p.ascPath()->setText(bad);
  MergeThread* previous = p.merger();
  _boxes.queue(QMessageBox::Close);
  p.startBtn()->click();
  EXPECT_EQ(_boxes.texts.size(), refusals + 2);
  EXPECT_EQ(p.merger(), previous);
  EXPECT_TRUE(readFile(bin) == earlierBin);
  expectKept(3);

  // A temp file removed while recording loses nothing: the merge reads it from the start. A
  // filter and virtual channels in the temp folder that cannot be used are said at Start, and
  // Ok records every record without them.
  _window->show();
  p.ascPath()->setText(txt);
  const QString keepFile = path("work/ravik-keep.json"), virtualFile = path("work/ravik-virtual.json");
  ASSERT_TRUE(std::ofstream(keepFile.toStdString()) << R"({"keep": "6 within 5"})");
  ASSERT_TRUE(std::ofstream(virtualFile.toStdString()) << R"([{"type": "delayed", "channel": 6}])");
  record();
  ASSERT_TRUE(QFile::remove(KRmt::_devs[1]->_tmpName));
  stopAndMerge(p);
  EXPECT_EQ(positionsIn(textStamps(txt)), (std::set<int>{0, 1, 2}));
  EXPECT_TRUE(tempFiles().isEmpty());
  ASSERT_EQ(_boxes.texts.size(), refusals + 4);
  EXPECT_TRUE(_boxes.texts[refusals + 2].startsWith("Can't use the filter; Ok records everything\n"));
  EXPECT_EQ(_boxes.texts[refusals + 3], "Can't use the virtual channels; Ok records without them\n" +
                                            virtualFile + ": [0].delay_ps: missing");
  ASSERT_TRUE(QFile::remove(keepFile) && QFile::remove(virtualFile));

  // A temp file that another recording holds is neither truncated nor recorded into.
  FILE* held = nullptr;
  const QString busy = path("work/ravik-0.tmp");
  ASSERT_EQ(openTempFile(busy.toStdString(), &held), 0);
  ASSERT_TRUE(fputs("theirs", held) >= 0 && fflush(held) == 0);
  p.startBtn()->click();
  EXPECT_EQ(_boxes.texts.last(), "start of device " + KRmt::_devs[1]->_serialEdit->text() + ": " +
                                     busy + " is in use by another recording");
  EXPECT_EQ(_window->state(), KRmt::Idle);
  EXPECT_EQ(readFile(busy), "theirs");
  closeTempFile(&held);
  EXPECT_TRUE(_boxes.allErrorBoxes);
}

TEST_F(RecordingTest, ClosingWhileRecordingOrMergingKeepsTheRecording) {
  KRmtProbe p = prepare();
  writeEarlierOutputs();
  record();
  p.stopBtn()->click();
  ASSERT_EQ(_window->state(), KRmt::Saving);
  QTest::keyClick(_window.get(), Qt::Key_Escape);
  // Stopped in time, the merge keeps its temp files and the earlier outputs stay as they were;
  // one that got to the end publishes whole outputs and deletes them.
  const bool completed = p.merger()->completed();
  expectKept(completed ? 0 : 3);
  if (completed)
    EXPECT_EQ(positionsIn(textStamps(path("out.txt"))).size(), 3u);
  else
    EXPECT_TRUE(earlierOutputs());

  // Quit while recording: the same, and the merge that ran beside the recording ends unpublished.
  p = prepare();
  writeEarlierOutputs();
  record();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return p.merger() && p.merger()->_bytesRead.load() > 0; }, kWaitMs));
  p.quitBtn()->click();
  EXPECT_FALSE(p.merger()->completed());
  expectKept(3);
  EXPECT_TRUE(earlierOutputs());

  // Destroyed while recording (closed through its frame): the callback goes first, and the run's
  // manifest stays, free for ravik-merge --recover. What it names (every device with its stream,
  // chain position and markers, and the outputs) is checked by the recovery of a window's run in
  // test_recover.
  p = prepare();
  record();
  _window.reset();
  QTest::qWait(50);
  EXPECT_EQ(tempFiles().size(), 3);
  EXPECT_TRUE(KRmt::_devMap.isEmpty());
  ManifestFile recovering;
  RunManifest manifest;
  std::string error;
  ASSERT_TRUE(recovering.take(path("work").toStdString(), &manifest, &error)) << error;
  EXPECT_EQ(manifest.devices.size() + manifest.outputs.size(), 5u);
}

TEST_F(RecordingTest, DeviceThatFailsToStartAbandonsTheRecording) {
  // Library index 0 is Slave 1, the second device of the chain.
  setSim("FAIL_PARAM", "TDC_enableChannels@0");
  KRmtProbe p = prepare();
  ASSERT_EQ(KRmt::_devs[1]->_index, 0u);
  p.startBtn()->click();
  EXPECT_EQ(_boxes.texts, QStringList{QString("start of device %1 returned \"%2\"")
                                          .arg(KRmt::_devs[1]->_serialEdit->text())
                                          .arg(TDC_perror(KORBALT_NO_ACK))});
  EXPECT_EQ(_window->state(), KRmt::Idle);
  // The master's file was opened and closed again and stays; Slave 2 was never started.
  EXPECT_EQ(tempFiles(), QStringList{"ravik-2.tmp"});
  EXPECT_TRUE(tempFilesClosed());
  EXPECT_EQ(readFile(path("work/ravik-2.tmp")).size(), 0) << "no callback was registered";
  EXPECT_EQ(p.merger(), nullptr);
  EXPECT_FALSE(QFile::exists(path("out.txt")) || QFile::exists(path("out.bin")));
}

TEST_F(RecordingTest, AFailedTempWriteIsShownAtStopAndTheRecordingIsMergedUpToIt) {
  KRmtProbe p = prepare();
  recordUntilDiskFull();
  stopAndMerge(p);
  tempWriteFunction = &write;
  ASSERT_EQ(_boxes.texts.size(), 3);
  for (int i = 0; i < 3; ++i) {
    const RmtDev* dev = KRmt::_devs[i];
    EXPECT_TRUE(_boxes.texts[i].startsWith("Device " + dev->_serialEdit->text() +
                                           ": the temp file could not be written\n" +
                                           dev->_tmpName + "\ntemp file write failed: " +
                                           strerror(ENOSPC)))
        << _boxes.texts[i].toStdString();
  }
  EXPECT_TRUE(tempFiles().isEmpty());
  EXPECT_FALSE(textStamps(path("out.txt")).empty());

  // Close at the first box: the merge that ran beside the recording ends unpublished, the window
  // closes and the recording is kept.
  const QByteArray earlier = readFile(path("out.txt"));
  recordUntilDiskFull();
  _boxes.queue(QMessageBox::Close);
  p.stopBtn()->click();
  tempWriteFunction = &write;
  EXPECT_EQ(_boxes.texts.size(), 4);
  EXPECT_TRUE(p.merger()->finished());  // it may have got to the end while the box was open
  expectKept(3);
  EXPECT_TRUE(readFile(path("out.txt")) == earlier);
}

// The device raises its loss flag after its last block reached the file, and the Stop is the
// first to read it: the lamp shows it, and the note after the merge tells it with the bad clock of
// another device. (Where such a loss lies: LossIntervals in test_integrity.)
TEST_F(RecordingTest, ALossReadByTheStopIsShownAndLastsFromTheDevicesLastTimestamp) {
  setSim("BAD_CLOCK", "2");  // the master
  KRmtProbe p = prepare();
  record();
  RmtDev* lossy = KRmt::_devs[1];
  // Nothing runs on this thread between the two: the Stop's reading is the first.
  ASSERT_TRUE(korbalt::simRaiseDataLost(lossy->_index));
  stopAndMerge(p);
  EXPECT_EQ(lossy->_lossLed->color(), Led::Yellow) << "seen, and clear since";
  EXPECT_EQ(KRmt::_devs[2]->_lossLed->color(), Led::Green);
  const QString note = p.noteText()->text();
  EXPECT_TRUE(note.contains(lossy->_serialEdit->text() + " (index " +
                            QString::number(lossy->_index) + "): lost data: 1 interval, "))
      << note.toStdString();
  EXPECT_TRUE(note.contains(KRmt::_devs[0]->_serialEdit->text() + " (index " +
                            QString::number(KRmt::_devs[0]->_index) + "): clock bad"))
      << note.toStdString();

  p.startBtn()->click();
  EXPECT_TRUE(p.noteText()->text().isEmpty()) << "a new recording has nothing to say yet";
  EXPECT_TRUE(QTest::qWaitFor([&] { return lossy->_lossLed->color() == Led::Green; }, kWaitMs))
      << "the next refresh forgets the last recording's loss";
  stopAndMerge(p);
}
