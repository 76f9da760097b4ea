// One device object on simulated devices: connection and role, the row's counter and lamps, the
// temp file and the event callback, calibration, and the parameter dialog's conversions and
// enabling rules.
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QSignalSpy>

#include "korbalt/library.h"
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

// The parameters the dialog writes, as the device at `index` holds them: channel mask, delay 0,
// dead time 1, divider, reconstruct, filter type and mask of channel 0 (5), coincidence window,
// edge, threshold and input type of channel 2, markers, single stop, and the self-test settings
// (which have no getter).
std::vector<double> deviceParams(uint32_t index) {
  int32_t mask = 0, delays[KORBALT_DELAY_COUNT] = {}, dead = 0, divider = 0, reconstruct = 0;
  int32_t fType = 0, fMask = 0, coinc = 0, edge = -1, type = 0, single = 0;
  uint32_t markers = 0;
  double threshold = 0;
  EXPECT_EQ(TDC_addressDevice(index), 0);
  const int rc = TDC_getChannelsEnabled(&mask) | TDC_getChannelDelays(delays) |
                 TDC_getDeadTime(1, &dead) | TDC_getSyncDivider(&divider, &reconstruct) |
                 TDC_getFilter(5, &fType, &fMask) | TDC_getDeviceParams(&coinc, nullptr) |
                 TDC_getSignalConditioning(2, &edge, &threshold) |
                 UL_inquireParameter(index, 960, 2, &type) | TDC_getMarkersEnabled(&markers) |
                 TDC_getSingleStopPreselection(&single);
  EXPECT_EQ(rc, 0);
  korbalt::Library& library = korbalt::Library::instance();
  korbalt::Guard guard(library.lock());
  const int32_t* s = library.device(index)->params().selftest;
  return {double(mask), double(delays[0]), double(dead), double(divider), double(reconstruct),
          double(fType), double(fMask), double(coinc), double(edge), threshold, double(type),
          double(markers), double(single), double(s[0]), double(s[1]), double(s[2]), double(s[3])};
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
  QWidget parent;
  RmtDev* master = connected(&parent, 2);
  EXPECT_TRUE(master->_connected);
  EXPECT_EQ(master->_chainPos, 0);
  EXPECT_EQ(master->_roleEdit->text(), "Master");
  EXPECT_EQ(master->_dialog->windowTitle(), "Tikor Parameters - Master");
  EXPECT_EQ(channelLabels(master),
            (QStringList{"Channel 0/5", "Channel 1", "Channel 2", "Channel 3", "Channel 4"}));
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
  dev->_events = 4294967295u;
  RmtDev::timestampCallback(&indexPtr, 0, 2, 0, words);
  EXPECT_EQ(dev->_events, 2u) << "the counter wraps";
  EXPECT_EQ(dev->start(false, QString()), 0);
  EXPECT_EQ(dev->_tmpFile, nullptr);
  const QByteArray bytes(reinterpret_cast<const char*>(words), 400);
  EXPECT_EQ(readFile(name), bytes + bytes.left(12) + bytes.left(8));

  // Without a folder the blocks are only counted; a second recording truncates the file.
  ASSERT_EQ(dev->start(true, QString()), 0);
  EXPECT_EQ(dev->_tmpFile, nullptr);
  RmtDev::timestampCallback(&indexPtr, 0, 10, 0, words);
  EXPECT_EQ(dev->_events, 15u);
  ASSERT_EQ(dev->start(true, dir.path()), 0);
  dev->start(false, QString());
  EXPECT_EQ(readFile(name), QByteArray());
  KRmt::_devMap.clear();

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
  for (int i = 0; i < 2; ++i) {
    dev->updateGui();
    EXPECT_EQ(dev->_lossLed->color(), Led::Yellow) << "loss reported earlier";
  }
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
  SimChain chain(Vars{{"RAVIK_SIM_DEVICES", "1"}, {"RAVIK_SIM_CALIBRATION_MS", "2000"}});
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
  // Box 0 stands for channel 0 and the start input (33); times in ps; filter channel 0 is 5;
  // the self-test mask is 0 with Generate unchecked, period / 5, burst distance * 50.
  EXPECT_EQ(deviceParams(0), (std::vector<double>{33, 1500, 1500, 8, 1, 2, 34, 2500, 0, -0.5, 3,
                                                  17, 1, 0, 8, 3, 5}));
  EXPECT_EQ(dev->_markers, 17u);
  // Apply reads everything back; delays show in whole nanoseconds.
  EXPECT_EQ(dev->_chDelay[0]->value(), 1.0);
  EXPECT_EQ(dev->_chDeadTime[1]->value(), 1.5);
  EXPECT_EQ(dev->_dividerBox->currentIndex(), 3);
  EXPECT_EQ(dev->_chType[2]->currentIndex(), 2);
  EXPECT_FALSE(dev->_chEnable[1]->isChecked());
  EXPECT_TRUE(dev->_chFilterCh[0][4]->isChecked());
  EXPECT_FALSE(dev->_chFilterCh[0][1]->isChecked());

  dev->_generateBox->setChecked(true);
  dev->_applyBtn->click();
  EXPECT_EQ(deviceParams(0)[13], 33);

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
  EXPECT_EQ(deviceParams(0)[7], 4000);
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
  dev->_chDeadTime[1]->setValue(5);
  dev->_fiveChBox->setChecked(true);
  QSignalSpy spy(dev, &RmtDev::use5ChUpdated);
  EXPECT_EQ(invokeInt(dev, "configure"), KORBALT_NO_ACK);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_TRUE(spy[0][0].toBool());
  const std::vector<double> p = deviceParams(0);
  EXPECT_EQ(p[11], 4) << "markers";
  EXPECT_EQ(p[1] + p[2] + p[7], 0) << "no delay, dead time or window";

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
      for (QWidget* w : {(QWidget*)dev->_chEnable[ch], (QWidget*)dev->_chType[ch],
                         (QWidget*)dev->_chDelay[ch], (QWidget*)dev->_chDeadTime[ch]})
        EXPECT_EQ(w->isEnabled(), e.channel[ch]);
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
