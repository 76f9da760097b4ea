// One device of the chain: its library connection, its row in the main window's device table,
// its temp file while recording, its acquisition parameters and their dialog.
//
// The row widgets and the dialog are children of the main window, not of this object, so the
// window lays them out and deleting a device (after a failed connect) leaves them to the window.
// Every operation runs on the GUI thread except timestampCallback, which the device library calls
// on its own thread while a recording runs.
#ifndef RAVIK_DEVICE_RMTDEV_H
#define RAVIK_DEVICE_RMTDEV_H

#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include <QObject>
#include <QString>

#include "chain/deviceparams.h"
#include "chain/recordcore.h"

class Led;
class QCheckBox;
class QComboBox;
class QDialog;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class TapQueue;

class RmtDev : public QObject {
  Q_OBJECT

public:
  // Number of channel rows in the dialog and of marker boxes.
  static constexpr int kChannels = 5;
  static constexpr int kMarkers = 9;

  // Builds the row widgets and the hidden dialog as children of `parent`; no library call.
  RmtDev(QWidget* parent, unsigned int index);
  ~RmtDev() override;

  // Opens the device, reads its chain position, markers, features and parameters, and fills the
  // role. Returns the first non-zero library code, or 0.
  int connect();
  // Closes the device if it is connected; the library's code, or 0 when it was not connected.
  int disconnect();
  // Refreshes the event count and the loss and sync lamps from the library; while recording into
  // a temp file, notes losses, a bad clock and a failed write in _lossLog.
  void updateGui();
  // on: applies the dialog's parameters and opens the temp file "<dir>/ravik-<index>.tmp"
  // (none when dir is empty); 11 when it cannot be opened. off: closes the temp file and
  // completes _lossLog.
  int start(bool on, QString dir);

  // Registered with the device library while recording: appends each block to the sending
  // device's temp file, counts it and hands it to the live monitor's tap. No lock, no
  // allocation.
  static void timestampCallback(int32_t** index, int unused1, int words, int unused2,
                                uint32_t* data);

  // The row widgets, in the table's column order.
  QWidget* rowWidget(int column) const;
  // The parameters as the dialog's controls hold them: those that start() writes.
  DeviceParams dialogParams() const;

  uint32_t _index;      // library device index
  int32_t _chainPos;    // 0 master, 1.. slaves, negative: unknown
  uint32_t _features;   // feature mask of the device
  uint32_t _markers;    // enabled-marker mask, bits 0..8
  bool _connected;
  bool _lossSeen;       // data loss reported since the last recording start
  std::atomic<uint32_t> _events;  // written by the callback thread, shown by the GUI thread
  TempWriteState _write;  // how far the temp file was written, by the callback thread
  LossLog _lossLog;       // what the recording lost, noted at every refresh while recording
  DeviceParams _recordParams;  // the parameters the recording's start wrote, for the run report
  QString _tmpName;
  FILE* _tmpFile;       // the temp file open for writing while recording, or null
  FILE* _mergeFile;     // the temp file open for reading by the merge, or null
  TapQueue* _tap;       // the live monitor's queue while a recording runs, else null; not owned
  QCheckBox* _recordBox;
  QLineEdit* _roleEdit;
  QLineEdit* _eventsEdit;
  QLineEdit* _serialEdit;
  QLineEdit* _idEdit;
  QPushButton* _configBtn;
  Led* _lossLed;
  Led* _syncLed;

  // The parameter dialog and its controls.
  QDialog* _dialog;
  QLabel* _chLabel[kChannels];
  QCheckBox* _chEnable[kChannels];
  QComboBox* _chType[kChannels];
  QComboBox* _chEdge[kChannels];
  QDoubleSpinBox* _chThreshold[kChannels];
  QDoubleSpinBox* _chDelay[kChannels];
  QDoubleSpinBox* _chDeadTime[kChannels];
  QComboBox* _chFilter[kChannels];
  QCheckBox* _chFilterCh[kChannels][kChannels];
  QCheckBox* _marker[kMarkers];
  QComboBox* _dividerBox;
  QCheckBox* _reconstructBox;
  QCheckBox* _fiveChBox;
  QDoubleSpinBox* _coincWin;
  QCheckBox* _singleStopBox;
  QCheckBox* _generateBox;
  QDoubleSpinBox* _period;
  QDoubleSpinBox* _burstCount;
  QDoubleSpinBox* _burstDist;
  QPushButton* _applyBtn;
  QPushButton* _cancelBtn;
  QPushButton* _closeBtn;
  QPushButton* _calibrateBtn;

signals:
  void use5ChUpdated(bool on);

private slots:
  int configure();
  int readConfig();
  int closeConfig();
  int cancelConfig();
  void updateDialog();
  void calibrate();
  void updateBtn();
  void openConfig();
  void applyConfig();

private:
  void buildRow(QWidget* parent);
  void buildDialog(QWidget* parent);
  void buildChannelRow(int channel);
  QWidget* buildMarkerGrid();
  QWidget* buildButtonGrid();
  void showRole();
  // The controls set to show `params`.
  void showParams(const DeviceParams& params);

  bool _logging = false;  // recording into a temp file: refreshes go to _lossLog
};

#endif
