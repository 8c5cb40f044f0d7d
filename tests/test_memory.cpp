// Memory transfer: @binget, @hexget, @binput and their parser, from the
// command line and from scripts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quarn.h"
#include "seam.h"

namespace {

typedef std::vector<std::string> texts;

std::string hexof(const std::string &s) {
  std::string h = seam::hex(bytes(s.begin(), s.end()));
  h.erase(std::remove(h.begin(), h.end(), ' '), h.end());
  return h;
}

// Files are named from a fresh working folder; the board holds 00..FF from 0x400.
struct Memory : ::testing::Test {
  void SetUp() override {
    seam::reset();
    seam::in_tmpdir();
    for (int i = 0; i < 256; i++) seam::brd.mem[0x400 + i] = (uint8_t)i;
  }
  std::string mem(unsigned a, unsigned n) { return std::string(&seam::brd.mem[a], &seam::brd.mem[a] + n); }
  seam::result cmd(const std::string &c) {
    return seam::call([&] { EXPECT_EQ(zpracuj_prikaz(c.c_str()), nullptr); });
  }
};

}  // namespace

TEST_F(Memory, Transfers) {
  const std::string in = "\x01\x02", in100 = mem(0x480, 100);
  const std::string BAD12 = "Error: Bad length (1/2).\nExit code 9\n", R1 = "R000400,01\n";
  const std::string UNEXPECTED = "Error: Unexpected response: ";
  struct row {
    std::string cmd;  // x.in holds `in`; x.out held older, longer contents
    std::string in;
    texts answers;
    std::string out;  // console text, "" when it went well
    texts sent;
    std::string file;  // x.out as left
  };
  std::vector<row> cases = {
      {"@binget000400,000000>x.out", "", {}, "", {}, ""},
      {"@binget000400,000041>x.out", "", {}, "", {"R000400,40\n", "R000440,01\n"}, mem(0x400, 0x41)},
      {"@hexget000400,000020>x.out", "", {}, "", {"R000400,10\n", "R000410,10\n"},
       "000400: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n"
       "000410: 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F \n"},
      // The target's own letter case, and punctuation from 0x3A up, as sent.
      {"@hexget000400,000002>x.out", "", {"=aB:;"}, "", {"R000400,02\n"}, "000400: aB :; \n"},
      // A short answer is not asked again: the next request starts 64 bytes on.
      {"@binget000400,000040>x.out", "", {"=" + hexof(mem(0x400, 60))},
       "Error: Bad length (60/64).\nExit code 9\n", {"R000400,40\n"}, mem(0x400, 60)},
      {"@binget000400,000080>x.out", "", {"=" + hexof(mem(0x400, 60))},
       "Error: Bad length (124/128).\nExit code 9\n", {"R000400,40\n", "R000440,40\n"},
       mem(0x400, 60) + mem(0x440, 64)},
      // '!' and '?' fail @hexget only; the answer must begin with '='.
      {"@binget000400,000001>x.out", "", {"=12!"}, "", {R1}, "\x12"},
      {"@hexget000400,000001>x.out", "", {"=12!"}, UNEXPECTED + "=12!\nExit code 7\n", {R1}, ""},
      {"@hexget000400,000001>x.out", "", {"=12?"}, UNEXPECTED + "=12?\nExit code 7\n", {R1}, ""},
      {"@binget000400,000001>x.out", "", {"12"}, UNEXPECTED + "12\nExit code 7\n", {R1}, ""},
      {"@binput000400<x.in", in, {"=*"}, UNEXPECTED + "=*\nExit code 7\n", {"W000400<0102\n"}, "-"},
      // A character below '0', compared signed, ends the pair scan: so do bytes
      // from 0x80 up; everything from '0' to 0x7F makes a pair.
      {"@binget000400,000005>x.out", "", {"=7f:0[1{\x7F" "A"}, "", {"R000400,05\n"},
       std::string("\x7F\0\0\0\x0A", 5)},
      // @binput in pieces of 64; an empty file sends nothing. A file that would
      // run past 0xFFFFFF is refused before anything is written.
      {"@binput000400<x.in", "", {}, "", {}, "-"},
      {"@binputFFFFC0<x.in", std::string(64, 'C'), {}, "", {"WFFFFC0<" + hexof(std::string(64, 'C')) + "\n"}, "-"},
      {"@binputFFFFFF<x.in", "D", {}, "", {"WFFFFFF<44\n"}, "-"},
      {"@binputFFFFC0<x.in", std::string(65, 'A'), {},
       "Error: File x.in (65 bytes) does not fit in target memory from FFFFC0.\nExit code 9\n", {}, "-"},
      {"@binputFFFFFF<x.in", "BB", {},
       "Error: File x.in (2 bytes) does not fit in target memory from FFFFFF.\nExit code 9\n", {}, "-"},
      {"@binput000400<x.in", in100, {}, "",
       {"W000400<" + hexof(in100.substr(0, 64)) + "\n", "W000440<" + hexof(in100.substr(64)) + "\n"}, "-"},
  };
  for (std::string stop : {" ", "/", "!", "\n", "\x80", "\xFF"})
    cases.push_back({"@binget000400,000002>x.out", "", {"=12" + stop + "34"}, BAD12, {"R000400,02\n"}, "\x12"});
  for (auto &c : cases) {
    seam::reset();
    for (int i = 0; i < 256; i++) seam::brd.mem[0x400 + i] = (uint8_t)i;
    seam::write_file("x.in", c.in);
    seam::write_file("x.out", "-");
    if (c.file != "-") seam::write_file("x.out", "old contents, longer than the new, longer than the new");
    for (auto &a : c.answers) seam::fates.push_back(seam::answer(a));
    seam::result r = cmd(c.cmd);
    EXPECT_EQ(r.out, c.out) << c.cmd;
    EXPECT_EQ(seam::sent(), c.sent) << c.cmd;
    EXPECT_EQ(seam::read_file("x.out"), c.file) << c.cmd;
  }
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
    seam::result r = seam::run({c.first});
    EXPECT_TRUE(seam::ends_with(r.out, "Executing:" + c.first + "\nError: " + c.second + ":" + c.first +
                                           " \nExit code 9\n"))
        << r.out;
    EXPECT_TRUE(seam::wire.empty());
  }

  // A script line's line end counts toward the length; the name is empty.
  seam::write_file("s.scr", "@binput000400<\n");
  EXPECT_TRUE(seam::ends_with(seam::run({"s.scr"}).out,
                              "Executing:@binput000400<\n\nError: Can't open file  \nExit code 3\n"));
}

// Names longer than 63 characters are taken whole, never cut, from the
// command line and from the longest script lines.
TEST_F(Memory, LongFileNamesTakenWhole) {
  std::string in100(100, 'i'), out100(100, 'o'), in231(231, 'I'), out223(223, 'O');
  seam::write_file(in100, "abc");
  seam::result r = seam::run({"@binput000400<" + in100, "@binget000400,000003>" + out100});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(mem(0x400, 4), std::string("abc\x03"));
  EXPECT_EQ(seam::read_file(out100), "abc");

  seam::write_file(in231, "xyz");
  // Two lines of 245 characters, the last without its line end.
  seam::write_file("s.scr", "@binget000400,000003>" + out223 + "\n@binput000500<" + in231);
  r = seam::run({"s.scr"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(seam::read_file(out223), "abc");
  EXPECT_EQ(mem(0x500, 3), "xyz");
}
