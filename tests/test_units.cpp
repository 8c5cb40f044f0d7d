// What no scenario reaches: the Windows command-line splitter, sendc's own
// limit, and how much the Windows layer reads of an answer still arriving.
#include <gtest/gtest.h>

#include <algorithm>

#include "comdrv.h"
#include "quarn.h"
#include "seam.h"

namespace {

// The arguments cmdsplit makes of a tail, joined by '|'; or its error's start.
std::string split(const std::string &tail) {
  static cmdstore s;
  if (const char *e = cmdsplit(tail.c_str(), &s)) return std::string(e).substr(0, 6);
  std::string v;
  for (int k = 1; k <= s.cmdno; k++) v += (k > 1 ? "|" : "") + std::string(s.cmdpar2[k]);
  return v;
}

TEST(Units, SplittingTheWindowsCommandLine) {
  // The character after a separating space is always taken, even a space; no
  // quoting; a tab is part of an argument. Past a limit (127 characters an
  // argument, 127 arguments, 255 characters in all) the line is refused.
  std::string many = "a", tail(255, 'a');
  for (int i = 1; i < 127; i++) many += " a";
  tail[100] = tail[200] = ' ';
  auto bars = [](std::string s) { return std::replace(s.begin(), s.end(), ' ', '|'), s; };
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"p2f8 b9600 boot.scr", "p2f8|b9600|boot.scr"}, {"a  b", "a| b"}, {"a   b", "a| |b"},
      {"a ", "a|"}, {"\"x y\"\tz", "\"x|y\"\tz"}, {std::string(127, 'x'), std::string(127, 'x')},
      {std::string(128, 'x'), "Error:"}, {many, bars(many)}, {many + " a", "Error:"}, {tail, bars(tail)},
      {tail + "a", "Error:"}};
  for (auto &c : cases) EXPECT_EQ(split(c.first), c.second) << c.first;
  EXPECT_STREQ(cmdtail("quarn.exe  p2f8 x"), "p2f8 x");
  EXPECT_STREQ(cmdtail("quarn.exe"), "");
  EXPECT_STREQ(cmdtail("\"C:\\Program Files\\quarn.exe\" b9600"), "b9600");
}

// The longest text fills the 256-byte telegram, a '~' not counted; one more
// is refused before anything is sent.
TEST(Units, CommandTextLimit) {
  for (std::string pre : {"", "~"}) {
    seam::reset();
    seam::call([&] { sendc((pre + std::string(246, 'x')).c_str()); });
    auto r = seam::call([&] { sendc((pre + std::string(247, 'x')).c_str()); });
    EXPECT_EQ(r.out, "Error: Command too long (247 characters, at most 246).\nExit code 8\n");
    ASSERT_EQ(seam::wire.size(), 1u);
    EXPECT_EQ(seam::text_of(seam::wire[0]), std::string(246, 'x'));
  }
}

// The bytes still missing of the answer frame now arriving: unknown until
// its length has come, none once a frame has come, none when the window's
// bytes don't begin a frame or already hold more than its length.
TEST(Units, BytesMissingOfAnAnswer) {
  auto missing = [](const std::string &hex) {
    char tel[256] = "\x68\x01\x01\x68\x7F\x7F\x47\xF5X";
    unsigned char tx[256];
    comdrv_otevreno(0);
    comdrv_zacni(tel, 11, tx, 0);
    comdrv_odeslano(0);
    std::string b = seam::bytes_of(hex);
    comdrv_prijato((const unsigned char *)b.data(), (int)b.size(), 1);
    return comdrv_chybi();
  };
  EXPECT_EQ(missing("68 07 07 68 F5"), 8);
  EXPECT_EQ(missing("68"), 0);
  EXPECT_EQ(missing("16 07 07 68 F5"), 0);
  EXPECT_EQ(missing("68 FF 68 07 07 68 F5 47 7F 7F 3D 35 41 ED 16"), 0);
  EXPECT_EQ(missing("68 02 02 68 00 00 01 16 00 00"), 0);
}

}  // namespace
