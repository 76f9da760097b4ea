// The simulated streams as words: what the packer writes must decode, with the codec, to exactly
// the items it was given, whatever the packet types and block boundaries. (The generator's
// streams are checked whole, as the program receives them, in test_korbalt_stream.)
#include <algorithm>
#include <vector>

#include "korbalt/packer.h"
#include "korbalt/random.h"
#include "korbalt_decode.h"

using namespace korbalt;

TEST(KorbaltPacker, EveryDifferenceWidthDecodesExactlyAcrossBlockSplits) {
  Random random(7);
  const int64_t gaps[] = {0, 1, 65535, 65536, (1 << 26) - 1, 1 << 26, 999999999, 123456789012LL};
  std::vector<SimEvent> items;
  for (int64_t t = 5000000; items.size() < 3000;) {
    const uint64_t r = random.next();
    t += (r & 3) == 0 ? gaps[(r >> 2) % 8] : int64_t((r >> 8) % 70000);
    items.push_back({t, uint8_t((r >> 40) % 8)});
  }
  Words words(2 + 2 * items.size());
  packAbsolute(5000000, words.data());
  int64_t last = 5000000;
  const Packed p = packEvents(items.data(), int32_t(items.size()), true, &last, &words[2],
                              int32_t(words.size() - 2));
  ASSERT_EQ(p.items, int32_t(items.size()));
  EXPECT_EQ(p.advances, std::count_if(items.begin(), items.end(),
                                      [](const SimEvent& e) { return e.channel == kAdvanceChannel; }));
  EXPECT_EQ(last, items.back().time);
  words.resize(2 + size_t(p.words));
  int types[4] = {};
  for (size_t i = 2; i < words.size(); i += 2)
    ++types[((words[i + 1] >> 29) & 2) | ((words[i] >> 30) & 1)];
  for (int type = 1; type <= 3; ++type) EXPECT_GT(types[type], 0) << "type " << type;
  EXPECT_TRUE(sameTimestamps(decodeWords(words, {100}, kEveryMarker),
                             expectedTimestamps(items, kEveryMarker)));
  EXPECT_TRUE(sameTimestamps(decodeWords(words, {7, 2, 13}, 0x021),
                             expectedTimestamps(items, 0x021)));
}
