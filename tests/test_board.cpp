// The board model: framing, block telegrams, text commands and transcripts.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "board.h"
#include "seam.h"

namespace {

// A block payload as the loader builds it, with its CRC behind.
std::string block(const std::string &payload_hex) {
  bytes p = seam::unhex(payload_hex);
  uint16_t crc = board_crc16(p.data(), p.size());
  p.push_back(uint8_t(crc));
  p.push_back(uint8_t(crc >> 8));
  return std::string(p.begin(), p.end());
}

std::string text_of(const bytes &answer) {
  EXPECT_EQ(board_describe(answer).rfind("answer ", 0), 0u) << board_describe(answer);
  return std::string(answer.begin() + 8, answer.end() - 2);
}

struct BoardTest : testing::Test {
  board b;
  void SetUp() override { board_init(b, false); }
  std::string ask(const std::string &text) { return text_of(board_answer(b, seam::request_of(text))); }
  bytes mem(uint32_t addr, size_t n) { return bytes(b.mem.begin() + addr, b.mem.begin() + addr + n); }
};

const bytes IDENTITY = seam::unhex("68 0C 0C 68 7F 7F 47 F5 49 30 30 30 30 30 30 0A AD 16");
const bytes RUN_EXAMPLE = seam::unhex("68 0F 0F 68 7F 7F 47 F5 73 10 10 00 04 12 34 AB CD 76 9C A1 16");
const bytes MASK_EXAMPLE = seam::unhex(
    "68 1D 1D 68 7F 7F 47 F5 6E 80 23 01 23 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    " AA BB CC 12 7A 2C 16");

TEST(Crc16, CheckValues) {
  EXPECT_EQ(board_crc16((const uint8_t *)"abc", 3), 0x1D05);
  EXPECT_EQ(board_crc16((const uint8_t *)"123456789", 9), 0x61C6);
}

TEST(Frame, AnswerFramesAreByteExact) {
  EXPECT_EQ(board_frame("*"), seam::unhex("68 05 05 68 F5 47 7F 7F 2A 64 16"));
  EXPECT_EQ(board_frame(""), seam::unhex("68 04 04 68 F5 47 7F 7F 3A 16"));
  EXPECT_EQ(board_frame(std::string(300, 'x')).size(), 256u);  // text cut at 246
}

TEST_F(BoardTest, ReceiverFindsFramesInAnyPieces) {
  std::vector<bytes> frames;
  bytes line = {0x00, 0x16, 0x68};  // stray bytes, one of them a start byte
  line.insert(line.end(), IDENTITY.begin(), IDENTITY.end());
  line.insert(line.end(), RUN_EXAMPLE.begin(), RUN_EXAMPLE.end());
  for (uint8_t c : line) board_rx(b, &c, 1, frames);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], IDENTITY);
  EXPECT_EQ(frames[1], RUN_EXAMPLE);
  EXPECT_TRUE(b.rx.empty());
}

TEST_F(BoardTest, ReceiverDropsBrokenFramesAndResynchronises) {
  for (auto broken : {"68 0C 0D 68", "68 0C 0C 69", "68 0C 0C 68 7F 7F 47 F5 49 30 30 30 30 30 30 0A AE 16",
                      "68 0C 0C 68 7F 7F 47 F5 49 30 30 30 30 30 30 0A AD 17"}) {
    std::vector<bytes> frames;
    bytes line = seam::unhex(broken);
    line.insert(line.end(), IDENTITY.begin(), IDENTITY.end());
    board_rx(b, line.data(), line.size(), frames);
    ASSERT_EQ(frames.size(), 1u) << broken;
    EXPECT_EQ(frames[0], IDENTITY) << broken;
  }
}

TEST_F(BoardTest, ReceiverForgetsAPartialFrameAndStaysBounded) {
  std::vector<bytes> frames;
  board_rx(b, IDENTITY.data(), 10, frames);
  board_rx_reset(b);
  board_rx(b, IDENTITY.data() + 10, IDENTITY.size() - 10, frames);
  EXPECT_TRUE(frames.empty());
  uint32_t x = 12345;
  for (int i = 0; i < 100000; i++) {
    x = x * 1103515245 + 12345;
    uint8_t c = uint8_t(i % 7 == 0 ? 0x68 : x >> 16);
    board_rx(b, &c, 1, frames);
    ASSERT_LE(b.rx.size(), 261u);
  }
}

TEST_F(BoardTest, WorkedBlockTelegramsAreStored) {
  EXPECT_EQ(board_answer(b, RUN_EXAMPLE), board_frame("*"));
  EXPECT_EQ(mem(0x100F, 6), seam::unhex("FF 12 34 AB CD FF"));
  EXPECT_EQ(board_answer(b, MASK_EXAMPLE), board_frame("*"));
  EXPECT_EQ(mem(0x12380, 7), seam::unhex("AA BB FF FF FF CC FF"));
  // The packer's example, run at 0x107E: 73 7E 10 00 02 11 22, CRC D4 61.
  EXPECT_EQ(ask(std::string("\x73\x7E\x10\x00\x02\x11\x22\xD4\x61", 9)), "*");
  EXPECT_EQ(mem(0x107E, 2), seam::unhex("11 22"));
}

TEST_F(BoardTest, BadBlocksStoreNothing) {
  std::string bad_crc(RUN_EXAMPLE.begin() + 8, RUN_EXAMPLE.end() - 2);
  bad_crc.back() ^= 1;
  const std::string bad[] = {
      bad_crc,
      block("73 10 10 00 04 12 34 AB CD EE"),           // one byte too many
      block("73 10 10 00 00"),                          // empty run
      block("73 FE FF FF 04 12 34 AB CD"),              // runs past FFFFFF
      block("6E 40 23 01 23 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 AA BB CC"),  // not a block base
      block("6E 80 23 01 23 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 AA BB"),     // a byte short
      std::string("\x73\x10\x10", 3),
  };
  for (const std::string &p : bad) EXPECT_EQ(ask(p).substr(0, 1), "!") << board_describe(seam::request_of(p));
  EXPECT_EQ(b.mem, bytes(BOARD_MEMSIZE, 0xFF));
}

TEST_F(BoardTest, IdentityAndOldFirmware) {
  EXPECT_EQ(board_answer(b, IDENTITY), board_frame(board_id));
  EXPECT_STREQ(board_id, "ORBA-01 BELKOS v1.28");
  board_init(b, true);
  EXPECT_EQ(ask("I000000\n"), board_id_old);
  EXPECT_EQ(strpbrk(board_id_old, "!?"), nullptr);
  EXPECT_EQ(ask(std::string(RUN_EXAMPLE.begin() + 8, RUN_EXAMPLE.end() - 2)).substr(0, 1), "!");
  EXPECT_EQ(ask("S20800107E11223344BF\n"), "*");  // old firmware loads S2 text
  EXPECT_EQ(mem(0x107E, 5), seam::unhex("11 22 33 44 FF"));
  EXPECT_EQ(ask("S804001000EB\n"), "%*");
}

TEST_F(BoardTest, ReadAndWrite) {
  EXPECT_EQ(ask("W000400<0a1B2c\n"), "*");
  EXPECT_EQ(ask("R0003FF,05\n"), "=FF0A1B2CFF");
  EXPECT_EQ(ask("R000400,03\r\n"), "=0A1B2C");
  EXPECT_EQ(ask("WFFFFFF<5A\n"), "*");
  EXPECT_EQ(ask("RFFFFFF,01\n"), "=5A");
  EXPECT_EQ(ask("W000000<" + std::string(128, '7') + "\n"), "*");
  EXPECT_EQ(ask("R000000,40\n"), "=" + std::string(128, '7'));
  for (auto bad : {"R000000,41\n", "R000000,00\n", "RFFFFFF,02\n", "R0004,01\n", "R00040G,01\n",
                   "W000500<ABC\n", "W000500<\n", "W000500<AG\n", "WFFFFFF<1234\n", "W000500:12\n"})
    EXPECT_EQ(ask(bad).substr(0, 1), "!") << bad;
  EXPECT_EQ(ask("W000500<" + std::string(130, '7') + "\n").substr(0, 1), "!");
  EXPECT_EQ(mem(0x500, 2), seam::unhex("FF FF"));
}

TEST_F(BoardTest, SRecordsAndOtherText) {
  EXPECT_EQ(ask("S0030000FC\n"), "*");
  EXPECT_EQ(ask("S9030000FC\n"), "*");
  EXPECT_EQ(ask("S804001000EB\n"), "%*");
  EXPECT_EQ(ask("S20800107E11223344BF\r\n"), "*");
  EXPECT_EQ(mem(0x107E, 4), seam::unhex("11 22 33 44"));
  for (auto bad : {"S20800200011223344BF\n", "S2080020001122334\n", "S207FFFFFF11223395\n", "S203000010\n"})
    EXPECT_EQ(ask(bad).substr(0, 1), "!") << bad;
  EXPECT_EQ(mem(0x2000, 1), seam::unhex("FF"));
  EXPECT_EQ(ask(""), "*");
  EXPECT_EQ(ask("\n"), "*");
  EXPECT_NE(ask("HELLO\n").find('?'), std::string::npos);
  EXPECT_NE(ask("I000001\n").find('?'), std::string::npos);
  bytes wrong_head = seam::request_of("I000000\n");
  wrong_head[4] = 0x7E;
  wrong_head[16] = uint8_t(wrong_head[16] - 1);
  EXPECT_NE(text_of(board_answer(b, wrong_head)).find('?'), std::string::npos);
}

TEST(Describe, OneLinePerFrame) {
  EXPECT_EQ(board_describe(MASK_EXAMPLE), "block 'n' at 012380, 3 bytes, CRC ok");
  bytes bad = RUN_EXAMPLE;
  bad[17]++;
  bad[19]++;  // keep the frame checksum right
  EXPECT_EQ(board_describe(bad), "block 's' at 001010, 4 bytes, CRC bad");
  EXPECT_EQ(board_describe(seam::request_of(block("73 10 10 00 04 12"))), "block 's' at 001010, 4 bytes, size bad");
  EXPECT_EQ(board_describe(seam::request_of("R000400,40\n")), "text \"R000400,40\\n\"");
  EXPECT_EQ(board_describe(seam::request_of("\"\t\\\r")), "text \"\\\"\\x09\\\\\\r\"");
  EXPECT_EQ(board_describe(board_frame("=0A")), "answer \"=0A\"");
  bytes broken = IDENTITY;
  broken[16]++;
  EXPECT_EQ(board_describe(broken), "bad frame (checksum)");
}

}  // namespace
