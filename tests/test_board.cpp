// The simulated board: its answers and memory (board.txt), and its receiver.
#include <gtest/gtest.h>

#include <fstream>

#include "board.h"
#include "seam.h"

namespace {

bytes request_of(bytes p) {
  bytes f = {0x68, uint8_t(p.size() + 4), uint8_t(p.size() + 4), 0x68, 0x7F, 0x7F, 0x47, 0xF5};
  f.insert(f.end(), p.begin(), p.end());
  uint8_t sum = 0;
  for (size_t i = 4; i < f.size(); i++) sum = uint8_t(sum + f[i]);
  f.push_back(sum);
  f.push_back(0x16);
  return f;
}

TEST(Board, AnswersAndMemory) {
  board b;
  board_init(b, false);
  std::ifstream in(QUARN_SOURCE_DIR "/tests/board.txt");
  for (std::string l; std::getline(in, l);) {
    SCOPED_TRACE(l);
    size_t arrow = l.find(" => "), sp = l.find(' ');
    std::string kind = l.substr(0, sp), arg = l.substr(sp + 1, arrow - sp - 1);
    std::string want = seam::unescape(arrow == std::string::npos ? "" : l.substr(arrow + 4));
    if (l.empty() || l[0] == '#') continue;
    if (l == "old") board_init(b, true);
    if (kind == "memory") {
      std::string w = seam::bytes_of(l.substr(l.find(':') + 1));
      EXPECT_EQ(std::string(b.mem.begin() + std::stoul(arg, nullptr, 16), b.mem.begin() + std::stoul(arg, nullptr, 16) + w.size()), w);
    }
    if (kind == "describe") {
      std::string f = seam::bytes_of(arg);
      EXPECT_EQ(board_describe(bytes(f.begin(), f.end())), l.substr(arrow + 4));
    }
    if (l == "old" || kind == "memory" || kind == "describe") continue;
    std::string h = kind == "block" || kind == "raw" || kind == "frame" ? seam::bytes_of(arg) : "";
    bytes p(h.begin(), h.end()), frame;
    if (kind == "block") {
      uint16_t crc = board_crc16(p.data(), p.size());
      p.push_back(uint8_t(crc));
      p.push_back(uint8_t(crc >> 8));
    }
    std::string text = seam::unescape(l.substr(0, arrow));
    frame = kind == "frame" ? p : request_of(kind == "block" || kind == "raw" ? p : bytes(text.begin(), text.end()));
    std::string got = seam::text_of(board_answer(b, frame));
    EXPECT_EQ(want == "!" || want == "?" ? got.substr(0, 1) : got, want);
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
