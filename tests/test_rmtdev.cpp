// One device object on simulated devices: connection and role, the row's counter and lamps, the
// temp file and the event callback, calibration, and the parameter dialog's conversions and
// enabling rules.
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QSignalSpy>

#include "korbalt/library.h"
#include "korbalt_env.h"
#include "window_harness.h"

namespace {

typedef SimChain::Vars Vars;

void ignoreBlocks(int32_t**, int, int, int, uint32_t*) {}

// A connected device object for library index `index`, owned by `parent`.
RmtDev* connected(QWidget* parent, uint32_t index) {
  auto* dev = new RmtDev(parent, index);
  EXPECT_EQ(dev->connect(), 0) << "index " << index;
  return dev;
}

QStringList channelLabels(const RmtDev* dev) {
  QStringList labels;
  for (QLabel* l : dev->_chLabel) labels << l->text();
  return labels;
}

// The self-test settings have no getter: read them from the simulated device.
std::vector<int32_t> selftestOf(uint32_t index) {
  korbalt::Library& library = korbalt::Library::instance();
  korbalt::Guard guard(library.lock());
  const int32_t* s = library.device(index)->params().selftest;
  return std::vector<int32_t>(s, s + 4);
}

int invokeInt(RmtDev* dev, const char* slot) {
  int rc = -1;
  EXPECT_TRUE(QMetaObject::invokeMethod(dev, slot, Qt::DirectConnection, Q_RETURN_ARG(int, rc)));
  return rc;
}

QByteArray readFile(const QString& name) {
  QFile f(name);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

}  // namespace

TEST(RmtDev, ConnectShowsRoleTitleAndChainChannelNumbers) {
  SimChain chain;  // index 0: Slave 1, index 1: Slave 2, index 2: the master
  ASSERT_EQ(chain.count(), 3u);
  QWidget parent;
  auto* master = new RmtDev(&parent, 2);
  EXPECT_EQ(master->_dialog->windowTitle(), "Tikor Parameters");
  EXPECT_EQ(master->_chainPos, -99);
  EXPECT_FALSE(master->_connected);
  EXPECT_TRUE(master->_recordBox->isChecked());
  EXPECT_TRUE(master->_eventsEdit->isReadOnly());
  // Without features: no markers, no channels 3 and 4, no filters.
  EXPECT_FALSE(master->_marker[0]->isEnabled());
  EXPECT_TRUE(master->_chEnable[2]->isEnabled());
  EXPECT_FALSE(master->_chEnable[3]->isEnabled());
  EXPECT_FALSE(master->_chDelay[4]->isEnabled());
  EXPECT_FALSE(master->_chFilter[1]->isEnabled());

  ASSERT_EQ(master->connect(), 0);
  EXPECT_TRUE(master->_connected);
  EXPECT_EQ(master->_chainPos, 0);
  EXPECT_EQ(master->_roleEdit->text(), "Master");
  EXPECT_EQ(master->_dialog->windowTitle(), "Tikor Parameters - Master");
  EXPECT_EQ(channelLabels(master),
            (QStringList{"Channel 0/5", "Channel 1", "Channel 2", "Channel 3", "Channel 4"}));
  EXPECT_TRUE(master->_marker[8]->isEnabled());
  EXPECT_TRUE(master->_chEnable[4]->isEnabled());
  EXPECT_TRUE(master->_chFilter[4]->isEnabled());
  EXPECT_TRUE(master->_calibrateBtn->isEnabled());

  RmtDev* slave2 = connected(&parent, 1);
  EXPECT_EQ(slave2->_roleEdit->text(), "Slave 2");
  EXPECT_EQ(slave2->_dialog->windowTitle(), "Tikor Parameters - Slave 2");
  EXPECT_EQ(channelLabels(slave2),
            (QStringList{"Channel 15", "Channel 11", "Channel 12", "Channel 13", "Channel 14"}));
  EXPECT_EQ(connected(&parent, 0)->_chLabel[0]->text(), "Channel 10");

  EXPECT_EQ(slave2->disconnect(), 0);
  EXPECT_FALSE(slave2->_connected);
  EXPECT_EQ(slave2->disconnect(), 0) << "nothing to close";
  int32_t isConnected = -1;
  ASSERT_EQ(TDC_getDeviceInfo(1, nullptr, nullptr, nullptr, &isConnected), 0);
  EXPECT_EQ(isConnected, 0);
}

TEST(RmtDev, FailedConnectLeavesNoRole) {
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "1"}, {"RAVIK_SIM_FAIL_CONNECT", "0"}});
  QWidget parent;
  auto* dev = new RmtDev(&parent, 0);
  EXPECT_EQ(dev->connect(), KORBALT_CONNECT_FAILED);
  EXPECT_FALSE(dev->_connected);
  EXPECT_TRUE(dev->_roleEdit->text().isEmpty());
  EXPECT_EQ(dev->_dialog->windowTitle(), "Tikor Parameters - ");
  EXPECT_EQ(dev->_chLabel[1]->text(), "Channel 1");
}

TEST(RmtDev, CounterAndCallbackRecordEveryBlock) {
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "2"}});
  QWidget parent;
  RmtDev* dev = connected(&parent, 0);
  const std::pair<uint32_t, const char*> shown[] = {
      {1234567, "1.235"}, {999, "0.000999"}, {0, "0"}, {4294967295u, "4295"}, {12345678, "12.35"}};
  for (const auto& [events, text] : shown) {
    dev->_events = events;
    dev->updateGui();
    EXPECT_EQ(dev->_eventsEdit->text(), text) << events;
  }

  QTemporaryDir dir;
  ASSERT_EQ(dev->start(true, dir.path()), 0);
  EXPECT_EQ(dev->_events, 0u);
  const QString name = dir.path() + "/ravik-0.tmp";
  EXPECT_EQ(dev->_tmpName, name);
  ASSERT_NE(dev->_tmpFile, nullptr);
  KRmt::_devMap.insert(0, dev);
  uint32_t words[100];
  for (uint32_t i = 0; i < 100; ++i) words[i] = 0x9E3779B9u * (i + 1);
  int32_t index = 0, unknown = 1;
  int32_t* indexPtr = &index;
  int32_t* unknownPtr = &unknown;
  RmtDev::timestampCallback(&indexPtr, 0, 100, 0, words);
  EXPECT_EQ(dev->_events, 150u);
  RmtDev::timestampCallback(&indexPtr, 0, 3, 0, words + 10);
  EXPECT_EQ(dev->_events, 154u);
  RmtDev::timestampCallback(&indexPtr, 0, 0, 0, words);
  RmtDev::timestampCallback(&indexPtr, 0, -4, 0, words);
  RmtDev::timestampCallback(&unknownPtr, 0, 100, 0, words);
  EXPECT_EQ(dev->_events, 154u);
  dev->_events = 4294967295u;
  RmtDev::timestampCallback(&indexPtr, 0, 2, 0, words);
  EXPECT_EQ(dev->_events, 2u) << "the counter wraps";
  EXPECT_EQ(dev->start(false, QString()), 0);
  EXPECT_EQ(dev->_tmpFile, nullptr);
  QByteArray expected(reinterpret_cast<const char*>(words), 400);
  expected += QByteArray(reinterpret_cast<const char*>(words + 10), 12);
  expected += QByteArray(reinterpret_cast<const char*>(words), 8);
  EXPECT_EQ(readFile(name), expected);

  // Without a folder the blocks are only counted; a second recording truncates the file.
  ASSERT_EQ(dev->start(true, QString()), 0);
  EXPECT_EQ(dev->_tmpFile, nullptr);
  RmtDev::timestampCallback(&indexPtr, 0, 10, 0, words);
  EXPECT_EQ(dev->_events, 15u);
  ASSERT_EQ(dev->start(true, dir.path()), 0);
  dev->start(false, QString());
  EXPECT_EQ(readFile(name), QByteArray());
  KRmt::_devMap.clear();

  // A folder where nothing can be created.
  EXPECT_EQ(dev->start(true, name + "/below"), KORBALT_FILE_OPEN_FAILED);
  EXPECT_EQ(dev->_tmpFile, nullptr);
  // A device that is not connected records nothing.
  auto* idle = new RmtDev(&parent, 1);
  idle->_events = 77;
  EXPECT_EQ(idle->start(true, dir.path()), 0);
  EXPECT_EQ(idle->_events, 0u);
  EXPECT_FALSE(QFile::exists(dir.path() + "/ravik-1.tmp"));
}

TEST(RmtDev, LossLampTurnsRedThenYellowUntilTheNextStart) {
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "1"}, {"RAVIK_SIM_DATA_LOSS", "0"}});
  QWidget parent;
  RmtDev* dev = connected(&parent, 0);
  EXPECT_EQ(dev->_lossLed->color(), Led::Green);
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, ignoreBlocks), 0);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        dev->updateGui();
        return dev->_lossLed->color() != Led::Green;
      },
      kWaitMs));
  ASSERT_EQ(UL_setEventCallback(KORBALT_EVENT_DATA, nullptr), 0);
  EXPECT_EQ(dev->_lossLed->color(), Led::Red) << "loss reported now";
  dev->updateGui();
  EXPECT_EQ(dev->_lossLed->color(), Led::Yellow) << "loss reported earlier";
  dev->updateGui();
  EXPECT_EQ(dev->_lossLed->color(), Led::Yellow);
  ASSERT_EQ(dev->start(true, QString()), 0);
  dev->updateGui();
  EXPECT_EQ(dev->_lossLed->color(), Led::Green);
}

TEST(RmtDev, SyncLampJudgesTheClockByRole) {
  {
    SimChain chain(Vars{{"RAVIK_SIM_CHAIN", "0,1,-1"},
                        {"RAVIK_SIM_ORDER", "chain"},
                        {"RAVIK_SIM_BAD_CLOCK", "1"}});
    QWidget parent;
    EXPECT_EQ(connected(&parent, 0)->_syncLed->color(), Led::Green);
    EXPECT_EQ(connected(&parent, 1)->_syncLed->color(), Led::Red) << "slave with a bad clock";
    EXPECT_EQ(connected(&parent, 2)->_syncLed->color(), Led::Red) << "outside the chain";
  }
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "2"},
                      {"RAVIK_SIM_ORDER", "chain"},
                      {"RAVIK_SIM_BAD_CLOCK", "0"}});
  QWidget parent;
  EXPECT_EQ(connected(&parent, 0)->_syncLed->color(), Led::Off) << "master with a bad clock";
  EXPECT_EQ(connected(&parent, 1)->_syncLed->color(), Led::Green);
}

TEST(RmtDev, CalibrateButtonWaitsForTheCalibration) {
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "1"}, {"RAVIK_SIM_CALIBRATION_MS", "300"}});
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
  int32_t running = -1;
  ASSERT_EQ(TDC_getCalibrationState(&running), 0);
  EXPECT_EQ(running, 0);
}

TEST(RmtDev, DialogValuesReachTheDeviceConverted) {
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "1"}});
  QWidget parent;
  RmtDev* dev = connected(&parent, 0);
  for (int ch = 0; ch < RmtDev::kChannels; ++ch) dev->_chEnable[ch]->setChecked(ch == 0);
  dev->_chDelay[0]->setValue(1.5);
  dev->_chDeadTime[1]->setValue(1.5);
  dev->_dividerBox->setCurrentIndex(3);
  dev->_reconstructBox->setChecked(true);
  dev->_chFilter[0]->setCurrentIndex(2);
  dev->_chFilterCh[0][0]->setChecked(true);
  dev->_chFilterCh[0][4]->setChecked(true);
  dev->_coincWin->setValue(2.5);
  dev->_chType[2]->setCurrentIndex(2);
  dev->_chEdge[2]->setCurrentIndex(0);
  dev->_chThreshold[2]->setValue(-0.5);
  dev->_marker[0]->setChecked(true);
  dev->_marker[4]->setChecked(true);
  dev->_singleStopBox->setChecked(true);
  dev->_period->setValue(42);
  dev->_burstCount->setValue(3);
  dev->_burstDist->setValue(0.1);
  dev->_generateBox->setChecked(false);
  dev->_applyBtn->click();

  ASSERT_EQ(TDC_addressDevice(0), 0);
  int32_t mask = 0, delays[KORBALT_DELAY_COUNT] = {}, deadTime = 0, divider = 0, reconstruct = 0;
  int32_t filterType = 0, filterMask = 0, coinc = 0, edge = -1, type = 0, singleStop = 0;
  uint32_t markers = 0;
  double threshold = 0;
  ASSERT_EQ(TDC_getChannelsEnabled(&mask), 0);
  EXPECT_EQ(mask, 33) << "box 0 stands for channel 0 and the start input";
  ASSERT_EQ(TDC_getChannelDelays(delays), 0);
  EXPECT_EQ(delays[0], 1500);
  ASSERT_EQ(TDC_getDeadTime(1, &deadTime), 0);
  EXPECT_EQ(deadTime, 1500);
  ASSERT_EQ(TDC_getSyncDivider(&divider, &reconstruct), 0);
  EXPECT_EQ(divider, 8);
  EXPECT_EQ(reconstruct, 1);
  ASSERT_EQ(TDC_getFilter(5, &filterType, &filterMask), 0);
  EXPECT_EQ(filterType, 2);
  EXPECT_EQ(filterMask, 34);
  ASSERT_EQ(TDC_getDeviceParams(&coinc, nullptr), 0);
  EXPECT_EQ(coinc, 2500);
  ASSERT_EQ(TDC_getSignalConditioning(2, &edge, &threshold), 0);
  EXPECT_EQ(edge, 0);
  EXPECT_DOUBLE_EQ(threshold, -0.5);
  ASSERT_EQ(UL_inquireParameter(0, 960, 2, &type), 0);
  EXPECT_EQ(type, 3);
  ASSERT_EQ(TDC_getMarkersEnabled(&markers), 0);
  EXPECT_EQ(markers, 17u);
  EXPECT_EQ(dev->_markers, 17u);
  ASSERT_EQ(TDC_getSingleStopPreselection(&singleStop), 0);
  EXPECT_EQ(singleStop, 1);
  EXPECT_EQ(selftestOf(0), (std::vector<int32_t>{0, 8, 3, 5})) << "Generate unchecked";

  // Apply read everything back.
  EXPECT_EQ(dev->_chDelay[0]->value(), 1.0) << "delays show in whole nanoseconds";
  EXPECT_EQ(dev->_chDeadTime[1]->value(), 1.5);
  EXPECT_EQ(dev->_dividerBox->currentIndex(), 3);
  EXPECT_EQ(dev->_coincWin->value(), 2.5);
  EXPECT_EQ(dev->_chType[2]->currentIndex(), 2);
  EXPECT_TRUE(dev->_chEnable[0]->isChecked());
  EXPECT_FALSE(dev->_chEnable[1]->isChecked());
  EXPECT_TRUE(dev->_chFilterCh[0][4]->isChecked());
  EXPECT_FALSE(dev->_chFilterCh[0][1]->isChecked());

  dev->_generateBox->setChecked(true);
  dev->_applyBtn->click();
  EXPECT_EQ(selftestOf(0)[0], 33);

  // The start input's bit alone shows box 0 checked.
  ASSERT_EQ(TDC_enableChannels(32), 0);
  EXPECT_EQ(invokeInt(dev, "readConfig"), 0);
  EXPECT_TRUE(dev->_chEnable[0]->isChecked());

  // Cancel drops the edits; Close writes them; Configure reads the device.
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
  ASSERT_EQ(TDC_getDeviceParams(&coinc, nullptr), 0);
  EXPECT_EQ(coinc, 4000);
  ASSERT_EQ(TDC_setCoincidenceWindow(7000), 0);
  dev->_configBtn->click();
  EXPECT_TRUE(dev->_dialog->isVisible());
  EXPECT_EQ(dev->_coincWin->value(), 7.0);
  dev->_dialog->hide();
}

TEST(RmtDev, FailedChannelEnableStillWritesMarkers) {
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "1"}, {"RAVIK_SIM_FAIL_PARAM", "TDC_enableChannels"}});
  QWidget parent;
  RmtDev* dev = connected(&parent, 0);
  dev->_marker[2]->setChecked(true);
  dev->_coincWin->setValue(3);
  dev->_chDelay[0]->setValue(2);
  dev->_chDeadTime[0]->setValue(5);
  dev->_fiveChBox->setChecked(true);
  QSignalSpy spy(dev, &RmtDev::use5ChUpdated);
  EXPECT_EQ(invokeInt(dev, "configure"), KORBALT_NO_ACK);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_TRUE(spy[0][0].toBool());

  ASSERT_EQ(TDC_addressDevice(0), 0);
  uint32_t markers = 0;
  int32_t coinc = -1, deadTime = -1, delays[KORBALT_DELAY_COUNT] = {-1};
  ASSERT_EQ(TDC_getMarkersEnabled(&markers), 0);
  EXPECT_EQ(markers, 4u);
  ASSERT_EQ(TDC_getDeviceParams(&coinc, nullptr), 0);
  EXPECT_EQ(coinc, 0);
  ASSERT_EQ(TDC_getDeadTime(0, &deadTime), 0);
  EXPECT_EQ(deadTime, 0);
  ASSERT_EQ(TDC_getChannelDelays(delays), 0);
  EXPECT_EQ(delays[0], 0);

  // A recording start reports the code and opens no file.
  QTemporaryDir dir;
  EXPECT_EQ(dev->start(true, dir.path()), KORBALT_NO_ACK);
  EXPECT_EQ(dev->_tmpFile, nullptr);
  EXPECT_FALSE(QFile::exists(dir.path() + "/ravik-0.tmp"));
  EXPECT_EQ(spy.count(), 2);
}

TEST(RmtDev, DialogEnablesWhatTheFeaturesAllow) {
  SimChain chain(Vars{{"RAVIK_SIM_ORDER", "chain"}, {"RAVIK_SIM_FEATURES", "0x44,0x08,0x20"}});
  QWidget parent;
  const struct {
    bool markers;
    bool channel[5];
    bool filters[5];  // with the five-channel box unchecked
  } expected[] = {
      {false, {true, true, true, true, false}, {false, true, true, true, false}},
      {false, {true, true, true, true, true}, {false, false, false, false, false}},
      {true, {true, true, true, false, false}, {false, false, false, false, false}},
  };
  for (uint32_t index = 0; index < 3; ++index) {
    SCOPED_TRACE("index " + std::to_string(index));
    RmtDev* dev = connected(&parent, index);
    const auto& e = expected[index];
    for (int k = 0; k < RmtDev::kMarkers; ++k) EXPECT_EQ(dev->_marker[k]->isEnabled(), e.markers);
    for (int ch = 0; ch < RmtDev::kChannels; ++ch) {
      SCOPED_TRACE("channel " + std::to_string(ch));
      EXPECT_TRUE(dev->_chLabel[ch]->isEnabled());
      EXPECT_EQ(dev->_chEnable[ch]->isEnabled(), e.channel[ch]);
      EXPECT_EQ(dev->_chType[ch]->isEnabled(), e.channel[ch]);
      EXPECT_EQ(dev->_chDelay[ch]->isEnabled(), e.channel[ch]);
      EXPECT_EQ(dev->_chDeadTime[ch]->isEnabled(), e.channel[ch]);
      EXPECT_EQ(dev->_chFilter[ch]->isEnabled(), e.filters[ch]);
      EXPECT_EQ(dev->_chFilterCh[ch][3]->isEnabled(), e.filters[ch]);
      // Edge and threshold only for a "Misc" input.
      EXPECT_FALSE(dev->_chEdge[ch]->isEnabled());
      dev->_chType[ch]->setCurrentIndex(2);
      EXPECT_EQ(dev->_chEdge[ch]->isEnabled(), e.channel[ch]);
      EXPECT_EQ(dev->_chThreshold[ch]->isEnabled(), e.channel[ch]);
      dev->_chType[ch]->setCurrentIndex(1);
      EXPECT_FALSE(dev->_chThreshold[ch]->isEnabled());
    }
    // Channel 0's filter needs the start input counted as channel 5.
    dev->_fiveChBox->setChecked(true);
    EXPECT_EQ(dev->_chFilter[0]->isEnabled(), e.filters[1]);
    EXPECT_EQ(dev->_chFilterCh[0][0]->isEnabled(), e.filters[1]);
    dev->_fiveChBox->setChecked(false);
    EXPECT_FALSE(dev->_chFilter[0]->isEnabled());
  }
}
