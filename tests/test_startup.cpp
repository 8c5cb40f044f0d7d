// Start-up: splitting the command line, the argument store's limits, options
// and the settings lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "comdrv.h"
#include "quarn.h"
#include "seam.h"

namespace {

typedef std::vector<std::string> args;

// The arguments cmdsplit makes of a tail, joined by '|'; or its error's start.
std::string split(const std::string &tail) {
  static cmdstore s;
  if (const char *e = cmdsplit(tail.c_str(), &s)) return std::string(e).substr(0, 6);
  std::string v;
  for (int k = 1; k <= s.cmdno; k++) v += (k > 1 ? "|" : "") + std::string(s.cmdpar2[k]);
  return v;
}

TEST(Startup, SplittingAndTheStoresLimits) {
  // Past a limit (127 characters an argument, 127 arguments, 255 characters
  // in all) the line is refused, never cut.
  std::string many = "a", tail(255, 'a');
  for (int i = 1; i < 127; i++) many += " a";
  tail[100] = tail[200] = ' ';
  auto bars = [](std::string s) { return std::replace(s.begin(), s.end(), ' ', '|'), s; };
  // The character after a separating space is always taken, even a space;
  // no quoting; a tab is part of an argument.
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

const std::string USAGE =
    " \n Use: quarn.exe [p3f8] [i4] [b38400] [old] [file(-s)] [command(-s)]\n"
    " Option 'old' required for boards with BIOS version prior to 1.28\n"
    " Note: All options and commands are case sensitive ! \nExit code 0";
const std::string WRONG = "Wrong settings, can't initialize UART\nExit code 2";
const std::string DONE = "\nLoading completed with no errors.\nExit code 0\n";

TEST(Startup, OptionsAndSettingsLines) {
  struct {
    args a;
    int code;
    std::string text;
    args sent;
    int mode;
  } cases[] = {
      // Help anywhere ends the run before the port; refused settings end it with code 2.
      {{"p2f8", "?", "cmd"}, 0, USAGE, {}, 0}, {{"p2f8", "-?", "cmd"}, 0, USAGE, {}, 0},
      {{"x?yz"}, 0, USAGE, {}, 0}, {{"p2f9"}, 2, WRONG, {}, 0}, {{"p2e8"}, 2, WRONG, {}, 0},
      {{"b300"}, 2, WRONG, {}, 0}, {{"b14400"}, 2, WRONG, {}, 0}, {{"bx"}, 2, WRONG, {}, 0},
      {args(128, "x"), 8, "Error: Too many arguments", {}, 0},
      // An option counts as an argument: no identity query.
      {{"p2f8"}, 0,
       "Serial UART port:2f8 irq:4 baud:38400 mode:0\rSerial UART port:2f8 irq:4 baud:38400 mode:0 \n"
       "UART init O.K.\n" + DONE, {}, 0},
      {{"i3", "m4", "b115200"}, 0, "\rSerial UART port:3f8 irq:3 baud:115200 mode:1 \nUART init O.K.\n" + DONE,
       {}, 4},
      // The rightmost of a form is taken, others are commands; the program's
      // arguments are taken as they are, blanks and all.
      {{"b9600", "b19200"}, 0, "baud:19200 mode:0 \nUART init O.K.\n\rSend scmd: b9600\n", {"b9600\n"}, 0},
      {{"m2", "m7", "a  b", "ram", "old"}, 0, "\rSend scmd: m2\n", {"m2\n", "m7\n", "a  b\n"}, 0},
  };
  for (auto &c : cases) {
    seam::reset();
    seam::fates = {seam::answer("ok"), seam::answer("ok"), seam::answer("ok")};
    auto r = seam::run(c.a);
    EXPECT_EQ(r.code, c.code) << c.a[0];
    EXPECT_EQ(r.out.rfind("\n ORBA-01 loader ver. 0.95 (BELKOS v1.28) ", 0), c.code == 8 ? r.out.npos : 0u);
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
    EXPECT_EQ(seam::port_opened, c.text != USAGE && c.code != 8 && c.code != 2);
    EXPECT_EQ(seam::sent(), c.sent);
    EXPECT_EQ(comdrv_mode, c.mode);
  }
  EXPECT_EQ(olds24, 5u);
  EXPECT_EQ(ramc, 4u);
}

}  // namespace
