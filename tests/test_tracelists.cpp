// Trace lists, telegram lines and the question functions.
#include <stdio.h>

#include <algorithm>
#include <regex>
#include <set>

#include "tests/trace_testdir.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const int kCat = 0x0008;  // one telegram category
const int kBase = TRACE_TRACE | kCat;
const int kAll = TRACE_CATEGORIES;

UcTelegram telegram(int opCode, int addr, int len = 16) {
  UcTelegram tel = {};
  tel.Len = len;
  tel.opCode = opCode;
  tel.Addr = addr;
  return tel;
}

class TraceListTest : public TraceDirTest {
protected:
  // The message of the trace line that traceTelegram writes after traceInit with `flags`, or ""
  // when it writes none.
  static std::string traced(int flags, const UcTelegram& tel, int category) {
    traceInit("log.txt", "T", flags);
    traceTelegram("pfx", &tel, category);
    std::string log = closeLog();
    std::smatch m;
    if (!std::regex_match(log, m, std::regex("T \\[[0-9]+\\.[0-9]{3}\\]: (.*)\\.\n"))) {
      EXPECT_EQ(log, "");
      return "";
    }
    return m[1];
  }
  static bool passes(int flags, int addr, int category, int opCode = 0) {
    return !traced(flags, telegram(opCode, addr), category).empty();
  }
  static std::set<int> range(int from, int to) {
    std::set<int> s;
    for (int a = from; a <= to; ++a) s.insert(a);
    return s;
  }
};

TEST_F(TraceListTest, ListFilesAndModes) {
  TraceParams* p = traceGetParamset();
  traceInit("", "T", 0);
  EXPECT_TRUE(p->blackList);
  EXPECT_TRUE(p->traceList.empty());

  writeFile("traceblacklist.txt", "0x100 0x10f\n5 3 7 7\n010\n010 9 word 11 11\n");
  traceInit("", "T", 0);
  std::set<int> expected = range(0x100, 0x10f);
  expected.insert({7, 8});  // the pair 5 3 lists nothing and the reading goes on
  EXPECT_TRUE(p->blackList);
  EXPECT_EQ(p->traceList, expected);
  EXPECT_FALSE(passes(kAll, 0x100, kCat));
  EXPECT_TRUE(passes(kAll, 0x110, kCat));

  writeFile("tracewhitelist.txt", "0x20 0x21");  // the whitelist wins
  traceInit("", "T", 0);
  EXPECT_FALSE(p->blackList);
  EXPECT_EQ(p->traceList, range(0x20, 0x21));
  EXPECT_TRUE(passes(kAll, 0x20, kCat));
  EXPECT_FALSE(passes(kAll, 0x22, kCat));

  writeFile("tracewhitelist.txt", "");
  EXPECT_FALSE(passes(kAll, 0x20, kAll));
}

TEST_F(TraceListTest, HiddenAddressesAreNeverTraced) {
  writeFile("tracewhitelist.txt", "0x142 0x142 0x184 0x184 0x55 0x56");
  EXPECT_FALSE(passes(kAll, 0x142, kAll));
  EXPECT_FALSE(passes(kAll, 0x184, kAll));
  traceAddSecretAddr(0x55);  // kept by the next traceInit
  EXPECT_FALSE(passes(kAll, 0x55, kAll));
  EXPECT_TRUE(passes(kAll, 0x56, kAll));
}

TEST_F(TraceListTest, CategoriesAndSpecialTelegrams) {
  const int tell = 4, get = 1;
  // A TELL telegram needs TRACE_TELL and one to 0xF00..0xF62 needs TRACE_RANGE, unless the
  // category is every category; a TELL to a range address is a range telegram.
  const struct { int flags, addr, category, opCode; bool shown; } cases[] = {
      {TRACE_TRACE | 0x10, 0x10, TRACE_TRACE, 0, true},  // 0x0004 is a category too
      {TRACE_TRACE | 0x10, 0x10, kCat, 0, false},        // no common category
      {kCat, 0x10, kCat, 0, false},                      // no trace lines at all
      {kBase | TRACE_TELL, 0x10, kCat, tell, true},   {kBase, 0x10, kCat, tell, false},
      {kCat | TRACE_TELL, 0x10, kCat, tell, false},   {kBase, 0x10, kAll, tell, true},
      {kBase, 0x10, kCat, get, true},                 {kBase, 0xF00, kCat, 0, false},
      {kBase, 0xF62, kCat, 0, false},                 {kBase | TRACE_RANGE, 0xF00, kCat, 0, true},
      {kBase | TRACE_RANGE, 0xF62, kCat, 0, true},    {kBase, 0xF10, kAll, 0, true},
      {kBase, 0xF63, kCat, 0, true},                  {kBase, 0xEFF, kCat, 0, true},
      {kBase | TRACE_RANGE, 0xF10, kCat, tell, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(passes(c.flags, c.addr, c.category, c.opCode), c.shown)
        << std::hex << c.flags << " " << c.addr << " " << c.category << " " << c.opCode;
}

TEST_F(TraceListTest, TelegramLines) {
  UcTelegram tel = telegram(0, 0x5, 36);
  tel.Ind = 2;
  tel.CNo = int32_t(0xFFFEFFFFu);  // high half -2, low half 65535
  int words[] = {0xa1, 0xb2, 0xc3, 0xd4, -1};
  std::copy(words, words + 5, tel.data);
  EXPECT_EQ(traced(kBase, tel, kCat), "pfx: SET  Len=36 Addr=05 Ind=2 CNo=-2-65535 a1 b2 c3 d4");
  EXPECT_EQ(traced(kBase | TRACE_LONG_DUMP, tel, kCat),
            "pfx: SET  Len=36 Addr=05 Ind=2 CNo=-2-65535 a1 b2 c3 d4 ffffffff");

  tel = telegram(2, 0x123, 20);
  tel.data[0] = 7;
  EXPECT_EQ(traced(kBase, tel, kCat), "pfx: DO   Len=20 Addr=123 Ind=0 CNo=0-0 7");
  tel.Len = 19;
  EXPECT_EQ(traced(kBase, tel, kCat), "pfx: DO   Len=19 Addr=123 Ind=0 CNo=0-0");

  tel = telegram(5, 0x10, 16 + 4 * 200);  // a long dump stops at 128 words
  for (int i = 0; i < 128; ++i) tel.data[i] = i;
  std::string dump = traced(kBase | TRACE_LONG_DUMP, tel, kCat);
  EXPECT_EQ(std::count(dump.begin(), dump.end(), ' '), 5 + 128);
  EXPECT_EQ(dump.substr(dump.size() - 6), " 7e 7f");

  const std::pair<int, const char*> names[] = {{1, "GET "}, {4, "TELL"}, {5, "STAT"}, {6, "CHRQ"},
                                               {3, "ACK "}, {9, "!!!9!!!"}, {0x1a, "!!!1a!!!"}};
  for (const auto& [code, name] : names)
    EXPECT_EQ(traced(kAll, telegram(code, 0x10), kAll),
              std::string("pfx: ") + name + " Len=16 Addr=10 Ind=0 CNo=0-0");
}

TEST_F(TraceListTest, TelegramErrors) {
  traceInit("log.txt", "T", 0);  // neither flags nor hidden addresses filter error lines
  UcTelegram ack = telegram(3, 0x142, 20);
  ack.Ind = 1;
  ack.CNo = (2 << 16) | 3;
  ack.data[0] = -5;
  UcTelegram set = telegram(0, 0x10, 36);
  set.data[0] = 1;
  std::string longPrefix(2000, 'p');
  CaptureStdout();
  EXPECT_TRUE(traceTelError(false, "pfx", &ack));
  EXPECT_TRUE(traceTelError(false, "pfx", &set));
  EXPECT_FALSE(traceTelError(true, "pfx", &set));
  EXPECT_TRUE(traceTelError(false, longPrefix.c_str(), &ack));
  traceSetFlags(TRACE_NO_ERRORS);
  EXPECT_FALSE(traceTelError(false, "pfx", &ack));
  GetCapturedStdout();

  auto log = lines(closeLog());
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "T ERROR: pfx: ACK  Len=20 Addr=142 Ind=1 CNo=2-3 Rc=-5.");
  EXPECT_EQ(log[1], "T ERROR: pfx: SET  Len=36 Addr=10 Ind=0 CNo=0-0.");
  EXPECT_EQ(log[2], "T ERROR: " + std::string(1023, 'p') + ".");
}

TEST_F(TraceListTest, QuestionsAndReplies) {
  traceInit("log.txt", "T", TRACE_TRACE);
  traceQuestion("Ready %s", "now");
  traceSetFlags(0);
  traceQuestion("unseen");
  EXPECT_EQ(closeLog(), "T QUEST!: Ready now.\n");

  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += "no\n";
  // After text that is not a number the rest of the line is skipped and the question asked
  // again, at most 5 times; ended input answers 0 at once.
  const struct { std::string input; int flags, answer, questions; } cases[] = {
      {"  42\n", TRACE_TRACE, 42, 1}, {"abc\nxyz 1\n-7", TRACE_TRACE, -7, 3},
      {"", TRACE_TRACE, 0, 1},        {"abc\n", TRACE_TRACE, 0, 2},
      {twenty, TRACE_TRACE, 0, 5},    {"5\n", 0, 5, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("input \"" + c.input + "\"");
    writeFile("stdin.txt", c.input);
    ASSERT_NE(freopen("stdin.txt", "r", stdin), nullptr);
    traceInit("log.txt", "T", c.flags);
    EXPECT_EQ(traceReply("How many %d", 3), c.answer);
    auto log = lines(closeLog());
    ASSERT_NE(freopen("/dev/null", "r", stdin), nullptr);
    if (!c.flags) {
      EXPECT_TRUE(log.empty());
      continue;
    }
    ASSERT_EQ(log.size(), size_t(c.questions + 1));
    for (int q = 0; q < c.questions; ++q) EXPECT_EQ(log[q], "T QUEST?: How many 3.");
    EXPECT_TRUE(std::regex_match(log.back(), std::regex("T \\[[0-9]+\\.[0-9]{3}\\]: Answer = " +
                                                        std::to_string(c.answer) + "\\.")))
        << log.back();
  }
}

}  // namespace
