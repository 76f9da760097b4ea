// Test helper for the window and device tests: one QApplication per test program with a private
// settings store, a fixture that gives every test its own working, home and temp folders and a
// fresh simulated chain, a probe into the window's members, and an answerer for message boxes.
#ifndef RAVIK_TESTS_WINDOW_HARNESS_H
#define RAVIK_TESTS_WINDOW_HARNESS_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/krmt.h"
#include "device/rmtdev.h"
#include "korbalt_env.h"
#include "widgets/led.h"

// Generous bound for every wait on a condition.
constexpr int kWaitMs = 10000;

// The file's content, or "<missing>" when it cannot be read: a missing file never equals an
// empty one.
inline QByteArray readFile(const QString& name) {
  QFile f(name);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The window's private members and slots, for the tests: member _x as x().
class KRmtProbe {
public:
  explicit KRmtProbe(KRmt* w) : _w(w) {}
#define RAVIK_PROBE(m) auto m() const { return _w->_##m; }
  RAVIK_PROBE(startBtn) RAVIK_PROBE(stopBtn) RAVIK_PROBE(quitBtn) RAVIK_PROBE(progress)
  RAVIK_PROBE(ascPath) RAVIK_PROBE(binPath) RAVIK_PROBE(tmpPath) RAVIK_PROBE(merger)
  RAVIK_PROBE(ascEnable) RAVIK_PROBE(binEnable) RAVIK_PROBE(stateText) RAVIK_PROBE(stateLed)
  RAVIK_PROBE(noteText) RAVIK_PROBE(ascBtn) RAVIK_PROBE(binBtn) RAVIK_PROBE(tmpBtn)
  RAVIK_PROBE(hdf5Path) RAVIK_PROBE(hdf5Enable) RAVIK_PROBE(hdf5Btn)
#undef RAVIK_PROBE
  // The widget in a cell of the window's main grid or of its device table, or null.
  QWidget* cell(int row, int column) const { return widgetAt(_w->_layout, row, column); }
  QWidget* deviceCell(int row, int column) const { return widgetAt(_w->_devLayout, row, column); }
  // Row, column, row span and column span of a widget or the device table in the main grid;
  // all -1 when it is not there.
  std::array<int, 4> position(QObject* item) const {
    std::array<int, 4> at = {-1, -1, -1, -1};
    int index = -1;
    if (auto* widget = qobject_cast<QWidget*>(item)) index = _w->_layout->indexOf(widget);
    if (auto* layout = qobject_cast<QLayout*>(item)) index = _w->_layout->indexOf(layout);
    if (index >= 0) _w->_layout->getItemPosition(index, &at[0], &at[1], &at[2], &at[3]);
    return at;
  }
  QObject* deviceTable() const { return _w->_devLayout; }
  void updateGui(KRmt::RmtState s) { _w->updateGui(s); }
  // Returns once the temp files of the last merged recording are deleted.
  void waitTempRemoval() { _w->_tempRemoval.wait(); }
  bool checkError(bool cond, const QString& msg) { return _w->checkError(cond, msg); }
  bool checkRc(int rc, const QString& fct = QString()) { return _w->checkRc(rc, fct); }

private:
  static QWidget* widgetAt(QGridLayout* grid, int row, int column) {
    QLayoutItem* item = grid->itemAtPosition(row, column);
    return item ? item->widget() : nullptr;
  }

  KRmt* _w;
};

// The QApplication of the test program, created once the settings store has been moved into a
// folder of its own (Qt reads the location once).
class QtEnvironment : public ::testing::Environment {
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", _config.path().toLocal8Bit().constData(), 1);
    _app = std::make_unique<QApplication>(_argc, _argv);
    _app->setQuitOnLastWindowClosed(false);
  }
  void TearDown() override { _app.reset(); }

  QTemporaryDir _config;
  int _argc = 1;
  char _name[11] = "ravik-test";
  char* _argv[2] = {_name, nullptr};
  std::unique_ptr<QApplication> _app;
};
inline ::testing::Environment* const gQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Answers every modal message box with the next queued button (Ok once the queue is empty) and
// keeps the texts in the order the boxes came.
class BoxAnswerer : public QObject {
public:
  BoxAnswerer() {
    QObject::connect(&_timer, &QTimer::timeout, this, &BoxAnswerer::poll);
    _timer.start(10);
  }
  void queue(QMessageBox::StandardButton answer) { _answers.push_back(answer); }

  QStringList texts;
  // Whether every box was a critical "Error" box with Ok and Close and no default button.
  bool allErrorBoxes = true;
  // While set, boxes stay open unanswered.
  bool paused = false;

private:
  void poll() {
    if (paused) return;
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    texts << box->text();
    allErrorBoxes = allErrorBoxes && box->windowTitle() == "Error" &&
                    box->icon() == QMessageBox::Critical &&
                    box->standardButtons() == (QMessageBox::Ok | QMessageBox::Close) &&
                    box->defaultButton() == nullptr;
    box->button(_answers.isEmpty() ? QMessageBox::Ok : _answers.takeFirst())->click();
  }

  QTimer _timer;
  QList<QMessageBox::StandardButton> _answers;
};

inline void setSim(const char* name, const char* value) {
  setenv((std::string("RAVIK_SIM_") + name).c_str(), value, 1);
}

// Every test starts in a temporary working folder with its own home and temp folders, an empty
// settings store, no RAVIK_SIM_ variables and no devices in the window's registries; the working
// folder and the variables HOME and TMPDIR are restored afterwards.
class WindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(_dir.isValid());
    _saved = {QDir::currentPath().toLocal8Bit(), qgetenv("HOME"), qgetenv("TMPDIR")};
    QDir::setCurrent(_dir.path());
    for (const char* sub : {"home", "tmp"}) QDir(_dir.path()).mkpath(sub);
    qputenv("HOME", path("home").toLocal8Bit());
    qputenv("TMPDIR", path("tmp").toLocal8Bit());
    clearSimVariables();
    QSettings(KRmt::vendorName, KRmt::programName).clear();
    closeWindow();
  }

  void TearDown() override {
    closeWindow();
    UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
    clearSimVariables();
    QDir::setCurrent(QString::fromLocal8Bit(_saved[0]));
    qputenv("HOME", _saved[1]);
    qputenv("TMPDIR", _saved[2]);
  }

  // Builds the window, shows it and waits until its device search has run.
  KRmt* openWindow(bool sim = true, bool log = false) {
    closeWindow();
    _window.reset(new KRmt(nullptr, log, sim));
    _window->show();
    EXPECT_TRUE(QTest::qWaitFor([this] { return _window->state() != KRmt::Searching; }, kWaitMs));
    return _window.get();
  }

  // Destroys the window (which disconnects its devices) and empties the static registries.
  void closeWindow() {
    _window.reset();
    KRmt::_devs.clear();
    KRmt::_devMap.clear();
  }

  // The window on the default chain, every input at 3000 events/s, with the temp folder work/
  // in the test's folder.
  KRmtProbe openRecordingWindow() {
    setSim("RATES", "3000");
    QDir(_dir.path()).mkpath("work");
    openWindow();
    probe().tmpPath()->setText(path("work"));
    return probe();
  }

  // Starts and waits until every device of `devs` has counted events and its row shows them.
  void record(const QVector<RmtDev*>& devs = KRmt::_devs) {
    probe().startBtn()->click();
    ASSERT_EQ(_window->state(), KRmt::Recording);
    ASSERT_TRUE(QTest::qWaitFor([&] {
      return std::all_of(devs.begin(), devs.end(), [](RmtDev* dev) {
        return dev->_events >= 300 && dev->_eventsEdit->text() != "0";
      });
    }, kWaitMs));
  }

  QString path(const QString& name) const { return _dir.path() + "/" + name; }
  KRmtProbe probe() const { return KRmtProbe(_window.get()); }

  QTemporaryDir _dir;
  std::unique_ptr<KRmt> _window;
  BoxAnswerer _boxes;

private:
  std::vector<QByteArray> _saved;  // working folder, HOME, TMPDIR
};

#endif
