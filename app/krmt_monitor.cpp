// The window's side of the live monitor: one monitor per recording, its thread, and the
// Monitor window.
#include <algorithm>

#include <QDir>
#include <QFileInfo>

#include "app/krmt.h"
#include "chain/virtualjson.h"
#include "app/monitorwindow.h"
#include "device/rmtdev.h"
#include "device/rmtpath.h"
#include "monitor/monitorcore.h"
#include "monitor/monitorthread.h"

void KRmt::startMonitor() {
  // No callback is registered here, so no tap of the previous monitor is in use.
  std::vector<MonitorDevice> devices;
  for (RmtDev* dev : _devs) devices.push_back({dev->_chainPos, dev->_markers});
  delete _monitor;
  _monitor = new MonitorCore(devices);
  _monitor->setVirtualChannels(_virtuals);
  if (_monitorWin) _monitor->setCorrelation(_monitorWin->settings());
  for (int i = 0; i < _devs.size(); ++i) _devs[i]->_tap = _monitor->tap(size_t(i));
  _monitorThread = new MonitorThread(_monitor);
  _monitorThread->start();
}

bool KRmt::readVirtualChannels(QString* error) {
  _virtuals.clear();
  const QString path = QDir(_recordDir).filePath("ravik-virtual.json");
  if (_recordDir.isEmpty() || !QFileInfo::exists(path)) return true;
  std::string why;
  if (!loadVirtualFile(toFileName(path), &_virtuals, &why)) {
    _virtuals.clear();
    *error = fromFileName(why);
    return false;
  }
  int32_t largest = 0;
  for (const RmtDev* dev : _recorded) largest = std::max(largest, dev->_chainPos);
  *error = QString::fromStdString(virtualChainError(largest));
  if (!error->isEmpty()) _virtuals.clear();
  return error->isEmpty();
}

void KRmt::stopMonitor() {
  // Called once the callback is removed: no tap is in use any more.
  if (!_monitorThread) return;
  for (RmtDev* dev : _devs) dev->_tap = nullptr;
  _monitorThread->finish();
  delete _monitorThread;
  _monitorThread = nullptr;
  if (_monitorWin) _monitorWin->refresh();
}

void KRmt::openMonitor() {
  if (!_monitorWin) _monitorWin = new MonitorWindow(this, [this] { return _monitor; });
  if (!_monitorWin->isVisible()) _monitorWin->placeBeside(this);
  _monitorWin->show();
  _monitorWin->raise();
  _monitorWin->activateWindow();
}
