// The device library's interface as the program uses it: discovery, addressing, refused values,
// features, error texts and the binary file header. Injected faults, clocks and calibration show
// in the window and device tests.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <set>
#include <string>

#include "korbalt/fileheader.h"
#include "korbalt_env.h"

TEST(KorbaltApi, DiscoveryNeedsSimulationAndChecksItsArguments) {
  SimChain chain;
  ASSERT_EQ(chain.count(), 3u);
  baseAllowFindSimDevice(false);
  uint32_t count = 99;
  EXPECT_EQ(TDC_discover(&count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(TDC_getDeviceInfo(0, nullptr, nullptr, nullptr, nullptr), KORBALT_BAD_INDEX);
  EXPECT_EQ(TDC_discover(nullptr), KORBALT_BAD_ARGUMENT);
}

TEST(KorbaltApi, CallsActOnTheAddressedConnectedDeviceAndRefuseWhatItCannotHold) {
  // Scenario device 2 is found second by default, as library index 1.
  SimChain chain(SimChain::Vars{{"RAVIK_SIM_FEATURES", "0x7C,0x7C,0x04"}});
  int32_t mask = 0, type = 0;
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
  for (int32_t rc : {TDC_setFiveChannelMode(true), TDC_enableMarkers(0x10),
                     TDC_configureFilter(2, 1, 4)})
    EXPECT_EQ(rc, KORBALT_NOT_SUPPORTED);
  EXPECT_EQ(TDC_enableMarkers(0), 0);

  ASSERT_EQ(TDC_addressDevice(0), 0);
  for (int32_t rc : {TDC_configureSignalConditioning(5, 1, 0, 0),
                     TDC_configureSignalConditioning(0, 4, 0, 0), TDC_configureFilter(0, 1, 2),
                     TDC_enableMarkers(0x200), TDC_enableChannels(0x40),
                     TDC_getChannelsEnabled(nullptr)})
    EXPECT_EQ(rc, KORBALT_BAD_ARGUMENT);
  ASSERT_EQ(TDC_getChannelsEnabled(&mask), 0);
  EXPECT_EQ(mask, 0x21) << "a refused value keeps what the device had";
  EXPECT_EQ(UL_inquireParameter(0, 48, 1, &type), KORBALT_UNKNOWN_PARAMETER);
  EXPECT_EQ(UL_setParameter(0, 48, 1, 0), 0);
  EXPECT_EQ(UL_inquireParameter(0, 48, 1, &type), 0);
  EXPECT_EQ(TDC_disconnect(0), 0);
  EXPECT_EQ(TDC_getChannelsEnabled(&mask), KORBALT_NOT_CONNECTED);
  EXPECT_EQ(TDC_disconnect(0), KORBALT_NOT_CONNECTED);
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
  const char record[70] = {};
  fwrite(record, sizeof record, 1, file);
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
  EXPECT_TRUE(none.flags == 0 && none.serial[0] == '\0');
  EXPECT_EQ(first.flags, 1u);
  EXPECT_EQ(first.chainPos, 0) << "index 2 is the master of the default chain";
  char serial[KORBALT_SERIAL_SIZE];
  ASSERT_EQ(TDC_getDeviceInfo(2, nullptr, nullptr, serial, nullptr), 0);
  EXPECT_STREQ(last.serial, serial);
  // The layout the README gives to readers of the file.
  EXPECT_EQ(memcmp(bytes + start, "TIKORBIN", 8), 0);
  for (const auto& [at, value] : {std::pair<long, long>{start + 12, 64}, {start + 16, 1}, {start + 20, 10},
                                  {start + 24, start}, {start + 64 + 70 + 24, 64 + 64 + 70}})
    EXPECT_EQ(bytes[at], value) << "byte " << at;
}
