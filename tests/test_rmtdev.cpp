// One device object on simulated devices: connection, role and lamps, the row's counter, the temp
// file and the event callback, calibration, and the parameter dialog's conversions and enabling
// rules.
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QSignalSpy>

#include "korbalt/library.h"
#include "window_harness.h"

namespace {

typedef SimChain::Vars Vars;

void ignoreBlocks(int32_t**, int, int, int, uint32_t*) {}

// A device object for library index `index`, owned by `parent`, whose connect returned `rc`.
RmtDev* connected(QWidget* parent, uint32_t index, int rc = 0) {
  auto* dev = new RmtDev(parent, index);
  EXPECT_EQ(dev->connect(), rc) << "index " << index;
  return dev;
}

// The parameters device `index` holds, as the library's setters received them.
korbalt::DeviceParams held(uint32_t index) {
  korbalt::Library& library = korbalt::Library::instance();
  korbalt::Guard guard(library.lock());
  return library.device(index)->params();
}

// What the dialog writes, as device `index` holds it: channel mask, delay 0, dead time 1,
// divider, reconstruct, filter type and mask of channel 0 (5), coincidence window, edge,
// threshold and input type of channel 2, markers, single stop, and the self-test settings.
std::vector<double> written(uint32_t index) {
  const korbalt::DeviceParams d = held(index);
  return {double(d.channelMask), double(d.delayPs[0]), double(d.deadTimePs[1]), double(d.divider),
          double(d.reconstruct), double(d.filterType[5]), double(d.filterMask[5]),
          double(d.coincWindowPs), double(d.edge[2]), d.threshold[2], double(d.type[2]),
          double(d.markers), double(d.singleStop), double(d.selftest[0]), double(d.selftest[1]),
          double(d.selftest[2]), double(d.selftest[3])};
}

}  // namespace

TEST(RmtDev, ConnectShowsRoleChainChannelNumbersAndClockState) {
  // Library index = scenario device; 3 and 4 have a bad clock, 5 cannot be connected.
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "6"}, {"RAVIK_SIM_CHAIN", "0,2,-1,1,0,1"},
                      {"RAVIK_SIM_ORDER", "chain"}, {"RAVIK_SIM_BAD_CLOCK", "3,4"},
                      {"RAVIK_SIM_FAIL_CONNECT", "5"}});
  const QStringList own = {"Channel 0/5", "Channel 1", "Channel 2", "Channel 3", "Channel 4"};
  // The connect's result, the role, the clock lamp (a master drives a good clock; a slave is
  // locked to it) and the channel labels.
  const struct { int rc; const char* role; Led::Color sync; QStringList labels; } cases[] = {
      {0, "Master", Led::Green, own},
      {0, "Slave 2", Led::Green,
       {"Channel 15", "Channel 11", "Channel 12", "Channel 13", "Channel 14"}},
      {0, "", Led::Red, own},  // outside the chain
      {0, "Slave 1", Led::Red, {"Channel 10", "Channel 6", "Channel 7", "Channel 8", "Channel 9"}},
      {0, "Master", Led::Off, own},
      {KORBALT_CONNECT_FAILED, "", Led::Red, own},
  };
  QWidget parent;
  std::vector<RmtDev*> devs;
  for (uint32_t index = 0; index < 6; ++index) {
    SCOPED_TRACE("index " + std::to_string(index));
    const auto& c = cases[index];
    RmtDev* dev = connected(&parent, index, c.rc);
    QStringList shown = {dev->_roleEdit->text(), dev->_dialog->windowTitle()};
    for (QLabel* l : dev->_chLabel) shown << l->text();
    EXPECT_EQ(shown, QStringList({c.role, QString("Tikor Parameters - ") + c.role}) + c.labels);
    EXPECT_EQ(std::make_pair(dev->_connected, dev->_syncLed->color()), std::make_pair(c.rc == 0, c.sync));
    devs.push_back(dev);
  }
  EXPECT_EQ(devs[1]->disconnect(), 0);
  EXPECT_FALSE(devs[1]->_connected);
  EXPECT_EQ(devs[1]->disconnect(), 0) << "nothing to close";
  int32_t isConnected = -1;
  ASSERT_EQ(TDC_getDeviceInfo(1, nullptr, nullptr, nullptr, &isConnected), 0);
  EXPECT_EQ(isConnected, 0);
}

TEST(RmtDev, CounterAndTempFileTakeEveryBlock) {
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "2"}});
  QWidget parent;
  RmtDev* dev = connected(&parent, 0);

  QTemporaryDir dir;
  const QString name = dir.path() + "/ravik-0.tmp";
  ASSERT_EQ(dev->start(true, dir.path()), 0);  // also resets the counter
  KRmt::_devMap.insert(0, dev);
  uint32_t words[100];
  for (uint32_t i = 0; i < 100; ++i) words[i] = 0x9E3779B9u * (i + 1);
  int32_t index = 0, unknown = 1;
  int32_t *indexPtr = &index, *unknownPtr = &unknown;
  // Each block counts 3 events per 2 words; empty, negative and unknown blocks count nothing.
  const std::pair<int32_t**, int> blocks[] = {{&indexPtr, 100}, {&indexPtr, 3}, {&indexPtr, 0},
                                              {&indexPtr, -4},  {&unknownPtr, 100}};
  for (const auto& [who, n] : blocks) RmtDev::timestampCallback(who, 0, n, 0, words);
  EXPECT_EQ(dev->_events, 154u);
  EXPECT_EQ(dev->start(false, QString()), 0);
  EXPECT_EQ(dev->_tmpFile, nullptr);
  const QByteArray bytes(reinterpret_cast<const char*>(words), 400);
  EXPECT_EQ(readFile(name), bytes + bytes.left(12));
  KRmt::_devMap.clear();
  EXPECT_EQ(dev->start(true, name + "/below"), KORBALT_FILE_OPEN_FAILED);
  EXPECT_EQ(dev->_tmpFile, nullptr);
  // A device that is not connected records nothing.
  EXPECT_EQ((new RmtDev(&parent, 1))->start(true, dir.path()), 0);
  EXPECT_FALSE(QFile::exists(dir.path() + "/ravik-1.tmp"));
}

TEST(RmtDev, CalibrateButtonWaitsAndLossLampTurnsRedThenYellowUntilTheNextStart) {
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "1"}, {"RAVIK_SIM_CALIBRATION_MS", "2000"},
                      {"RAVIK_SIM_DATA_LOSS", "0"}});
  QWidget parent;
  RmtDev* dev = connected(&parent, 0);
  ASSERT_TRUE(dev->_calibrateBtn->isEnabled());
  dev->_calibrateBtn->click();
  EXPECT_FALSE(dev->_calibrateBtn->isEnabled());
  // A device connected while the calibration runs polls as well.
  RmtDev* late = connected(&parent, 0);
  EXPECT_FALSE(late->_calibrateBtn->isEnabled());
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return dev->_calibrateBtn->isEnabled() && late->_calibrateBtn->isEnabled(); }, kWaitMs));

  EXPECT_EQ(dev->_lossLed->color(), Led::Green);
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, ignoreBlocks), 0);
  auto lossShown = [&] {
    dev->updateGui();
    return dev->_lossLed->color() != Led::Green;
  };
  EXPECT_TRUE(QTest::qWaitFor(lossShown, kWaitMs));
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
  EXPECT_EQ(dev->_lossLed->color(), Led::Red) << "loss reported now";
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(lossShown() && dev->_lossLed->color() == Led::Yellow);
  ASSERT_EQ(dev->start(true, QString()), 0);
  EXPECT_FALSE(lossShown());
}

TEST(RmtDev, DialogValuesReachTheDeviceConvertedAndComeBack) {
  SimChain chain(
      Vars{{"RAVIK_SIM_DEVICES", "2"}, {"RAVIK_SIM_FAIL_PARAM", "TDC_enableChannels@1"}});
  QWidget parent;
  RmtDev* dev = connected(&parent, 0);
  for (int ch = 0; ch < RmtDev::kChannels; ++ch) dev->_chEnable[ch]->setChecked(ch == 0);
  dev->_chDelay[0]->setValue(1.5);
  dev->_chDeadTime[1]->setValue(1.5);
  dev->_dividerBox->setCurrentIndex(3);
  dev->_reconstructBox->setChecked(true);
  dev->_chFilter[0]->setCurrentIndex(2);
  for (int j : {0, 4}) dev->_chFilterCh[0][j]->setChecked(true);
  dev->_coincWin->setValue(2.5);
  dev->_chType[2]->setCurrentIndex(2);
  dev->_chEdge[2]->setCurrentIndex(0);
  dev->_chThreshold[2]->setValue(-0.5);
  for (int k : {0, 4}) dev->_marker[k]->setChecked(true);
  dev->_singleStopBox->setChecked(true);
  dev->_period->setValue(42);
  dev->_burstCount->setValue(3);
  dev->_burstDist->setValue(0.1);
  dev->_applyBtn->click();
  // Box 0 stands for channel 0 and the start input (33); times in ps; filter channel 0 is 5;
  // the self-test mask is 0 with Generate unchecked, period / 5, burst distance * 50.
  std::vector<double> expected = {33, 1500, 1500, 8, 1, 2, 34, 2500, 0, -0.5, 3, 17, 1, 0, 8, 3, 5};
  EXPECT_EQ(written(0), expected);
  EXPECT_EQ(dev->_markers, 17u);
  // Apply read everything back, so applying again writes the same; only the delay comes back in
  // whole nanoseconds.
  dev->_applyBtn->click();
  expected[1] = 1000;
  EXPECT_EQ(written(0), expected);
  dev->_generateBox->setChecked(true);
  dev->_applyBtn->click();
  EXPECT_EQ(held(0).selftest[0], 33);

  // Cancel drops the edits; Close writes them; Configure reads the device, where the start
  // input's bit alone checks box 0.
  dev->_dialog->show();
  dev->_chDelay[2]->setValue(7);
  dev->_coincWin->setValue(99);
  dev->_cancelBtn->click();
  EXPECT_FALSE(dev->_dialog->isVisible());
  EXPECT_EQ(dev->_chDelay[2]->value(), 0.0);
  EXPECT_EQ(dev->_coincWin->value(), 2.5);
  dev->_dialog->show();
  dev->_coincWin->setValue(4);
  dev->_closeBtn->click();
  EXPECT_FALSE(dev->_dialog->isVisible());
  EXPECT_EQ(held(0).coincWindowPs, 4000);
  ASSERT_EQ(TDC_setCoincidenceWindow(7000) | TDC_enableChannels(32), 0);
  dev->_configBtn->click();
  EXPECT_TRUE(dev->_dialog->isVisible());
  EXPECT_EQ(dev->_coincWin->value(), 7.0);
  EXPECT_TRUE(dev->_chEnable[0]->isChecked());
  dev->_dialog->hide();

  // A failed channel enable stops the writing and the recording start, but the markers and the
  // five-channel setting still go out.
  RmtDev* failing = connected(&parent, 1);
  failing->_marker[2]->setChecked(true);
  failing->_coincWin->setValue(3);
  failing->_chDelay[0]->setValue(2);
  failing->_chDeadTime[1]->setValue(5);
  failing->_fiveChBox->setChecked(true);
  QSignalSpy spy(failing, &RmtDev::use5ChUpdated);
  EXPECT_EQ(failing->start(true, QString()), KORBALT_NO_ACK);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_TRUE(spy[0][0].toBool());
  const korbalt::DeviceParams d = held(1);
  EXPECT_EQ(d.markers, 4u);
  EXPECT_EQ(d.delayPs[0] + d.deadTimePs[1] + d.coincWindowPs, 0) << "no delay, dead time or window";
}
