// The main window's basics: command-line options, the state display, error boxes, the checking
// of output paths, the persisted paths and the log option.
#include <sys/stat.h>
#include <utime.h>

#include "app/options.h"
#include "trace/trace.h"
#include "window_harness.h"

namespace {

RmtOptions parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ravik");
  return parseOptions(int(args.size()), args.data(), KRmt::optLog, KRmt::optSim);
}

// Whether the line edit's background is painted in the named colour in every colour group.
bool paintedAs(QLineEdit* ed, const char* colour) {
  if (!ed->autoFillBackground()) return false;
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    if (ed->palette().color(g, ed->backgroundRole()) != QColor(colour)) return false;
  return true;
}

bool writeFile(const QString& name, const QByteArray& content) {
  QFile f(name);
  return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray readFile(const QString& name) {
  QFile f(name);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool isEmptyDir(const QString& name) {
  return QDir(name).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty();
}

}  // namespace

TEST(Options, OnlyExactArgumentsCountInAnyOrderAndNumber) {
  const struct { std::vector<const char*> args; bool log, sim; } cases[] = {
      {{}, false, false},         {{"-l"}, true, false},      {{"-s"}, false, true},
      {{"-s", "-l"}, true, true}, {{"-l", "-s"}, true, true}, {{"-s", "-s", "-l", "-l"}, true, true},
      {{"x", "-l", "-S", "y", "-s"}, true, true}};
  for (const auto& c : cases) {
    RmtOptions o = parse(c.args);
    EXPECT_EQ(o.log, c.log) << c.args.size() << " arguments";
    EXPECT_EQ(o.sim, c.sim) << c.args.size() << " arguments";
  }
  for (const char* other : {"-S", "-L", "--s", "--l", "-s ", " -s", "-ls", "-sl", "s", "l", ""}) {
    RmtOptions o = parse({other});
    EXPECT_FALSE(o.log || o.sim) << '"' << other << '"';
  }
  const char* alone[] = {"-s"};  // the program name itself is never an option
  EXPECT_FALSE(parseOptions(1, alone, KRmt::optLog, KRmt::optSim).sim);
}

TEST_F(WindowTest, StateDisplayFollowsEveryState) {
  setSim("DEVICES", "1");
  _window.reset(new KRmt(nullptr, false, true));
  KRmtProbe p = probe();
  EXPECT_EQ(p.stateText()->text(), "Searching");
  EXPECT_FALSE(p.startBtn()->isEnabled());
  EXPECT_EQ(p.deviceCell(1, 0), nullptr) << "only the headings before the search";
  _window->show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() != KRmt::Searching; }, kWaitMs));
  ASSERT_EQ(KRmt::_devs.size(), 1);

  const struct {
    KRmt::RmtState state;
    const char* text;
    Led::Color colour;
    bool start, stop, progress;
  } shown[] = {
      {KRmt::Idle, "Idle", Led::Off, true, false, false},
      {KRmt::Recording, "Recording", Led::Green, false, true, false},
      {KRmt::Saving, "Saving", Led::Yellow, false, false, true},
      {KRmt::Searching, "Searching", Led::Red, false, false, false},
      {KRmt::Idle, "Idle", Led::Off, true, false, false},
  };
  for (const auto& s : shown) {
    if (&s != shown) p.updateGui(s.state);
    // Refresh keeps the state and shows the same again.
    for (int refresh = 0; refresh < 2; ++refresh) {
      SCOPED_TRACE(std::string(s.text) + (refresh ? " after Refresh" : ""));
      EXPECT_EQ(_window->state(), s.state);
      EXPECT_EQ(p.stateText()->text(), s.text);
      EXPECT_EQ(p.stateLed()->color(), s.colour);
      EXPECT_EQ(p.startBtn()->isEnabled(), s.start);
      EXPECT_EQ(p.stopBtn()->isEnabled(), s.stop);
      EXPECT_EQ(p.progress()->isVisible(), s.progress);
      EXPECT_TRUE(p.quitBtn()->isEnabled());
      p.updateGui(KRmt::Refresh);
    }
  }
  // A refresh also refreshes the device rows.
  KRmt::_devs[0]->_events = 1234567;
  p.updateGui(KRmt::Refresh);
  EXPECT_EQ(KRmt::_devs[0]->_eventsEdit->text(), "1.235");
  EXPECT_TRUE(_boxes.texts.isEmpty());
}

TEST_F(WindowTest, ErrorBoxesReportAndCloseOnRequest) {
  openWindow(false);
  KRmtProbe p = probe();
  EXPECT_EQ(p.deviceCell(1, 0)->property("text").toString(), "-- No Devices Found --");
  EXPECT_TRUE(p.checkError(true, "never shown") && p.checkRc(0, "TDC_discover") && p.checkRc(0));
  EXPECT_TRUE(_boxes.texts.isEmpty());

  EXPECT_TRUE(p.checkRc(KORBALT_NO_ACK, "TDC_enableChannels"));
  EXPECT_TRUE(p.checkRc(KORBALT_CONNECT_FAILED));
  EXPECT_TRUE(p.checkError(false, "first problem"));
  EXPECT_TRUE(_window->isVisible()) << "Ok keeps the window";
  const QStringList expected = {
      QString("TDC_enableChannels returned \"%1\"").arg(TDC_perror(KORBALT_NO_ACK)),
      QString("Korbalt Error %1").arg(TDC_perror(KORBALT_CONNECT_FAILED)), "first problem"};
  EXPECT_EQ(_boxes.texts, expected);

  _boxes.queue(QMessageBox::Close);
  EXPECT_FALSE(p.checkError(false, "fatal problem"));
  EXPECT_FALSE(_window->isVisible()) << "Close closes the window";
  EXPECT_EQ(_boxes.texts.size(), 4);
  EXPECT_TRUE(_boxes.allErrorBoxes);
}

TEST_F(WindowTest, PathChecksPaintTheFieldsAndLeaveFilesAlone) {
  openWindow(false);
  KRmtProbe p = probe();
  QLineEdit* ed = p.ascPath();
  // An existing output file is judged by its permissions and never touched.
  const QString existing = path("existing.txt");
  ASSERT_TRUE(writeFile(existing, "old content"));
  struct utimbuf old = {946684800, 946684800};
  ASSERT_EQ(utime(existing.toLocal8Bit().constData(), &old), 0);
  QDir(_dir.path()).mkpath("out");
  // Nothing can be created below a regular file; folders are checked through a probe file
  // inside them, which is removed again.
  const struct { QString text; bool asDir; const char* colour; } checks[] = {
      {existing, false, "white"},      {path("new.txt"), false, "white"},
      {existing + "/below.txt", false, "red"}, {"", false, "red"},
      {path("missing/out.txt"), false, "red"}, {path("out"), true, "white"},
      {path("missing"), true, "red"}};
  for (const auto& c : checks) {
    ed->setText(c.text);
    p.checkPathBox(ed, c.asDir);
    EXPECT_TRUE(paintedAs(ed, c.colour)) << c.text.toStdString();
  }
  EXPECT_EQ(readFile(existing), "old content");
  struct stat st {};
  EXPECT_EQ(stat(existing.toLocal8Bit().constData(), &st), 0);
  EXPECT_EQ(st.st_mtime, 946684800);
  EXPECT_FALSE(QFile::exists(path("new.txt")));
  EXPECT_TRUE(isEmptyDir(path("out")));
  ASSERT_TRUE(writeFile(path("out/ravik-test.tmp"), "leftover"));
  ed->setText(path("out"));
  p.checkPathBox(ed, true);
  EXPECT_TRUE(paintedAs(ed, "white"));
  EXPECT_EQ(readFile(path("out/ravik-test.tmp")), "leftover");

  // Typing checks the output paths as files and the temp folder as a folder.
  for (QLineEdit* typed : {p.ascPath(), p.binPath(), p.tmpPath()}) {
    typed->clear();
    QTest::keyClicks(typed, path("typed.txt"));
    EXPECT_TRUE(paintedAs(typed, typed == p.tmpPath() ? "red" : "white"));
    EXPECT_FALSE(QFile::exists(path("typed.txt")));
  }
  p.tmpPath()->clear();
  QTest::keyClicks(p.tmpPath(), path("out"));
  EXPECT_TRUE(paintedAs(p.tmpPath(), "white"));
  EXPECT_TRUE(_boxes.texts.isEmpty());
}

TEST_F(WindowTest, PathsPersistOnlyThroughTheOrderlyExit) {
  openWindow(false);
  KRmtProbe p = probe();
  // An empty store gives the home folder's files and the temp folder, all usable.
  EXPECT_EQ(p.ascPath()->text(), QDir::toNativeSeparators(path("home") + "/timestamps.txt"));
  EXPECT_EQ(p.binPath()->text(), QDir::toNativeSeparators(path("home") + "/timestamps.bin"));
  EXPECT_EQ(p.tmpPath()->text(), QDir::toNativeSeparators(path("tmp")));
  for (QLineEdit* ed : {p.ascPath(), p.binPath(), p.tmpPath()}) EXPECT_TRUE(paintedAs(ed, "white"));
  EXPECT_TRUE(isEmptyDir(path("home")) && isEmptyDir(path("tmp")));

  p.ascPath()->setText(path("a.txt"));
  p.binPath()->setText(path("b.bin"));
  p.tmpPath()->setText(path("nowhere"));
  p.quitBtn()->click();
  EXPECT_FALSE(_window->isVisible());

  openWindow(false);
  p = probe();
  EXPECT_EQ(p.ascPath()->text(), path("a.txt"));
  EXPECT_EQ(p.binPath()->text(), path("b.bin"));
  EXPECT_EQ(p.tmpPath()->text(), path("nowhere"));
  EXPECT_TRUE(paintedAs(p.tmpPath(), "red")) << "loaded paths are checked";
  p.binPath()->setText(path("other.bin"));
  _window->close();  // through the frame: nothing is stored

  openWindow(false);
  p = probe();
  EXPECT_EQ(p.binPath()->text(), path("b.bin"));
  p.ascPath()->setText(path("escaped.txt"));
  QTest::keyClick(_window.get(), Qt::Key_A);
  EXPECT_TRUE(_window->isVisible()) << "other keys do nothing";
  QTest::keyClick(_window.get(), Qt::Key_Escape);
  EXPECT_FALSE(_window->isVisible());

  openWindow(false);
  EXPECT_EQ(probe().ascPath()->text(), path("escaped.txt"));
  EXPECT_TRUE(_boxes.texts.isEmpty());
}

TEST_F(WindowTest, LogFileOnlyWithTheLogOption) {
  openWindow(true, false);
  closeWindow();
  EXPECT_FALSE(QFile::exists(path("ravik.log")));

  openWindow(true, true);
  closeWindow();
  traceSetFlags(0);
  traceSetFile(nullptr);  // back to a quiet log on stderr, which also closes the file
  int written = 0;
  for (const QByteArray& line : readFile(path("ravik.log")).split('\n')) {
    if (line.isEmpty()) continue;
    ++written;
    EXPECT_TRUE(line.startsWith("RAVIK [")) << line.constData();
  }
  EXPECT_GT(written, 0) << "the device library writes into the shared log";
}
