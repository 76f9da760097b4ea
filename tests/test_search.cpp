// The device search: chain ordering, the table rows, the registries, the reports for missing,
// shared and failing devices, and the shared five-channel mode.
#include "window_harness.h"

namespace {

// The library indices of KRmt::_devs, in order.
std::vector<uint32_t> chainIndices() {
  std::vector<uint32_t> p;
  for (RmtDev* dev : KRmt::_devs) p.push_back(dev->_index);
  return p;
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
  const QString missing = "Sequence number missing: ";
  const struct {
    std::vector<std::pair<const char*, const char*>> sim;
    bool close;  // answer the first box with Close
    QStringList boxes;
    std::vector<uint32_t> chain;  // library indices in chain order
    QList<int> connected;
  } cases[] = {
      {{}, false, {}, {2, 0, 1}, {0, 1, 2}},
      {{{"DEVICES", "2"}, {"CHAIN", "0,2"}}, false, {missing + "1"}, {1, 0}, {0, 1}},
      // Close at a missing position places nothing above it; the devices stay connected.
      {{{"DEVICES", "2"}, {"CHAIN", "0,2"}}, true, {missing + "1"}, {1}, {0, 1}},
      {{{"CHAIN", "0,1,1"}, {"ORDER", "chain"}}, false, {"Sequence number not unique: 1"},
       {0, 1, 2}, {0, 1, 2}},
      {{{"DEVICES", "1"}, {"CHAIN", "3"}}, false, {missing + "0", missing + "1", missing + "2"},
       {0}, {0}},
      {{{"DEVICES", "2"}, {"CHAIN", "-1,-5"}}, false, {}, {}, {0, 1}},  // connected, in no chain
      {{{"FAIL_DISCOVER", "1"}}, false, {rcText("TDC_discover", KORBALT_DISCOVERY_FAILED)}, {}, {}},
      {{{"FAIL_CONNECT", "1"}}, false, {rcText("connect (dev 2 of 3)", KORBALT_CONNECT_FAILED)},
       {2, 0}, {0, 2}},
      // Close after a failed connect ends the search: nothing is connected or placed after it.
      {{{"FAIL_CONNECT", "0"}}, true, {rcText("connect (dev 1 of 3)", KORBALT_CONNECT_FAILED)},
       {}, {}},
      {{{"FAIL_INFO", "0"}}, false,
       {rcText("TDC_getDeviceInfo", KORBALT_INFO_FAILED), missing + "1"}, {2, 1}, {1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sim.empty() ? std::string("default")
                               : c.sim.back().first + std::string("=") + c.sim.back().second);
    closeWindow();
    clearSimVariables();
    for (const auto& [name, value] : c.sim) setSim(name, value);
    _boxes.texts.clear();
    if (c.close) _boxes.queue(QMessageBox::Close);
    openWindow();
    KRmtProbe p = probe();
    EXPECT_EQ(_boxes.texts, c.boxes);
    EXPECT_EQ(std::make_pair(_window->state(), _window->isVisible()), std::make_pair(KRmt::Idle, !c.close));
    ASSERT_EQ(chainIndices(), c.chain);
    EXPECT_EQ(KRmt::_devMap.keys(), c.connected);
    const bool hasMaster = !c.chain.empty() && KRmt::_devs[0]->_chainPos == 0;
    for (int i = 0; i < KRmt::_devs.size(); ++i) {
      RmtDev* dev = KRmt::_devs[i];
      for (int col = 0; col < 8; ++col) EXPECT_EQ(p.deviceCell(i + 1, col), dev->rowWidget(col));
      int32_t id = 0;
      char serial[KORBALT_SERIAL_SIZE] = {};
      ASSERT_EQ(TDC_getDeviceInfo(dev->_index, nullptr, &id, serial, nullptr), 0);
      EXPECT_EQ(QStringList({dev->_serialEdit->text(), dev->_idEdit->text()}),
                QStringList({serial, QString::number(id)}));
      EXPECT_EQ(dev->_fiveChBox->isEnabled(), hasMaster) << "the setting comes from the master";
    }
    QWidget* next = p.deviceCell(KRmt::_devs.size() + 1, 0);
    EXPECT_EQ(next ? next->property("text").toString() : "<none>",
              c.chain.empty() ? "-- No Devices Found --" : "<none>");
  }
  EXPECT_TRUE(_boxes.allErrorBoxes);
}

TEST_F(WindowTest, FiveChannelModeFollowsTheMaster) {
  // Scenario devices: the master and Slave 2 support five channels, Slave 1 does not. In
  // discovery order (by library index) that is Slave 1, Slave 2, master.
  setSim("FEATURES", "0x7C,0x6C,0x7C");
  openWindow();
  ASSERT_EQ(chainIndices(), (std::vector<uint32_t>{2, 0, 1}));
  RmtDev* master = KRmt::_devs[0];
  for (RmtDev* dev : KRmt::_devs) {
    EXPECT_TRUE(dev->_fiveChBox->isEnabled() && !dev->_fiveChBox->isChecked());
    EXPECT_EQ(fiveChannelMode(dev->_index), 0);
  }
  // The master's setting goes to every device with the feature, and so does Slave 2's: any
  // device's dialog sets it for all. Apply reads the master's box back from the device.
  for (bool on : {true, false}) {
    RmtDev* from = on ? master : KRmt::_devs[2];
    from->_fiveChBox->setChecked(on);
    (on ? from->_applyBtn : from->_closeBtn)->click();
    for (RmtDev* dev : {master, KRmt::_devs[2]}) {
      EXPECT_EQ(dev->_fiveChBox->isChecked(), on);
      EXPECT_EQ(fiveChannelMode(dev->_index), int(on));
    }
    EXPECT_FALSE(KRmt::_devs[1]->_fiveChBox->isChecked()) << "a device without the feature";
  }
  EXPECT_TRUE(_boxes.texts.isEmpty());

  // A master without the feature leaves every box disabled.
  setSim("FEATURES", "0x6C,0x7C,0x7C");
  openWindow();
  ASSERT_EQ(KRmt::_devs.size(), 3);
  for (RmtDev* dev : KRmt::_devs) EXPECT_FALSE(dev->_fiveChBox->isEnabled());
}
