// Trace lists, telegram lines and the question functions.
#include <stdio.h>

#include <algorithm>
#include <set>

#include "tests/trace_testdir.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const int kCat = 0x0008;  // one telegram category
const int kBase = TRACE_TRACE | kCat;
const int kAll = TRACE_CATEGORIES;

class TraceListTest : public TraceDirTest {
protected:
  // The trace line that traceTelegram writes after traceInit with `flags`, after "pfx: ", or ""
  // when it writes none.
  static std::string traced(int flags, const UcTelegram& tel, int category) {
    traceInit("log.txt", "T", flags);
    traceTelegram("pfx", &tel, category);
    const std::string log = closeLog();
    std::smatch m;
    if (std::regex_match(log, m, std::regex("T \\[T\\]: pfx: (.*)\\.\n"))) return m[1];
    EXPECT_EQ(log, "");
    return "";
  }
  static bool passes(int flags, int addr, int category, int opCode = 0) {
    return !traced(flags, UcTelegram{16, opCode, addr, 0, 0, {}}, category).empty();
  }
};

TEST_F(TraceListTest, ListFilesModesAndHiddenAddresses) {
  const TraceParams* p = traceGetParamset();
  EXPECT_TRUE(passes(kAll, 0x100, kCat));  // without a list file everything passes

  writeFile("traceblacklist.txt", "0x100 0x10f\n5 3 7 7\n010\n010 9 word 11 11\n");
  traceInit("", "T", 0);
  std::set<int> expected = {7, 8};  // the pair 5 3 lists nothing and the reading goes on
  for (int a = 0x100; a <= 0x10f; ++a) expected.insert(a);
  EXPECT_EQ(p->traceList, expected);
  EXPECT_FALSE(passes(kAll, 0x100, kCat));
  EXPECT_TRUE(passes(kAll, 0x110, kCat));

  // The whitelist wins; the hidden addresses are never traced, listed or not.
  writeFile("tracewhitelist.txt", "0x20 0x21 0x142 0x142 0x184 0x184 0x55 0x55");
  traceInit("", "T", 0);
  EXPECT_EQ(p->traceList, (std::set<int>{0x20, 0x21, 0x55, 0x142, 0x184}));
  EXPECT_TRUE(passes(kAll, 0x20, kCat));
  EXPECT_FALSE(passes(kAll, 0x22, kCat));
  EXPECT_FALSE(passes(kAll, 0x142, kAll));
  EXPECT_FALSE(passes(kAll, 0x184, kAll));
  EXPECT_TRUE(passes(kAll, 0x55, kAll));
  traceAddSecretAddr(0x55);  // kept by the next traceInit
  EXPECT_FALSE(passes(kAll, 0x55, kAll));

  writeFile("tracewhitelist.txt", "");
  EXPECT_FALSE(passes(kAll, 0x20, kAll));
}

TEST_F(TraceListTest, CategoriesAndSpecialTelegrams) {
  const int tell = 4, get = 1, range = kBase | TRACE_RANGE;
  // A TELL telegram needs TRACE_TELL and one to 0xF00..0xF62 needs TRACE_RANGE, unless the
  // category is every category; a TELL to a range address is a range telegram.
  const struct { int flags, addr, category, opCode; bool shown; } cases[] = {
      {TRACE_TRACE | 0x10, 0x10, TRACE_TRACE, 0, true},  // 0x0004 is a category too
      {TRACE_TRACE | 0x10, 0x10, kCat, 0, false},        // no common category
      {kCat | TRACE_TELL, 0x10, kCat, tell, false},      // no trace lines at all
      {kBase | TRACE_TELL, 0x10, kCat, tell, true}, {kBase, 0x10, kCat, tell, false},
      {kBase, 0x10, kAll, tell, true}, {kBase, 0x10, kCat, get, true},
      {kBase, 0xF00, kCat, 0, false}, {kBase, 0xF62, kCat, 0, false}, {kBase, 0xF10, kAll, 0, true},
      {range, 0xF00, kCat, 0, true}, {range, 0xF62, kCat, 0, true}, {kBase, 0xEFF, kCat, 0, true},
      {range, 0xF10, kCat, tell, true}, {kBase, 0xF63, kCat, 0, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(passes(c.flags, c.addr, c.category, c.opCode), c.shown)
        << std::hex << c.flags << " " << c.addr << " " << c.category << " " << c.opCode;
}

TEST_F(TraceListTest, TelegramLinesAndErrors) {
  // CNo holds two numbers: the high half signed (-2 here), the low half unsigned (65535).
  const UcTelegram set{36, 0, 0x5, 2, int32_t(0xFFFEFFFFu), {0xa1, 0xb2, 0xc3, 0xd4, -1}};
  EXPECT_EQ(traced(kBase, set, kCat), "SET  Len=36 Addr=05 Ind=2 CNo=-2-65535 a1 b2 c3 d4");
  EXPECT_EQ(traced(kBase | TRACE_LONG_DUMP, set, kCat),
            "SET  Len=36 Addr=05 Ind=2 CNo=-2-65535 a1 b2 c3 d4 ffffffff");
  EXPECT_EQ(traced(kBase, {20, 2, 0x123, 0, 0, {7}}, kCat), "DO   Len=20 Addr=123 Ind=0 CNo=0-0 7");
  EXPECT_EQ(traced(kBase, {19, 2, 0x123, 0, 0, {7}}, kCat), "DO   Len=19 Addr=123 Ind=0 CNo=0-0");
  UcTelegram big{16 + 4 * 200, 5, 0x10, 0, 0, {}};  // a long dump stops at 128 words
  for (int i = 0; i < 128; ++i) big.data[i] = i;
  const std::string dump = traced(kBase | TRACE_LONG_DUMP, big, kCat);
  EXPECT_EQ(std::count(dump.begin(), dump.end(), ' '), 4 + 128);
  EXPECT_EQ(dump.substr(dump.size() - 6), " 7e 7f");
  const std::pair<int, const char*> names[] = {{1, "GET "}, {4, "TELL"}, {5, "STAT"}, {6, "CHRQ"},
                                               {3, "ACK "}, {9, "!!!9!!!"}, {0x1a, "!!!1a!!!"}};
  for (const auto& [code, name] : names)
    EXPECT_EQ(traced(kAll, {16, code, 0x10, 0, 0, {}}, kAll),
              std::string(name) + " Len=16 Addr=10 Ind=0 CNo=0-0");

  // Error lines show no data words but an ACK's result code; neither the flags nor the hidden
  // addresses filter them.
  const UcTelegram ack{20, 3, 0x142, 1, (2 << 16) | 3, {-5}};
  traceInit("log.txt", "T", 0);
  CaptureStdout();
  EXPECT_TRUE(traceTelError(false, "pfx", &ack));
  EXPECT_TRUE(traceTelError(false, "pfx", &set));
  EXPECT_FALSE(traceTelError(true, "pfx", &set));
  EXPECT_TRUE(traceTelError(false, std::string(2000, 'p').c_str(), &ack));  // cut to 1023
  traceSetFlags(TRACE_NO_ERRORS);
  EXPECT_FALSE(traceTelError(false, "pfx", &ack));
  GetCapturedStdout();
  EXPECT_EQ(closeLog(), "T ERROR: pfx: ACK  Len=20 Addr=142 Ind=1 CNo=2-3 Rc=-5.\n"
                        "T ERROR: pfx: SET  Len=36 Addr=05 Ind=2 CNo=-2-65535.\n"
                        "T ERROR: " + std::string(1023, 'p') + ".\n");
}

TEST_F(TraceListTest, Replies) {
  // After text that is not a number the rest of the line is skipped and the question asked
  // again, at most 5 times; ended input answers 0 at once.
  const struct { std::string input; int flags, answer, questions; } cases[] = {
      {"  42\n", TRACE_TRACE, 42, 1}, {"abc\nxyz 1\n-7", TRACE_TRACE, -7, 3},
      {"", TRACE_TRACE, 0, 1},        {"abc\n", TRACE_TRACE, 0, 2},
      {"no\nno\nno\nno\nno\nno\n", TRACE_TRACE, 0, 5},    {"5\n", 0, 5, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("input \"" + c.input + "\"");
    writeFile("stdin.txt", c.input);
    ASSERT_NE(freopen("stdin.txt", "r", stdin), nullptr);
    traceInit("log.txt", "T", c.flags);
    EXPECT_EQ(traceReply("How many %d", 3), c.answer);
    std::string expected;
    for (int q = 0; q < c.questions; ++q) expected += "T QUEST?: How many 3.\n";
    if (c.flags) expected += "T [T]: Answer = " + std::to_string(c.answer) + ".\n";
    EXPECT_EQ(closeLog(), expected);
    ASSERT_NE(freopen("/dev/null", "r", stdin), nullptr);
  }
}

}  // namespace
