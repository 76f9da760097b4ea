// The main window's basics: command-line options, the layout, the slots, the state display,
// error boxes, the checking of output paths, the persisted paths and the log option.
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <tuple>

#include <QLabel>
#include <QMetaMethod>

#include "app/options.h"
#include "trace/trace.h"
#include "window_harness.h"

namespace {

// Whether the line edit's background is painted in the named colour in every colour group.
bool paintedAs(QLineEdit* ed, const char* colour) {
  if (!ed->autoFillBackground()) return false;
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    if (ed->palette().color(g, ed->backgroundRole()) != QColor(colour)) return false;
  return true;
}

// The texts of the output and temp folder fields.
QStringList pathsShown(const KRmtProbe& p) {
  return {p.ascPath()->text(), p.binPath()->text(), p.tmpPath()->text(), p.hdf5Path()->text()};
}

bool isEmptyDir(const QString& name) {
  return QDir(name).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty();
}

}  // namespace

TEST(Options, OnlyExactArgumentsCountInAnyOrderAndNumber) {
  // The first argument is the program name and never an option; `unknown` is the first argument
  // that looks like an option and is none, for the warning.
  const struct {
    std::vector<const char*> args;
    bool log, sim;
    std::string unknown = "";
    bool help = false, version = false;
  } cases[] = {
      {{"-s"}, false, false},           {{"x", "-l"}, true, false},  {{"x", "-s"}, false, true},
      {{"x", "-s", "-l"}, true, true},  {{"x", "-s", "-s", "-l", "-l"}, true, true},
      {{"x", "y", "-l", "-S", "z", "-s"}, true, true, "-S"},
      {{"x", "-S", "-L", "--s", "--l", "-s ", " -s", "-ls", "-sl", "s", "l", "", "-H", "--help=1",
        "--Version"}, false, false, "-S"},
      {{"x", "--help", "-s"}, false, true, "", true},  {{"x", "-h"}, false, false, "", true},
      {{"x", "--version", "-l"}, true, false, "", false, true},
      {{"x", "-s", "file", "--sim", "-q"}, false, true, "--sim"},
      {{"x", "-l", "-h", "-s", "run"}, true, true, "", true},  {{"-q", "-s"}, false, true}};
  for (const auto& c : cases) {
    RmtOptions o = parseOptions(int(c.args.size()), c.args.data(), KRmt::optLog, KRmt::optSim);
    const std::string unknown = o.unknown ? o.unknown : "";
    EXPECT_EQ(std::make_tuple(o.log, o.sim, o.help, o.version, unknown),
              std::make_tuple(c.log, c.sim, c.help, c.version, c.unknown))
        << c.args.size() << " arguments";
  }
}

// Every widget of the window's grid keeps its cell; what the window adds takes cells the grid
// leaves free, so column 4 stays empty in the rows above the device table.
TEST_F(WindowTest, EveryGivenWidgetKeepsItsCell) {
  openWindow();
  KRmtProbe p = probe();
  // The row labels (and the spacing row's empty one) are the labels of column 0.
  auto label = [&p, this](const char* text) -> QObject* {
    for (QLabel* l : _window->findChildren<QLabel*>())
      if (l->text() == text && p.position(l)[1] == 0) return l;
    return nullptr;
  };
  const struct {
    QObject* item;
    std::array<int, 4> at;  // row, column, rows, columns
  } cells[] = {
      {label("State:"), {0, 0, 1, 1}},         {p.stateLed(), {0, 1, 1, 1}},
      {p.stateText(), {0, 2, 1, 1}},           {p.startBtn(), {0, 5, 1, 1}},
      {label("Text Output:"), {1, 0, 1, 1}},   {p.ascEnable(), {1, 1, 1, 1}},
      {p.ascPath(), {1, 2, 1, 1}},             {p.ascBtn(), {1, 3, 1, 1}},
      {p.stopBtn(), {1, 5, 1, 1}},             {label("Binary Output:"), {2, 0, 1, 1}},
      {p.binEnable(), {2, 1, 1, 1}},           {p.binPath(), {2, 2, 1, 1}},
      {p.binBtn(), {2, 3, 1, 1}},              {p.quitBtn(), {2, 5, 1, 1}},
      {label("Temp Folder:"), {3, 0, 1, 1}},   {p.tmpPath(), {3, 2, 1, 1}},
      {p.tmpBtn(), {3, 3, 1, 1}},              {label(""), {4, 0, 1, 1}},
      {p.deviceTable(), {5, 0, 4, 6}},         {p.progress(), {9, 0, 1, 6}},
      {label("HDF5 Output:"), {10, 0, 1, 1}},  {p.hdf5Enable(), {10, 1, 1, 1}},
      {p.hdf5Path(), {10, 2, 1, 1}},           {p.hdf5Btn(), {10, 3, 1, 1}},
  };
  for (size_t i = 0; i < std::size(cells); ++i) {
    ASSERT_NE(cells[i].item, nullptr) << "cell " << i;
    EXPECT_EQ(p.position(cells[i].item), cells[i].at) << "cell " << i;
  }
  for (int row = 0; row <= 4; ++row) EXPECT_EQ(p.cell(row, 4), nullptr) << "row " << row;
}

// The private slots are exactly the window's given ones, in their order with their defaults;
// what the window adds is connected as plain functions.
TEST(KRmtSlots, ArePrivateInTheirOrderWithExitPgmLast) {
  const QStringList given = {
      "startCollect()", "stopCollect(bool)", "stopCollect()", "search()", "startMerge()",
      "stopMerge()", "updateGui(KRmt::RmtState)", "updateGui()", "pollFinished()",
      "checkError(bool,QString)", "checkRc(int,QString)", "checkRc(int)", "selBinOut()",
      "selAscOut()", "selTmpDir()", "checkDirs()", "checkPathBox(QLineEdit*,bool)",
      "checkPathBox(QLineEdit*)", "checkPathBox()", "checkDirBox(QLineEdit*)", "checkDirBox()",
      "onUse5ChUpdate(bool)", "exitPgm()"};
  QStringList privateSlots, others;
  const QMetaObject& meta = KRmt::staticMetaObject;
  for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
    const QMetaMethod m = meta.method(i);
    const bool privateSlot = m.methodType() == QMetaMethod::Slot && m.access() == QMetaMethod::Private;
    (privateSlot ? privateSlots : others) << QString::fromLatin1(m.methodSignature());
  }
  EXPECT_EQ(privateSlots, given);
  EXPECT_EQ(others, QStringList());
}

TEST_F(WindowTest, StateDisplayFollowsEveryStateAndErrorBoxesReport) {
  setSim("DEVICES", "1");
  _window.reset(new KRmt(nullptr, false, true));  // Searching until the search has run
  _window->show();
  KRmtProbe p = probe();
  // The state, its text and lamp, and which of Start, Stop and the progress bar are enabled.
  const struct { KRmt::RmtState state; const char* text; Led::Color colour; bool start, stop, progress; } shown[] = {
      {KRmt::Searching, "Searching", Led::Red, false, false, false},
      {KRmt::Idle, "Idle", Led::Off, true, false, false},
      {KRmt::Recording, "Recording", Led::Green, false, true, false},
      {KRmt::Saving, "Saving", Led::Yellow, false, false, true},
  };
  for (const auto& s : shown) {
    if (s.state == KRmt::Idle)  // where the search ends
      ASSERT_TRUE(QTest::qWaitFor([&] { return _window->state() != KRmt::Searching; }, kWaitMs));
    else if (s.state != KRmt::Searching)
      p.updateGui(s.state);
    // Refresh keeps the state and shows the same again.
    for (const char* when : {"", " after Refresh"}) {
      SCOPED_TRACE(std::string(s.text) + when);
      EXPECT_EQ(std::make_tuple(_window->state(), p.stateText()->text().toStdString(),
                                p.stateLed()->color(), p.startBtn()->isEnabled(),
                                p.stopBtn()->isEnabled(), p.progress()->isVisible(),
                                p.quitBtn()->isEnabled()),
                std::make_tuple(s.state, std::string(s.text), s.colour, s.start, s.stop, s.progress, true));
      p.updateGui(KRmt::Refresh);
    }
  }
  EXPECT_TRUE(_boxes.texts.isEmpty());

  // Error reports: Ok keeps the window, Close closes it.
  EXPECT_TRUE(p.checkError(true, "never shown") && p.checkRc(0, "TDC_discover") && p.checkRc(0) &&
              p.checkRc(KORBALT_NO_ACK, "TDC_enableChannels") && p.checkRc(KORBALT_CONNECT_FAILED) &&
              p.checkError(false, "first problem"));
  EXPECT_TRUE(_window->isVisible());
  _boxes.queue(QMessageBox::Close);
  EXPECT_FALSE(p.checkError(false, "fatal problem"));
  EXPECT_FALSE(_window->isVisible());
  const QStringList expected = {
      QString("TDC_enableChannels returned \"%1\"").arg(TDC_perror(KORBALT_NO_ACK)),
      QString("Korbalt Error %1").arg(TDC_perror(KORBALT_CONNECT_FAILED)), "first problem",
      "fatal problem"};
  EXPECT_EQ(_boxes.texts, expected);
  EXPECT_TRUE(_boxes.allErrorBoxes);
}

TEST_F(WindowTest, PathsAreCheckedWithoutTraceAndPersistOnlyThroughQuitAndEscape) {
  openWindow(false);
  KRmtProbe p = probe();
  // An empty store gives the home folder's files and the temp folder, checked without a trace.
  EXPECT_EQ(pathsShown(p), QStringList({path("home") + "/timestamps.txt", path("home") + "/timestamps.bin",
                                         path("tmp"), path("home") + "/timestamps.h5"})
                              .replaceInStrings("/", QDir::separator()));
  for (QLineEdit* ed : {p.ascPath(), p.binPath(), p.tmpPath()}) EXPECT_TRUE(paintedAs(ed, "white"));
  EXPECT_TRUE(isEmptyDir(path("home")) && isEmptyDir(path("tmp")));

  // Typing checks the output paths as files and the temp folder as a folder (through a probe
  // file in it). Nothing is created, changed or removed: an existing file, that probe file
  // included, is judged by its permissions, a new one by its folder's, a symbolic link as its
  // target; nothing can be created below a regular file.
  const QString existing = path("existing.txt"), readOnly = path("read-only.txt");
  const QStringList old = {existing, readOnly, path("used/ravik-test.tmp")};
  for (const char* folder : {"out", "used", "locked"}) QDir(_dir.path()).mkpath(folder);
  for (const QString& name : old) ASSERT_TRUE(std::ofstream(name.toStdString()) << "old content");
  const struct { const char* name; QString target; } links[] = {
      {"dangling.txt", path("gone.txt")}, {"to-existing.txt", existing},
      {"nowhere.txt", path("missing/x")}};
  for (const auto& l : links) ASSERT_TRUE(QFile::link(l.target, path(l.name)));
  ASSERT_EQ(chmod(readOnly.toUtf8().constData(), 0444), 0);
  ASSERT_EQ(chmod(path("locked").toUtf8().constData(), 0555), 0);
  QLineEdit *asc = p.ascPath(), *bin = p.binPath(), *hdf5 = p.hdf5Path(), *tmp = p.tmpPath();
  // `permissions`: the colour comes from permission bits, which do not bind root.
  const struct { QLineEdit* ed; QString text; const char* colour; bool permissions = false; } checks[] = {
      {asc, existing, "white"},              {bin, path("new.txt"), "white"},
      {asc, existing + "/below.txt", "red"}, {bin, path("missing/out.txt"), "red"},
      {asc, "", "red"},                      {tmp, path("out"), "white"},
      {tmp, path("used"), "white"},          {tmp, path("missing"), "red"},
      {asc, path("dangling.txt"), "white"},  {bin, path("to-existing.txt"), "white"},
      {asc, path("nowhere.txt"), "red"},     {bin, readOnly, "red", true},
      {asc, path("locked/new.txt"), "red", true}, {tmp, path("locked"), "red", true},
      {hdf5, path("new.h5"), "white"},      {hdf5, path("missing/out.h5"), "red"}};
  const bool root = geteuid() == 0;
  for (const auto& c : checks) {
    if (c.permissions && root) {
      printf("as root, not checked: %s is %s to others\n", c.text.toUtf8().constData(), c.colour);
      continue;
    }
    c.ed->setText(c.text + "x");
    QTest::keyClick(c.ed, Qt::Key_Backspace);  // the user's edit leaves c.text
    EXPECT_TRUE(paintedAs(c.ed, c.colour)) << c.text.toStdString();
  }
  for (const QString& name : old) EXPECT_EQ(readFile(name), "old content");
  for (const auto& l : links)
    EXPECT_EQ(QFile::symLinkTarget(path(l.name)).toStdString(), l.target.toStdString()) << l.name;
  EXPECT_FALSE(QFile::exists(path("new.txt")) || QFile::exists(path("gone.txt")));
  for (const char* folder : {"out", "locked"}) EXPECT_TRUE(isEmptyDir(path(folder))) << folder;

  // Only Quit and Escape store the paths: closing through the frame, an error box's Close and a
  // stop signal leave those stored before. The paths loaded are checked.
  const struct {
    const char* how;
    std::function<void()> end;
    bool stores;
  } ends[] = {
      {"Quit", [this] { probe().quitBtn()->click(); }, true},
      {"Escape", [this] { QTest::keyClick(_window.get(), Qt::Key_Escape); }, true},
      {"frame", [this] { _window->close(); }, false},
      {"error box", [this] {
         _boxes.queue(QMessageBox::Close);
         probe().checkError(false, "Merge failed");
       }, false},
      {"stop signal", [this] { _window->stopBySignal(SIGTERM); }, false},
  };
  QStringList stored = pathsShown(p);
  for (size_t i = 0; i < std::size(ends); ++i) {
    SCOPED_TRACE(ends[i].how);
    const QStringList chosen = {path("a%1.txt").arg(i), path("b%1.bin").arg(i),
                                path("nowhere%1").arg(i), path("c%1.h5").arg(i)};
    const std::array<QLineEdit*, 4> fields = {p.ascPath(), p.binPath(), p.tmpPath(), p.hdf5Path()};
    for (int f = 0; f < 4; ++f) fields[f]->setText(chosen[f]);
    ends[i].end();
    EXPECT_FALSE(_window->isVisible());
    // A stop signal ends the application's event loops: one run to its end clears that.
    QTimer::singleShot(0, [] { QCoreApplication::exit(); });
    QCoreApplication::exec();
    if (ends[i].stores) stored = chosen;
    openWindow(false);
    p = probe();
    EXPECT_EQ(pathsShown(p), stored);
    EXPECT_TRUE(paintedAs(p.tmpPath(), "red"));
  }
  EXPECT_EQ(_boxes.texts, QStringList{"Merge failed"});
}

TEST_F(WindowTest, LogFileOnlyWithTheLogOption) {
  for (bool log : {false, true}) {
    openWindow(true, log);
    closeWindow();
    EXPECT_EQ(QFile::exists(path("ravik.log")), log);
  }
  traceSetFlags(0);
  traceSetFile(nullptr);  // back to a quiet log on stderr, which also closes the file
  // Every line, the device library's included, carries the program's prefix.
  for (const QByteArray& line : readFile(path("ravik.log")).trimmed().split('\n'))
    EXPECT_TRUE(line.startsWith("RAVIK [")) << line.constData();
}
