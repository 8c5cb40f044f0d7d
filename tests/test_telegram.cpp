// The telegram frame, the command transaction sendc and the driver's use of
// it: the identity query and command arguments.
#include <gtest/gtest.h>

#include <string>

#include "quarn.h"
#include "seam.h"

namespace {

typedef std::vector<std::string> texts;
const std::string HEAD = "68 04 04 68 7F 7F 47 F5 3A 16";  // an empty text

seam::result sendc_of(const std::string &s) {
  return seam::call([&] { sendc(s.c_str()); });
}

// 68 L L 68, four bytes, the text, a checksum byte, 16: L as given.
bytes answer_frame(int l, const std::string &text, uint8_t sum = 0x5A) {
  bytes b = {0x68, (uint8_t)l, (uint8_t)l, 0x68, 0xF5, 0x47, 0x7F, 0x7F};
  for (char c : text) b.push_back((uint8_t)c);
  b.push_back(sum);
  b.push_back(0x16);
  return b;
}

struct Sendc : ::testing::Test {
  void SetUp() override { seam::reset(); }
};

}  // namespace

TEST_F(Sendc, TelegramsByteExact) {
  sendc_of("I000000\n");
  sendc_of("");
  EXPECT_STREQ(o, "*");  // the board's answer to an empty text
  // '~': sent once without the '~', the answer neither judged nor kept; a
  // lost one is not asked for again.
  EXPECT_EQ(sendc_of("~").out, "");
  EXPECT_STREQ(o, "");
  seam::drop_next(1);
  EXPECT_EQ(sendc_of("~X").out, "");
  ASSERT_EQ(seam::wire.size(), 4u);
  EXPECT_EQ(seam::hex(seam::wire[0]), seam::IDQ);
  EXPECT_EQ(seam::hex(seam::wire[1]), HEAD);
  EXPECT_EQ(seam::hex(seam::wire[2]), HEAD);
  EXPECT_EQ(seam::hex(seam::wire[3]), "68 05 05 68 7F 7F 47 F5 58 92 16");

  // The longest text fills the 256 bytes, with a '~' too (it is not sent);
  // one more is refused before sending.
  for (std::string pre : {"", "~"}) {
    seam::wire.clear();
    sendc_of(pre + std::string(246, 'x'));
    ASSERT_EQ(seam::wire.size(), 1u);
    EXPECT_EQ(seam::wire[0].size(), 256u);
    EXPECT_EQ(seam::text_of(seam::wire[0]), std::string(246, 'x'));
    seam::wire.clear();
    EXPECT_EQ(sendc_of(pre + std::string(247, 'x')).out,
              "Error: Command too long (247 characters, at most 246).\nExit code 8\n");
    EXPECT_TRUE(seam::wire.empty());
  }
}

// An answer counts when its end byte stands at 5 + L, whatever else is
// wrong; its text runs from index 8 up to the checksum, or to a zero byte.
TEST_F(Sendc, AnswerAcceptanceAndText) {
  bytes f = answer_frame(6, "OK", 0x00);  // wrong checksum
  bytes start = f, len = f;
  start[0] = start[3] = 0x00;
  len[2] = 0x30;
  // L = 250: 246 characters; the checksum byte (here a letter) is never text.
  // No text: L = 4, and L below 4 (bytes behind the end byte are taken).
  const std::pair<bytes, std::string> cases[] = {
      {f, "OK"}, {start, "OK"}, {len, "OK"},
      {answer_frame(250, std::string(246, 'A'), 'Z'), std::string(246, 'A')},
      {answer_frame(7, "OK\n", 'Z'), "OK\n"}, {answer_frame(9, std::string("AB\0CD", 5)), "AB"},
      {answer_frame(4, ""), ""}, {seam::unhex("68 00 00 68 00 16"), ""},
      {seam::unhex("68 02 02 68 F5 47 3C 16"), ""}, {seam::unhex("68 02 02 68 F5 47 3C 16 58 59"), "XY"}};
  for (auto &c : cases) {
    seam::wire.clear();
    seam::fates.push_back(seam::raw(c.first));
    EXPECT_EQ(sendc_of("X\n").out, "") << seam::hex(c.first);
    EXPECT_EQ(std::string(o), c.second) << seam::hex(c.first);
    EXPECT_EQ(seam::wire.size(), 1u);  // accepted at the first attempt
  }
}

TEST_F(Sendc, IdentityQueryAndCommandArguments) {
  const std::string UART = "Serial UART port:3f8 irq:4 baud:38400 mode:0 \nUART init O.K.\n";
  const std::string ID = UART + "Target ID:\n", I = "I000000\n", R0 = "R000000,01\n";
  const std::string NONE = ID + ".........Error: No response.\nExit code 5\n";
  // A length above 250 puts the end byte past the buffer: never accepted.
  bytes l251(256, 0x16);  // an end byte wherever one might be looked for
  l251[0] = l251[3] = 0x68;
  l251[1] = l251[2] = 251;
  const std::string DONE = "\nLoading completed with no errors.\nExit code 0\n", R1 = "R000001,01\n";
  struct {
    texts a;
    std::vector<seam::fate> fates;
    std::string tail;  // console text, "Exit code" included
    texts sent;
  } cases[] = {
      {{}, {}, ID + "ORBA-01 BELKOS v1.28\nExit code 0\n", {I}},
      {{}, {seam::answer("")}, ID + "Target didn't respond.\nExit code 4\n", {I}},
      {{}, std::vector<seam::fate>(9, seam::drop()), NONE, texts(9, I)},
      {{}, std::vector<seam::fate>(9, seam::raw(l251)), NONE, texts(9, I)},
      {{"R000000,01"}, {seam::drop(), seam::drop()}, UART + "\rSend scmd: R000000,01\n..\rAnswer: =FF" + DONE,
       {R0, R0, R0}},
      {{"W000010<A5", "R000010,01"}, {},
       UART + "\rSend scmd: W000010<A5\n\rAnswer: *\rSend scmd: R000010,01\n\rAnswer: =A5" + DONE,
       {"W000010<A5\n", "R000010,01\n"}},
      // A negative answer ends the run; the command before it was already sent.
      {{"R000000,01", "R000001,01", "R000002,01"}, {seam::answer("=FF"), seam::answer("OK!")},
       "\rAnswer: OK!Error: Negative response.\nExit code 7\n", {R0, R1}},
      {{"R000000,01", "R000001,01"}, {seam::answer("=FF"), seam::answer("?x")},
       "\rAnswer: ?xError: Negative response.\nExit code 7\n", {R0, R1}},
  };
  for (auto &c : cases) {
    seam::reset();
    seam::fates.assign(c.fates.begin(), c.fates.end());
    seam::result r = seam::run(c.a);
    EXPECT_EQ(r.out.rfind("\n ORBA-01 loader ver. 0.95 (BELKOS v1.28) (c) 2026 Quarn developers \n", 0), 0u);
    EXPECT_TRUE(seam::ends_with(r.out, c.tail)) << r.out;
    EXPECT_EQ(seam::sent(), c.sent);
  }
}
