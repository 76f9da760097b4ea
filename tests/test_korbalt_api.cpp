// The device library's interface as the program uses it: discovery, addressing, parameters,
// features, state, injected faults, error texts and the binary file header.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "device/korbalt.h"
#include "korbalt/fileheader.h"
#include "korbalt_env.h"
#include "trace/trace.h"

TEST(KorbaltApi, DiscoveryNeedsSimulationAndRereadsTheScenario) {
  SimChain chain;
  ASSERT_EQ(chain.count(), 3u);
  baseAllowFindSimDevice(false);
  uint32_t count = 99;
  EXPECT_EQ(TDC_discover(&count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(TDC_getDeviceInfo(0, nullptr, nullptr, nullptr, nullptr), KORBALT_BAD_INDEX);
  baseAllowFindSimDevice(true);
  setenv("RAVIK_SIM_DEVICES", "5", 1);
  EXPECT_EQ(TDC_discover(&count), 0);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(TDC_discover(nullptr), KORBALT_BAD_ARGUMENT);
}

TEST(KorbaltApi, DefaultChainIdentifiesItselfOutOfOrder) {
  SimChain chain;
  std::set<std::string> serials;
  std::set<int32_t> ids, positions;
  int32_t master = -1;
  for (uint32_t i = 0; i < chain.count(); ++i) {
    int32_t type = 0, id = 0, connected = 7, position = -5, length = 0;
    char serial[KORBALT_SERIAL_SIZE] = {};
    ASSERT_EQ(TDC_getDeviceInfo(i, &type, &id, serial, &connected), 0);
    EXPECT_EQ(connected, 0);
    ASSERT_EQ(TDC_connect(i), 0);
    ASSERT_EQ(TDC_getChainPosition(&position, &length), 0);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(TDC_checkFeatures() & 0x7C, 0x7C);
    int32_t input = -1, output = -1;
    ASSERT_EQ(TDC_getClockState(&input, &output), 0);
    EXPECT_EQ(position == 0 ? output : input, 1) << "the clock the program judges is good";
    if (position == 0) master = static_cast<int32_t>(i);
    serials.insert(serial);
    ids.insert(id);
    positions.insert(position);
  }
  EXPECT_EQ(serials.size(), 3u);
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(positions, (std::set<int32_t>{0, 1, 2}));
  EXPECT_GT(master, 0) << "the master is not found first";
}

TEST(KorbaltApi, CallsActOnTheAddressedConnectedDevice) {
  // Scenario device 2 is found second by default, as library index 1.
  SimChain chain(SimChain::Vars{{"RAVIK_SIM_FEATURES", "0x7C,0x7C,0x04"}});
  int32_t mask = 0;
  EXPECT_EQ(TDC_getChannelsEnabled(&mask), KORBALT_NO_DEVICE);
  EXPECT_EQ(TDC_checkFeatures(), 0);
  EXPECT_EQ(TDC_addressDevice(3), KORBALT_BAD_INDEX);
  ASSERT_EQ(TDC_addressDevice(1), 0);
  EXPECT_EQ(TDC_checkFeatures(), 0x04) << "features are known before connecting";
  EXPECT_EQ(TDC_getChannelsEnabled(&mask), KORBALT_NOT_CONNECTED);
  ASSERT_TRUE(chain.connectAll());
  ASSERT_EQ(TDC_addressDevice(0), 0);
  ASSERT_EQ(TDC_enableChannels(0x21), 0);
  ASSERT_EQ(TDC_addressDevice(1), 0);
  ASSERT_EQ(TDC_getChannelsEnabled(&mask), 0);
  EXPECT_EQ(mask, 0x0F) << "device 1 is untouched and has inputs 0..3";
  EXPECT_EQ(TDC_setFiveChannelMode(true), KORBALT_NOT_SUPPORTED);
  EXPECT_EQ(TDC_enableMarkers(0x10), KORBALT_NOT_SUPPORTED);
  EXPECT_EQ(TDC_enableMarkers(0), 0);
  EXPECT_EQ(TDC_configureFilter(2, 1, 4), KORBALT_NOT_SUPPORTED);
  ASSERT_EQ(TDC_addressDevice(0), 0);
  ASSERT_EQ(TDC_getChannelsEnabled(&mask), 0);
  EXPECT_EQ(mask, 0x21);
  EXPECT_EQ(TDC_disconnect(0), 0);
  EXPECT_EQ(TDC_getChannelsEnabled(&mask), KORBALT_NOT_CONNECTED);
  EXPECT_EQ(TDC_disconnect(0), KORBALT_NOT_CONNECTED);
}

TEST(KorbaltApi, ParametersReadBackAsWritten) {
  SimChain chain;
  ASSERT_TRUE(chain.connectAll());
  ASSERT_EQ(TDC_addressDevice(2), 0);
  const int32_t delays[KORBALT_DELAY_COUNT] = {1500, 0, 2000000, 7, 0, 0, 0, 0};
  ASSERT_EQ(TDC_enableChannels(33), 0);
  ASSERT_EQ(TDC_preselectSingleStop(true), 0);
  ASSERT_EQ(TDC_configureSelftest(33, 8, 65000, 5), 0);
  ASSERT_EQ(TDC_setCoincidenceWindow(1999999), 0);
  ASSERT_EQ(TDC_configureSyncDivider(8, true), 0);
  ASSERT_EQ(TDC_configureSignalConditioning(4, 3, 0, -0.35), 0);
  ASSERT_EQ(TDC_setDeadTime(3, 1500), 0);
  ASSERT_EQ(TDC_setChannelDelays(delays), 0);
  ASSERT_EQ(TDC_configureFilter(5, 2, 34), 0);
  ASSERT_EQ(TDC_enableMarkers(0x1FF), 0);
  ASSERT_EQ(TDC_setFiveChannelMode(true), 0);
  int32_t mask = 0, single = 0, window = 0, divider = 0, reconstruct = 0, edge = 9, type = 0,
          dead = 0, fType = 0, fMask = 0, five = 0, got[KORBALT_DELAY_COUNT] = {};
  uint32_t markers = 0;
  double threshold = 0;
  ASSERT_EQ(TDC_addressDevice(0), 0);
  ASSERT_EQ(TDC_addressDevice(2), 0);
  EXPECT_EQ(TDC_getChannelsEnabled(&mask), 0);
  EXPECT_EQ(TDC_getSingleStopPreselection(&single), 0);
  EXPECT_EQ(TDC_getDeviceParams(&window, nullptr), 0);
  EXPECT_EQ(TDC_getSyncDivider(&divider, &reconstruct), 0);
  EXPECT_EQ(TDC_getSignalConditioning(4, &edge, &threshold), 0);
  EXPECT_EQ(UL_inquireParameter(2, 960, 4, &type), 0);
  EXPECT_EQ(TDC_getDeadTime(3, &dead), 0);
  EXPECT_EQ(TDC_getChannelDelays(got), 0);
  EXPECT_EQ(TDC_getFilter(5, &fType, &fMask), 0);
  EXPECT_EQ(TDC_getMarkersEnabled(&markers), 0);
  EXPECT_EQ(TDC_getFiveChannelMode(&five), 0);
  EXPECT_EQ(mask, 33);
  EXPECT_EQ(single, 1);
  EXPECT_EQ(window, 1999999);
  EXPECT_EQ(divider, 8);
  EXPECT_EQ(reconstruct, 1);
  EXPECT_EQ(edge, 0);
  EXPECT_EQ(threshold, -0.35);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(dead, 1500);
  EXPECT_EQ(memcmp(got, delays, sizeof delays), 0);
  EXPECT_EQ(fType, 2);
  EXPECT_EQ(fMask, 34);
  EXPECT_EQ(markers, 0x1FFu);
  EXPECT_EQ(five, 1);
  // The device refuses what it could not hold, and keeps what it had.
  EXPECT_EQ(TDC_configureSignalConditioning(5, 1, 0, 0), KORBALT_BAD_ARGUMENT);
  EXPECT_EQ(TDC_configureSignalConditioning(0, 4, 0, 0), KORBALT_BAD_ARGUMENT);
  EXPECT_EQ(TDC_configureFilter(0, 1, 2), KORBALT_BAD_ARGUMENT);
  EXPECT_EQ(TDC_enableMarkers(0x200), KORBALT_BAD_ARGUMENT);
  EXPECT_EQ(TDC_enableChannels(0x40), KORBALT_BAD_ARGUMENT);
  EXPECT_EQ(TDC_getChannelsEnabled(nullptr), KORBALT_BAD_ARGUMENT);
  EXPECT_EQ(UL_inquireParameter(2, 48, 1, &type), KORBALT_UNKNOWN_PARAMETER);
  EXPECT_EQ(UL_setParameter(2, 48, 1, 0), 0);
  EXPECT_EQ(UL_inquireParameter(2, 48, 1, &type), 0);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(TDC_getChannelsEnabled(&mask), 0);
  EXPECT_EQ(mask, 33);
}

TEST(KorbaltApi, ScenarioFaultsFireWhereSet) {
  {
    SimChain chain(SimChain::Vars{{"RAVIK_SIM_FAIL_DISCOVER", "1"}});
    EXPECT_EQ(chain.rc(), KORBALT_DISCOVERY_FAILED);
    EXPECT_EQ(chain.count(), 0u);
  }
  SimChain chain(SimChain::Vars{{"RAVIK_SIM_FAIL_INFO", "1"},
                  {"RAVIK_SIM_FAIL_CONNECT", "2"},
                  {"RAVIK_SIM_FAIL_PARAM", "TDC_enableChannels@1,UL_setParameter"},
                  {"RAVIK_SIM_BAD_CLOCK", "0"},
                  {"RAVIK_SIM_CALIBRATION_MS", "50"}});
  char serial[KORBALT_SERIAL_SIZE];
  EXPECT_EQ(TDC_getDeviceInfo(0, nullptr, nullptr, serial, nullptr), 0);
  EXPECT_EQ(TDC_getDeviceInfo(1, nullptr, nullptr, serial, nullptr), KORBALT_INFO_FAILED);
  EXPECT_EQ(TDC_connect(2), KORBALT_CONNECT_FAILED);
  ASSERT_EQ(TDC_connect(1), 0);
  EXPECT_EQ(TDC_enableChannels(1), KORBALT_NO_ACK);
  EXPECT_EQ(UL_setParameter(1, 48, 1, 0), KORBALT_NO_ACK);
  ASSERT_EQ(TDC_connect(0), 0);
  EXPECT_EQ(TDC_enableChannels(1), 0);
  int32_t input = 1, output = 1, running = 0;
  EXPECT_EQ(TDC_getClockState(&input, &output), 0);
  EXPECT_EQ(input + output, 0);
  ASSERT_EQ(TDC_startCalibration(), 0);
  EXPECT_EQ(TDC_getCalibrationState(&running), 0);
  EXPECT_NE(running, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (running != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(TDC_getCalibrationState(&running), 0);
  }
  EXPECT_EQ(running, 0) << "the calibration ends";
}

TEST(KorbaltApi, EveryCodeHasItsText) {
  const std::string unknown = TDC_perror(-12345);
  EXPECT_FALSE(unknown.empty());
  std::set<std::string> texts;
  for (int32_t code : {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13}) {
    ASSERT_NE(TDC_perror(code), nullptr);
    texts.insert(TDC_perror(code));
  }
  EXPECT_EQ(texts.size(), 13u);
  EXPECT_EQ(texts.count(unknown), 0u);
  EXPECT_NE(std::string(TDC_perror(11)).find("File"), std::string::npos);
  EXPECT_EQ(UL_setEventCallback(0xF01, nullptr), KORBALT_BAD_EVENT);
}

TEST(KorbaltApi, TwoHeadersBracketTheRecords) {
  SimChain chain;
  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(writeFileHeader(file, 0), KORBALT_NO_DEVICE);
  ASSERT_EQ(TDC_connect(2), 0);
  const long start = ftell(file);
  ASSERT_EQ(writeFileHeader(file, 0), 0);
  const char record[10] = {};
  for (int i = 0; i < 7; ++i) fwrite(record, sizeof record, 1, file);
  ASSERT_EQ(writeFileHeader(file, 0), 0);
  EXPECT_EQ(writeFileHeader(file, 1), KORBALT_BAD_ARGUMENT);
  EXPECT_EQ(ftell(file), start + 2 * korbalt::kFileHeaderSize + 70);
  uint8_t bytes[3 * korbalt::kFileHeaderSize + 70];
  rewind(file);
  ASSERT_EQ(fread(bytes, 1, sizeof bytes, file), sizeof bytes);
  fclose(file);
  korbalt::FileHeader none, first, last;
  ASSERT_TRUE(korbalt::decodeFileHeader(bytes, &none));
  ASSERT_TRUE(korbalt::decodeFileHeader(bytes + start, &first));
  ASSERT_TRUE(korbalt::decodeFileHeader(bytes + start + 64 + 70, &last));
  EXPECT_EQ(none.flags, 0u);
  EXPECT_EQ(none.serial[0], '\0');
  EXPECT_EQ(first.flags, 1u);
  EXPECT_EQ(first.chainPos, 0) << "index 2 is the master of the default chain";
  EXPECT_EQ(first.offset, start);
  EXPECT_EQ((last.offset - first.offset - first.headerSize) / first.recordSize, 7);
  char serial[KORBALT_SERIAL_SIZE];
  ASSERT_EQ(TDC_getDeviceInfo(2, nullptr, nullptr, serial, nullptr), 0);
  EXPECT_STREQ(last.serial, serial);
  // The layout the README gives to readers of the file.
  EXPECT_EQ(memcmp(bytes + start, "TIKORBIN", 8), 0);
  EXPECT_EQ(bytes[start + 12], 64);
  EXPECT_EQ(bytes[start + 16], 1);
  EXPECT_EQ(bytes[start + 20], 10);
  EXPECT_EQ(bytes[start + 64 + 70 + 24], 64 + 64 + 70);
}

TEST(KorbaltApi, LibraryWritesIntoTheProgramsLog) {
  char path[] = "/tmp/korbalt_logXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  traceInit(path, "RAVIK", TRACE_TRACE | TRACE_FLUSH);
  ASSERT_EQ(UL_initTrace(traceGetParamset()), 0);
  {
    SimChain chain;
    ASSERT_EQ(TDC_connect(1), 0);
  }
  traceSetFlags(0);
  traceSetFile("");
  FILE* log = fopen(path, "r");
  ASSERT_NE(log, nullptr);
  char text[4096] = {};
  fread(text, 1, sizeof text - 1, log);
  fclose(log);
  unlink(path);
  EXPECT_NE(strstr(text, "RAVIK ["), nullptr);
  EXPECT_NE(strstr(text, "Device 1 ("), nullptr);
}
