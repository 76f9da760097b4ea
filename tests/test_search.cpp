// The device search: chain ordering, the table rows, the registries, the reports for missing,
// shared and failing devices, and the shared five-channel mode.
#include <QSignalSpy>

#include "window_harness.h"

namespace {

// The chain positions of KRmt::_devs, in order.
std::vector<int32_t> chainPositions() {
  std::vector<int32_t> p;
  for (RmtDev* dev : KRmt::_devs) p.push_back(dev->_chainPos);
  return p;
}

// The table row r (from 1) holds exactly the row widgets of `dev`.
testing::AssertionResult rowShows(const KRmtProbe& p, int r, const RmtDev* dev) {
  for (int c = 0; c < 8; ++c)
    if (p.deviceCell(r, c) != dev->rowWidget(c))
      return testing::AssertionFailure() << "row " << r << " column " << c;
  return testing::AssertionSuccess();
}

bool noDevicesLabel(const KRmtProbe& p) {
  QWidget* cell = p.deviceCell(1, 0);
  return cell && cell->property("text").toString() == "-- No Devices Found --";
}

int fiveChannelMode(uint32_t index) {
  int on = -1;
  EXPECT_EQ(TDC_addressDevice(index), 0);
  EXPECT_EQ(TDC_getFiveChannelMode(&on), 0);
  return on;
}

QString rcText(const char* fct, int rc) {
  return QString("%1 returned \"%2\"").arg(fct, TDC_perror(rc));
}

}  // namespace

TEST_F(WindowTest, DefaultChainIsOrderedMasterFirst) {
  // By default the master is discovered last: index 0 is Slave 1, index 1 Slave 2.
  openWindow();
  KRmtProbe p = probe();
  EXPECT_TRUE(_boxes.texts.isEmpty());
  EXPECT_EQ(_window->state(), KRmt::Idle);
  ASSERT_EQ(chainPositions(), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(KRmt::_devMap.keys(), (QList<int>{0, 1, 2}));
  for (int index : KRmt::_devMap.keys()) {
    EXPECT_EQ(KRmt::_devMap[index]->_index, uint32_t(index));
    EXPECT_TRUE(KRmt::_devMap[index]->_connected);
  }
  EXPECT_EQ(KRmt::_devs[0], KRmt::_devMap[2]);
  EXPECT_EQ(KRmt::_devs[1], KRmt::_devMap[0]);
  const char* roles[] = {"Master", "Slave 1", "Slave 2"};
  QStringList serials;
  for (int i = 0; i < 3; ++i) {
    RmtDev* dev = KRmt::_devs[i];
    EXPECT_TRUE(rowShows(p, i + 1, dev));
    EXPECT_EQ(dev->_roleEdit->text(), roles[i]);
    EXPECT_FALSE(dev->_serialEdit->text().isEmpty());
    EXPECT_GT(dev->_idEdit->text().toInt(), 0);
    EXPECT_TRUE(dev->_recordBox->isChecked());
    EXPECT_TRUE(dev->_fiveChBox->isEnabled()) << "the master supports five channels";
    serials << dev->_serialEdit->text();
    char serial[KORBALT_SERIAL_SIZE] = {};
    ASSERT_EQ(TDC_getDeviceInfo(dev->_index, nullptr, nullptr, serial, nullptr), 0);
    EXPECT_EQ(dev->_serialEdit->text(), serial);
  }
  serials.removeDuplicates();
  EXPECT_EQ(serials.size(), 3);
  EXPECT_EQ(p.deviceCell(4, 0), nullptr);
}

TEST_F(WindowTest, MissingPositionAsksWhetherToGoOn) {
  setSim("DEVICES", "2");
  setSim("CHAIN", "0,2");
  openWindow();
  EXPECT_EQ(_boxes.texts, QStringList{"Sequence number missing: 1"});
  EXPECT_TRUE(_boxes.allErrorBoxes);
  ASSERT_EQ(chainPositions(), (std::vector<int32_t>{0, 2}));
  EXPECT_TRUE(rowShows(probe(), 1, KRmt::_devs[0]));
  EXPECT_TRUE(rowShows(probe(), 2, KRmt::_devs[1]));
  EXPECT_TRUE(_window->isVisible());

  _boxes.texts.clear();
  _boxes.queue(QMessageBox::Close);
  openWindow();
  EXPECT_EQ(_boxes.texts, QStringList{"Sequence number missing: 1"});
  EXPECT_FALSE(_window->isVisible());
  EXPECT_EQ(chainPositions(), std::vector<int32_t>{0}) << "nothing above the gap is placed";
  EXPECT_EQ(KRmt::_devMap.size(), 2) << "but the device stays connected";
  EXPECT_EQ(probe().deviceCell(2, 0), nullptr);
}

TEST_F(WindowTest, SharedPositionIsReportedAndAllArePlaced) {
  setSim("CHAIN", "0,1,1");
  setSim("ORDER", "chain");
  openWindow();
  EXPECT_EQ(_boxes.texts, QStringList{"Sequence number not unique: 1"});
  ASSERT_EQ(chainPositions(), (std::vector<int32_t>{0, 1, 1}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(KRmt::_devs[i]->_index, uint32_t(i)) << "discovery order within a position";
    EXPECT_TRUE(rowShows(probe(), i + 1, KRmt::_devs[i]));
  }
}

TEST_F(WindowTest, LoneSlaveIsPlacedAfterThreeReports) {
  setSim("DEVICES", "1");
  setSim("CHAIN", "3");
  openWindow();
  EXPECT_EQ(_boxes.texts, (QStringList{"Sequence number missing: 0", "Sequence number missing: 1",
                                       "Sequence number missing: 2"}));
  ASSERT_EQ(KRmt::_devs.size(), 1);
  RmtDev* dev = KRmt::_devs[0];
  EXPECT_TRUE(rowShows(probe(), 1, dev));
  EXPECT_EQ(dev->_roleEdit->text(), "Slave 3");
  EXPECT_FALSE(dev->_fiveChBox->isEnabled()) << "no master to take the setting from";
  EXPECT_FALSE(dev->_fiveChBox->isChecked());
  EXPECT_EQ(fiveChannelMode(dev->_index), 0);
}

TEST_F(WindowTest, NoPlacedDevicesShowTheNoDevicesLabel) {
  setSim("DEVICES", "2");
  setSim("CHAIN", "-1,-5");
  openWindow();
  EXPECT_TRUE(_boxes.texts.isEmpty());
  EXPECT_TRUE(KRmt::_devs.isEmpty());
  EXPECT_EQ(KRmt::_devMap.size(), 2) << "connected, but in no chain";
  EXPECT_TRUE(noDevicesLabel(probe()));
  closeWindow();

  setSim("FAIL_DISCOVER", "1");
  openWindow();
  EXPECT_EQ(_boxes.texts, QStringList{rcText("TDC_discover", KORBALT_DISCOVERY_FAILED)});
  EXPECT_EQ(_window->state(), KRmt::Idle);
  EXPECT_TRUE(KRmt::_devMap.isEmpty());
  EXPECT_TRUE(noDevicesLabel(probe()));
}

TEST_F(WindowTest, FailedDevicesAreLeftOut) {
  // Index 1 (Slave 2) cannot be connected: Slave 1 and the master stay.
  setSim("FAIL_CONNECT", "1");
  openWindow();
  EXPECT_EQ(_boxes.texts, QStringList{rcText("connect (dev 2 of 3)", KORBALT_CONNECT_FAILED)});
  EXPECT_EQ(chainPositions(), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(KRmt::_devMap.keys(), (QList<int>{0, 2}));
  EXPECT_EQ(probe().deviceCell(3, 0), nullptr);
  closeWindow();

  // Index 0 (Slave 1) gives no information: it is skipped and its position is missing.
  clearSimVariables();
  setSim("FAIL_INFO", "0");
  _boxes.texts.clear();
  openWindow();
  EXPECT_EQ(_boxes.texts, (QStringList{rcText("TDC_getDeviceInfo", KORBALT_INFO_FAILED),
                                       "Sequence number missing: 1"}));
  EXPECT_EQ(chainPositions(), (std::vector<int32_t>{0, 2}));
  EXPECT_EQ(KRmt::_devMap.keys(), (QList<int>{1, 2}));
}

TEST_F(WindowTest, FiveChannelModeFollowsTheMaster) {
  // Scenario devices: the master and Slave 2 support five channels, Slave 1 does not. In
  // discovery order (by library index) that is Slave 1, Slave 2, master.
  setSim("FEATURES", "0x7C,0x6C,0x7C");
  openWindow();
  ASSERT_EQ(chainPositions(), (std::vector<int32_t>{0, 1, 2}));
  RmtDev* master = KRmt::_devs[0];
  for (RmtDev* dev : KRmt::_devs) {
    EXPECT_TRUE(dev->_fiveChBox->isEnabled());
    EXPECT_FALSE(dev->_fiveChBox->isChecked());
  }
  QSignalSpy spy(master, &RmtDev::use5ChUpdated);
  master->_fiveChBox->setChecked(true);
  master->_applyBtn->click();
  ASSERT_EQ(spy.count(), 1);
  EXPECT_TRUE(spy[0][0].toBool());
  EXPECT_TRUE(master->_fiveChBox->isChecked()) << "read back from the device after applying";
  EXPECT_EQ(fiveChannelMode(master->_index), 1);
  EXPECT_EQ(fiveChannelMode(KRmt::_devs[2]->_index), 1);
  EXPECT_TRUE(KRmt::_devs[2]->_fiveChBox->isChecked());
  EXPECT_FALSE(KRmt::_devs[1]->_fiveChBox->isChecked()) << "a device without the feature";

  // Any device's dialog sets it for all.
  KRmt::_devs[2]->_fiveChBox->setChecked(false);
  KRmt::_devs[2]->_closeBtn->click();
  EXPECT_FALSE(master->_fiveChBox->isChecked());
  EXPECT_EQ(fiveChannelMode(master->_index), 0);
  EXPECT_EQ(fiveChannelMode(KRmt::_devs[2]->_index), 0);
  EXPECT_TRUE(_boxes.texts.isEmpty());
  closeWindow();

  // A master without the feature leaves every box disabled.
  setSim("FEATURES", "0x6C,0x7C,0x7C");
  openWindow();
  ASSERT_EQ(KRmt::_devs.size(), 3);
  for (RmtDev* dev : KRmt::_devs) EXPECT_FALSE(dev->_fiveChBox->isEnabled());
}
