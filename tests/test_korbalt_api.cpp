// The device library's interface as the program uses it: discovery, addressing, refused values,
// features, error texts and the binary file header. Injected faults, clocks and calibration show
// in the window and device tests.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "chain/devicecore.h"
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
  korbalt::FileHeader none;
  ASSERT_TRUE(korbalt::decodeFileHeader(bytes, &none));
  EXPECT_TRUE(none.flags == 0 && none.serial[0] == '\0');
  // The layout the README gives to readers of the file; the device's fields in it: the next test.
  EXPECT_EQ(memcmp(bytes + start, "TIKORBIN", 8), 0);
  for (const auto& [at, value] : {std::pair<long, long>{start + 12, 64}, {start + 16, 1}, {start + 20, 10},
                                  {start + 24, start}, {start + 64 + 70 + 24, 64 + 64 + 70}})
    EXPECT_EQ(bytes[at], value) << "byte " << at;
}

// The chain's header writer gives the master's header before and after the records, with the
// count of the bytes before each, and addresses no device on the merge's thread: another thread
// that addresses the other devices meanwhile, as the window's refreshes do, changes nothing.
TEST(KorbaltApi, TheChainHeaderIsTheMastersWhileAnotherThreadAddressesDevices) {
  SimChain chain;
  ASSERT_TRUE(chain.connectAll());
  const uint32_t master = 2;  // of the default chain
  char serial[KORBALT_SERIAL_SIZE] = {};
  ASSERT_EQ(TDC_getDeviceInfo(master, nullptr, nullptr, serial, nullptr), 0);
  const auto header = chainDeviceHeader(master);
  std::atomic<bool> done{false};
  std::atomic<int64_t> addressed{0};
  std::thread addresser([&] {
    while (!done)
      for (uint32_t i : {0u, 1u}) addressed += TDC_addressDevice(i) == 0;
  });
  while (addressed < 1000) std::this_thread::yield();
  int32_t wrong = 0;
  const char record[10] = {};
  for (int32_t round = 0; round < 20000; ++round) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&bytes, &size);
    ASSERT_NE(file, nullptr);
    header(file, true);
    for (int32_t r = 0; r < round % 7; ++r) fwrite(record, sizeof record, 1, file);
    header(file, false);
    ASSERT_EQ(fclose(file), 0);
    const int64_t trailerAt = 64 + 10 * (round % 7);
    korbalt::FileHeader first{}, last{};
    const bool read = size == size_t(trailerAt + 64) &&
                      korbalt::decodeFileHeader(reinterpret_cast<uint8_t*>(bytes), &first) &&
                      korbalt::decodeFileHeader(reinterpret_cast<uint8_t*>(bytes) + trailerAt, &last);
    free(bytes);
    ASSERT_TRUE(read) << "round " << round;
    for (const korbalt::FileHeader& h : {first, last})
      wrong += strcmp(h.serial, serial) != 0 || h.chainPos != 0 || h.flags != korbalt::kHeaderDeviceFlag;
    EXPECT_EQ(std::make_pair(first.offset, last.offset), std::make_pair(int64_t(0), trailerAt));
  }
  done = true;
  addresser.join();
  EXPECT_EQ(wrong, 0) << "headers of another device among 40000";
  // The writer itself leaves the addressed device alone.
  int32_t position = -1;
  ASSERT_EQ(TDC_addressDevice(0), 0);
  FILE* scratch = tmpfile();
  ASSERT_NE(scratch, nullptr);
  header(scratch, true);
  fclose(scratch);
  ASSERT_EQ(TDC_getChainPosition(&position, nullptr), 0);
  EXPECT_NE(position, 0) << "the header writer addressed the master";
}
