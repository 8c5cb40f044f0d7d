// The telegram frame, the command transaction sendc and the driver's use of
// it: the identity query and command arguments.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comdrv.h"
#include "quarn.h"
#include "seam.h"

namespace {

const std::string HEAD = "68 04 04 68 7F 7F 47 F5 3A 16";
const std::string IDQ = "68 0C 0C 68 7F 7F 47 F5 49 30 30 30 30 30 30 0A AD 16";

// The command text a request telegram carried.
std::string text_of(const bytes &t) { return std::string(t.begin() + 8, t.end() - 2); }

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

seam::fate pass() {
  return [](const bytes &b) { return b; };
}

class Sendc : public ::testing::Test {
 protected:
  void SetUp() override { seam::reset(); }
};
class Driver : public Sendc {};

}  // namespace

TEST(Telegram, FrameCompletesLengthChecksumAndEndByte) {
  char tel[256];
  memset(tel, 0x55, sizeof tel);
  memcpy(tel, "\x68\x01\x01\x68\x7F\x7F\x47\xF5I000000\n", 16);
  char keep[256];
  memcpy(keep, tel, sizeof tel);
  unsigned char tx[256];
  ASSERT_TRUE(comdrv_frame(tel, 18, tx));
  EXPECT_EQ(seam::hex(bytes(tx, tx + 18)), IDQ);
  EXPECT_EQ(memcmp(tel, keep, sizeof tel), 0);  // the caller's buffer stays as it was

  // Whatever stands at 1 and 2 is replaced by L; 0 and 3 go out as written.
  tel[1] = (char)0x99;
  tel[2] = 0;
  tel[3] = 0x11;
  ASSERT_TRUE(comdrv_frame(tel, 10, tx));
  EXPECT_EQ(seam::hex(bytes(tx, tx + 10)), "68 04 04 11 7F 7F 47 F5 3A 16");
}

TEST(Telegram, EndByteReplacedOnceTested) {
  unsigned char rb[256] = {};
  bytes a = answer_frame(5, "X");
  memcpy(rb, a.data(), a.size());
  comdrv_close(rb);
  EXPECT_EQ(txrxok, 1);
  EXPECT_EQ(rb[10], 0);
  EXPECT_EQ(rb[9], 0x5A);
}

TEST_F(Sendc, TelegramsByteExact) {
  sendc_of("I000000\n");
  sendc_of("");
  ASSERT_EQ(seam::wire.size(), 2u);
  EXPECT_EQ(seam::hex(seam::wire[0]), IDQ);
  EXPECT_EQ(seam::hex(seam::wire[1]), HEAD);
  EXPECT_STREQ(o, "*");  // the board's answer to an empty text

  // '~': sent once without the '~', the answer neither judged nor kept.
  seam::wire.clear();
  seam::result r = sendc_of("~");
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.out, "");
  EXPECT_STREQ(o, "");
  ASSERT_EQ(seam::wire.size(), 1u);
  EXPECT_EQ(seam::hex(seam::wire[0]), HEAD);

  seam::wire.clear();
  seam::drop_next(1);
  r = sendc_of("~X");
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.out, "");
  EXPECT_STREQ(o, "");
  ASSERT_EQ(seam::wire.size(), 1u);
  EXPECT_EQ(seam::hex(seam::wire[0]), "68 05 05 68 7F 7F 47 F5 58 92 16");

  // The longest text fills the 256 bytes; one more is refused before sending.
  seam::wire.clear();
  r = sendc_of(std::string(246, 'x'));
  ASSERT_EQ(seam::wire.size(), 1u);
  EXPECT_EQ(seam::wire[0].size(), 256u);
  EXPECT_EQ(seam::wire[0][1], 250);
  EXPECT_EQ(text_of(seam::wire[0]), std::string(246, 'x'));
  seam::wire.clear();
  r = sendc_of(std::string(247, 'x'));
  EXPECT_EQ(r.out.rfind("Error:", 0), 0u) << r.out;
  EXPECT_GT(r.code, 0);
  EXPECT_TRUE(seam::wire.empty());
}

TEST_F(Sendc, AnswerAcceptedWhenEndByteStandsAtFivePlusL) {
  bytes f = answer_frame(6, "OK", 0x00);  // wrong checksum
  bytes start = f, len = f;
  start[0] = start[3] = 0x00;
  len[2] = 0x30;
  for (const bytes &b : {f, start, len}) {
    seam::wire.clear();
    seam::fates.push_back(seam::raw(b));
    seam::result r = sendc_of("X\n");
    EXPECT_EQ(r.out, "") << seam::hex(b);
    EXPECT_STREQ(o, "OK") << seam::hex(b);
    EXPECT_EQ(seam::wire.size(), 1u);
  }
}

TEST_F(Sendc, LengthAbove250NeverAccepted) {
  for (int l = 251; l <= 255; l++) {
    bytes b(256, 0x16);  // an end byte wherever one might be looked for
    b[0] = b[3] = 0x68;
    b[1] = b[2] = (uint8_t)l;
    for (int i = 0; i < 9; i++) seam::fates.push_back(seam::raw(b));
    seam::result r = sendc_of("X\n");
    EXPECT_EQ(r.code, 5) << l;
    EXPECT_EQ(r.out, ".........Error: No response.\nExit code 5\n") << l;
  }
}

TEST_F(Sendc, TextCutAtChecksumAndAtZero) {
  // L = 250: 246 characters; the checksum byte (here a letter) is never text.
  seam::fates.push_back(seam::raw(answer_frame(250, std::string(246, 'A'), 'Z')));
  sendc_of("X\n");
  EXPECT_EQ(std::string(o), std::string(246, 'A'));

  seam::fates.push_back(seam::raw(answer_frame(7, "OK\n", 'Z')));
  sendc_of("X\n");
  EXPECT_STREQ(o, "OK\n");

  seam::fates.push_back(seam::raw(answer_frame(9, std::string("AB\0CD", 5))));
  sendc_of("X\n");
  EXPECT_STREQ(o, "AB");

  // No text: L = 4, and L below 4 (bytes behind the end byte are taken).
  seam::fates.push_back(seam::raw(answer_frame(4, "")));
  sendc_of("X\n");
  EXPECT_STREQ(o, "");
  seam::fates.push_back(seam::raw(seam::unhex("68 00 00 68 00 16")));
  sendc_of("X\n");
  EXPECT_STREQ(o, "");
  seam::fates.push_back(seam::raw(seam::unhex("68 02 02 68 F5 47 3C 16")));
  sendc_of("X\n");
  EXPECT_STREQ(o, "");
  seam::fates.push_back(seam::raw(seam::unhex("68 02 02 68 F5 47 3C 16 58 59")));
  sendc_of("X\n");
  EXPECT_STREQ(o, "XY");
  EXPECT_EQ(seam::wire.size(), 7u);  // every one accepted at the first attempt
}

TEST_F(Sendc, RetriesThenGivesUp) {
  seam::drop_next(2);
  seam::result r = sendc_of("R000000,01\n");
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.out, "..");
  EXPECT_STREQ(o, "=FF");
  ASSERT_EQ(seam::wire.size(), 3u);
  EXPECT_EQ(seam::wire[2], seam::wire[0]);

  seam::wire.clear();
  seam::drop_next(9);
  strcpy(o, "stale");
  r = sendc_of("R000000,01\n");
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.out, ".........Error: No response.\nExit code 5\n");
  EXPECT_STREQ(o, "");
  EXPECT_EQ(seam::wire.size(), 9u);
}

TEST_F(Driver, IdentityQuery) {
  seam::result r = seam::run({});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind("\n ORBA-01 loader ver. 0.95 (BELKOS v1.28) ", 0), 0u);
  const std::string tail =
      " \nSerial UART port:3f8 irq:4 baud:38400 mode:0"
      "\rSerial UART port:3f8 irq:4 baud:38400 mode:0 \n"
      "UART init O.K.\nTarget ID:\nORBA-01 BELKOS v1.28\nExit code 0\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  ASSERT_EQ(seam::wire.size(), 1u);
  EXPECT_EQ(seam::hex(seam::wire[0]), IDQ);

  seam::reset();
  seam::fates.push_back(seam::answer(""));
  r = seam::run({});
  EXPECT_EQ(r.code, 4);
  const std::string none = "UART init O.K.\nTarget ID:\nTarget didn't respond.\nExit code 4\n";
  EXPECT_EQ(r.out.substr(r.out.size() - none.size()), none);
}

TEST_F(Driver, CommandArguments) {
  seam::result r = seam::run({"W000010<A5", "R000010,01"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("UART init O.K.\n"
                       "\rSend scmd: W000010<A5\n\rAnswer: *"
                       "\rSend scmd: R000010,01\n\rAnswer: =A5"
                       "\nLoading completed with no errors.\nExit code 0\n"),
            std::string::npos)
      << r.out;
  ASSERT_EQ(seam::wire.size(), 2u);
  EXPECT_EQ(text_of(seam::wire[0]), "W000010<A5\n");

  // A negative answer ends the run; the command before it was already sent.
  for (const char *neg : {"OK!", "?x"}) {
    seam::reset();
    seam::fates = {pass(), seam::answer(neg)};
    r = seam::run({"R000000,01", "R000001,01", "R000002,01"});
    EXPECT_EQ(r.code, 7) << neg;
    const std::string end = std::string("\rAnswer: ") + neg + "Error: Negative response.\nExit code 7\n";
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end) << r.out;
    EXPECT_EQ(seam::wire.size(), 2u);
  }
}
