// What no scenario reaches, in-process: the Windows command-line splitter
// and the order of ports, the Windows layer's decisions, sendc's own limit
// and binwrite's own record check, how much the Windows layer reads of an
// answer still arriving; the report's lines, SHA-256 and JSON text; the
// simulated board's answers and memory (board.txt), its receiver, its line's
// pacing and noise, and its options.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <list>
#include <set>
#include <sstream>

#include "board.h"
#include "comdrv.h"
#include "line.h"
#include "options.h"
#include "otisk.h"
#include "seam.h"
#include "vyroba.h"
#include "winpravidla.h"

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
  // The character after a separating space is always taken, even a space; an
  // argument that begins with a quote runs to the next quote (a quote
  // elsewhere, or with none after it, is a character); a tab is part of an
  // argument. Past a limit (127 characters an argument, 127 arguments, 255
  // characters in all) the line is refused.
  std::string many = "a", tail(255, 'a');
  for (int i = 1; i < 127; i++) many += " a";
  tail[100] = tail[200] = ' ';
  auto bars = [](std::string s) { return std::replace(s.begin(), s.end(), ' ', '|'), s; };
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"p2f8 b9600 boot.scr", "p2f8|b9600|boot.scr"}, {"a  b", "a| b"}, {"a   b", "a| |b"},
      {"a ", "a|"}, {"\"x y\"\tz a\"b c\" \"\" \"d", "x y\tz|a\"b|c\"||\"d"}, {std::string(127, 'x'), std::string(127, 'x')},
      {"\"" + std::string(127, 'x') + "\"", std::string(127, 'x')}, {"\"" + std::string(128, 'x') + "\"", "Error:"},
      {std::string(128, 'x'), "Error:"}, {many, bars(many)}, {many + " a", "Error:"}, {tail, bars(tail)},
      {tail + "a", "Error:"}};
  for (auto &c : cases) EXPECT_EQ(split(c.first), c.second) << c.first;
  for (auto c : {std::make_pair("quarn.exe  p2f8 x", "p2f8 x"), {"quarn.exe", ""}, {"\"C:\\Program Files\\quarn.exe\" b9600", "b9600"}})
    EXPECT_STREQ(cmdtail(c.first), c.second);
  // --ports lists the ports the system reports as people count them.
  for (auto c : {std::make_pair("COM3 (a)", "COM12 (b)"), {"COM2", "COM02"}, {"COM9", "LPT1"}, {"ttyS9", "ttyUSB0"}})
    EXPECT_LT(comdrv_poradi(c.first, c.second), 0) << c.first;
}

// The Windows layer's decisions: port names as users write them, reasons
// for a refused open, the errors that say an adapter is gone, the close
// handler's wait, a write's bound, a rename's retries.
TEST(Units, WindowsDecisions) {
  char j[16];
  for (auto c : {std::make_pair("COM3:", "COM3"), {"\"COM7\" ", "COM7"}, {" COM12:\t", "COM12"}, {"\\\\.\\COM10", "\\\\.\\COM10"}}) {
    win_port(c.first, j, sizeof j);
    EXPECT_STREQ(j, c.second);
  }
  EXPECT_STREQ(win_odmitnuti(2), "no such port (see --ports)");
  EXPECT_STREQ(win_odmitnuti(32), "in use (locked by another program)");
  EXPECT_EQ(win_odmitnuti(87), nullptr);
  std::string v;
  for (unsigned long e : {2, 5, 6, 22, 31, 109, 121, 433, 995, 1167, 1460}) v += std::to_string(win_odpojeno(e));
  for (unsigned long t : {0, 20000, 1000}) v += " " + std::to_string(win_cekani_zavreni(t));
  for (int b : {2400, 115200}) v += " " + std::to_string(win_mez_zapisu(b, 256)) + " ";
  for (auto r : {std::make_pair(32, 0), {5, 999}, {5, 1000}, {2, 0}}) v += std::to_string(win_znovu(r.first, r.second));
  EXPECT_EQ(v, "11011101110 4500 19500 500 2830  1806 1100");
  // A CI runner is told by any of its variables, set and not empty.
  const char *ci[] = {"CI", "GITHUB_ACTIONS", "TF_BUILD", "JENKINS_URL", "GITLAB_CI"};
  std::vector<std::pair<std::string, std::string>> kept;
  for (const char *n : ci)
    if (getenv(n)) kept.push_back({n, getenv(n)}), unsetenv(n);
  v = std::to_string(win_ci());
  setenv("CI", "", 1);
  v += std::to_string(win_ci());
  setenv("GITLAB_CI", "true", 1);
  v += std::to_string(win_ci());
  for (const char *n : ci) unsetenv(n);
  for (auto &k : kept) setenv(k.first.c_str(), k.second.c_str(), 1);
  EXPECT_EQ(v, "001");
}

// The longest text fills the 256-byte telegram, a '~' not counted; one more
// is refused before anything is sent. binwrite checks its record itself.
TEST(Units, CommandTextLimit) {
  for (std::string pre : {"", "~"}) {
    seam::reset();
    seam::call([&] { sendc((pre + std::string(246, 'x')).c_str()); });
    auto r = seam::call([&] { sendc((pre + std::string(247, 'x')).c_str()); });
    EXPECT_EQ(r.out, "Error: Command too long (247 characters, at most 246).\nExit code 8\n");
    ASSERT_EQ(seam::wire.size(), 1u);
    EXPECT_EQ(seam::text_of(seam::wire[0]), std::string(246, 'x'));
  }
  // binwrite, whoever calls it, refuses a record whose count can't hold its address.
  char rec[] = "S203000000";
  EXPECT_EQ(seam::call([&] { binwrite(rec); }).out, "\rPacking...Bad format:03000000\nExit code 3\n");
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
  for (auto c : {std::make_pair("68 07 07 68 F5", 8), {"68", 0}, {"16 07 07 68 F5", 0},
                 {"68 FF 68 07 07 68 F5 47 7F 7F 3D 35 41 ED 16", 0}, {"68 02 02 68 00 00 01 16 00 00", 0}})
    EXPECT_EQ(missing(c.first), c.second) << c.first;
}

// A line per run appended: each command with its answer (a '~' command's and
// one that got none: null), an image with its ranges and checksums, memory
// commands with the SHA-256 of the bytes moved; a failed run's error.
TEST(Report, ALinePerRun) {
  ASSERT_EQ(chdir(seam::tmpdir().c_str()), 0);
  seam::write_file("img.s28", "S2060100000102F5\nS20501001003E6\nS804000000FB\n");
  seam::write_file("b\xFF.bin", "\x12\x34");
  seam::write_file("c.scr", "R000000,01");  // a last line without its line end
  for (int i = 0; i < 3; i++) {
    // The second run's image fails its verify pass; the third run's command gets no answer.
    seam::reset({"--stuck", i == 1 ? "10010-10010" : "0-0"});
    if (i == 2) seam::fates = [](size_t n, const bytes &b) { return n < 5 ? b : bytes(); };
    seam::run({"--report=r.json", "verify", "img.s28", "c.scr", "~Y", "@binput000200<b\xFF.bin", "@hexget000200,000002>h.txt"});
  }
  // What differs from run to run goes: the start (its form checked) and the host. The seconds
  // are the simulated line's.
  std::string r = seam::read_file("r.json");
  for (size_t a; (a = r.find("\"start\":\"")) != std::string::npos;) {
    std::string t = r.substr(a + 9, 47);
    for (char &c : t) c = isdigit((unsigned char)c) ? '9' : c;
    EXPECT_EQ(t, "9999-99-99T99:99:99Z\",\"version\":\"9.99\",\"host\":\"");
    r.erase(a, r.find('"', a + 56) + 1 - a);
  }
  const std::string head = "{\"report\":1,,\"port\":\"sim\",\"speed\":38400,\"mode\":0,\"arguments\":[\"--report=r.json\",\"verify\",\"img.s28\",\"c.scr\",\"~Y\",\"@binput000200<b\\udcff.bin\",\"@hexget000200,000002>h.txt\"],\"wait\":null,\"identity\":null,\"steps\":[{\"image\":\"img.s28\",\"format\":\"srec\",\"sha256\":\"dedb9f605b25153a7ee670dc79665a0f4744ac9ec1fcf269c4d3c5a3a891fce9\",\"data_sha256\":\"039058c6f2c0cb492c533b0a4d14ef77cc0f78abccced5287d84a1a2011cfb81\",\"bytes\":3,\"ranges\":[{\"address\":\"010000\",\"bytes\":2},{\"address\":\"010010\",\"bytes\":1}],\"blocks\":1,\"retries\":0,";
  const std::string sha = "3a103a4e5729ad68c02a678ae39accfbc0ae208096437401b7ceab63cca0622f";
  EXPECT_EQ(r, head + "\"verify\":\"ok\",\"complete\":true},{\"command\":\"R000000,01\",\"answer\":\"=FF\"},{\"command\":\"~Y\",\"answer\":null},"
                   "{\"memory\":\"binput\",\"file\":\"b\\udcff.bin\",\"address\":\"000200\",\"bytes\":2,\"sha256\":\"" + sha + "\",\"result\":\"ok\"},"
                   "{\"memory\":\"hexget\",\"file\":\"h.txt\",\"address\":\"000200\",\"bytes\":2,\"sha256\":\"" + sha + "\",\"result\":\"ok\"}],"
                   "\"exit\":0,\"error\":null,\"seconds\":0.138,\"summary\":{\"loaded\":5,\"read\":2,\"verified\":5,\"retries\":0}}\n" +
                   head + "\"verify\":\"failed\",\"complete\":false}],\"exit\":10,\"error\":\"Error: Verify failed at 010010: wrote 03, read FF; 1 of 3 bytes differ.\",\"seconds\":0.026,\"summary\":{\"loaded\":3,\"read\":0,\"verified\":0,\"retries\":0}}\n" +
                   head + "\"verify\":\"ok\",\"complete\":true},{\"command\":\"R000000,01\",\"answer\":null}],\"exit\":5,\"error\":\"Error: No response.\",\"seconds\":4.978,\"summary\":{\"loaded\":3,\"read\":0,\"verified\":3,\"retries\":8}}\n");
  // An image's format is its own.
  seam::write_file("a.hex", ":0100000011EE\n:00000001FF\n");
  seam::reset({});
  seam::run({"--report=f.json", "a.hex"});
  EXPECT_NE(seam::read_file("f.json").find("{\"image\":\"a.hex\",\"format\":\"ihex\","), std::string::npos);
  // The same bytes sent as text records (for older firmware, or as S3 with a record of no
  // data) are reported alike.
  auto image = [](const char *f) {
    std::string t = seam::read_file(f);
    size_t a = t.find("\"data_sha256\"");
    return t.substr(a, t.find(",\"blocks\"") - a);
  };
  seam::write_file("img.s37", "S307000100000102F4\nS3060001001003E5\nS30500010020D9\nS70500000000FA\n");
  seam::run({"--report=o.json", "old", "img.s28"});
  seam::run({"--report=s.json", "img.s37"});
  EXPECT_EQ(image("o.json"), image("r.json"));
  EXPECT_EQ(image("s.json"), image("r.json"));
}

// SHA-256 against the standard's vectors; JSON text: quotes, backslashes and
// control characters escaped, valid UTF-8 as it is, every other byte as
// \udcXX (a lead byte without its continuation, an overlong form, a
// surrogate, past U+10FFFF, cut short at the end).
TEST(Units, Sha256AndJsonText) {
  const std::pair<std::string, const char *> v[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
  for (auto &c : v) {
    otisk s;
    char h[65];
    otisk_zacni(s);
    otisk_pridej(s, c.first.data(), c.first.size());
    otisk_hex(s, h);
    EXPECT_STREQ(h, c.second);
  }
  std::string j, t = "a\"\\\n\t\x01\x7F\xC3\xA9\xF0\x9F\x98\x80|\xC3|\xC1\xBF|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x82";
  json_text(j, t.data(), t.size());
  EXPECT_EQ(j, "\"a\\\"\\\\\\n\\t\\u0001\\u007f\xC3\xA9\xF0\x9F\x98\x80|\\udcc3|\\udcc1\\udcbf|\\udced\\udca0\\udc80|\\udcf4\\udc90\\udc80\\udc80|\\udce2\\udc82\"");
}

// A request telegram carrying p, framed as the loader frames it.
bytes request_of(const bytes &p) {
  char tel[256] = "\x68\x01\x01\x68\x7F\x7F\x47\xF5";
  std::copy(p.begin(), p.end(), tel + 8);
  unsigned char tx[256];
  comdrv_frame(tel, int(p.size()) + 10, tx);
  return bytes(tx, tx + p.size() + 10);
}

TEST(Board, AnswersAndMemory) {
  board b;
  board_init(b, false);
  std::ifstream in(QUARN_SOURCE_DIR "/tests/board.txt");
  for (std::string l; std::getline(in, l);) {
    if (l.empty() || l[0] == '#') continue;
    SCOPED_TRACE(l);
    size_t arrow = l.find(" => "), sp = l.find(' ');
    std::string kind = l.substr(0, sp), arg = l.substr(sp + 1, arrow - sp - 1), want = l.substr(arrow + 4);
    std::string hex = seam::bytes_of(kind == "memory" ? l.substr(l.find(':') + 1) : kind == "block" || kind == "frame" || kind == "describe" ? arg : "");
    bytes p(hex.begin(), hex.end());
    uint16_t crc = board_crc16(p.data(), p.size());
    if (l == "old") {
      board_init(b, true);
    } else if (kind == "memory") {
      EXPECT_EQ(std::string((const char *)&b.mem[std::stoul(arg, nullptr, 16)], hex.size()), hex);
    } else if (kind == "describe") {
      EXPECT_EQ(board_describe(p), want);
    } else {
      std::string text = seam::unescape(l.substr(0, arrow)), got;
      if (kind == "block") p.insert(p.end(), {uint8_t(crc), uint8_t(crc >> 8)});
      bytes a = board_answer(b, kind == "frame" ? p : request_of(kind == "block" ? p : bytes(text.begin(), text.end())));
      got = seam::text_of(std::string(a.begin(), a.end()));
      want = seam::unescape(want);
      EXPECT_EQ(want == "!" || want == "?" ? got.substr(0, 1) : got, want);
    }
  }
}

// Stray bytes and broken frames are dropped and the next frame found, in
// any pieces; the receiver stays bounded.
TEST(Board, ReceiverResynchronises) {
  board b;
  board_init(b, false);
  const std::string id = "68 0C 0C 68 7F 7F 47 F5 49 30 30 30 30 30 30 0A AD 16";
  for (std::string junk : {std::string("00 16 68"), std::string("68 0C 0D 68"), std::string("68 0C 0C 69"), id.substr(0, 48) + "AE 16", id.substr(0, 51) + "17"}) {
    std::vector<bytes> frames;
    for (uint8_t c : seam::bytes_of(junk + " " + id + " " + id)) board_rx(b, &c, 1, frames);
    std::string one = seam::bytes_of(id);
    EXPECT_EQ(frames, std::vector<bytes>(2, bytes(one.begin(), one.end()))) << junk;
  }
  std::vector<bytes> frames;
  for (uint32_t i = 0, x = 12345; i < 100000; i++) {
    uint8_t c = uint8_t(i % 7 ? (x = x * 1103515245 + 12345) >> 16 : 0x68);
    board_rx(b, &c, 1, frames);
    ASSERT_LE(b.rx.size(), 261u);
  }
}

bytes identity_request() {
  std::string id = "I000000\n";
  return request_of(bytes(id.begin(), id.end()));
}

// The line's pacing against the arithmetic it models, 10 bits a byte: an
// answer starts once its request has crossed the line, no byte leaves
// before its time and none later, the last exactly on it. A burst follows
// back to back; a repeated answer after its gap.
TEST(Board, PacingIsTheLineTime) {
  const long long baud = 9600, bit_ns = 1000000000;
  board b;
  board_init(b, false);
  line_faults f;
  f.twice.nth = 3;  // the burst's second answer again, 5 ms after it
  sim_clock::time_point t0;
  line l(b, unsigned(baud), f, 1, nullptr, t0);
  bytes q = identity_request();
  const long long a = (long long)board_answer(b, q).size();
  auto ns = [&](sim_clock::time_point t) { return (long long)std::chrono::duration_cast<std::chrono::nanoseconds>(t - t0).count(); };
  auto span = [&](long long n) { return 10 * bit_ns * n / baud; };
  // Each answer's start, in ns; the bytes due of them all at t.
  auto due = [&](const std::vector<long long> &starts, long long t) {
    long long n = 0;
    for (long long s : starts) n += t < s ? 0 : std::min(a, (t - s) * baud / (10 * bit_ns));
    return n;
  };
  for (int burst = 0; burst < 2; burst++) {
    sim_clock::time_point at = t0 + std::chrono::seconds(burst);
    bytes in = q;
    if (burst) in.insert(in.end(), q.begin(), q.end());
    l.take(in.data(), in.size(), at);
    long long s = ns(at) + span((long long)q.size());
    std::vector<long long> starts = {s};
    if (burst) starts = {s, s + span(a), s + 2 * span(a) + 5000000};
    long long got = 0, wakes = 0, last = 0;
    for (sim_clock::time_point now = at; (now = l.deadline(now)) != sim_clock::time_point::max() && wakes < 10000; wakes++) {
      l.flush([&](const uint8_t *, size_t n) {
        got += (long long)n;
        last = ns(now);
        return long(n);
      }, now);
      ASSERT_EQ(got, due(starts, ns(now))) << "at " << ns(now) << " ns";
    }
    EXPECT_EQ(got, a * (long long)starts.size());
    EXPECT_EQ(last, starts.back() + span(a));
    EXPECT_GT(wakes, a) << "paced a byte at a time at this speed";
  }
  EXPECT_EQ(l.counts().answers, 4u);
}

// The line's faults as quarn-sim's help tells them, over many answers
// every value of their ranges: 1 to 8 stray bytes before the answer, never
// a start byte (0x68); an answer split in 2 to 4 pieces, 1 to 9 ms apart;
// exactly one byte of it changed, any byte, by 1 up to 255 (never left as it was).
TEST(Board, FaultsTakeTheirWholeRanges) {
  board b;
  board_init(b, false);
  line_faults f;
  f.noise.p = f.split.p = f.corrupt.p = 1;
  sim_clock::time_point t0;
  line l(b, 0, f, 7, nullptr, t0);
  bytes q = identity_request(), a = board_answer(b, q);
  std::set<long long> counts, pieces, gaps, flips, where;
  for (int i = 0; i < 400; i++) {
    bytes out;
    std::vector<sim_clock::time_point> at;  // when bytes came, once each
    sim_clock::time_point now = t0 + std::chrono::seconds(i);
    l.take(q.data(), q.size(), now);
    for (int k = 0; k < 20 && (now = l.deadline(now)) != sim_clock::time_point::max(); k++)
      l.flush([&](const uint8_t *p, size_t n) {
        if (at.empty() || at.back() != now) at.push_back(now);
        return out.insert(out.end(), p, p + n), long(n);
      }, now);
    ASSERT_GT(out.size(), a.size());
    size_t stray = out.size() - a.size();
    counts.insert((long long)stray);
    EXPECT_EQ(std::count(out.begin(), out.begin() + long(stray), 0x68), 0);
    int changed = 0;
    for (size_t k = 0; k < a.size(); k++)
      if (int x = a[k] ^ out[stray + k]) changed++, flips.insert(x), where.insert((long long)k);
    EXPECT_EQ(changed, 1);
    pieces.insert((long long)at.size());
    for (size_t k = 1; k < at.size(); k++) gaps.insert(std::chrono::duration_cast<std::chrono::milliseconds>(at[k] - at[k - 1]).count());
  }
  EXPECT_EQ(counts, (std::set<long long>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(pieces, (std::set<long long>{2, 3, 4}));
  EXPECT_EQ(gaps, (std::set<long long>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(std::make_pair(*flips.begin(), *flips.rbegin()), std::make_pair(1LL, 255LL));
  EXPECT_EQ(where.size(), a.size());
}

// quarn-sim's options as users write them, at the ends of their ranges;
// one past an end is refused.
TEST(Board, OptionsAtTheEndsOfTheirRanges) {
  std::list<std::string> w;  // the options keep pointers into their words
  auto parse = [&w](std::string line, sim_options &o) {
    std::vector<char *> v = {&w.emplace_back("quarn-sim")[0]};
    std::istringstream in(line);
    for (std::string x; in >> x;) v.push_back(&w.emplace_back(x)[0]);
    testing::internal::CaptureStderr();
    int r = sim_parse(int(v.size()), v.data(), o);
    testing::internal::GetCapturedStderr();
    return r;
  };
  sim_options o;
  ASSERT_EQ(parse("--baud 10000000 --mode 4 --late @2 --twice 1:100000 --trickle 0.25:0 --drop 0 --stuck 0-FFFFFF "
                  "--stuck 10-10 --hangup 4294967295 --leftover 100000 --seed 18446744073709551615 --old "
                  "--ignore-text-records --link l --memory m --log g -- quarn -x", o), -1);
  EXPECT_EQ(o.baud, 10000000u);
  EXPECT_EQ(o.mode, 4);
  EXPECT_EQ(std::make_pair(o.faults.late.nth, o.faults.late.ms), std::make_pair(2ul, 700u));
  EXPECT_EQ(std::make_pair(o.faults.twice.p, o.faults.twice.ms), std::make_pair(1.0, 100000u));
  EXPECT_EQ(std::make_pair(o.faults.trickle.p, o.faults.trickle.ms), std::make_pair(0.25, 0u));
  EXPECT_FALSE(o.faults.drop.p > 0 || o.faults.drop.nth);
  EXPECT_EQ(o.stuck, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0xFFFFFF}, {0x10, 0x10}}));
  EXPECT_EQ(o.faults.hangup, 4294967295ul);
  EXPECT_EQ(o.faults.leftover, 100000u);
  EXPECT_TRUE(o.seeded && o.seed == 18446744073709551615ull && o.old && o.ignore_text);
  EXPECT_EQ(o.link + o.memory + o.log, "lmg");
  ASSERT_EQ(o.command.size(), 3u);
  EXPECT_EQ(std::string(o.command[0]) + o.command[1], "quarn-x");
  EXPECT_EQ(o.command[2], nullptr);
  for (auto bad : {"--baud 10000001", "--baud 0", "--mode 5", "--late 1:100001", "--late x", "--late @0", "--twice 1:x",
                   "--drop 1.01", "--drop 0.5:9", "--drop @1:5", "--stuck 0-1000000", "--stuck 5-4", "--leftover 100001",
                   "--leftover 0", "--hangup 4294967296", "--seed 18446744073709551616", "--seed -1", "--old=1",
                   "--background x"}) {
    sim_options k;
    EXPECT_EQ(parse(bad, k), 2) << bad;
  }
}

}  // namespace
