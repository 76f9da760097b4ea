#include "app/krmt.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

#include "chain/session.h"
#include "merge/hdf5file.h"
#include "merge/outputfile.h"
#include "chain/devicecore.h"
#include "device/korbalt.h"
#include "device/rmtdev.h"
#include "device/rmtpath.h"
#include "merge/mergethread.h"
#include "merge/outputpath.h"
#include "monitor/monitorcore.h"
#include "thread/lxthread.h"
#include "trace/trace.h"
#include "widgets/background.h"
#include "widgets/led.h"

#include "fileopen.xpm"
#include "tri32.xpm"
#include "tri48.xpm"

const char* const KRmt::optLog = "-l";
const char* const KRmt::optSim = "-s";
const char* const KRmt::vendorName = "Vorlink";
const char* const KRmt::programName = "Ravik";

QVector<RmtDev*> KRmt::_devs;
QMap<int, RmtDev*> KRmt::_devMap;

namespace {

// How each state shows: label text and lamp colour, indexed by state.
struct Deco {
  const char* text;
  Led::Color color;
};
const Deco deco[4] = {
    {"Idle", Led::Off},
    {"Searching", Led::Red},
    {"Recording", Led::Green},
    {"Saving", Led::Yellow},
};

const char* const deviceHeadings[] = {"Serial Number", "Id", "Role", "Sync",
                                      "MEvents", "Loss", "Record"};

}  // namespace

KRmt::KRmt(QWidget* parent, bool log, bool sim)
    : QWidget(parent),
      _ascFile(nullptr),
      _binFile(nullptr),
      _hdf5(nullptr),
      _merger(nullptr),
      _monitor(nullptr),
      _monitorThread(nullptr),
      _monitorWin(nullptr),
      _allowSim(sim),
      _state(Searching),
      _totalBytes(0) {
  setWindowTitle("Ravik - Tikor Record & Merge Tool");
  QIcon icon{QPixmap(tri32)};
  icon.addPixmap(QPixmap(tri48));
  setWindowIcon(icon);
  setGradientBackground(this);
  buildWidgets();
  layoutWidgets();
  connectSignals();
  if (log) {
    traceInit("ravik.log", "RAVIK", 508);
    UL_initTrace(traceGetParamset());
  }
  updateGui(Refresh);
  _settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope, vendorName,
                            programName, this);
  checkDirs();
  QTimer::singleShot(50, this, &KRmt::search);
}

KRmt::~KRmt() {
  // Closed through its frame, the window may go while recording or merging. The callback is
  // removed and the merge ends before any device, temp file or output goes; the temp files of an
  // unfinished recording or merge are kept, as after Quit.
  if (_state == Recording) {
    stopCollect(true);
    keepRecording();
  }
  if (_merger) {
    _merger->stop();
    stopMerge();
    delete _merger;
  }
  UL_setEventCallback(KORBALT_EVENT_DATA, nullptr);
  delete _monitor;  // its thread ended with the recording
  for (RmtDev* dev : _devMap) dev->disconnect();
  // The devices are the window's children, deleted after this body: no one may find them.
  _devMap.clear();
  _devs.clear();
}

void KRmt::buildWidgets() {
  _startBtn = new QPushButton("Start", this);
  _stopBtn = new QPushButton("Stop", this);
  _quitBtn = new QPushButton("Quit", this);
  _monitorBtn = new QPushButton("Monitor", this);
  _ascPath = new QLineEdit(this);
  _binPath = new QLineEdit(this);
  _hdf5Path = new QLineEdit(this);
  _tmpPath = new QLineEdit(this);
  _stateLed = new Led(this);
  _layout = new QGridLayout(this);
  _devLayout = new QGridLayout();
  _timer = new QTimer(this);
  _ascBtn = new QPushButton(this);
  _binBtn = new QPushButton(this);
  _hdf5Btn = new QPushButton(this);
  _tmpBtn = new QPushButton(this);
  _ascEnable = new QCheckBox(this);
  _binEnable = new QCheckBox(this);
  _hdf5Enable = new QCheckBox(this);
  _stateText = new QLabel(this);
  _noteText = new QLabel(this);
  _progress = new QProgressBar(this);

  for (QPushButton* b : {_ascBtn, _binBtn, _hdf5Btn, _tmpBtn}) {
    b->setIcon(QIcon(QPixmap(fileopen)));
    b->setFixedWidth(b->sizeHint().height());
  }
  _stateLed->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  _progress->setRange(0, 1000);
  _progress->setTextVisible(false);
  _progress->setFixedHeight(10);
  _progress->hide();
  _noteText->setWordWrap(true);
  _timer->setInterval(200);
}

void KRmt::layoutWidgets() {
  auto label = [this](const char* text) { return new QLabel(text, this); };
  // Column 4 stays empty. The additions keep the rows above as they are: the Monitor button
  // takes the free cell under Quit, the note line the free cells of the spacing row, and the HDF5
  // output a row of its own under the progress bar.
  const struct {
    int row, col;
    QWidget* widget;
  } cells[] = {
      {0, 0, label("State:")},         {0, 1, _stateLed},  {0, 2, _stateText},
      {0, 5, _startBtn},
      {1, 0, label("Text Output:")},   {1, 1, _ascEnable}, {1, 2, _ascPath}, {1, 3, _ascBtn},
      {1, 5, _stopBtn},
      {2, 0, label("Binary Output:")}, {2, 1, _binEnable}, {2, 2, _binPath}, {2, 3, _binBtn},
      {2, 5, _quitBtn},
      {3, 0, label("Temp Folder:")},                       {3, 2, _tmpPath}, {3, 3, _tmpBtn},
      {3, 5, _monitorBtn},
      {4, 0, label("")},
      {10, 0, label("HDF5 Output:")},  {10, 1, _hdf5Enable}, {10, 2, _hdf5Path}, {10, 3, _hdf5Btn},
  };
  for (const auto& c : cells) _layout->addWidget(c.widget, c.row, c.col);
  _layout->addWidget(_noteText, 4, 1, 1, 3);
  _layout->addLayout(_devLayout, 5, 0, 4, 6, Qt::AlignTop);
  _layout->addWidget(_progress, 9, 0, 1, 6);

  int col = 0;
  for (const char* heading : deviceHeadings) _devLayout->addWidget(label(heading), 0, col++);
}

void KRmt::connectSignals() {
  connect(_startBtn, &QPushButton::clicked, this, [this] { startCollect(); });
  connect(_stopBtn, &QPushButton::clicked, this, [this] { stopCollect(); });
  connect(_quitBtn, &QPushButton::clicked, this, &KRmt::exitPgm);
  connect(_monitorBtn, &QPushButton::clicked, this, &KRmt::openMonitor);
  connect(_timer, &QTimer::timeout, this, [this] {
    updateGui();
    watchFreeSpace();
  });
  connect(_ascBtn, &QPushButton::clicked, this, &KRmt::selAscOut);
  connect(_binBtn, &QPushButton::clicked, this, &KRmt::selBinOut);
  connect(_hdf5Btn, &QPushButton::clicked, this, &KRmt::selHdf5Out);
  connect(_tmpBtn, &QPushButton::clicked, this, &KRmt::selTmpDir);
  // Each box is checked as the user edits it: the box is passed as the edit's sender would be.
  for (QLineEdit* path : {_ascPath, _binPath, _hdf5Path})
    connect(path, &QLineEdit::textEdited, this, [this, path] { checkPathBox(path); });
  connect(_tmpPath, &QLineEdit::textEdited, this, [this] { checkDirBox(_tmpPath); });
}

// ---- State display and error reports ----

void KRmt::updateGui(KRmt::RmtState newState) {
  if (newState != Refresh) _state = newState;
  _stateLed->setColor(deco[_state].color);
  _stateText->setText(deco[_state].text);
  // The paths, folder buttons and output boxes stay enabled: the outputs ticked at Stop are the
  // ones written.
  _startBtn->setEnabled(_state == Idle);
  _stopBtn->setEnabled(_state == Recording);
  _progress->setVisible(_state == Saving);
  for (RmtDev* dev : _devs) dev->updateGui();
}

bool KRmt::checkError(bool cond, QString msg) {
  if (cond) return true;
  QMessageBox box(QMessageBox::Critical, "Error", msg, QMessageBox::Ok | QMessageBox::Close,
                  this);
  box.setDefaultButton(QMessageBox::NoButton);
  box.setEscapeButton(QMessageBox::Close);
  if (box.exec() == QMessageBox::Close) {
    close();
    return false;
  }
  return true;
}

bool KRmt::checkRc(int rc, QString fct) {
  if (rc == 0) return true;
  if (!fct.isEmpty())
    return checkError(false, QString::fromStdString(rcMessage(rc, fct.toStdString())));
  const char* text = TDC_perror(rc);
  return checkError(false, "Korbalt Error " + QString::fromUtf8(text ? text : ""));
}

// ---- Exit ----

void KRmt::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) exitPgm();
}

void KRmt::exitPgm() {
  endForExit();
  storePaths();
  close();
}

void KRmt::endForExit() {
  // A recording in progress is stopped first, so that no callback writes into a file being
  // closed; its merge ends with it and the recording is kept.
  if (_state == Recording) {
    stopCollect(true);
    keepRecording();
  }
  for (int i = 0; i < 20; ++i) {
    if (!_merger || _merger->finished()) break;
    _merger->stop();
    IThread::sleep(10);
  }
  // A merge that got to its end in time is published as after a poll; one stopped here keeps its
  // temp files and publishes no output (stopMerge waits for its thread before closing a file).
  // One with another merge to go, for outputs changed during the recording, is kept whole
  // instead, for the recovery to write every output chosen at Stop.
  if (_state == Saving && _merger->finished() && !laterOutputs())
    concludeMerge();
  else
    stopMerge();
}

void KRmt::stopBySignal(int signal) {
  fprintf(stderr, "ravik: %s: closing as Quit does, without storing the paths\n",
          strsignal(signal));
  // Inside an error box or a dialog, Quit's steps could cross those of the call that opened it:
  // only the event loops end then, and the destructor stops and keeps what still runs. Only Quit
  // and Escape store the paths, so a signal is not Quit.
  if (QApplication::activeModalWidget() == nullptr) {
    endForExit();
    close();
  }
  QCoreApplication::exit();
}

void KRmt::storePaths() {
  _settings->setValue("pathNameAsc", _ascPath->text());
  _settings->setValue("pathNameBin", _binPath->text());
  _settings->setValue("pathNameHdf5", _hdf5Path->text());
  _settings->setValue("pathNameTmp", _tmpPath->text());
}

// ---- Paths ----

void KRmt::checkDirs() {
  QString ascDefault = QDir::homePath() + "/timestamps.txt";
  QString binDefault = QDir::homePath() + "/timestamps.bin";
  QString hdf5Default = QDir::homePath() + "/timestamps.h5";
  QString tmpDefault = QDir::tempPath();
  _ascPath->setText(QDir::toNativeSeparators(_settings->value("pathNameAsc", ascDefault).toString()));
  _binPath->setText(QDir::toNativeSeparators(_settings->value("pathNameBin", binDefault).toString()));
  _hdf5Path->setText(
      QDir::toNativeSeparators(_settings->value("pathNameHdf5", hdf5Default).toString()));
  _tmpPath->setText(QDir::toNativeSeparators(_settings->value("pathNameTmp", tmpDefault).toString()));
  checkPathBox(_ascPath, false);
  checkPathBox(_binPath, false);
  checkPathBox(_hdf5Path, false);
  checkPathBox(_tmpPath, true);
}

// True when `path` can be written, judged without touching it: nothing is created, written or
// removed. A file that exists is judged by its own permissions, one that does not yet by those of
// the folder it would be created in. A symbolic link counts as its target, where an output goes:
// for a dangling link, the folder its target would be created in.
static bool isWritablePath(const QString& path) {
  if (path.isEmpty()) return false;
  const std::string target = followLinks(toFileName(path));
  struct stat st;
  if (stat(target.c_str(), &st) == 0)
    return faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
  if (errno != ENOENT) return false;  // e.g. a regular file named as a folder on the way
  std::string dir, base;
  splitPath(target, &dir, &base);
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

void KRmt::checkPathBox(QLineEdit* ed, bool asDir) {
  if (!ed) ed = qobject_cast<QLineEdit*>(sender());
  if (!ed) return;
  QString path = ed->text();
  if (asDir) path += "/ravik-test.tmp";
  QPalette pal = ed->palette();
  pal.setBrush(QPalette::All, ed->backgroundRole(),
               QBrush(QColor(isWritablePath(path) ? "white" : "red")));
  ed->setPalette(pal);
  ed->setAutoFillBackground(true);
}

void KRmt::checkDirBox(QLineEdit* ed) {
  if (!ed) ed = qobject_cast<QLineEdit*>(sender());
  checkPathBox(ed, true);
}

void KRmt::selAscOut() {
  QString name = QFileDialog::getSaveFileName(this, "Text Output File", _ascPath->text());
  if (name.isEmpty()) return;
  _ascPath->setText(QDir::toNativeSeparators(name));
  checkPathBox(_ascPath, false);
}

void KRmt::selBinOut() {
  QString name = QFileDialog::getSaveFileName(this, "Binary Output File", _binPath->text());
  if (name.isEmpty()) return;
  _binPath->setText(QDir::toNativeSeparators(name));
  checkPathBox(_binPath, false);
}

void KRmt::selHdf5Out() {
  QString name = QFileDialog::getSaveFileName(this, "HDF5 Output File", _hdf5Path->text());
  if (name.isEmpty()) return;
  _hdf5Path->setText(QDir::toNativeSeparators(name));
  checkPathBox(_hdf5Path, false);
}

void KRmt::selTmpDir() {
  QString dir = QFileDialog::getExistingDirectory(this, "Path for Temporary Files",
                                                  _tmpPath->text(), QFileDialog::ShowDirsOnly);
  if (dir.isEmpty()) return;
  _tmpPath->setText(QDir::toNativeSeparators(dir));
  checkPathBox(_tmpPath, true);
}
