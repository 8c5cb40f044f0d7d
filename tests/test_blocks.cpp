// Image loading: block telegrams (sendbin, crc16) and S-record packing
// (binwrite), directly and from scripts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "quarn.h"
#include "seam.h"

namespace {

const std::string RUN_FRAMED =
    "68 0F 0F 68 7F 7F 47 F5 73 10 10 00 04 12 34 AB CD 76 9C A1 16";
const std::string MASK_FRAMED =
    "68 1D 1D 68 7F 7F 47 F5 6E 80 23 01 23 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "AA BB CC 12 7A 2C 16";

std::string text_of(const bytes &t) { return std::string(t.begin() + 8, t.end() - 2); }

// Marks block offsets as filled with these values.
void fill(unsigned base, const std::vector<std::pair<int, int>> &v) {
  binadr = base;
  for (auto &p : v) {
    binbuf[p.first] = (unsigned char)p.second;
    binmask[p.first >> 3] |= (unsigned char)(1 << (p.first & 7));
  }
}

bool mask_empty() {
  for (unsigned char m : binmask)
    if (m) return false;
  return true;
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

// An S2 record with its checksum and line end; data as hex text.
std::string s2(unsigned a, const std::string &data) {
  char h[16];
  unsigned n = (unsigned)data.size() / 2 + 4, sum = n + (a >> 16) + ((a >> 8) & 0xFF) + (a & 0xFF);
  for (size_t i = 0; i < data.size(); i += 2) sum += std::stoul(data.substr(i, 2), nullptr, 16);
  snprintf(h, sizeof h, "%02X%06X", n, a);
  std::string r = "S2" + std::string(h) + data;
  snprintf(h, sizeof h, "%02X\n", ~sum & 0xFF);
  return r + h;
}

bool ends_with(const std::string &s, const std::string &e) {
  return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

class Block : public ::testing::Test {
 protected:
  void SetUp() override { seam::reset(); }
};
class Srec : public Block {};

}  // namespace

TEST(BlockCrc, CheckValues) {
  EXPECT_EQ(crc16((const unsigned char *)"abc", 3), 0x1D05u);
  EXPECT_EQ(crc16((const unsigned char *)"123456789", 9), 0x61C6u);
}

TEST_F(Block, WorkedTelegramsByteExact) {
  fill(0x1000, {{0x10, 0x12}, {0x11, 0x34}, {0x12, 0xAB}, {0x13, 0xCD}});
  seam::result r = send();
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.out, "\rSending block 001000   OK\n");
  ASSERT_EQ(seam::wire.size(), 1u);
  EXPECT_EQ(seam::hex(seam::wire[0]), RUN_FRAMED);
  EXPECT_TRUE(mask_empty());
  EXPECT_EQ(binadr, 0x1000u);
  EXPECT_STREQ(o, "*");

  fill(0x12380, {{0, 0xAA}, {1, 0xBB}, {5, 0xCC}});
  r = send();
  EXPECT_EQ(r.out, "\rSending block 012380   OK\n");
  ASSERT_EQ(seam::wire.size(), 2u);
  EXPECT_EQ(seam::hex(seam::wire[1]), MASK_FRAMED);
  EXPECT_EQ(seam::brd.mem[0x12385], 0xCC);
  EXPECT_EQ(seam::brd.mem[0x12382], 0xFF);
}

TEST_F(Block, EncodingChoiceAtItsEdges) {
  strcpy(o, "keep");
  seam::result r = send();  // empty: nothing at all
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(seam::wire.empty());
  EXPECT_STREQ(o, "keep");

  fill(0x3000, {{127, 0x5A}});
  send();
  ASSERT_EQ(seam::wire.size(), 1u);
  EXPECT_EQ(text_of(seam::wire[0]).substr(0, 6), std::string("\x73\x7F\x30\x00\x01\x5A", 6));

  for (int i = 0; i < 128; i++) fill(0x3080, {{i, i ^ 0x80}});
  send();
  ASSERT_EQ(seam::wire.size(), 2u);
  EXPECT_EQ(seam::wire[1].size(), 145u);  // 143 before framing
  EXPECT_EQ(text_of(seam::wire[1]).substr(0, 5), std::string("\x73\x80\x30\x00\x80", 5));
  EXPECT_EQ(board_describe(seam::wire[1]), "block 's' at 003080, 128 bytes, CRC ok");

  fill(0x3000, {{0, 0x01}, {127, 0x02}});
  send();
  ASSERT_EQ(seam::wire.size(), 3u);
  std::string mask(16, '\0');
  mask[0] = 0x01;
  mask[15] = (char)0x80;
  EXPECT_EQ(text_of(seam::wire[2]).substr(0, 22), "\x6E" + std::string("\x00\x30\x00", 3) + mask + "\x01\x02");
  EXPECT_EQ(board_describe(seam::wire[2]), "block 'n' at 003000, 2 bytes, CRC ok");
  EXPECT_EQ(seam::brd.mem[0x307F], 0x02);
  EXPECT_EQ(seam::brd.mem[0x3081], 0x81);
}

TEST_F(Block, AnswerVerdicts) {
  for (std::string t : {"*", "*x", "x*"}) {
    seam::reset();
    fill(0x1000, {{3, 1}});
    seam::fates.push_back(seam::answer(t));
    seam::result r = send();
    EXPECT_EQ(r.code, -1) << t;
    EXPECT_STREQ(o, t.c_str());
    EXPECT_TRUE(mask_empty()) << t;
  }
  for (std::string t : {"!*", "x", "xy*", ""}) {
    seam::reset();
    fill(0x1000, {{3, 1}, {5, 2}});
    seam::fates.push_back(seam::answer(t));
    seam::result r = send();
    EXPECT_EQ(r.code, 4) << t;
    EXPECT_EQ(r.out, "\rSending block 001000   \nError:n|" + t + "|\nExit code 4\n");
    EXPECT_EQ(seam::wire.size(), 1u) << t;  // refused: never retried
    EXPECT_FALSE(mask_empty());
  }
}

TEST_F(Block, EightAttemptsThenExit4) {
  fill(0x1000, {{0, 7}});
  seam::drop_next(8);
  seam::result r = send();
  EXPECT_EQ(r.code, 4);
  std::string eight;
  for (int i = 0; i < 8; i++) eight += "\rSending block 001000   ";
  EXPECT_EQ(r.out, eight + "\nError:s||\nExit code 4\n");
  ASSERT_EQ(seam::wire.size(), 8u);
  for (const bytes &t : seam::wire) EXPECT_EQ(t, seam::wire[0]);

  // Seven lost, the eighth answered.
  seam::reset();
  fill(0x1000, {{0, 7}});
  seam::drop_next(7);
  r = send();
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(seam::wire.size(), 8u);
  EXPECT_TRUE(ends_with(r.out, "   OK\n"));

  // The last, broken answer's text field is shown.
  seam::reset();
  fill(0x1000, {{0, 7}});
  seam::drop_next(7);
  seam::fates.push_back(seam::raw(seam::unhex("68 06 06 68 F5 47 7F 7F 41 42 16")));
  r = send();
  EXPECT_TRUE(ends_with(r.out, "   \nError:s|AB\x16|\nExit code 4\n")) << r.out;
}

TEST_F(Srec, WorkedRecordsAndConsole) {
  for (std::string s8 : {"S804001000EB\n", "S8040010806B\n"}) {
    seam::reset();
    seam::result r = pack("S20800107E11223344BF\n");
    EXPECT_EQ(r.out, "\rPacking...\rSending block 001000   OK\n");
    ASSERT_EQ(seam::wire.size(), 1u);
    EXPECT_EQ(seam::hex(seam::wire[0]), "68 0D 0D 68 7F 7F 47 F5 73 7E 10 00 02 11 22 D4 61 A5 16");
    EXPECT_EQ(binadr, 0x1080u);
    EXPECT_EQ(binmask[0], 0x03);

    r = pack(s8);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.out, "\rPacking...\rSending block 001080   OK\n\rFlushing write buffer  OK\n");
    ASSERT_EQ(seam::wire.size(), 3u);
    EXPECT_EQ(seam::hex(seam::wire[1]), "68 0D 0D 68 7F 7F 47 F5 73 80 10 00 02 33 44 1D 59 2C 16");
    EXPECT_EQ(text_of(seam::wire[2]), s8);
    EXPECT_STREQ(o, "%*");
    EXPECT_EQ(bytes(&seam::brd.mem[0x107D], &seam::brd.mem[0x1083]),
              seam::unhex("FF 11 22 33 44 FF"));
  }
}

TEST_F(Srec, OutOfOrderRecordsAndLowerCase) {
  for (std::string rec : {s2(0x1010, "AABB"), s2(0x1011, "CC"), s2(0x2000, "DD"),
                          s2(0x1020, "EE"), std::string("S2070010a0bbccddZZ\n"),
                          std::string("S804000000fb\n")})
    ASSERT_EQ(pack(rec).code, -1) << rec;
  std::vector<std::string> d;
  for (const bytes &t : seam::wire) d.push_back(board_describe(t));
  EXPECT_EQ(d, std::vector<std::string>({"block 's' at 001010, 2 bytes, CRC ok",
                                         "block 's' at 002000, 1 bytes, CRC ok",
                                         "block 's' at 001020, 1 bytes, CRC ok",
                                         "block 's' at 0010A0, 3 bytes, CRC ok",
                                         "text \"S804000000fb\\n\""}));
  EXPECT_EQ(text_of(seam::wire[0]).substr(5, 2), "\xAA\xCC");  // the later value
  EXPECT_EQ(bytes(&seam::brd.mem[0x1010], &seam::brd.mem[0x1013]), seam::unhex("AA CC FF"));
  EXPECT_EQ(seam::brd.mem[0x1020], 0xEE);
  EXPECT_EQ(seam::brd.mem[0x2000], 0xDD);
  EXPECT_EQ(bytes(&seam::brd.mem[0x10A0], &seam::brd.mem[0x10A4]), seam::unhex("BB CC DD FF"));
}

TEST_F(Srec, BadFormat) {
  const std::pair<std::string, std::string> cases[] = {
      {"S2080010\n", "\n"},                              // ends before the address does
      {"S2G8001X00112233FF\n", "1X00112233FF\n"},        // address is read before count
      {"S2G800100011223344\n", "G800100011223344\n"},
      {"S208001000\xC1" "1223344FF\n", "\xC1" "1223344FF\n"},  // not a hex digit
      {"S20800100011G23344\n", "G23344\n"},
  };
  for (auto &c : cases) {
    seam::reset();
    seam::result r = pack(c.first);
    EXPECT_EQ(r.code, 3) << c.first;
    EXPECT_EQ(r.out, "\rPacking...Bad format:" + c.second + "\nExit code 3\n");
    EXPECT_TRUE(seam::wire.empty());
  }
}

TEST_F(Srec, S8AnswerTest) {
  for (std::string t : {"%*", "%*?", "*%"}) {
    seam::reset();
    seam::fates.push_back(seam::answer(t));
    seam::result r = pack("S804001000EB\n");
    ASSERT_EQ(seam::wire.size(), 1u);  // empty buffer: only the S8 command
    if (t == "%*") {
      EXPECT_EQ(r.code, -1);
      continue;
    }
    EXPECT_EQ(r.code, 6) << t;
    EXPECT_EQ(r.out, "\rPacking...\rFlushing write buffer  \nError: Unexpected response: " + t +
                         "\nExit code 6\n");
  }
}

// A count below 4 names no data; such a record is refused whole: the open
// block is neither sent nor added to.
TEST_F(Srec, CountBelowFourRefusedWhole) {
  for (std::string rec : {"S203002000DC\n", "S200002000DC\n", "S8030010807B\n"}) {
    seam::reset();
    ASSERT_EQ(pack(s2(0x1000, "1122")).code, -1);
    seam::result r = pack(rec);
    EXPECT_EQ(r.code, 3) << rec;
    EXPECT_EQ(r.out, "\rPacking...Bad format:" + rec.substr(2) + "\nExit code 3\n");
    EXPECT_TRUE(seam::wire.empty());
    EXPECT_EQ(binadr, 0x1000u);
    EXPECT_EQ(binmask[0], 0x03);
    for (int i = 1; i < 16; i++) EXPECT_EQ(binmask[i], 0);
  }

  seam::reset();
  std::string dir = seam::tmpdir();
  seam::write_file(dir + "/img.scr",
                   s2(0x1000, "1122") + s2(0x2000, "33") + "S2030010800C\n" + "S804001000EB\n");
  seam::result r = seam::run({dir + "/img.scr"});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(ends_with(r.out, "\rPacking...Bad format:030010800C\n\nExit code 3\n")) << r.out;
  bytes want(BOARD_MEMSIZE, 0xFF);
  want[0x1000] = 0x11;
  want[0x1001] = 0x22;  // block 0x2000 was still open: never sent
  EXPECT_TRUE(seam::brd.mem == want);
}

// Data that would run past the last 24-bit address have no place: refused
// before any byte is stored; a record that ends at 0xFFFFFF is loaded.
TEST_F(Srec, DataPastTheLastAddressRefused) {
  ASSERT_EQ(pack(s2(0xFFFF80, "AA")).code, -1);
  std::string bad = s2(0xFFFFFE, "55667788");
  seam::result r = pack(bad);
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, "\rPacking...Bad format:" + bad.substr(4) + "\nExit code 3\n");
  EXPECT_TRUE(seam::wire.empty());
  EXPECT_EQ(binadr, 0xFFFF80u);
  EXPECT_EQ(binmask[0], 0x01);
  for (int i = 1; i < 16; i++) EXPECT_EQ(binmask[i], 0);

  std::string dir = seam::tmpdir();
  seam::reset();
  seam::write_file(dir + "/ok.scr", s2(0xFFFFFC, "11223344") + "S804000000FB\n");
  r = seam::run({dir + "/ok.scr"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(bytes(&seam::brd.mem[0xFFFFFB], &seam::brd.mem[0xFFFFFF] + 1),
            seam::unhex("FF 11 22 33 44"));

  seam::reset();
  seam::write_file(dir + "/img.scr", s2(0xFFFFF0, "11223344") + s2(0, "99") + bad + s2(0x10, "01") +
                                         "S804000000FB\n");
  r = seam::run({dir + "/img.scr"});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(ends_with(r.out, "\rPacking...Bad format:" + bad.substr(4) + "\nExit code 3\n"));
  bytes want(BOARD_MEMSIZE, 0xFF);
  for (int i = 0; i < 4; i++) want[0xFFFFF0 + i] = (uint8_t)(0x11 * (i + 1));
  EXPECT_TRUE(seam::brd.mem == want);  // nothing at 0xFFFFFE, nor wrapped to 0
}
