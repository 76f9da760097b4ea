// The main window: device table, output paths, state display, and the record-and-merge control.
//
// States: Searching (until the device search 50 ms after construction) -> Idle -> Recording ->
// Saving -> Idle ... The outputs ticked at Start are merged while the devices record, so Saving
// only waits for the last blocks after Stop. Every failure is reported through checkError(), one modal "Error" box with
// Ok and Close; Close also closes the window.
#ifndef RAVIK_APP_KRMT_H
#define RAVIK_APP_KRMT_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <QMap>
#include <QString>
#include <QVector>
#include <QWidget>

#include "device/tempremoval.h"
#include "cli/outputcheck.h"
#include "merge/hdf5output.h"
#include "report/runmanifest.h"
#include "report/runreport.h"

class Hdf5Output;
class Led;
class MergeThread;
class MonitorCore;
class MonitorThread;
class MonitorWindow;
class Hdf5File;
class OutputFile;
class QCheckBox;
class QCloseEvent;
class QGridLayout;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSettings;
class QTimer;
class RmtDev;

struct ReportOverlap;

class KRmt : public QWidget {
  Q_OBJECT

public:
  enum RmtState { Idle = 0, Searching = 1, Recording = 2, Saving = 3, Refresh = 4 };

  // The command-line options.
  static const char* const optLog;  // "-l": write ravik.log and share it with the device library
  static const char* const optSim;  // "-s": discovery also reports simulated devices

  // The persisted settings' organisation and application.
  static const char* const vendorName;
  static const char* const programName;

  KRmt(QWidget* parent, bool log, bool sim);
  ~KRmt() override;

  // The connected devices in chain order, master first (owned by the window as Qt children).
  static QVector<RmtDev*> _devs;
  // Device library index -> device; read by the event callback while recording.
  static QMap<int, RmtDev*> _devMap;

  RmtState state() const { return _state; }

  // Quit: a recording is stopped and kept, a merge stopped (one that got to its end published),
  // the paths stored, and the window closed.
  void exitPgm();
  // A stop signal (see app/stopsignals.h): Quit, said on standard error, and every event loop
  // of the application ends, so that the program ends even from inside an error box.
  void stopBySignal(int signal);

protected:
  void keyPressEvent(QKeyEvent* event) override;
  // However the window closes (Quit, Escape, its frame, an error box's Close), the paths stay.
  void closeEvent(QCloseEvent* event) override;

private slots:
  void startCollect();
  void stopCollect(bool err = false);
  void search();
  void startMerge();
  void stopMerge();
  void updateGui(KRmt::RmtState newState = Refresh);
  void pollFinished();
  bool checkError(bool cond, QString msg);
  bool checkRc(int rc, QString fct = QString());
  void selBinOut();
  void selAscOut();
  void selHdf5Out();
  void selTmpDir();
  void checkDirs();
  void checkPathBox(QLineEdit* ed = nullptr, bool asDir = false);
  void checkDirBox(QLineEdit* ed = nullptr);
  void onUse5ChUpdate(bool on);
  void openMonitor();

private:
  void buildWidgets();
  void layoutWidgets();
  void connectSignals();
  bool connectDevices(uint32_t count, QVector<RmtDev*>& found);
  void placeInChain(const QVector<RmtDev*>& found);
  bool askMissing(int32_t position);
  // At Start, before anything is recorded: false, with the error box, when the markers of a
  // device to record would share output channels with another device's channels.
  bool checkChainChannels();
  // At Start: creates the ticked outputs under temporary names; false when the user answered a
  // failure with Close, or when the run report would have no name beside them.
  bool openOutputs();
  // Why the output `what` cannot be written to `path`, empty when it can: it is an output opened
  // before it, a file that this recording makes in the temp folder (deleted once merged), or
  // the metadata file that the HDF5 output reads.
  std::string outputClash(const char* what, const std::string& path) const;
  std::vector<OutputName> recordingFiles(const QString& dir, bool started) const;
  // Starts the merge beside the recording, reading the temp files as they grow.
  void startLiveMerge();
  // Ends a merge that is not to complete and waits for its thread; the outputs are discarded.
  void abandonMerge();
  // Stops the merge thread, if it runs, and waits for it.
  void haltMerge();
  // Takes the temp file locks for the rest of the merge; false, with the merge failed, when
  // another recording holds one.
  bool lockTempFiles();
  // Closes the outputs and removes them unless published; the final names stay untouched.
  void discardOutputs();
  // The run's manifest beside the temp files of a recording just started in `dir`.
  void writeManifest(const QString& dir);
  void storePaths();
  bool tellWriteFailures();
  void keepRecording();
  void mergeFailed(const QString& error);
  bool finishOutputs();
  // After the merge thread has finished: publishes the outputs of a complete merge with their
  // run report and deletes the temp files, or keeps the recording.
  void concludeMerge();
  // `text`, `binary`: the paths of the outputs written, empty where none.
  void writeRunReport(const std::string& text, const std::string& binary);
  // Where the run report of these outputs goes (see defaultReportPath); false with the reason.
  // `started`: the temp files are this recording's.
  bool reportFile(const std::string& text, const std::string& binary, bool started,
                  std::string* path, std::string* error) const;
  std::vector<ReportOverlap> recordedOverlaps() const;
  FILE* openOutput(QCheckBox* enable, QLineEdit* path, const char* what,
                   std::unique_ptr<OutputFile>* output, bool* goOn);
  RunReport runReport(const std::string& text, const std::string& binary) const;
  // The HDF5 output of a merge (app/krmt_hdf5.cpp): created at Start with the other outputs, when
  // its box is checked, with the metadata of ravik-meta.json in its folder; completed and closed
  // after a complete merge, or removed after one that is not. *goOn as for openOutput().
  void openHdf5(bool* goOn);
  // ravik-meta.json in the folder of the HDF5 output `output`.
  static QString metaFileFor(const QString& output);
  QString finishHdf5();
  void discardHdf5();
  // The live monitor of a recording: a new one taps every device before the callback is
  // registered; the stop, called once the callback is removed, ends its thread and keeps the
  // monitor for the Monitor window to show.
  void startMonitor();
  void stopMonitor();

  QPushButton* _startBtn;
  QPushButton* _stopBtn;
  QPushButton* _quitBtn;
  QPushButton* _monitorBtn;
  QPushButton* _ascBtn;
  QPushButton* _binBtn;
  QPushButton* _hdf5Btn;
  QPushButton* _tmpBtn;
  QLineEdit* _ascPath;
  QLineEdit* _binPath;
  QLineEdit* _hdf5Path;
  QLineEdit* _tmpPath;
  QCheckBox* _ascEnable;
  QCheckBox* _binEnable;
  QCheckBox* _hdf5Enable;
  QLabel* _stateText;
  // What the last merge found wrong (losses, a bad clock), one line per device; empty when
  // nothing was, and from the next start on.
  QLabel* _noteText;
  Led* _stateLed;
  QProgressBar* _progress;
  QGridLayout* _layout;
  QGridLayout* _devLayout;
  QTimer* _timer;
  QSettings* _settings;
  FILE* _ascFile;          // text output's stream, open from Start to the end of the merge
  FILE* _binFile;          // binary output's stream, likewise
  // The outputs behind those streams, written under temporary names until complete; null when
  // not written.
  std::unique_ptr<OutputFile> _ascOutput;
  std::unique_ptr<OutputFile> _binOutput;
  // The HDF5 output, written under a temporary name from Start until it is published; null when
  // not written. `_hdf5` is what the merge writes to, its Hdf5Output.
  std::unique_ptr<Hdf5File> _hdf5File;
  Hdf5Output* _hdf5;
  QString _metaNote;       // where the HDF5 output's metadata came from, for the state line
  std::vector<Hdf5MetaField> _hdf5Meta;  // read when the HDF5 output was created
  MergeThread* _merger;    // the most recent merge; owned
  // True while the devices write the temp files that the merge reads.
  std::atomic<bool> _growing{false};
  MonitorCore* _monitor;   // the monitor of the current or last recording, or null; owned
  MonitorThread* _monitorThread;  // runs while recording; owned
  MonitorWindow* _monitorWin;     // created by the first Monitor click; a Qt child
  bool _allowSim;
  RmtState _state;
  double _totalBytes;      // sum of the temp file sizes of the current merge
  std::string _startUtc;   // start and stop of the last recording, for the run report
  std::string _stopUtc;
  ManifestFile _manifest;  // of the current recording, held until it is merged or kept
  TempFileRemoval _tempRemoval;  // deletes the temp files of a merged recording after Idle

  friend class KRmtProbe;  // tests look at the widgets
};

#endif
