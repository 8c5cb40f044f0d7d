// Image loading: block telegrams (sendbin, crc16) and S-record packing
// (binwrite).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "quarn.h"
#include "seam.h"

namespace {

typedef std::vector<std::string> texts;

// Marks block offsets as filled with these values.
void fill(unsigned base, const std::vector<std::pair<int, int>> &v) {
  binadr = base;
  for (auto &p : v) {
    binbuf[p.first] = (unsigned char)p.second;
    binmask[p.first >> 3] |= (unsigned char)(1 << (p.first & 7));
  }
}

std::string mask() { return seam::hex(bytes(binmask, binmask + 16)); }  // the buffer's mask, as hex
const std::string EMPTY = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

// n bytes of the board's memory from a, as hex; the requests on the wire, described.
std::string mem(unsigned a, unsigned n) {
  return seam::hex(bytes(seam::brd.mem.begin() + a, seam::brd.mem.begin() + a + n));
}
texts described() {
  texts d;
  for (const bytes &t : seam::wire) d.push_back(board_describe(t));
  return d;
}

seam::result send() { return seam::call([] { sendbin(); }); }

// binwrite on a line buffer that holds NUL past the record, as scripts give it.
seam::result pack(const std::string &rec) {
  return seam::call([&] {
    char b[512] = {};
    snprintf(b, sizeof b, "%s", rec.c_str());
    binwrite(b);
  });
}

// An S2 record; data as hex text. The packer does not read the checksum.
std::string s2(unsigned a, const std::string &data) {
  char h[24];
  snprintf(h, sizeof h, "S2%02X%06X", (unsigned)data.size() / 2 + 4, a);
  return h + data + "00\n";
}

struct Block : ::testing::Test {
  void SetUp() override { seam::reset(); }
};

}  // namespace

TEST_F(Block, WorkedTelegramsAndTheEncodingChoice) {
  EXPECT_EQ(crc16((const unsigned char *)"abc", 3), 0x1D05u);
  EXPECT_EQ(crc16((const unsigned char *)"123456789", 9), 0x61C6u);
  fill(0x1000, {{0x10, 0x12}, {0x11, 0x34}, {0x12, 0xAB}, {0x13, 0xCD}});
  EXPECT_EQ(send().out, "\rSending block 001000   OK\n");
  EXPECT_EQ(mask(), EMPTY);
  EXPECT_EQ(binadr, 0x1000u);
  EXPECT_STREQ(o, "*");
  fill(0x12380, {{0, 0xAA}, {1, 0xBB}, {5, 0xCC}});
  EXPECT_EQ(send().out, "\rSending block 012380   OK\n");
  ASSERT_EQ(seam::wire.size(), 2u);
  EXPECT_EQ(seam::hex(seam::wire[0]), seam::RUN_BLOCK);
  EXPECT_EQ(seam::hex(seam::wire[1]), seam::MASK_BLOCK);
  EXPECT_EQ(mem(0x12380, 6), "AA BB FF FF FF CC");

  seam::reset();
  strcpy(o, "keep");
  EXPECT_EQ(send().out, "");  // empty: nothing at all
  EXPECT_STREQ(o, "keep");
  fill(0x3000, {{127, 0x5A}});  // one run, to the block's end
  send();
  for (int i = 0; i < 128; i++) fill(0x3080, {{i, i ^ 0x80}});  // the whole block
  send();
  fill(0x3100, {{0, 0x01}, {127, 0x02}});  // three changes: the mask encoding
  send();
  EXPECT_EQ(described(), texts({"block 's' at 00307F, 1 bytes, CRC ok", "block 's' at 003080, 128 bytes, CRC ok",
                                "block 'n' at 003100, 2 bytes, CRC ok"}));
  EXPECT_EQ(seam::wire.at(1).size(), 145u);
  EXPECT_EQ(mem(0x307F, 3) + " " + mem(0x30FE, 3) + " " + mem(0x317F, 1), "5A 80 81 FE FF 01 02");
}

TEST_F(Block, AnswerVerdictsAndAttempts) {
  // A positive answer begins with '*', or has '*' second behind anything but
  // '!'. A negative one ends the run at once, never retried.
  const std::pair<std::string, bool> verdicts[] = {{"*", true},  {"*x", true},  {"x*", true}, {"!*", false},
                                                   {"x", false}, {"xy*", false}, {"", false}};
  for (auto &v : verdicts) {
    seam::reset();
    fill(0x1000, {{3, 1}, {5, 2}});
    seam::fates.push_back(seam::answer(v.first));
    EXPECT_EQ(send().out, v.second ? "\rSending block 001000   OK\n"
                                   : "\rSending block 001000   \nError:n|" + v.first + "|\nExit code 4\n");
    EXPECT_STREQ(o, v.second ? v.first.c_str() : "");
    EXPECT_EQ(seam::wire.size(), 1u) << v.first;
  }

  // Eight attempts; the last, broken answer's text field is shown.
  std::string eight;
  for (int i = 0; i < 8; i++) eight += "\rSending block 001000   ";
  const std::pair<seam::fate, std::string> last[] = {
      {seam::drop(), eight + "\nError:s||\nExit code 4\n"},
      {seam::raw(seam::unhex("68 06 06 68 F5 47 7F 7F 41 42 16")), eight + "\nError:s|AB\x16|\nExit code 4\n"},
      {seam::answer("*"), eight + "OK\n"},
  };
  for (auto &c : last) {
    seam::reset();
    fill(0x1000, {{0, 7}});
    seam::drop_next(7);
    seam::fates.push_back(c.first);
    EXPECT_EQ(send().out, c.second);
    EXPECT_EQ(seam::wire, std::vector<bytes>(8, seam::wire.at(0)));
  }
}

TEST_F(Block, WorkedRecordsAndConsole) {
  for (std::string s8 : {"S804001000EB\n", "S8040010806B\n"}) {
    seam::reset();
    EXPECT_EQ(pack("S20800107E11223344BF\n").out, "\rPacking...\rSending block 001000   OK\n");
    EXPECT_EQ(pack(s8).out, "\rPacking...\rSending block 001080   OK\n\rFlushing write buffer  OK\n");
    ASSERT_EQ(seam::wire.size(), 3u);
    EXPECT_EQ(seam::hex(seam::wire[0]), "68 0D 0D 68 7F 7F 47 F5 73 7E 10 00 02 11 22 D4 61 A5 16");
    EXPECT_EQ(seam::hex(seam::wire[1]), "68 0D 0D 68 7F 7F 47 F5 73 80 10 00 02 33 44 1D 59 2C 16");
    EXPECT_EQ(seam::text_of(seam::wire[2]), s8);
    EXPECT_STREQ(o, "%*");
    EXPECT_EQ(mem(0x107D, 6), "FF 11 22 33 44 FF");
  }

  // The S8 record's answer must be "%*" with no '!' or '?'.
  for (std::string t : {"%*?", "*%", "%"}) {
    seam::reset();
    seam::fates.push_back(seam::answer(t));
    EXPECT_EQ(pack("S804001000EB\n").out,
              "\rPacking...\rFlushing write buffer  \nError: Unexpected response: " + t + "\nExit code 6\n");
    EXPECT_EQ(seam::wire.size(), 1u);  // empty buffer: only the S8 command
  }
}

TEST_F(Block, OutOfOrderRecordsAndLowerCase) {
  for (std::string rec : {s2(0x1010, "AABB"), s2(0x1011, "CC"), s2(0x2000, "DD"), s2(0x1020, "EE"),
                          std::string("S2070010a0bbccddZZ\n"), std::string("S804000000fb\n")})
    ASSERT_EQ(pack(rec).code, -1) << rec;
  EXPECT_EQ(described(), texts({"block 's' at 001010, 2 bytes, CRC ok", "block 's' at 002000, 1 bytes, CRC ok",
                                "block 's' at 001020, 1 bytes, CRC ok", "block 's' at 0010A0, 3 bytes, CRC ok",
                                "text \"S804000000fb\\n\""}));
  EXPECT_EQ(mem(0x1010, 3) + " " + mem(0x1020, 1) + " " + mem(0x2000, 1), "AA CC FF EE DD");
  EXPECT_EQ(mem(0x10A0, 4), "BB CC DD FF");
}

// A bad hex digit, a count below 4 or data past the last 24-bit address end
// the run with code 3; the open block is neither sent nor added to.
TEST_F(Block, BadRecordsRefusedWhole) {
  const std::string past = s2(0xFFFFFE, "55667788");
  const std::pair<std::string, std::string> cases[] = {
      {"S2080010\n", "\n"},                        // ends before the address does
      {"S2G8001X00112233FF\n", "1X00112233FF\n"},  // address is read before count
      {"S2G800100011223344\n", "G800100011223344\n"},
      {"S208001000\xC1" "1223344FF\n", "\xC1" "1223344FF\n"},  // not a hex digit
      {"S20800100011G23344\n", "G23344\n"},
      {"S203002000DC\n", "03002000DC\n"},
      {"S200002000DC\n", "00002000DC\n"},
      {"S8030010807B\n", "030010807B\n"},
      {past, past.substr(4)},
  };
  for (auto &c : cases) {
    seam::reset();
    ASSERT_EQ(pack(s2(0x1000, "1122")).code, -1);
    EXPECT_EQ(pack(c.first).out, "\rPacking...Bad format:" + c.second + "\nExit code 3\n");
    EXPECT_TRUE(seam::wire.empty());
    EXPECT_EQ(binadr, 0x1000u);
    EXPECT_EQ(mask(), "03" + EMPTY.substr(2)) << c.first;
  }

  // A record that ends at the last address is loaded.
  seam::reset();
  ASSERT_EQ(pack(s2(0xFFFFFC, "11223344")).code, -1);
  ASSERT_EQ(pack("S804000000FB\n").code, -1);
  EXPECT_EQ(mem(0xFFFFFB, 5) + " " + mem(0, 1), "FF 11 22 33 44 FF");
}
