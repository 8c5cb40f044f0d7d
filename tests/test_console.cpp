// Progress for a person at a terminal: percentages on the lines that
// long transfers overwrite, never in a file or pipe, and a console that
// finally shows what it shows without them.
#include <gtest/gtest.h>

#include "quarn.h"
#include "seam.h"

namespace {

// Every kind of progress in one run: an image packed and verified, a read,
// a write, a comparison.
seam::result transfers(const std::string &dir, int at_terminal) {
  std::string img;
  for (int a = 0x1000; a < 0x1100; a += 16) {
    char rec[64];
    unsigned sum = 0x14 + (a >> 8 & 0xFF) + (a & 0xFF);
    snprintf(rec, sizeof rec, "S214%06X%s%02X\n", a, std::string(32, '0').c_str(), ~sum & 0xFF);
    img += rec;
  }
  seam::write_file(dir + "/img.s28", img + "S804000000FB\n");
  seam::write_file(dir + "/p.bin", std::string(100, 'p'));
  seam::reset();
  terminal = at_terminal;
  auto r = seam::run({"verify", dir + "/img.s28", "@binget001000,000080>" + dir + "/r.bin",
                      "@binput000400<" + dir + "/p.bin", "@bincmp000400<" + dir + "/p.bin"});
  terminal = 0;
  return r;
}

TEST(Console, PercentagesAtATerminalOnly) {
  std::string dir = seam::tmpdir();
  auto pipe = transfers(dir, 0), tty = transfers(dir, 1);
  EXPECT_EQ(pipe.code, 0) << pipe.out;
  EXPECT_EQ(tty.code, 0) << tty.out;
  EXPECT_EQ(pipe.out.find('%'), std::string::npos) << pipe.out;
  const std::string clear = "\r                      \r";
  std::vector<std::string> shown = {
      "\rPacking...   6%\rPacking...  12%",
      "\rPacking...  55%" + clear + "\rSending block 001000   OK\n",
      "\rVerifying 001000   0%\rVerifying 001040  25%",
      "\rVerifying 0010C0  75%" + clear + "\rVerified 256 bytes  OK\n",
      "\rReading 001000   0%\rReading 001040  50%" + clear + "Executing:@binput",
      "\rWriting 000400   0%\rWriting 000440  64%" + clear + "\rVerifying 000400   0%"};
  for (auto &seen : shown)
    EXPECT_NE(tty.out.find(seen), std::string::npos) << seen << "\n" << tty.out;
  // What the terminal finally shows reads as without the percentages.
  EXPECT_EQ(seam::drawn(tty.out), seam::drawn(pipe.out));
}

// The program itself: a pseudo-terminal as its standard output gets the
// percentages, a pipe doesn't.
TEST(Console, ThePseudoTerminalAndThePipe) {
  std::string run = std::string(QUARN_SIM_BIN) + " -- " + QUARN_BIN + " '@binget000000,000400>r.bin'";
  auto pipe = seam::sh(run, seam::tmpdir());
  auto tty = seam::sh("script -qec " + seam::quote(run) + " /dev/null", seam::tmpdir());
  EXPECT_EQ(pipe.first, 0) << pipe.second;
  EXPECT_NE(pipe.second.find("Summary: "), std::string::npos) << pipe.second;
  EXPECT_EQ(pipe.second.find("Reading"), std::string::npos) << pipe.second;
  EXPECT_NE(tty.second.find("\rReading 000200  50%"), std::string::npos) << tty.second;
}

}  // namespace
