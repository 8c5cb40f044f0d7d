// The script interpreter: line kinds, condition chains, includes, line
// reading, and its failures.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "quarn.h"
#include "seam.h"

namespace {

typedef std::vector<std::string> texts;
using seam::ends_with;
using seam::sent;

const std::string S2REC = "S20800040001020304E9\n";  // 01 02 03 04 at 000400
const std::string S8REC = "S804000000FB\n";

// Scripts are written to a fresh working folder and named from there.
struct Script : ::testing::Test {
  void SetUp() override {
    seam::reset();
    seam::in_tmpdir();
  }
  seam::result go(const std::string &name, const std::string &text) {
    seam::write_file(name, text);
    return seam::script(name);
  }
};

}  // namespace

TEST_F(Script, LineKinds) {
  seam::write_file("sub.scr", "R000000,01\n");
  seam::result r = go("a.scr", "; comment\nW000000<5A\n!*\n@hexget000000,000002>h.txt\n!=5AFF!Read failed\n"
                               "#sub.scr\n?=5A!R000001,01\n" + S2REC + S8REC + "S9030000FC\n");
  EXPECT_EQ(r.out, "\nLoading: a.scr\n\rSend: W000000<5A\n\rAnswer: *Executing:@hexget000000,000002>h.txt\n\n"
                   "\nLoading: sub.scr\n\rSend: R000000,01\n\rAnswer: =5A\rSend: R000001,01\n\rAnswer: =FF"
                   "\rPacking...\rPacking...\rSending block 000400   OK\n\rFlushing write buffer  OK\n"
                   "\rSend: S9030000FC\n\rAnswer: *");
  EXPECT_EQ(seam::read_file("h.txt"), "000000: 5A FF \n");
  texts s = sent();
  s.at(4).resize(1);  // the S2 record went as a block telegram
  EXPECT_EQ(s, texts({"W000000<5A\n", "R000000,02\n", "R000000,01\n", "R000001,01\n", "s", S8REC,
                      "S9030000FC\n"}));
}

TEST_F(Script, Failures) {
  struct {
    const char *o, *text, *tail;  // the answer before, the script, the end of the console text
  } cases[] = {
      {"=5A", "!\n!=\n!=6\n", "\nError: Incorrect response.\nExit code 7\n"},
      {"=5A", "!=6!Wrong byte\n", "\nError: Wrong byte\n\nExit code 7\n"},
      {"", "@hexgot\n", "Executing:@hexgot\n\nError: Unknown command:@hexgot\n \nExit code 9\n"},
      {"", "R000000,01\nX1\n", "\rAnswer: ?Unknown commandError: Negative response.\nExit code 6\n"},
      {"AB", "?Z!no\n?!\n", "\nError: No choice.\nExit code 7\n"},
      {"AB", "?Z!no\n\?\?Y!no\n?!Board not ready\n", "\nError: Board not ready\n\nExit code 7\n"},
      {"", "!\n\n?O\x85K!x\r\n", "\nLoading: f.scr\nError: Bad syntax:f.scr line:3 :?O\x85K!x\n\nExit code 8\n"},
      {"", "\?\?OK", "Error: Bad syntax:f.scr line:1 :\?\?OK\nExit code 8\n"},
      {"A", "?A!?Z\n", " line:1 :?A!?Z\n\nExit code 8\n"},  // a matched rest: the line as read is shown
      {"", "# x.scr\n", "\nError: Can't open file  \nExit code 3\n"},  // a blank after '#': the empty name
  };
  for (auto &c : cases) {
    seam::reset();
    strcpy(o, c.o);
    EXPECT_TRUE(ends_with(go("f.scr", c.text).out, c.tail)) << c.text;
  }

  // A script that cannot be read is no empty script.
  ASSERT_EQ(mkdir("d.scr", 0700), 0);
  seam::result r = seam::run({"d.scr"});
  EXPECT_TRUE(ends_with(r.out, "UART init O.K.\n\nLoading: d.scr\nError: Can't read file d.scr \nExit code 3\n"))
      << r.out;
}

TEST_F(Script, ConditionChains) {
  for (int i = 0; i < 12; i++) seam::fates.push_back(seam::answer("AB"));
  strcpy(o, "AB");
  seam::write_file("i.scr", "i1\n");
  seam::result r = go("c.scr",
                      "?A!c1\n\?\?A!no\n"               // a match sets 1; "??" lines are skipped while 1
                      "x1\n!B\n\?\?!no\n?!never\n"        // other kinds leave the state alone
                      "?A!c2\n?Z!no\n\?\?Z!no\n\?\?B!c3\n"  // evaluated again after a match; 0, 0, 1
                      "?Z!no\n\?\?!c4\n"                 // otherwise
                      "?A!?B!c5\n?A!?Z!no\n\?\?!c6\n?!\n"  // both; the rest sets 0 again; "?!" passes
                      "?A!\n?A! c7 ;x\n?A!#i.scr\n"      // the rest as it stands, of any kind, even a bare line end
                      "?A B!no\n\?\?A!?A!?A!c8");         // blanks belong to the pattern
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(sent(),
            texts({"c1\n", "x1\n", "c2\n", "c3\n", "c4\n", "c5\n", "c6\n", "\n", " c7 ;x\n", "i1\n", "c8"}));
}

TEST_F(Script, Includes) {
  // Each script has its own line counter and condition state; the answer
  // they test is shared.
  seam::write_file("sub.scr", "\?\?A!s1\n?Z!no\n");  // ends in state 0
  seam::write_file("sub2.scr", "?Q!s2\n");          // ends in state 1
  seam::fates = {seam::answer("A"), seam::answer("A"), seam::answer("Q"), seam::answer("Q"), seam::answer("Q")};
  seam::result r =
      go("main.scr", "R1\n?A!c1\n#sub.scr\n\?\?!no\n!Q\n?Z!no\n#sub2.scr\n\?\?!m1\n#sub.scr ; notes\n");
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(sent(), texts({"R1\n", "c1\n", "s1\n", "s2\n", "m1\n"}));

  // A fault in the included script names it and its own line number.
  seam::write_file("bad.scr", "; one\n\n?OK\n");
  r = go("outer.scr", "; 1\n; 2\n; 3\n; 4\n#bad.scr\n");
  EXPECT_TRUE(ends_with(r.out, "\nLoading: bad.scr\nError: Bad syntax:bad.scr line:3 :?OK\n\nExit code 8\n"));

  // Nesting stops at 64 levels, for a script including itself and for two
  // including each other; the message names the innermost file and line.
  seam::write_file("self.scr", "; 1\n#self.scr\n");
  seam::write_file("a.scr", "#b.scr\n");
  seam::write_file("b.scr", "#a.scr\n");
  for (auto c : {std::make_pair("self.scr", "self.scr line:2"), std::make_pair("a.scr", "b.scr line:1")}) {
    r = seam::script(c.first);
    size_t loads = 0;
    for (size_t i = 0; (i = r.out.find("\nLoading: ", i)) != std::string::npos; i++) loads++;
    EXPECT_EQ(loads, 64u) << c.first;
    EXPECT_TRUE(ends_with(r.out, std::string("\nError: Includes nested deeper than 64 levels:") + c.second +
                                     "\nExit code 8\n"));
  }
}

TEST_F(Script, LineReading) {
  for (int i = 0; i < 10; i++) seam::fates.push_back(seam::answer("ok"));
  std::string longline(300, 'L');
  longline[244] = 'x';
  seam::result r = go("long.scr", longline + "\n?bad\n");
  EXPECT_TRUE(ends_with(r.out, "Error: Bad syntax:long.scr line:3 :?bad\n\nExit code 8\n")) << r.out;
  EXPECT_EQ(sent(), texts({longline.substr(0, 245), longline.substr(245) + "\n"}));

  // Skipped lines; a last line without its line end goes without one.
  seam::reset();
  EXPECT_EQ(go("skip.scr", " R000000,01\n\tR000000,01\n\x80R000000,01\n;R000000,01\n\n\r\nR000000,01").code, -1);
  EXPECT_EQ(sent(), texts({"R000000,01"}));

  // CR LF line ends reach the board, and the console, exactly as LF ones.
  seam::reset();
  r = go("crlf.scr", "W000000<12\r\nR000000,01\r\n?=12!R000000,02\r\n\?\?!no\r\n~W000001<34\r\nR000001,01\r\n");
  EXPECT_EQ(sent(), texts({"W000000<12\n", "R000000,01\n", "R000000,02\n", "W000001<34\n", "R000001,01\n"}));
  EXPECT_EQ(r.out.find("\r\n"), std::string::npos) << r.out;
}

TEST_F(Script, TildeLinesAndOldFirmware) {
  seam::drop_next(1);
  seam::result r = go("t.scr", "~R000000,01\n!\n");
  EXPECT_EQ(r.code, -1);
  EXPECT_TRUE(ends_with(r.out, "\rSend: ~R000000,01\n\rAnswer: ")) << r.out;
  EXPECT_EQ(sent(), texts({"R000000,01\n"}));

  // With 'old' the S-records go to the board as text.
  seam::reset(true);
  seam::write_file("old.s28", S2REC + S8REC);
  r = seam::run({"old", "old.s28"});
  EXPECT_TRUE(ends_with(r.out, "\rSend: " + S2REC + "\rAnswer: *\rSend: " + S8REC +
                                   "\rAnswer: %*\nLoading completed with no errors.\nExit code 0\n"))
      << r.out;
  EXPECT_EQ(sent(), texts({S2REC, S8REC}));
  EXPECT_EQ(seam::brd.mem[0x400], 1);
}
