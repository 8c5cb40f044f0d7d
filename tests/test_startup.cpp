// Start-up: splitting the command line, the argument store's limits, options
// and the settings lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comdrv.h"
#include "quarn.h"
#include "seam.h"

namespace {

std::vector<std::string> split(const char *tail, const char **err = nullptr) {
  static cmdstore s;
  const char *e = cmdsplit(tail, &s);
  if (err) *err = e;
  std::vector<std::string> v;
  for (int k = 0; k <= s.cmdno; k++) v.push_back(s.cmdpar2[k]);
  return v;
}

typedef std::vector<std::string> args;

TEST(StartupSplit, SpacesSeparateAndOnlySpaces) {
  EXPECT_EQ(split(""), args({""}));
  EXPECT_EQ(split("p2f8 b9600 boot.scr"), args({"", "p2f8", "b9600", "boot.scr"}));
  // The character after a separating space is always taken, even a space.
  EXPECT_EQ(split("a  b"), args({"", "a", " b"}));
  EXPECT_EQ(split("a   b"), args({"", "a", " ", "b"}));
  EXPECT_EQ(split("a "), args({"", "a", ""}));
  // No quoting, and a tab is part of an argument.
  EXPECT_EQ(split("\"x y\"\tz"), args({"", "\"x", "y\"\tz"}));
}

TEST(StartupSplit, ProgramNameSkipped) {
  EXPECT_STREQ(cmdtail("quarn.exe  p2f8 x"), "p2f8 x");
  EXPECT_STREQ(cmdtail("quarn.exe"), "");
  EXPECT_STREQ(cmdtail("\"C:\\Program Files\\quarn.exe\" b9600"), "b9600");
}

TEST(StartupSplit, LimitsRefusedNeverCut) {
  const char *err;
  std::string a127(127, 'x'), a128(128, 'x');
  EXPECT_EQ(split(a127.c_str(), &err), args({"", a127}));
  EXPECT_EQ(err, nullptr);
  split(a128.c_str(), &err);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err).rfind("Error:", 0), 0u);

  std::string many;
  for (int i = 0; i < 127; i++) many += i ? " a" : "a";
  EXPECT_EQ(split(many.c_str(), &err).size(), 128u);
  EXPECT_EQ(err, nullptr);
  split((many + " a").c_str(), &err);
  EXPECT_NE(err, nullptr);

  std::string tail(255, 'a');
  for (size_t i = 100; i < 255; i += 100) tail[i] = ' ';
  split(tail.c_str(), &err);
  EXPECT_EQ(err, nullptr);
  split((tail + "a").c_str(), &err);
  EXPECT_NE(err, nullptr);
}

TEST(StartupArgs, PosixVectorTakenUnchanged) {
  static cmdstore s;
  char a0[] = "quarn", a1[] = "a  b", a2[] = "";
  char *argv[] = {a0, a1, a2};
  EXPECT_EQ(cmdtake(3, argv, &s), nullptr);
  EXPECT_EQ(s.cmdno, 2);
  EXPECT_STREQ(s.cmdpar2[0], "");
  EXPECT_STREQ(s.cmdpar2[1], "a  b");
  EXPECT_STREQ(s.cmdpar2[2], "");

  seam::reset();
  std::vector<std::string> many(128, "x");
  auto r = seam::run(many);
  EXPECT_EQ(r.code, 8);
  EXPECT_NE(r.out.find("Error: Too many arguments"), std::string::npos);
  EXPECT_EQ(seam::port_opened, 0);
}

const std::string banner = "\n ORBA-01 loader ver. 0.95 (BELKOS v1.28) ";

TEST(StartupOptions, HelpAnywhereEndsBeforeThePort) {
  for (const char *h : {"?", "-?", "x?yz"}) {
    seam::reset();
    auto r = seam::run({"p2f8", h, "cmd"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind(banner, 0), 0u);
    EXPECT_NE(r.out.find(" \n Use: quarn.exe [p3f8] [i4] [b38400] [old] [file(-s)] [command(-s)]\n"
                         " Option 'old' required for boards with BIOS version prior to 1.28\n"
                         " Note: All options and commands are case sensitive ! \nExit code 0"),
              std::string::npos);
    EXPECT_EQ(seam::port_opened, 0);
    EXPECT_TRUE(seam::wire.empty());
  }
}

TEST(StartupOptions, SettingsLinesAndDefaults) {
  seam::reset();
  auto r = seam::run({"p2f8"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("Serial UART port:2f8 irq:4 baud:38400 mode:0"
                       "\rSerial UART port:2f8 irq:4 baud:38400 mode:0 \n"
                       "UART init O.K.\n\nLoading completed with no errors.\nExit code 0\n"),
            std::string::npos);
  // An option counts as an argument: no identity query.
  EXPECT_TRUE(seam::wire.empty());

  seam::reset();
  r = seam::run({"i3", "m4", "b115200"});
  EXPECT_NE(r.out.find("\rSerial UART port:3f8 irq:3 baud:115200 mode:1 \n"), std::string::npos);
  EXPECT_EQ(comdrv_mode, 4);
}

// The text commands the board received, line ends and all.
std::vector<std::string> sent() {
  std::vector<std::string> v;
  for (auto &t : seam::wire) v.push_back(std::string(t.begin() + 8, t.end() - 2));
  return v;
}

TEST(StartupOptions, RightmostOfAFormIsTakenOthersAreCommands) {
  seam::reset();
  auto r = seam::run({"b9600", "b19200"});
  EXPECT_EQ(comdrv_baud, 19200);
  // The board answers an unknown command negatively.
  EXPECT_EQ(r.code, 7);
  EXPECT_EQ(sent(), std::vector<std::string>({"b9600\n"}));

  seam::reset();
  seam::fates = {seam::answer("ok"), seam::answer("ok")};
  r = seam::run({"m2", "m7"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(comdrv_mode, 0);
  EXPECT_EQ(sent(), std::vector<std::string>({"m2\n", "m7\n"}));

  seam::reset();
  r = seam::run({"ram", "old", "p2f8"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(olds24, 2u);
  EXPECT_EQ(ramc, 1u);
  EXPECT_TRUE(seam::wire.empty());
}

TEST(StartupOptions, RefusedSettingsEndWithCode2) {
  for (auto a : {"p2f9", "p2e8", "b300", "b14400", "bx"}) {
    seam::reset();
    auto r = seam::run({a});
    EXPECT_EQ(r.code, 2) << a;
    EXPECT_NE(r.out.find("Wrong settings, can't initialize UART\nExit code 2"), std::string::npos);
  }
}

}  // namespace
