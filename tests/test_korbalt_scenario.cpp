// Reading the simulated chain from its variables: defaults, lists, and bad values falling back.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "korbalt_env.h"

using korbalt::Scenario;

TEST(KorbaltScenario, ListsApplyInScenarioOrderAndOrderPermutes) {
  const Scenario s = scenarioOf({{"RAVIK_SIM_DEVICES", "3"},
                                 {"RAVIK_SIM_CHAIN", "0,1,1"},
                                 {"RAVIK_SIM_SERIALS", "A,B,C"},
                                 {"RAVIK_SIM_FEATURES", "0x10"},
                                 {"RAVIK_SIM_RATES", "1;2,3,4,5,6;7"},
                                 {"RAVIK_SIM_ORDER", "2,0,1"},
                                 {"RAVIK_SIM_FAIL_PARAM", "TDC_getDeadTime@2, UL_setParameter"},
                                 {"RAVIK_SIM_BAD_CLOCK", "0,2"},
                                 {"RAVIK_SIM_CORRELATION", "500,3000,1200"}});
  ASSERT_EQ(s.devices.size(), 3u);
  EXPECT_TRUE(s.pairRate == 500 && s.pairDelayPs == 3000 && s.pairLifetimePs == 1200);
  EXPECT_EQ(s.devices[0].serial + s.devices[1].serial + s.devices[2].serial, "CAB");
  EXPECT_EQ(s.devices[0].member, 2);
  EXPECT_EQ(s.devices[0].rates[4], 7);
  EXPECT_EQ(s.devices[2].rates[0], 2);
  EXPECT_EQ(s.devices[2].rates[4], 6);
  EXPECT_EQ(s.devices[2].chainPos, 1);
  EXPECT_EQ(s.devices[2].features, 0x10);
  EXPECT_EQ(s.badClock, 5u);
  EXPECT_TRUE(s.paramFails("TDC_getDeadTime", 2));
  EXPECT_FALSE(s.paramFails("TDC_getDeadTime", 1));
  EXPECT_TRUE(s.paramFails("UL_setParameter", 0));
  EXPECT_EQ(scenarioOf({{"RAVIK_SIM_ORDER", "reverse"}}).devices[0].chainPos, 2);
  EXPECT_EQ(scenarioOf({{"RAVIK_SIM_ORDER", "chain"}}).devices[0].chainPos, 0);
}

TEST(KorbaltScenario, DefaultsAndBadValuesThatFallBackToThem) {
  const std::map<std::string, std::string> bad = {
      {"RAVIK_SIM_DEVICES", "many"},      {"RAVIK_SIM_CHAIN", "0,1"},
      {"RAVIK_SIM_SERIALS", "X,,Z"},      {"RAVIK_SIM_RATES", "1,2"},
      {"RAVIK_SIM_ORDER", "0,0,1"},       {"RAVIK_SIM_CORRELATION", "5,10,2000000000"},
      {"RAVIK_SIM_SEED", "-3"},           {"RAVIK_SIM_FIFO_WORDS", "1e9"},
      {"RAVIK_SIM_FAIL_CONNECT", "0,40"}, {"RAVIK_SIM_FAIL_PARAM", "setDeadTime"},
      {"RAVIK_SIM_MAX_RATE", "yes"}};
  testing::internal::CaptureStderr();
  const Scenario s = scenarioOf(bad);
  const std::string messages = testing::internal::GetCapturedStderr();
  const Scenario d = scenarioOf({});
  ASSERT_EQ(d.devices.size(), 3u);
  EXPECT_EQ(d.devices[2].chainPos, 0) << "the master is found last, the program must sort";
  for (const auto& v : bad) EXPECT_NE(messages.find(v.first), std::string::npos) << v.first;
  ASSERT_EQ(s.devices.size(), d.devices.size());
  for (size_t i = 0; i < s.devices.size(); ++i) {
    EXPECT_EQ(s.devices[i].chainPos, d.devices[i].chainPos);
    EXPECT_EQ(s.devices[i].serial, d.devices[i].serial);
    EXPECT_EQ(s.devices[i].rates[1], d.devices[i].rates[1]);
  }
  EXPECT_TRUE(s.pairRate == d.pairRate && s.seed == d.seed && s.fifoWords == d.fifoWords &&
              s.pairLifetimePs == 0);
  EXPECT_TRUE(s.failConnect == 0 && s.failParams.empty() && !s.maxRate);
}
