// The board model: framing, block telegrams, text commands and transcripts.
#include <gtest/gtest.h>

#include <cstring>

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

const bytes IDENTITY = seam::unhex(seam::IDQ), RUN = seam::unhex(seam::RUN_BLOCK),
            MASK = seam::unhex(seam::MASK_BLOCK);
const std::string RUN_PAYLOAD(RUN.begin() + 8, RUN.end() - 2);
const std::string Z15 = " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ";

struct Board : testing::Test {
  board b;
  void SetUp() override { board_init(b, false); }
  std::string ask(const std::string &text) {
    bytes a = board_answer(b, seam::request_of(text));
    EXPECT_EQ(board_describe(a).rfind("answer ", 0), 0u) << board_describe(a);
    return seam::text_of(a);
  }
  std::string mem(uint32_t addr, size_t n) { return seam::hex(bytes(&b.mem[addr], &b.mem[addr] + n)); }
};

TEST(BoardFrame, CrcAnswerFramesAndDescriptions) {
  EXPECT_EQ(board_crc16((const uint8_t *)"abc", 3), 0x1D05);
  EXPECT_EQ(board_crc16((const uint8_t *)"123456789", 9), 0x61C6);
  EXPECT_EQ(seam::hex(board_frame("*")), "68 05 05 68 F5 47 7F 7F 2A 64 16");
  EXPECT_EQ(seam::hex(board_frame("")), "68 04 04 68 F5 47 7F 7F 3A 16");
  EXPECT_EQ(board_frame(std::string(300, 'x')).size(), 256u);  // text cut at 246

  bytes bad_crc = RUN, broken = IDENTITY;
  bad_crc[17]++;
  bad_crc[19]++;  // keep the frame checksum right
  broken[16]++;
  const std::pair<bytes, std::string> cases[] = {
      {MASK, "block 'n' at 012380, 3 bytes, CRC ok"}, {bad_crc, "block 's' at 001010, 4 bytes, CRC bad"},
      {seam::request_of(block("73 10 10 00 04 12")), "block 's' at 001010, 4 bytes, size bad"},
      {seam::request_of("R000400,40\n"), "text \"R000400,40\\n\""},
      {seam::request_of("\"\t\\\r"), "text \"\\\"\\x09\\\\\\r\""}, {board_frame("=0A"), "answer \"=0A\""},
      {broken, "bad frame (checksum)"}};
  for (auto &c : cases) EXPECT_EQ(board_describe(c.first), c.second);
}

TEST_F(Board, ReceiverFindsFramesInAnyPiecesAndResynchronises) {
  // Stray bytes and a broken frame are dropped, the next frame found.
  std::vector<bytes> frames;
  const std::string id = seam::IDQ;
  for (std::string broken : {std::string("00 16 68"), std::string("68 0C 0D 68"), std::string("68 0C 0C 69"),
                             id.substr(0, 48) + "AE 16", id.substr(0, 51) + "17"}) {
    frames.clear();
    for (uint8_t c : seam::unhex(broken + " " + id + " " + seam::RUN_BLOCK)) board_rx(b, &c, 1, frames);
    EXPECT_EQ(frames, std::vector<bytes>({IDENTITY, RUN})) << broken;
    EXPECT_TRUE(b.rx.empty());
  }

  // A partial frame is forgotten; the receiver stays bounded.
  frames.clear();
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

// Each request's answer, in turn: exact, or just its first character for
// refusals ('!') and unknown commands ('?'). Refused requests store nothing.
TEST_F(Board, Requests) {
  std::string bad_crc = RUN_PAYLOAD;
  bad_crc.back() ^= 1;
  const std::pair<std::string, std::string> cases[] = {
      {RUN_PAYLOAD, "*"}, {std::string(MASK.begin() + 8, MASK.end() - 2), "*"},
      {std::string("\x73\x7E\x10\x00\x02\x11\x22\xD4\x61", 9), "*"},  // the packer's example at 0x107E
      {"W000400<0a1B2c\n", "*"}, {"R0003FF,05\n", "=FF0A1B2CFF"}, {"R000400,03\r\n", "=0A1B2C"},
      {"WFFFFFF<5A\n", "*"}, {"RFFFFFF,01\n", "=5A"}, {"W000000<" + std::string(128, '7') + "\n", "*"},
      {"R000000,40\n", "=" + std::string(128, '7')}, {"S0030000FC\n", "*"}, {"S9030000FC\n", "*"},
      {"S804001000EB\n", "%*"}, {"S20800207E11223344BF\r\n", "!"}, {"S20800307E112233449F\r\n", "*"},
      {"", "*"}, {"\n", "*"}, {"I000000\n", board_id}, {"HELLO\n", "?"}, {"I000001\n", "?"},
      {bad_crc, "!"}, {block("73 10 20 00 04 12 34 AB CD EE"), "!"},  // one byte too many
      {block("73 10 20 00 00"), "!"}, {block("73 FE FF FF 04 12 34 AB CD"), "!"},  // empty; past FFFFFF
      {block("6E 40 23 02 23" + Z15 + "AA BB CC"), "!"},  // not a block base
      {block("6E 80 23 02 23" + Z15 + "AA BB"), "!"},     // a byte short
      {std::string("\x73\x10\x20", 3), "!"}, {"R000000,41\n", "!"}, {"R000000,00\n", "!"}, {"RFFFFFF,02\n", "!"},
      {"R0004,01\n", "!"}, {"R00040G,01\n", "!"}, {"W000500<ABC\n", "!"}, {"W000500<\n", "!"},
      {"W000500<AG\n", "!"}, {"WFFFFFE<1234\n", "*"}, {"WFFFFFF<1234\n", "!"}, {"W000500:12\n", "!"},
      {"W000500<" + std::string(130, '7') + "\n", "!"}, {"S2080020001122334\n", "!"},
      {"S207FFFFFF11223395\n", "!"}, {"S203000010\n", "!"}};
  for (auto &c : cases) {
    std::string a = ask(c.first);
    EXPECT_EQ(c.second.size() == 1 && strchr("!?", c.second[0]) ? a.substr(0, 1) : a, c.second) << c.first;
  }
  EXPECT_EQ(mem(0x100F, 6) + " " + mem(0x12380, 7) + " " + mem(0x107E, 2) + " " + mem(0x307E, 4) + " " +
                mem(0xFFFFFE, 2) + " " + mem(0, 1),
            "FF 12 34 AB CD FF AA BB FF FF FF CC FF 11 22 11 22 33 44 12 34 77");
  for (unsigned a : {0x2000u, 0x2048u, 0x22340u, 0x500u})
    EXPECT_EQ(mem(a, 0x48).find_first_not_of("F "), std::string::npos) << a;
  bytes wrong_head = seam::request_of("I000000\n");
  wrong_head[4] = 0x7E;
  wrong_head[16] = uint8_t(wrong_head[16] - 1);
  EXPECT_EQ(seam::text_of(board_answer(b, wrong_head)), "?Header");

  // Old firmware: its own identity, no block telegrams, S2 records as text.
  board_init(b, true);
  EXPECT_EQ(ask("I000000\n"), board_id_old);
  EXPECT_EQ(ask(RUN_PAYLOAD).substr(0, 1), "!");
  EXPECT_EQ(ask("S20800107E11223344BF\n"), "*");
  EXPECT_EQ(mem(0x107E, 5), "11 22 33 44 FF");
  EXPECT_EQ(ask("S804001000EB\n"), "%*");
}

}  // namespace
