// Golden scenarios: runs of the loader written as data (scenarios/*.txt),
// each run in-process on the virtual clock, end to end (build/quarn against
// build/quarn-sim in real time), or both, and judged by the same checks.
//
//   == title                 starts a scenario
//   mode: inproc e2e wine    how it runs: in-process (the default), end to
//                            end, and end to end with the Windows program
//                            under Wine (tests/wine/run)
//   board: OPTIONS           quarn-sim's options for the board and its line
//   run: ARGS                the loader's arguments, split at blanks
//   stdin: FILE              (e2e) piped into the loader's standard input
//   file NAME: TEXT          a file in the run's folder
//   pattern NAME: N          N bytes of a fixed pseudo-random sequence
//   sh: COMMAND              run in the folder before the loader; $Q and
//                            $SIM name the loader and quarn-sim
//   poke ADDR: HEX           board memory before the run
//   terminal:                (in-process) the console is a terminal;
//   terminal: shown          and the console text is judged as it shows
//   answer N: TEXT | answer N hex: BYTES | drop: N...   (in-process) the
//                            board's answer to request N replaced or lost
//   case: ARGS => TEXT       one more run, of the set-up keys above and these
//                            arguments; its console must end with TEXT
//   exit: CODE   out: TEXT   end: TEXT   has: TEXT
//   times N: TEXT            TEXT shown exactly N times
//   sent: TEXTS              every request's text, in order
//   wire N: BYTES            request N exactly;  requests: N
//   expect NAME: TEXT        a file after the run (@FILE: that file's bytes)
//   files: NAMES             the run's folder after it, sorted, links marked '@'
//   memory ADDR: HEX         board memory after (FF*16 repeats; @FILE bytes)
//   after: MS   within: MS   the run's length, virtual or real (end to end
//                            within 1.5 s more)
//   logged: TEXT             (e2e) in quarn-sim's transcript or its stderr
// A value after ': ' is taken to the line's end; a key with nothing after
// its ':' takes the '| ' lines that follow, each with a line end. Values
// know \n \r \t \\ \xHH, {banner}, and {start}: the banner and settings lines.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "seam.h"

namespace {

struct item {
  std::string key, arg, text;      // the value unescaped; '| ' lines each with a line end
  std::vector<std::string> words;  // the inline value split at blanks, or the '| ' lines
};

struct scenario {
  std::string name, title;
  std::vector<item> items;
  std::vector<const item *> all(const std::string &key) const {
    std::vector<const item *> v;
    for (auto &i : items)
      if (i.key == key) v.push_back(&i);
    return v;
  }
};

// The first words of `t` up to n characters, joined by '_': letters and digits.
std::string slug(const std::string &t, size_t n) {
  std::string s;
  for (char c : t + " ")
    if (isalnum((unsigned char)c)) s += c;
    else if (s.size() > n) return s.substr(0, s.rfind('_', n) != std::string::npos ? s.rfind('_', n) : n);
    else if (!s.empty() && s.back() != '_') s += '_';
  return s.substr(0, s.size() - 1);
}

std::vector<scenario> load() {
  std::vector<scenario> all;
  std::vector<std::string> files;
  for (auto &e : std::filesystem::directory_iterator(QUARN_SOURCE_DIR "/tests/scenarios")) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (auto &f : files) {
    std::ifstream in(f);
    for (std::string l; std::getline(in, l);) {
      if (!l.compare(0, 3, "== ")) {
        all.push_back({std::filesystem::path(f).stem().string(), l.substr(3), {}});
      } else if (!l.compare(0, 2, "| ") || l == "|") {
        std::string v = seam::unescape(l.substr(std::min<size_t>(2, l.size())));
        all.back().items.back().text += v + "\n";
        all.back().items.back().words.push_back(v);
      } else if (!l.empty() && l[0] != '#') {
        size_t colon = l.find(':'), blank = l.find(' ');
        item it;
        it.key = l.substr(0, std::min(colon, blank));
        if (blank < colon) it.arg = l.substr(blank + 1, colon - blank - 1);
        std::string raw = colon + 1 < l.size() ? l.substr(colon + 2) : "";
        size_t arrow = it.key == "case" ? raw.find(" => ") : std::string::npos;
        if (arrow != std::string::npos) it.arg = raw.substr(0, arrow);
        std::istringstream v(raw.substr(0, arrow));
        it.text = seam::unescape(arrow == std::string::npos ? raw : raw.substr(arrow + 4));
        for (std::string w; v >> w;) it.words.push_back(seam::unescape(w));
        all.back().items.push_back(it);
      }
    }
  }
  // Each case is a run of its own with the scenario's set-up.
  std::vector<scenario> runs;
  for (auto &s : all) {
    if (!s.all("run").empty()) runs.push_back(s);
    for (auto *c : s.all("case")) {
      scenario k{s.name, s.title + " [" + c->arg + "]", {}};
      for (auto &i : s.items)
        if (std::string(" mode board stdin file pattern sh poke answer drop terminal ").find(" " + i.key + " ") != std::string::npos)
          k.items.push_back(i);
      k.items.push_back({"run", "", "", c->words});
      k.items.push_back({"end", "", c->text, {}});
      runs.push_back(k);
    }
  }
  // Names to read in ctest's list: the file, the title's first words, a
  // case's first arguments; numbered only where two would be the same.
  std::map<std::string, int> taken;
  for (auto &r : runs) {
    size_t c = r.title.find(" [");
    std::string n = r.name + "_" + slug(r.title.substr(0, c), 32) + (c == std::string::npos ? "" : "_" + slug(r.title.substr(c), 16));
    r.name = taken[n]++ ? n + "_" + std::to_string(taken[n]) : n;
  }
  return runs;
}

std::string pattern(size_t n) {
  std::string s(n, 0);
  uint32_t x = 12345;
  for (char &c : s) c = (char)((x = x * 1103515245 + 12345) >> 16);
  return s;
}

// Bytes from hex pairs, "XX*N" repeats and "@FILE"s, the file's bytes.
std::string bytes_of(const std::string &v, const std::string &dir) {
  std::string b;
  std::istringstream in(v);
  for (std::string w; in >> w;) b += w[0] == '@' ? seam::read_file(dir + "/" + w.substr(1)) : seam::bytes_of(w);
  return b;
}

const std::string QUARN = seam::program(QUARN_BIN, "quarn"), SIM = seam::program(QUARN_SIM_BIN, "quarn-sim");

// Under the Wine runner: the program end-to-end runs use, quarn-sim's
// options for it, and only the scenarios marked 'wine'.
const char *const wine = getenv("QUARN_E2E");
// With quarn.exe, whose console is a terminal: a scenario that runs
// in-process too must show there what it shows at a terminal in-process,
// the clock's figures aside; its text checks are those of files and pipes.
const bool console = wine && getenv("QUARN_E2E_CONSOLE");

// The lines with a rate, their figures as '#': they go by the clock.
std::string clockless(const std::string &t) {
  std::string o, l;
  for (std::istringstream in(t); std::getline(in, l); o += "\n") {
    bool rate = l.find("bytes/s") != std::string::npos;
    for (size_t i = 0; i < l.size(); i++)
      if (!rate || !isdigit((unsigned char)l[i])) o += l[i];
      else if (!i || !isdigit((unsigned char)l[i - 1])) o += '#';
  }
  return o;
}

struct outcome {
  int code = -1;
  std::string out, mem;
  std::vector<std::string> wire;
  double ms = 0, slack = 0;  // the run's length; what starting it may add
};

// The board's memory before the run as the pokes make it: erased but for them.
std::string poked(const scenario &s, const std::string &dir) {
  std::string mem;
  for (auto *p : s.all("poke")) {
    std::string b = bytes_of(p->text, dir);
    size_t a = std::stoul(p->arg, nullptr, 16);
    mem.resize(std::max(mem.size(), a + b.size()), '\xFF');
    mem.replace(a, b.size(), b);
  }
  return mem;
}

bool shown(const scenario &s) { return !s.all("terminal").empty() && s.all("terminal")[0]->text == "shown"; }

outcome inproc(const scenario &s, const std::string &dir) {
  seam::reset(s.all("board").empty() ? std::vector<std::string>() : s.all("board")[0]->words);
  std::string mem = poked(s, dir);
  std::copy(mem.begin(), mem.end(), seam::brd.mem.begin());
  std::map<std::string, bytes> answers;  // by request number, "*" for every other one
  for (auto *a : s.all("answer")) {
    std::istringstream in(a->arg);
    std::string n, how, h;
    in >> n >> how;
    h = how == "hex" ? seam::bytes_of(a->text) : "";
    answers[n] = how == "hex" ? bytes(h.begin(), h.end()) : board_frame(a->text);
  }
  for (auto *d : s.all("drop"))
    for (auto &w : d->words) answers[w] = bytes();
  if (!answers.empty())
    seam::fates = [answers](size_t n, const bytes &b) {
      auto i = answers.find(std::to_string(n));
      return i != answers.end() ? i->second : answers.count("*") ? answers.at("*") : b;
    };
  if (chdir(dir.c_str())) ADD_FAILURE() << dir;
  terminal = !s.all("terminal").empty();
  auto r = seam::run(s.all("run")[0]->words);
  terminal = 0;
  if (shown(s)) r.out = seam::drawn(r.out);
  return {r.code, r.out, std::string(seam::brd.mem.begin(), seam::brd.mem.end()), seam::wire, seam::now / 1000.0};
}

outcome e2e(const scenario &s, const std::string &dir) {
  std::string mem = poked(s, dir);
  if (!mem.empty()) seam::write_file(dir + "/mem.bin", mem);
  std::string cmd = "cat " + (s.all("stdin").empty() ? "/dev/null" : s.all("stdin")[0]->text) + " | " + SIM + " --memory mem.bin --log sim.log";
  for (auto *b : s.all("board"))
    for (auto &w : b->words) cmd += " " + seam::quote(w);
  cmd += wine ? std::string(" ") + getenv("QUARN_E2E_SIM") + " -- " + getenv("QUARN_E2E_PROGRAM") : " -- " + QUARN;
  for (auto &w : s.all("run")[0]->words) cmd += " " + seam::quote(w);
  auto t0 = std::chrono::steady_clock::now();
  auto ran = seam::sh(cmd + " 2>sim.err", dir);
  // Under Wine the console is compared as it finally shows.
  outcome r{ran.first, wine ? seam::drawn(ran.second) : ran.second, seam::read_file(dir + "/mem.bin"), {}, 0};
  r.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  // Two processes starting and ending on a loaded machine (slower built
  // with the sanitizers, several at once), and under Wine its own start-up:
  // the runner says how long that takes.
  const char *start = wine ? getenv("QUARN_E2E_START_MS") : nullptr;
  r.slack = 1500 + (start ? atof(start) : 0) + (QUARN_SANITIZED || getenv("QUARN_PROGRAMS") ? 1500 : 0);
  std::istringstream log(seam::read_file(dir + "/sim.log"));
  for (std::string l; std::getline(log, l);) {
    size_t at = l.find(" > ");
    if (at < 12) r.wire.push_back(seam::bytes_of(l.substr(at + 3, l.find("  ", at + 3) - at - 3)));
  }
  return r;
}

void judge(const scenario &s, const outcome &r, const std::string &dir, bool text) {
  for (auto &i : s.items) {
    if (!text && (i.key == "out" || i.key == "end" || i.key == "has" || i.key == "times")) continue;
    std::string v = i.text;
    if ((wine || shown(s)) && (i.key == "out" || i.key == "end" || i.key == "has")) v = seam::drawn(v);
    SCOPED_TRACE(i.key + " " + i.arg);
    if (i.key == "exit") { EXPECT_EQ(r.code, std::stoi(v)) << r.out; }
    if (i.key == "out") { EXPECT_EQ(r.out, v); }
    if (i.key == "end") { EXPECT_TRUE(r.out.size() >= v.size() && !r.out.compare(r.out.size() - v.size(), v.size(), v)) << r.out; }
    if (i.key == "has") { EXPECT_NE(r.out.find(v), std::string::npos) << r.out; }
    if (i.key == "times") {
      size_t n = 0;
      for (size_t at = 0; (at = r.out.find(v, at)) != std::string::npos; at++) n++;
      EXPECT_EQ(n, std::stoul(i.arg));
    }
    if (i.key == "requests") { EXPECT_EQ(r.wire.size(), std::stoul(v)); }
    if (i.key == "wire") { EXPECT_EQ(r.wire.at(std::stoul(i.arg) - 1), seam::bytes_of(v)); }
    if (i.key == "logged") { EXPECT_NE((seam::read_file(dir + "/sim.log") + seam::read_file(dir + "/sim.err")).find(v), std::string::npos); }
    if (i.key == "after") { EXPECT_GE(r.ms, std::stod(v)); }
    if (i.key == "within") { EXPECT_LE(r.ms, std::stod(v) + r.slack); }
    if (i.key == "expect") {
      bool hex = i.arg.size() > 4 && !i.arg.compare(i.arg.size() - 4, 4, " hex");
      std::string f = hex ? i.arg.substr(0, i.arg.size() - 4) : i.arg;
      // A text file written under Windows has its line ends so.
      for (size_t at = 0; wine && !hex && v[0] != '@' && (at = v.find('\n', at)) != std::string::npos; at += 2)
        v.insert(at, "\r");
      EXPECT_EQ(seam::read_file(dir + "/" + f), hex || v[0] == '@' ? bytes_of(v, dir) : v);
    }
    if (i.key == "files") {
      std::vector<std::string> got;
      for (auto &e : std::filesystem::directory_iterator(dir)) {
        std::string n = e.path().filename().string();
        if (n != "sim.log" && n != "sim.err" && n != "mem.bin") got.push_back(n + (e.is_symlink() ? "@" : ""));
      }
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, i.words);
    }
    if (i.key == "memory") {
      size_t a = std::stoul(i.arg, nullptr, 16), d = 0;
      std::string want = bytes_of(v, dir), got = r.mem.substr(a, want.size());
      while (d < want.size() && d < got.size() && want[d] == got[d]) d++;
      // Megabytes may be compared: 16 bytes from the first difference are shown.
      EXPECT_EQ(got.substr(d, 16), want.substr(d, 16)) << "memory differs from " << std::hex << a + d;
    }
    if (i.key == "sent") {
      std::vector<std::string> got;
      for (auto &w : r.wire) {  // a block telegram as its description
        std::string d = board_describe(bytes(w.begin(), w.end()));
        got.push_back(d.find(", CRC ") != std::string::npos ? d : seam::text_of(w));
      }
      EXPECT_EQ(got, i.words);
    }
  }
}

void PrintTo(const scenario &s, std::ostream *os) { *os << s.title; }

// The mode a scenario runs in: "inproc" unless it says.
std::string modes(const scenario &s) {
  auto m = s.all("mode");
  return " " + (m.empty() ? "inproc" : m[0]->text) + " ";
}

// The scenarios that run in-process, or end to end (under Wine: those
// marked for it): two suites, so that the real-time runs can be run apart
// from the busy in-process ones, which would stretch their waits.
std::vector<scenario> runs(bool real) {
  std::vector<scenario> v;
  for (auto &s : load())
    if (modes(s).find(real ? (wine ? " wine " : " e2e ") : wine ? " - " : " inproc ") != std::string::npos) v.push_back(s);
  return v;
}

void run(const scenario &s, bool real) {
  auto folder = [&] {
    std::string dir = seam::tmpdir();
    for (auto *f : s.all("file")) seam::write_file(dir + "/" + f->arg, f->text);
    for (auto *p : s.all("pattern")) seam::write_file(dir + "/" + p->arg, pattern(std::stoul(p->text)));
    for (auto *c : s.all("sh")) EXPECT_EQ(system(("cd " + dir + " && Q=" + QUARN + " SIM=" + SIM + " && " + c->text).c_str()), 0) << c->text;
    return dir;
  };
  SCOPED_TRACE(s.title + (real ? " (end to end)" : " (in-process)"));
  std::string dir = folder();
  outcome r = real ? e2e(s, dir) : inproc(s, dir);
  bool shows = real && console && modes(s).find(" inproc ") != std::string::npos;
  if (shows) {
    scenario t = s;
    t.items.push_back({"terminal", "", "shown", {}});
    EXPECT_EQ(clockless(r.out), clockless(inproc(t, folder()).out));
  }
  judge(s, r, dir, !shows);
  EXPECT_EQ(seam::leftovers(dir), std::vector<std::string>());
}

struct Scenario : testing::TestWithParam<scenario> {};
TEST_P(Scenario, Runs) { run(GetParam(), false); }
struct Live : testing::TestWithParam<scenario> {};
TEST_P(Live, Runs) { run(GetParam(), true); }

std::string name(const testing::TestParamInfo<scenario> &i) { return i.param.name; }
INSTANTIATE_TEST_SUITE_P(Golden, Scenario, testing::ValuesIn(runs(false)), name);
INSTANTIATE_TEST_SUITE_P(Golden, Live, testing::ValuesIn(runs(true)), name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Scenario);

}  // namespace
