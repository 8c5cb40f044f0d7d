// The simulated board: its answers and memory (board.txt), and its receiver.
#include <gtest/gtest.h>

#include <fstream>

#include "board.h"
#include "comdrv.h"
#include "seam.h"

namespace {

// A request telegram carrying p, framed as the loader frames it.
bytes request_of(const bytes &p) {
  char tel[256] = "\x68\x01\x01\x68\x7F\x7F\x47\xF5";
  std::copy(p.begin(), p.end(), tel + 8);
  unsigned char tx[256];
  comdrv_frame(tel, int(p.size()) + 10, tx);
  return bytes(tx, tx + p.size() + 10);
}

TEST(Board, AnswersAndMemory) {
  board b;
  board_init(b, false);
  std::ifstream in(QUARN_SOURCE_DIR "/tests/board.txt");
  for (std::string l; std::getline(in, l);) {
    if (l.empty() || l[0] == '#') continue;
    SCOPED_TRACE(l);
    size_t arrow = l.find(" => "), sp = l.find(' ');
    std::string kind = l.substr(0, sp), arg = l.substr(sp + 1, arrow - sp - 1), want = l.substr(arrow + 4);
    std::string hex = seam::bytes_of(kind == "memory" ? l.substr(l.find(':') + 1) : kind == "block" || kind == "frame" || kind == "describe" ? arg : "");
    bytes p(hex.begin(), hex.end());
    uint16_t crc = board_crc16(p.data(), p.size());
    if (l == "old") {
      board_init(b, true);
    } else if (kind == "memory") {
      EXPECT_EQ(std::string((const char *)&b.mem[std::stoul(arg, nullptr, 16)], hex.size()), hex);
    } else if (kind == "describe") {
      EXPECT_EQ(board_describe(p), want);
    } else {
      std::string text = seam::unescape(l.substr(0, arrow)), got;
      if (kind == "block") p.insert(p.end(), {uint8_t(crc), uint8_t(crc >> 8)});
      bytes a = board_answer(b, kind == "frame" ? p : request_of(kind == "block" ? p : bytes(text.begin(), text.end())));
      got = seam::text_of(std::string(a.begin(), a.end()));
      want = seam::unescape(want);
      EXPECT_EQ(want == "!" || want == "?" ? got.substr(0, 1) : got, want);
    }
  }
}

// Stray bytes and broken frames are dropped and the next frame found, in
// any pieces; a partial frame is forgotten; the receiver stays bounded.
TEST(Board, ReceiverResynchronises) {
  board b;
  board_init(b, false);
  const std::string id = "68 0C 0C 68 7F 7F 47 F5 49 30 30 30 30 30 30 0A AD 16";
  for (std::string junk : {std::string("00 16 68"), std::string("68 0C 0D 68"), std::string("68 0C 0C 69"), id.substr(0, 48) + "AE 16", id.substr(0, 51) + "17"}) {
    std::vector<bytes> frames;
    for (uint8_t c : seam::bytes_of(junk + " " + id + " " + id)) board_rx(b, &c, 1, frames);
    std::string one = seam::bytes_of(id);
    EXPECT_EQ(frames, std::vector<bytes>(2, bytes(one.begin(), one.end()))) << junk;
  }
  std::vector<bytes> frames;
  std::string idq = seam::bytes_of(id);
  board_rx(b, (const uint8_t *)idq.data(), 10, frames);
  board_rx_reset(b);
  board_rx(b, (const uint8_t *)idq.data() + 10, idq.size() - 10, frames);
  EXPECT_TRUE(frames.empty());
  for (uint32_t i = 0, x = 12345; i < 100000; i++) {
    uint8_t c = uint8_t(i % 7 ? (x = x * 1103515245 + 12345) >> 16 : 0x68);
    board_rx(b, &c, 1, frames);
    ASSERT_LE(b.rx.size(), 261u);
  }
}

}  // namespace
