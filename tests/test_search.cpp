// The device search: chain ordering, the table rows, the registries, the reports for missing,
// shared and failing devices, and the shared five-channel mode.
#include <QSignalSpy>

#include "window_harness.h"

namespace {

// The library indices of KRmt::_devs, in order.
std::vector<uint32_t> chainIndices() {
  std::vector<uint32_t> p;
  for (RmtDev* dev : KRmt::_devs) p.push_back(dev->_index);
  return p;
}

// The table row r (from 1) holds exactly the row widgets of `dev`.
testing::AssertionResult rowShows(const KRmtProbe& p, int r, const RmtDev* dev) {
  for (int c = 0; c < 8; ++c)
    if (p.deviceCell(r, c) != dev->rowWidget(c))
      return testing::AssertionFailure() << "row " << r << " column " << c;
  return testing::AssertionSuccess();
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

TEST_F(WindowTest, ChainIsOrderedMasterFirstAndGapsAndFailuresAreReported) {
  // By default index i is the scenario's device i + 1: the master is discovered last.
  const struct {
    std::vector<std::pair<const char*, const char*>> sim;
    QStringList boxes;
    std::vector<uint32_t> chain;  // library indices in chain order
    QList<int> connected;
  } cases[] = {
      {{}, {}, {2, 0, 1}, {0, 1, 2}},
      {{{"DEVICES", "2"}, {"CHAIN", "0,2"}}, {"Sequence number missing: 1"}, {1, 0}, {0, 1}},
      {{{"CHAIN", "0,1,1"}, {"ORDER", "chain"}}, {"Sequence number not unique: 1"}, {0, 1, 2},
       {0, 1, 2}},
      {{{"DEVICES", "1"}, {"CHAIN", "3"}},
       {"Sequence number missing: 0", "Sequence number missing: 1", "Sequence number missing: 2"},
       {0}, {0}},
      {{{"DEVICES", "2"}, {"CHAIN", "-1,-5"}}, {}, {}, {0, 1}},  // connected, but in no chain
      {{{"FAIL_DISCOVER", "1"}}, {rcText("TDC_discover", KORBALT_DISCOVERY_FAILED)}, {}, {}},
      {{{"FAIL_CONNECT", "1"}}, {rcText("connect (dev 2 of 3)", KORBALT_CONNECT_FAILED)}, {2, 0},
       {0, 2}},
      {{{"FAIL_INFO", "0"}},
       {rcText("TDC_getDeviceInfo", KORBALT_INFO_FAILED), "Sequence number missing: 1"}, {2, 1},
       {1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sim.empty() ? "default" : std::string(c.sim[0].first) + "=" + c.sim[0].second);
    closeWindow();
    clearSimVariables();
    for (const auto& [name, value] : c.sim) setSim(name, value);
    _boxes.texts.clear();
    openWindow();
    KRmtProbe p = probe();
    EXPECT_EQ(_boxes.texts, c.boxes);
    EXPECT_EQ(_window->state(), KRmt::Idle);
    EXPECT_TRUE(_window->isVisible());
    ASSERT_EQ(chainIndices(), c.chain);
    EXPECT_EQ(KRmt::_devMap.keys(), c.connected);
    for (int index : KRmt::_devMap.keys()) EXPECT_EQ(KRmt::_devMap[index]->_index, uint32_t(index));
    const bool hasMaster = !c.chain.empty() && KRmt::_devs[0]->_chainPos == 0;
    for (int i = 0; i < KRmt::_devs.size(); ++i) {
      RmtDev* dev = KRmt::_devs[i];
      EXPECT_TRUE(rowShows(p, i + 1, dev));
      EXPECT_TRUE(dev->_connected);
      const int32_t pos = dev->_chainPos;
      EXPECT_EQ(dev->_roleEdit->text(), pos == 0 ? QString("Master") : QString("Slave %1").arg(pos));
      int32_t id = 0;
      char serial[KORBALT_SERIAL_SIZE] = {};
      ASSERT_EQ(TDC_getDeviceInfo(dev->_index, nullptr, &id, serial, nullptr), 0);
      EXPECT_EQ(dev->_serialEdit->text(), serial);
      EXPECT_EQ(dev->_idEdit->text(), QString::number(id));
      EXPECT_EQ(dev->_fiveChBox->isEnabled(), hasMaster) << "the setting comes from the master";
      EXPECT_FALSE(dev->_fiveChBox->isChecked());
      EXPECT_EQ(fiveChannelMode(dev->_index), 0);
    }
    QWidget* next = p.deviceCell(KRmt::_devs.size() + 1, 0);
    if (c.chain.empty())
      EXPECT_EQ(next ? next->property("text").toString() : QString(), "-- No Devices Found --");
    else
      EXPECT_EQ(next, nullptr);
  }
}

TEST_F(WindowTest, CloseAtAMissingPositionPlacesNothingAboveTheGap) {
  setSim("DEVICES", "2");
  setSim("CHAIN", "0,2");
  _boxes.queue(QMessageBox::Close);
  openWindow();
  EXPECT_EQ(_boxes.texts, QStringList{"Sequence number missing: 1"});
  EXPECT_TRUE(_boxes.allErrorBoxes);
  EXPECT_FALSE(_window->isVisible());
  EXPECT_EQ(chainIndices(), std::vector<uint32_t>{1});
  EXPECT_EQ(KRmt::_devMap.size(), 2) << "but the device stays connected";
  EXPECT_EQ(probe().deviceCell(2, 0), nullptr);
}

TEST_F(WindowTest, FiveChannelModeFollowsTheMaster) {
  // Scenario devices: the master and Slave 2 support five channels, Slave 1 does not. In
  // discovery order (by library index) that is Slave 1, Slave 2, master.
  setSim("FEATURES", "0x7C,0x6C,0x7C");
  openWindow();
  ASSERT_EQ(chainIndices(), (std::vector<uint32_t>{2, 0, 1}));
  RmtDev* master = KRmt::_devs[0];
  for (RmtDev* dev : KRmt::_devs) EXPECT_TRUE(dev->_fiveChBox->isEnabled());
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
