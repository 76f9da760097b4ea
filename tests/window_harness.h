// Test helper for the window and device tests: one QApplication per test program with a private
// settings store, a fixture that gives every test its own working, home and temp folders and a
// fresh simulated chain, a probe into the window's members, and an answerer for message boxes.
#ifndef RAVIK_TESTS_WINDOW_HARNESS_H
#define RAVIK_TESTS_WINDOW_HARNESS_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
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

// The window's private members and slots, for the tests.
class KRmtProbe {
public:
  explicit KRmtProbe(KRmt* w) : _w(w) {}
  QPushButton* startBtn() const { return _w->_startBtn; }
  QPushButton* stopBtn() const { return _w->_stopBtn; }
  QPushButton* quitBtn() const { return _w->_quitBtn; }
  QLineEdit* ascPath() const { return _w->_ascPath; }
  QLineEdit* binPath() const { return _w->_binPath; }
  QLineEdit* tmpPath() const { return _w->_tmpPath; }
  QCheckBox* ascEnable() const { return _w->_ascEnable; }
  QCheckBox* binEnable() const { return _w->_binEnable; }
  QLabel* stateText() const { return _w->_stateText; }
  Led* stateLed() const { return _w->_stateLed; }
  QProgressBar* progress() const { return _w->_progress; }
  MergeThread* merger() const { return _w->_merger; }
  // The widget in a cell of the device table, or null.
  QWidget* deviceCell(int row, int column) const {
    QLayoutItem* item = _w->_devLayout->itemAtPosition(row, column);
    return item ? item->widget() : nullptr;
  }
  void updateGui(KRmt::RmtState s) { _w->updateGui(s); }
  bool checkError(bool cond, const QString& msg) { return _w->checkError(cond, msg); }
  bool checkRc(int rc, const QString& fct = QString()) { return _w->checkRc(rc, fct); }
  void checkPathBox(QLineEdit* ed, bool asDir) { _w->checkPathBox(ed, asDir); }

private:
  KRmt* _w;
};

// The QApplication of the test program, created once the settings store has been moved into a
// folder of its own (Qt reads the location once).
class QtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    _config = std::make_unique<QTemporaryDir>();
    setenv("XDG_CONFIG_HOME", _config->path().toLocal8Bit().constData(), 1);
    _app = std::make_unique<QApplication>(_argc, _argv);
    _app->setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    _app.reset();
    _config.reset();
  }

private:
  int _argc = 1;
  char _name[16] = "ravik-test";
  char* _argv[2] = {_name, nullptr};
  std::unique_ptr<QTemporaryDir> _config;
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

private:
  void poll() {
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
// settings store, no RAVIK_SIM_ variables and no devices in the window's registries.
class WindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(_dir.isValid());
    _oldCwd = QDir::currentPath();
    _oldHome = qgetenv("HOME");
    _oldTmp = qgetenv("TMPDIR");
    QDir::setCurrent(_dir.path());
    for (const char* sub : {"home", "tmp"}) QDir(_dir.path()).mkpath(sub);
    qputenv("HOME", path("home").toLocal8Bit());
    qputenv("TMPDIR", path("tmp").toLocal8Bit());
    clearSimVariables();
    QSettings(KRmt::vendorName, KRmt::programName).clear();
    forgetDevices();
  }

  void TearDown() override {
    closeWindow();
    UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
    clearSimVariables();
    QDir::setCurrent(_oldCwd);
    qputenv("HOME", _oldHome);
    qputenv("TMPDIR", _oldTmp);
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
    forgetDevices();
  }

  static void forgetDevices() {
    KRmt::_devs.clear();
    KRmt::_devMap.clear();
  }

  QString path(const QString& name) const { return _dir.path() + "/" + name; }

  KRmtProbe probe() const { return KRmtProbe(_window.get()); }

  QTemporaryDir _dir;
  std::unique_ptr<KRmt> _window;
  BoxAnswerer _boxes;

private:
  QString _oldCwd;
  QByteArray _oldHome;
  QByteArray _oldTmp;
};

#endif
