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

class Script : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    seam::reset();
    dir = seam::tmpdir();
  }
  // Writes a script into the test's folder; returns its path.
  std::string put(const std::string &name, const std::string &text) {
    std::string p = dir + "/" + name;
    seam::write_file(p, text);
    return p;
  }
  seam::result go(const std::string &path) {
    return seam::call([&] { zpracuj_soubor(path.c_str()); });
  }
  // Every answer from now on carries this text.
  void answers(const std::string &text, int n = 40) {
    for (int i = 0; i < n; i++) seam::fates.push_back(seam::answer(text));
  }
  // The command texts that went out, in order.
  std::vector<std::string> sent() {
    std::vector<std::string> v;
    for (const bytes &t : seam::wire) v.emplace_back(t.begin() + 8, t.end() - 2);
    return v;
  }
};

typedef std::vector<std::string> texts;

bool ends_with(const std::string &s, const std::string &e) {
  return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

const char *const S2REC = "S20800040001020304E9\n";  // 01 02 03 04 at 000400
const char *const S8REC = "S804000000FB\n";

}  // namespace

TEST_F(Script, LineKinds) {
  std::string sub = put("sub.scr", "R000000,01\n");
  std::string p = put("a.scr", "; comment\n"
                               "W000000<5A\n"
                               "!*\n"
                               "@hexget000000,000002>" + dir + "/h.txt\n"
                               "!=5AFF!Read failed\n"
                               "#" + sub + "\n"
                               "?=5A!R000001,01\n" +
                               S2REC + S8REC + "S9030000FC\n");
  seam::result r = go(p);
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(r.out.rfind("\nLoading: " + p + "\n\rSend: W000000<5A\n\rAnswer: *"
                        "Executing:@hexget000000,000002>" + dir + "/h.txt\n\n"
                        "\nLoading: " + sub + "\n\rSend: R000000,01\n\rAnswer: =5A"
                        "\rSend: R000001,01\n\rAnswer: =FF\rPacking...", 0),
            0u)
      << r.out;
  EXPECT_TRUE(ends_with(r.out, "\rSend: S9030000FC\n\rAnswer: *")) << r.out;
  EXPECT_EQ(seam::read_file(dir + "/h.txt"), "000000: 5A FF \n");
  texts s = sent();
  ASSERT_EQ(s.size(), 7u);
  EXPECT_EQ(s[1], "R000000,02\n");
  EXPECT_EQ(s[4][0], 's');  // the S2 record went as a block telegram
  EXPECT_EQ(s[5], S8REC);
  EXPECT_EQ(seam::brd.mem[0x403], 4);

  // Failures of a check line, with and without a message; a rejected @-line.
  seam::reset();
  strcpy(o, "=5A");
  r = go(put("c1.scr", "!\n!=\n!=6\n"));
  EXPECT_TRUE(ends_with(r.out, "\nError: Incorrect response.\nExit code 7\n")) << r.out;
  r = go(put("c2.scr", "!=6!Wrong byte\n"));
  EXPECT_TRUE(ends_with(r.out, "\nError: Wrong byte\n\nExit code 7\n")) << r.out;
  r = go(put("c3.scr", "@hexgot\n"));
  EXPECT_EQ(r.code, 9);
  EXPECT_TRUE(ends_with(r.out, ":@hexgot\n \nExit code 9\n")) << r.out;
  r = go(put("c4.scr", "R000000,01\nX1\n"));
  EXPECT_EQ(r.code, 6);
  EXPECT_TRUE(ends_with(r.out, "\rAnswer: ?Unknown command" "Error: Negative response.\nExit code 6\n"))
      << r.out;
}

TEST_F(Script, ExampleScript) {
  put("blank.scr", "!=FF\nW00040F<00\n!*\n");  // o is shared
  seam::write_file(dir + "/boot.bin", "\x11\x22");
  put("image.s28", std::string(S2REC) + S8REC);
  std::string p = put("main.scr",
                      "; check the target and load\n"
                      "R000400,01\n"
                      "?=FF!#" + dir + "/blank.scr\n"
                      "\?\?=00!@binput000400<" + dir + "/boot.bin\n"
                      "?!Unexpected contents\n"
                      "  R000400,01\n"
                      "#" + dir + "/image.s28\n"
                      "@hexget000400,000010>" + dir + "/check.txt\n"
                      "!=!Read failed\n");
  seam::result r = go(p);
  EXPECT_EQ(r.code, -1) << r.out;
  texts s = sent();
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(s, texts({"R000400,01\n", "W00040F<00\n", s[2], S8REC, "R000400,10\n"}));
  EXPECT_EQ(seam::read_file(dir + "/check.txt"),
            "000400: 01 02 03 04 FF FF FF FF FF FF FF FF FF FF FF 00 \n");

  // Second branch: the byte reads 00.
  seam::reset();
  seam::brd.mem[0x400] = 0;
  r = go(p);
  EXPECT_EQ(r.code, -1) << r.out;
  ASSERT_GE(seam::wire.size(), 2u);
  EXPECT_EQ(sent()[1], "W000400<1122\n");

  // Neither: the chain's closing line ends the run.
  seam::reset();
  seam::brd.mem[0x400] = 0x55;
  r = go(p);
  EXPECT_EQ(r.code, 7);
  EXPECT_TRUE(ends_with(r.out, "\rAnswer: =55Error: Unexpected contents\n\nExit code 7\n")) << r.out;
  EXPECT_EQ(seam::wire.size(), 1u);
}

TEST_F(Script, ConditionChains) {
  answers("AB");
  strcpy(o, "AB");
  std::string p = put("c.scr",
                      "?A!c1\n"       // match: 1
                      "\?\?A!no\n"      // skipped while 1
                      "x1\n"          // other kinds leave the state alone
                      "!B\n"
                      "\?\?!no\n"
                      "?!never\n"
                      "?A!c2\n"       // evaluated again after a match
                      "?Z!no\n"       // 0
                      "\?\?Z!no\n"      // 0
                      "\?\?B!c3\n"      // 1
                      "?Z!no\n"
                      "\?\?!c4\n"       // otherwise
                      "?A!?B!c5\n"    // both
                      "?A!?Z!no\n"    // the rest sets 0 again
                      "\?\?!c6\n"
                      "?!\n"          // passes: c6 matched
                      "?A!\n"         // empty rest: the line end alone
                      "?A! c7 ;x\n"   // the rest as it stands
                      "?A B!no\n"     // blanks belong to the pattern
                      "\?\?A!?A!?A!c8");
  seam::result r = go(p);
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(sent(), texts({"c1\n", "x1\n", "c2\n", "c3\n", "c4\n", "c5\n", "c6\n", "\n", " c7 ;x\n",
                           "c8"}));

  // An unmatched chain: without and with a message.
  seam::reset();
  answers("AB");
  r = go(put("n1.scr", "?Z!no\n?!\n"));
  EXPECT_TRUE(ends_with(r.out, "\nError: No choice.\nExit code 7\n")) << r.out;
  r = go(put("n2.scr", "?Z!no\n\?\?Y!no\n?!Board not ready\n"));
  EXPECT_TRUE(ends_with(r.out, "\nError: Board not ready\n\nExit code 7\n")) << r.out;
  EXPECT_TRUE(seam::wire.empty());
}

TEST_F(Script, IncludeHasOwnCounterAndStateSharesResponse) {
  std::string sub = put("sub.scr", "\?\?A!s1\n?Z!no\n");  // ends in state 0
  std::string sub2 = put("sub2.scr", "?Q!s2\n");        // ends in state 1
  std::string p = put("main.scr", "R1\n?A!c1\n#" + sub + "\n\?\?!no\n!Q\n?Z!no\n#" + sub2 +
                                      "\n\?\?!m1\n#" + sub + " ; notes\n");
  seam::fates = {seam::answer("A"), seam::answer("A"), seam::answer("Q"), seam::answer("Q"),
                 seam::answer("Q")};
  seam::result r = go(p);
  EXPECT_EQ(r.code, -1) << r.out;
  EXPECT_EQ(sent(), texts({"R1\n", "c1\n", "s1\n", "s2\n", "m1\n"}));
  EXPECT_NE(r.out.find("\nLoading: " + sub + "\n"), std::string::npos);

  // A fault in the included script names it and its own line number.
  std::string bad = put("bad.scr", "; one\n\n?OK\n");
  r = go(put("outer.scr", "; 1\n; 2\n; 3\n; 4\n#" + bad + "\n"));
  EXPECT_TRUE(ends_with(r.out, "\nLoading: " + bad + "\nError: Bad syntax:" + bad +
                                   " line:3 :?OK\n\nExit code 8\n"))
      << r.out;
  EXPECT_EQ(r.code, 8);

  // A blank after '#' names the empty file.
  r = go(put("blank.scr", "# " + sub + "\n"));
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(ends_with(r.out, "\nError: Can't open file  \nExit code 3\n")) << r.out;
}

TEST_F(Script, BadSyntaxMessage) {
  std::string p = put("a.scr", "!\n\n?O\x85K!x\r\n");
  seam::result r = go(p);
  EXPECT_EQ(r.code, 8);
  EXPECT_EQ(r.out, "\nLoading: " + p + "\nError: Bad syntax:" + p +
                       " line:3 :?O\x85K!x\n\nExit code 8\n");
  r = go(put("b.scr", "\?\?OK"));
  EXPECT_TRUE(ends_with(r.out, " line:1 :\?\?OK\nExit code 8\n")) << r.out;
  // A matched rest that is itself malformed: the line as read is shown.
  strcpy(o, "A");
  r = go(put("c.scr", "?A!?Z\n"));
  EXPECT_TRUE(ends_with(r.out, " line:1 :?A!?Z\n\nExit code 8\n")) << r.out;
}

TEST_F(Script, LineReading) {
  answers("ok");
  std::string longline(300, 'L');
  longline[244] = 'x';
  std::string p = put("long.scr", longline + "\n?bad\n");
  seam::result r = go(p);
  EXPECT_TRUE(ends_with(r.out, "Error: Bad syntax:" + p + " line:3 :?bad\n\nExit code 8\n")) << r.out;
  EXPECT_EQ(sent(), texts({longline.substr(0, 245), longline.substr(245) + "\n"}));

  // Skipped lines; a last line without its line end goes without one.
  seam::reset();
  r = go(put("skip.scr", " R000000,01\n\tR000000,01\n\x80R000000,01\n;R000000,01\n\n\r\nR000000,01"));
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(sent(), texts({"R000000,01"}));

  // CR LF line ends reach the board exactly as LF ones.
  const std::string body =
      "W000000<12\nR000000,01\n?=12!R000000,02\n\?\?!no\n~W000001<34\nR000001,01\n";
  std::string crlf;
  for (char c : body) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  seam::reset();
  seam::result lf = go(put("lf.scr", body));
  std::vector<bytes> wire_lf = seam::wire;
  seam::reset();
  seam::result cr = go(put("cr.scr", crlf));
  EXPECT_EQ(cr.code, -1) << cr.out;
  EXPECT_EQ(seam::wire, wire_lf);
  EXPECT_EQ(sent(), texts({"W000000<12\n", "R000000,01\n", "R000000,02\n", "W000001<34\n",
                           "R000001,01\n"}));
  EXPECT_EQ(seam::brd.mem[1], 0x34);
  EXPECT_EQ(cr.out.substr(cr.out.find("\rSend")), lf.out.substr(lf.out.find("\rSend")));
}

TEST_F(Script, TildeLinesAndOldFirmware) {
  seam::drop_next(1);
  seam::result r = go(put("t.scr", "~R000000,01\n!\n"));
  EXPECT_EQ(r.code, -1);
  EXPECT_TRUE(ends_with(r.out, "\rSend: ~R000000,01\n\rAnswer: ")) << r.out;
  EXPECT_EQ(sent(), texts({"R000000,01\n"}));

  // With 'old' the S-records go to the board as text.
  seam::reset(true);
  std::string p = put("old.s28", std::string(S2REC) + S8REC);
  r = seam::run({"old", p});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find(std::string("\rSend: ") + S2REC + "\rAnswer: *"), std::string::npos) << r.out;
  EXPECT_EQ(sent(), texts({S2REC, S8REC}));
  EXPECT_EQ(seam::brd.mem[0x400], 1);
  seam::reset(true);
  r = seam::run({"old", put("bad.s28", "S20800040001020304E8\n")});
  EXPECT_EQ(r.code, 6);
  EXPECT_TRUE(ends_with(r.out, "Error: Negative response.\nExit code 6\n")) << r.out;
}

TEST_F(Script, UnreadableScriptIsAnError) {
  std::string d = dir + "/d.scr";
  ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
  seam::result r = seam::run({d});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(ends_with(r.out, "\nLoading: " + d + "\nError: Can't read file " + d +
                                   " \nExit code 3\n"))
      << r.out;
  EXPECT_EQ(r.out.find("completed"), std::string::npos);
}

TEST_F(Script, SelfIncludeStopsAtFixedDepth) {
  std::string p = dir + "/self.scr";
  seam::write_file(p, "; 1\n#" + p + "\n");
  std::string b = dir + "/b.scr";
  std::string a = put("a.scr", "#" + b + "\n");
  seam::write_file(b, "#" + a + "\n");
  for (const std::string &s : {p, a}) {
    seam::result r = go(s);
    EXPECT_EQ(r.code, 8) << s;
    size_t loads = 0;
    for (size_t i = 0; (i = r.out.find("\nLoading: ", i)) != std::string::npos; i++) loads++;
    EXPECT_EQ(loads, 64u) << s;
    size_t e = r.out.find("Error:");
    ASSERT_NE(e, std::string::npos);
    EXPECT_EQ(r.out.find("Error:", e + 1), std::string::npos);
    std::string line = r.out.substr(e, r.out.find('\n', e) - e);
    EXPECT_NE(line.find(s == p ? p : b), std::string::npos) << line;
    EXPECT_NE(line.find(s == p ? "line:2" : "line:1"), std::string::npos) << line;
    EXPECT_EQ(r.out.substr(r.out.find('\n', e)), "\nExit code 8\n");
  }
}
