// The main window: device table, output paths, state display, and the record-and-merge control.
//
// States: Searching (until the device search 50 ms after construction) -> Idle -> Recording ->
// Saving -> Idle ... The outputs ticked at Start are merged while the devices record, so Saving
// only waits for the last blocks after Stop. The outputs stay editable in every state: those
// ticked and named at Stop are the ones written, and one changed since Start is merged from the
// temp files after Stop. Every failure is reported through checkError(), one modal "Error" box
// with Ok and Close; Close also closes the window.
#ifndef RAVIK_APP_KRMT_H
#define RAVIK_APP_KRMT_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QMap>
#include <QString>
#include <QVector>

#include "monitor/virtualchannels.h"
#include <QWidget>

#include "chain/partwriter.h"
#include "chain/takeup.h"
#include "chain/tempremoval.h"
#include "merge/outputcheck.h"
#include "merge/channelmap.h"
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
class QGridLayout;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSettings;
class QTimer;
class RmtDev;
class Session;
class OutputStage;
struct RunResult;
struct SessionDevice;

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

  // A stop signal (see app/stopsignals.h): closes the window as Quit does, but without storing
  // the paths (only Quit and Escape store them), said on standard error; every event loop of the
  // application ends, so that the program ends even from inside an error box.
  void stopBySignal(int signal);

protected:
  void keyPressEvent(QKeyEvent* event) override;

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
  void selTmpDir();
  void checkDirs();
  void checkPathBox(QLineEdit* ed = nullptr, bool asDir = false);
  void checkDirBox(QLineEdit* ed = nullptr);
  void onUse5ChUpdate(bool on);
  // Quit and Escape: a recording is stopped and kept, a merge stopped (one that got to its end
  // published), the paths stored, and the window closed.
  void exitPgm();

private:
  // The outputs, in the order they are opened; kOutputKinds counts them.
  enum OutputKind { kTextOut, kBinaryOut, kHdf5Out, kOutputKinds };

  void selHdf5Out();
  void openMonitor();
  // What Quit does before it stores the paths and closes the window.
  void endForExit();
  void buildWidgets();
  void layoutWidgets();
  void connectSignals();
  bool connectDevices(uint32_t count, QVector<RmtDev*>& found);
  void placeInChain(const QVector<RmtDev*>& found);
  bool askMissing(int32_t position);
  // The path of an output as its check box and field choose it now; empty when not ticked.
  QString chosenOutput(OutputKind kind) const;
  // Whether the output of `kind` was created for the merge and not yet published or discarded.
  bool outputOpen(OutputKind kind) const;
  // Creates the outputs `paths` (by kind, empty: none) under temporary names; false when the user
  // answered a failure with Close, or when the run report would have no name beside them.
  bool openOutputs(const QString* paths, bool live = false);
  // Why the output `what` cannot be written to `path`, empty when it can: it is an output opened
  // or published before it, a file of this recording in its temp folder (deleted once merged),
  // or the metadata file that the HDF5 output reads.
  std::string outputClash(const char* what, const std::string& path,
                          const std::vector<OutputName>& more = {}) const;
  std::vector<OutputName> recordingFiles() const;
  // Starts the merge beside the recording, reading the temp files as they grow.
  void startLiveMerge();
  void startMergeThread(bool growing);
  // After Stop: merges the temp files from their start into the outputs chosen at Stop that the
  // merge beside the recording does not write (changed or ticked since Start).
  void mergeLater();
  // Outputs chosen at Stop that differ from those being merged: merged by mergeLater().
  bool laterOutputs() const;
  // Discards, once the merge has finished, the outputs it wrote that Stop no longer wants.
  void dropChangedOutputs();
  // The temp file of a recorded device for the merge: the writer's file opened for reading, or
  // the handle of the merge beside the recording taken back to its start.
  bool openForMerge(RmtDev* dev);
  // The temp file name of a recorded device; without one (no output was ticked at Start), the
  // name Start would have given it.
  QString tempNameOf(const RmtDev* dev) const;
  // Ends a merge that is not to complete and waits for its thread; the outputs are discarded.
  void abandonMerge();
  // Stops the merge thread, if it runs, and waits for it.
  void haltMerge();
  // Takes the temp file locks for the rest of the merge; false, with the merge failed, when
  // another recording holds one.
  bool lockTempFiles();
  // Closes the outputs and removes them unless published; the final names stay untouched.
  void discardOutputs();
  // The run's manifest beside the recording's temp files, naming the outputs `outputs` (by
  // kind, empty: none) as still to be written, and the temporary names of those open.
  bool writeManifest(const QString* outputs);
  // The outputs created and not yet published, as writeManifest() takes them.
  void outputsInHand(QString* outputs) const;
  // Appends a line to the note line (above the free-space line while one is shown).
  void addNote(const QString& line);
  // While recording, about once a second: the free space and the time left as the last line of
  // the note, and, once a file system the run writes to is below the margin (the settings'
  // "minFree", a size such as "2G"; 0: never), a note why and the stop, as Stop would.
  void watchFreeSpace();
  // Shows `line` as the note's last line in place of the free-space line shown before.
  void showSpaceLine(const QString& line);
  // At Start: says on the note line which output channels two recorded devices share.
  void noteSharedChannels();
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
  // The devices recorded (with a temp file only: `withTempFile`) as the session takes them.
  std::vector<SessionDevice> sessionDevices(bool withTempFile) const;
  // What the last merge found of the devices with a temp file, in their order.
  RunResult mergeResult() const;
  // The outputs `paths` (by kind, empty: none) that the session's manifest, report and HDF5
  // provenance name, with the metadata read for the HDF5 output.
  void nameOutputs(const QString* paths);
  // Where the run report of the outputs `text`, `binary` and `hdf5` (empty: none) goes (see
  // defaultReportPath); false with the reason.
  bool reportFile(const std::string& text, const std::string& binary, const std::string& hdf5,
                  std::string* path, std::string* error) const;
  FILE* openOutput(const QString& path, const char* what, std::unique_ptr<OutputFile>* output,
                   bool* goOn);
  RunReport runReport(const std::string& text, const std::string& binary);
  // The HDF5 output of a merge (app/krmt_hdf5.cpp): created with the other outputs at `path`
  // (none when empty), with the metadata of ravik-meta.json in its folder; completed and closed
  // after a complete merge, or removed after one that is not. *goOn as for openOutput().
  void openHdf5(const QString& path, bool* goOn);
  // The HDF5 columns' compression from the settings' "hdf5Compress" ("fast", "deflate" or
  // "none"; none when not set). False when Close was chosen on the box that says why the word
  // cannot be used (unknown, or "fast" without its plugin); Ok leaves the columns uncompressed.
  bool hdf5CompressionSetting(Hdf5Compression* compression);
  // ravik-meta.json in the folder of the HDF5 output `output`.
  static QString metaFileFor(const QString& output);
  // The metadata and the compression of the HDF5 output `path`, as openHdf5() reads them, and the
  // check of its name; false when it is not to be written (*goOn as for openOutput()).
  bool prepareHdf5(const QString& path, Hdf5Compression* compression, QString* note, bool* goOn);
  QString finishHdf5();
  void discardHdf5();
  // The outputs in parts (app/krmt_parts.cpp), when the settings' "splitSize" (a size such as
  // "2G") or "splitTime" (seconds of stream time) ask for them: into *rule (off: whole); false
  // when Close was chosen on the box that says why a value cannot be used (Ok: whole outputs).
  bool splitSetting(SplitRule* rule);
  // Creates the outputs `paths` (by kind, empty: none) as the parts of one run, in place of
  // openOutputs()'s whole files (`live`: to be merged beside the recording); false when Close was
  // chosen on an error box.
  bool openParts(const QString* paths, bool live);
  // Before the merge starts: what each part's binary header and HDF5 file tell, and the
  // manifest rewritten as each part begins. With `release`, each part is also held part-way,
  // and the raw data behind each hold and published part are let go (rewriteManifest()).
  void describeParts(const std::function<void(FILE*, bool)>& header, bool release);
  void partBegun();
  // On the thread that writes the parts, which so never waits for the window's: the manifest
  // the window wrote last, with the parts so far and `after` at `point` (see chain/takeup.h);
  // then the temp files' data before the point go, unless they must stay whole by now. True
  // when the manifest was rewritten.
  bool rewriteManifest(const PartResume& after, const ResumePoint& point);
  // After a complete merge into parts: publishes the last part and writes the run report, or
  // keeps the recording.
  void concludeParts();
  // The live monitor of a recording: a new one taps every device before the callback is
  // registered; the stop, called once the callback is removed, ends its thread and keeps the
  // monitor for the Monitor window to show.
  void startMonitor();
  // Reads ravik-virtual.json in the temp folder into _virtuals; false with a message.
  bool readVirtualChannels(QString* error);
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
  // Notes on the current or last recording, cleared at Start: a kept run moved aside, the HDF5
  // output's metadata, output channels that two devices share, and what the merge found wrong
  // (losses, a bad clock, one line per device).
  QLabel* _noteText;
  QString _spaceLine;  // the note's last line while recording: the free space; empty: none
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
  std::vector<Hdf5MetaField> _hdf5Meta;  // read when the HDF5 output was created
  Hdf5Compression _hdf5Compress = Hdf5Compression::None;  // of the HDF5 output created
  MergeThread* _merger;    // the most recent merge; owned
  // Between that merge and the outputs when the run has a filter (ravik-keep.json); null: none.
  std::unique_ptr<OutputStage> _stage;
  // The outputs in parts, as the settings asked at the last Start; off: whole.
  SplitRule _split;
  // The parts being written (the session's), with the outputs they were made for by kind; null
  // when the outputs are whole, or once published.
  PartWriter* _parts = nullptr;
  QString _partPaths[kOutputKinds];
  // With the parts merged straight from the temp files as they are recorded: the points the merge
  // notes, the release of the raw data behind the published parts, each device's (in _devs)
  // point that locating its losses starts from, and whether data may still be let go (not once
  // the temp files are to be merged again).
  std::unique_ptr<ResumeLog> _resumeLog;
  std::unique_ptr<RawRelease> _rawRelease;
  std::vector<SourcePoint> _keptPoints;
  std::vector<bool> _listed;  // by device in _devs: has a temp file, so the manifest lists it
  bool _releasing = false;
  // Guards _manifest, _lastManifest and _releasing, which the window's thread and the one that
  // writes the parts both use.
  std::mutex _manifestLock;
  RunManifest _lastManifest;  // as last written, which the parts' thread writes again
  // True while the devices write the temp files that the merge reads.
  std::atomic<bool> _growing{false};
  MonitorCore* _monitor;   // the monitor of the current or last recording, or null; owned
  // The virtual channels of the current recording, from ravik-virtual.json in the temp folder
  // at Start (none without it): the monitor's measurements see them.
  std::vector<VirtualChannel> _virtuals;
  MonitorThread* _monitorThread;  // runs while recording; owned
  MonitorWindow* _monitorWin;     // created by the first Monitor click; a Qt child
  bool _allowSim;
  RmtState _state;
  double _totalBytes;      // sum of the temp file sizes of the current merge
  std::string _startUtc;   // start and stop of the last recording, for the run report
  std::string _stopUtc;
  ManifestFile _manifest;  // of the current recording, held until it is merged or kept
  // The files and facts of the current or last recording: its times, manifest, run report and
  // HDF5 provenance; created at Start.
  std::unique_ptr<Session> _session;
  TempFileRemoval _tempRemoval;  // deletes the temp files of a merged recording
  // The temp folder as it was at the last Start: the recording's temp files are there, whatever
  // the field has said since.
  QString _recordDir;
  QVector<RmtDev*> _recorded;  // the devices the last Start recorded, in chain order
  // By OutputKind, a path or empty: the outputs chosen at Start (from Stop on, those of the merge
  // in hand), the outputs chosen at Stop, and those published for the run report.
  QString _choice[kOutputKinds];
  QString _stopChoice[kOutputKinds];
  std::string _written[kOutputKinds];

  friend class KRmtProbe;  // tests look at the widgets
};

#endif
