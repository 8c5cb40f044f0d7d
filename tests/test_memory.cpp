// Memory transfer: @binget, @hexget, @binput and their parser, from the
// command line and from scripts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "quarn.h"
#include "seam.h"

namespace {

typedef std::vector<std::string> texts;

bool ends_with(const std::string &s, const std::string &e) {
  return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

bool exists(const std::string &p) {
  FILE *f = fopen(p.c_str(), "rb");
  if (f) fclose(f);
  return f != nullptr;
}

std::string hexof(const std::string &s) {
  std::string h;
  char t[3];
  for (unsigned char c : s) {
    snprintf(t, sizeof t, "%02X", c);
    h += t;
  }
  return h;
}

class Memory : public ::testing::Test {
 protected:
  std::string dir;
  const char *err = nullptr;
  void SetUp() override {
    seam::reset();
    dir = seam::tmpdir();
    for (int i = 0; i < 256; i++) seam::brd.mem[0x400 + i] = (uint8_t)i;
  }
  std::string at(const std::string &name) { return dir + "/" + name; }
  // A path of exactly n characters in the test's folder.
  std::string path_of(size_t n, char c) { return dir + "/" + std::string(n - dir.size() - 1, c); }
  seam::result cmd(const std::string &c) {
    return seam::call([&] { err = zpracuj_prikaz(c.c_str()); });
  }
  texts sent() {
    texts v;
    for (const bytes &t : seam::wire) v.emplace_back(t.begin() + 8, t.end() - 2);
    return v;
  }
  std::string mem(unsigned a, unsigned n) {
    return std::string(seam::brd.mem.begin() + a, seam::brd.mem.begin() + a + n);
  }
  // "=" and n pairs of the board's bytes from 0x400.
  static std::string pairs(int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += (char)i;
    return "=" + hexof(s);
  }
};

}  // namespace

TEST_F(Memory, BingetRequestsAndFile) {
  seam::result r = cmd("@binget000400,000000>" + at("x.bin"));
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(err, nullptr);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(seam::wire.empty());
  EXPECT_TRUE(exists(at("x.bin")));
  EXPECT_EQ(seam::read_file(at("x.bin")), "");

  seam::write_file(at("y.bin"), "old contents, longer than the new");
  r = cmd("@binget000400,000041>" + at("y.bin"));
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(sent(), texts({"R000400,40\n", "R000440,01\n"}));
  EXPECT_EQ(seam::read_file(at("y.bin")), mem(0x400, 0x41));
}

TEST_F(Memory, HexgetLines) {
  seam::result r = cmd("@hexget000400,000020>" + at("d.txt"));
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(sent(), texts({"R000400,10\n", "R000410,10\n"}));
  EXPECT_EQ(seam::read_file(at("d.txt")),
            "000400: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n"
            "000410: 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F \n");

  // The target's own letter case, and punctuation from 0x3A up, as sent.
  seam::reset();
  seam::fates.push_back(seam::answer("=aB:;"));
  r = cmd("@hexget000400,000002>" + at("d.txt"));
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(seam::read_file(at("d.txt")), "000400: aB :; \n");
}

TEST_F(Memory, ShortAnswerEndsWithBadLength) {
  seam::fates.push_back(seam::answer(pairs(60)));
  seam::result r = cmd("@binget000400,000040>" + at("x.bin"));
  EXPECT_EQ(r.code, 9);
  EXPECT_EQ(r.out, "Error: Bad length (60/64).\nExit code 9\n");
  EXPECT_EQ(seam::read_file(at("x.bin")), mem(0x400, 60));

  // Not asked again: the next request starts 64 bytes on.
  seam::reset();
  seam::fates.push_back(seam::answer(pairs(60)));
  r = cmd("@binget000400,000080>" + at("x.bin"));
  EXPECT_EQ(sent(), texts({"R000400,40\n", "R000440,40\n"}));
  EXPECT_EQ(r.out, "Error: Bad length (124/128).\nExit code 9\n");
}

TEST_F(Memory, AnswerTests) {
  seam::fates.push_back(seam::answer("=12!"));
  seam::result r = cmd("@binget000400,000001>" + at("x.bin"));
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(seam::read_file(at("x.bin")), "\x12");

  for (std::string t : {"=12!", "=12?", "12"}) {
    seam::fates.push_back(seam::answer(t));
    r = cmd("@hexget000400,000001>" + at("d.txt"));
    EXPECT_EQ(r.code, 7) << t;
    EXPECT_EQ(r.out, "Error: Unexpected response: " + t + "\nExit code 7\n");
  }
  seam::write_file(at("in.bin"), "\x01\x02");
  seam::fates.push_back(seam::answer("=*"));
  r = cmd("@binput000400<" + at("in.bin"));
  EXPECT_EQ(r.code, 7);
  EXPECT_EQ(r.out, "Error: Unexpected response: =*\nExit code 7\n");
}

// A character below '0', compared signed, ends the scan: so do bytes from
// 0x80 up; everything from '0' to 0x7F makes a pair.
TEST_F(Memory, PairScanSignedCharacters) {
  seam::fates.push_back(seam::answer("=7f:0[1{\x7F" "A"));
  seam::result r = cmd("@binget000400,000005>" + at("x.bin"));
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(seam::read_file(at("x.bin")), std::string("\x7F\x00\x00\x00\x0A", 5));

  for (std::string stop : {" ", "/", "!", "\n", "\x80", "\xFF"}) {
    seam::reset();
    seam::fates.push_back(seam::answer("=12" + stop + "34"));
    r = cmd("@binget000400,000002>" + at("x.bin"));
    EXPECT_EQ(r.code, 9) << (int)(unsigned char)stop[0];
    EXPECT_EQ(r.out, "Error: Bad length (1/2).\nExit code 9\n");
    EXPECT_EQ(seam::read_file(at("x.bin")), "\x12");
  }
}

TEST_F(Memory, BinputPieces) {
  std::string data;
  for (int i = 0; i < 100; i++) data += (char)(i * 37 + 5);
  seam::write_file(at("in.bin"), data);
  seam::result r = cmd("@binput000400<" + at("in.bin"));
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(sent(), texts({"W000400<" + hexof(data.substr(0, 64)) + "\n",
                           "W000440<" + hexof(data.substr(64)) + "\n"}));
  EXPECT_EQ(mem(0x400, 101), data + "\x64");
  EXPECT_STREQ(o, "*");

  seam::reset();
  seam::write_file(at("empty.bin"), "");
  r = cmd("@binput000400<" + at("empty.bin"));
  EXPECT_EQ(r.code, -1);
  EXPECT_TRUE(seam::wire.empty());
}

TEST_F(Memory, CommandErrors) {
  const std::pair<std::string, std::string> cases[] = {
      {"@BINGET000400,000100>x.bin", "Unknown command"},
      {"@bin", "Unknown command"},
      {"@binget000400;000100>x.bin", "Syntax error"},
      {"@binget000400,000100>a", "Syntax error"},  // 22 characters
      {"@binput000400>x.bin", "Syntax error"},
      {"@binput000400<", "Syntax error"},
  };
  for (auto &c : cases) {
    seam::reset();
    cmd(c.first);
    EXPECT_STREQ(err, c.second.c_str()) << c.first;
    seam::result r = seam::run({c.first});
    EXPECT_EQ(r.code, 9);
    EXPECT_TRUE(ends_with(r.out, "Executing:" + c.first + "\nError: " + c.second + ":" + c.first +
                                     " \nExit code 9\n"))
        << r.out;
    EXPECT_TRUE(seam::wire.empty());
  }

  // A script line's line end counts toward the length; the name is empty.
  seam::write_file(at("s.scr"), "@binput000400<\n");
  seam::result r = seam::run({at("s.scr")});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(ends_with(r.out, "Executing:@binput000400<\n\nError: Can't open file  \nExit code 3\n"))
      << r.out;
}

// A file that would run past 0xFFFFFF is refused before anything is written.
TEST_F(Memory, BinputPastTheEndRefused) {
  seam::write_file(at("65.bin"), std::string(65, 'A'));
  seam::write_file(at("2.bin"), "BB");
  seam::write_file(at("s.scr"), "W000000<00\n@binputFFFFC0<" + at("65.bin") + "\n");
  for (int k = 0; k < 3; k++) {
    seam::reset();
    seam::result r = k == 0   ? cmd("@binputFFFFC0<" + at("65.bin"))
                     : k == 1 ? seam::run({"@binputFFFFFF<" + at("2.bin")})
                              : seam::run({at("s.scr")});
    EXPECT_EQ(r.code, 9) << r.out;
    size_t e = r.out.find("Error:");
    ASSERT_NE(e, std::string::npos) << r.out;
    EXPECT_TRUE(e == 0 || r.out[e - 1] == '\n') << r.out;
    std::string line = r.out.substr(e, r.out.find('\n', e) - e);
    EXPECT_NE(line.find(at(k == 1 ? "2.bin" : "65.bin")), std::string::npos) << line;
    EXPECT_EQ(seam::wire.size(), k == 2 ? 1u : 0u);
    EXPECT_EQ(mem(0xFFFFC0, 64), std::string(64, '\xFF'));
  }

  // Up to the last address is fine.
  seam::reset();
  seam::write_file(at("64.bin"), std::string(64, 'C'));
  seam::write_file(at("1.bin"), "D");
  EXPECT_EQ(cmd("@binputFFFFC0<" + at("64.bin")).code, -1);
  EXPECT_EQ(cmd("@binputFFFFFF<" + at("1.bin")).code, -1);
  EXPECT_EQ(sent(), texts({"WFFFFC0<" + hexof(std::string(64, 'C')) + "\n", "WFFFFFF<44\n"}));
  EXPECT_EQ(mem(0xFFFFC0, 64), std::string(63, 'C') + "D");
}

// Names longer than 63 characters are taken whole, never cut.
TEST_F(Memory, LongFileNamesTakenWhole) {
  std::string in113 = path_of(113, 'i'), out106 = path_of(106, 'o');
  seam::write_file(in113, "abc");
  seam::result r = seam::run({"@binput000400<" + in113, "@binget000400,000003>" + out106});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(mem(0x400, 4), std::string("abc\x03"));
  EXPECT_EQ(seam::read_file(out106), "abc");

  std::string in231 = path_of(231, 'I'), out223 = path_of(223, 'O');
  seam::write_file(in231, "xyz");
  std::string line1 = "@binget000400,000003>" + out223 + "\n", line2 = "@binput000500<" + in231;
  ASSERT_EQ(line1.size(), 245u);
  ASSERT_EQ(line2.size(), 245u);
  seam::write_file(at("s.scr"), line1 + line2);  // the last line has no line end
  r = seam::run({at("s.scr")});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(seam::read_file(out223), "abc");
  EXPECT_EQ(mem(0x500, 3), "xyz");
}

TEST_F(Memory, RoundTrip) {
  std::string data;
  unsigned x = 12345;
  for (int i = 0; i < 300; i++) {
    x = x * 1103515245 + 12345;
    data += (char)(x >> 16);
  }
  seam::write_file(at("in.bin"), data);
  seam::result r = seam::run({"@binput123456<" + at("in.bin"), "@binget123456,00012C>" + at("a.bin")});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(mem(0x123456, 300), data);
  EXPECT_EQ(seam::read_file(at("a.bin")), data);

  seam::reset();
  seam::write_file(at("rt.scr"), "@binputABCDEF<" + at("in.bin") + "\n@binget" + "ABCDEF,00012C>" +
                                     at("b.bin") + "\n");
  r = seam::run({at("rt.scr")});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(mem(0xABCDEF, 300), data);
  EXPECT_EQ(seam::read_file(at("b.bin")), data);
}
