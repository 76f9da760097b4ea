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
  // Answers traceReply's question "How many 3" with `input` on stdin; `log` gets the log lines.
  static int reply(const char* input, int flags, std::vector<std::string>* log) {
    writeFile("stdin.txt", input);
    EXPECT_NE(freopen("stdin.txt", "r", stdin), nullptr);
    traceInit("log.txt", "T", flags);
    int answer = traceReply("How many %d", 3);
    *log = lines(closeLog());
    EXPECT_NE(freopen("/dev/null", "r", stdin), nullptr);
    return answer;
  }
};

TEST_F(TraceListTest, ListFiles) {
  TraceParams* p = traceGetParamset();
  traceInit("", "T", 0);
  EXPECT_TRUE(p->blackList);
  EXPECT_TRUE(p->traceList.empty());

  writeFile("traceblacklist.txt", "0x100 0x10f\n5 3 7 7\n010\n010 9 word 11 11\n");
  traceInit("", "T", 0);
  std::set<int> expected = range(0x100, 0x10f);  // 16 addresses
  expected.insert({7, 8});  // the pair 5 3 lists nothing and the reading goes on
  EXPECT_TRUE(p->blackList);
  EXPECT_EQ(p->traceList, expected);

  writeFile("tracewhitelist.txt", "0x20 0x21");  // the whitelist wins
  traceInit("", "T", 0);
  EXPECT_FALSE(p->blackList);
  EXPECT_EQ(p->traceList, range(0x20, 0x21));

  writeFile("tracewhitelist.txt", "");
  traceInit("", "T", 0);
  EXPECT_FALSE(p->blackList);
  EXPECT_TRUE(p->traceList.empty());
  EXPECT_FALSE(passes(TRACE_CATEGORIES, 0x20, TRACE_CATEGORIES));
}

TEST_F(TraceListTest, ListModesFilterTelegrams) {
  writeFile("traceblacklist.txt", "0x20 0x20");
  EXPECT_FALSE(passes(TRACE_CATEGORIES, 0x20, kCat));
  EXPECT_TRUE(passes(TRACE_CATEGORIES, 0x21, kCat));

  writeFile("tracewhitelist.txt", "0x20 0x20");
  EXPECT_TRUE(passes(TRACE_CATEGORIES, 0x20, kCat));
  EXPECT_FALSE(passes(TRACE_CATEGORIES, 0x21, kCat));
}

TEST_F(TraceListTest, HiddenAddressesAreNeverTraced) {
  writeFile("tracewhitelist.txt", "0x142 0x142 0x184 0x184 0x55 0x56");
  traceInit("", "T", 0);
  EXPECT_EQ(traceGetParamset()->hiddenAddr.count(0x142), 1u);
  EXPECT_EQ(traceGetParamset()->hiddenAddr.count(0x184), 1u);
  EXPECT_FALSE(passes(TRACE_CATEGORIES, 0x142, TRACE_CATEGORIES));
  EXPECT_FALSE(passes(TRACE_CATEGORIES, 0x184, TRACE_CATEGORIES));

  traceAddSecretAddr(0x55);  // kept by the next traceInit
  EXPECT_FALSE(passes(TRACE_CATEGORIES, 0x55, TRACE_CATEGORIES));
  EXPECT_TRUE(passes(TRACE_CATEGORIES, 0x56, TRACE_CATEGORIES));
}

TEST_F(TraceListTest, CategoriesAndSpecialTelegrams) {
  const int tell = 4, get = 1;
  EXPECT_TRUE(passes(TRACE_TRACE | 0x0010, 0x10, TRACE_TRACE));  // 0x0004 is a category too
  EXPECT_FALSE(passes(TRACE_TRACE | 0x0010, 0x10, kCat));        // no common category
  EXPECT_FALSE(passes(kCat, 0x10, kCat));                         // no trace lines at all

  // A TELL telegram needs 0x0100 unless the category is every category.
  EXPECT_TRUE(passes(kBase | TRACE_TELL, 0x10, kCat, tell));
  EXPECT_FALSE(passes(kBase, 0x10, kCat, tell));
  EXPECT_FALSE(passes(kCat | TRACE_TELL, 0x10, kCat, tell));
  EXPECT_TRUE(passes(kBase, 0x10, TRACE_CATEGORIES, tell));
  EXPECT_TRUE(passes(kBase, 0x10, kCat, get));

  // Range telegrams, 0xF00..0xF62, need 0x0080 unless the category is every category.
  for (int addr : {0xF00, 0xF10, 0xF62}) {
    EXPECT_FALSE(passes(kBase, addr, kCat)) << addr;
    EXPECT_TRUE(passes(kBase | TRACE_RANGE, addr, kCat)) << addr;
    EXPECT_TRUE(passes(kBase, addr, TRACE_CATEGORIES)) << addr;
  }
  EXPECT_TRUE(passes(kBase, 0xF63, kCat));
  EXPECT_TRUE(passes(kBase, 0xEFF, kCat));
  // A TELL to a range address is a range telegram, not a TELL telegram.
  EXPECT_TRUE(passes(kBase | TRACE_RANGE, 0xF10, kCat, tell));
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
  tel.Len = 16;
  EXPECT_EQ(traced(kBase, tel, kCat), "pfx: DO   Len=16 Addr=123 Ind=0 CNo=0-0");

  // A long dump stops at 128 words.
  tel = telegram(5, 0x10, 16 + 4 * 200);
  for (int i = 0; i < 128; ++i) tel.data[i] = i;
  std::string dump = traced(kBase | TRACE_LONG_DUMP, tel, kCat);
  EXPECT_EQ(std::count(dump.begin(), dump.end(), ' '), 5 + 128);
  EXPECT_NE(dump.find(" 7e 7f"), std::string::npos);
  EXPECT_EQ(dump.substr(dump.size() - 3), " 7f");
}

TEST_F(TraceListTest, CommandNames) {
  const char* names[] = {"GET ", "TELL", "STAT", "CHRQ", "ACK ", "!!!9!!!", "!!!1a!!!"};
  int codes[] = {1, 4, 5, 6, 3, 9, 0x1a};
  for (int i = 0; i < 7; ++i) {
    std::string line = traced(TRACE_CATEGORIES, telegram(codes[i], 0x10), TRACE_CATEGORIES);
    EXPECT_EQ(line, std::string("pfx: ") + names[i] + " Len=16 Addr=10 Ind=0 CNo=0-0");
  }
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

TEST_F(TraceListTest, Questions) {
  traceInit("log.txt", "T", TRACE_TRACE);
  traceQuestion("Ready %s", "now");
  traceSetFlags(0);
  traceQuestion("unseen");
  EXPECT_EQ(closeLog(), "T QUEST!: Ready now.\n");
}

TEST_F(TraceListTest, ReplyReadsANumberAndEndsOnBadInput) {
  std::vector<std::string> log;
  std::regex answer("T \\[[0-9]+\\.[0-9]{3}\\]: Answer = (-?[0-9]+)\\.");
  std::smatch m;

  EXPECT_EQ(reply("  42\n", TRACE_TRACE, &log), 42);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "T QUEST?: How many 3.");
  ASSERT_TRUE(std::regex_match(log[1], m, answer)) << log[1];
  EXPECT_EQ(m[1], "42");

  EXPECT_EQ(reply("abc\nxyz 1\n-7", TRACE_TRACE, &log), -7);  // asked again after each text
  EXPECT_EQ(std::count(log.begin(), log.end(), "T QUEST?: How many 3."), 3);

  EXPECT_EQ(reply("", TRACE_TRACE, &log), 0);  // closed input: answer 0 at once
  ASSERT_EQ(log.size(), 2u);
  ASSERT_TRUE(std::regex_match(log[1], m, answer));
  EXPECT_EQ(m[1], "0");

  EXPECT_EQ(reply("abc\n", TRACE_TRACE, &log), 0);  // text, asked again, then the end
  EXPECT_EQ(log.size(), 3u);

  std::string text;
  for (int i = 0; i < 20; ++i) text += "no\n";
  EXPECT_EQ(reply(text.c_str(), TRACE_TRACE, &log), 0);  // gives up after 5 questions
  EXPECT_EQ(log.size(), 6u);

  EXPECT_EQ(reply("5\n", 0, &log), 5);  // read without showing the question
  EXPECT_TRUE(log.empty());
}

}  // namespace
