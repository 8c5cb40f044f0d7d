// The tests' stand-in for the serial driver and the exit routine.
#include "seam.h"

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "comdrv.h"
#include "line.h"
#include "options.h"
#include "vyroba.h"

unsigned char comdrv_rbuf[256];
int txrxok;
int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

namespace {
struct finished {  // thrown by finish(): unwinds the loader back to the test
  int code;
};
std::unique_ptr<line> ln;  // the board's end of the line

sim_clock::time_point tp(long long us) { return sim_clock::time_point(std::chrono::microseconds(us)); }

const char ZARIZENI[] = "sim";  // the in-process line's device name

// Waits on the virtual clock until `konec` or until the line brings bytes.
void ber(long long konec) {
  for (long long &now = seam::now;;) {
    if (ln->hung()) {
      // Gone for good: reported, or (after a '~' request) waited out.
      comdrv_porucha(ZARIZENI, COMDRV_ZAVESENO, 0);
      if (!comdrv_porucha_text[0]) now = konec > now ? konec : now;
      return;
    }
    bytes got;
    ln->tick(tp(now));
    ln->flush([&](const uint8_t *p, size_t n) { return got.insert(got.end(), p, p + n), long(n); }, tp(now));
    if (!got.empty()) return comdrv_prijato(got.data(), (int)got.size(), now);
    long long d = std::chrono::duration_cast<std::chrono::microseconds>(ln->deadline(tp(now)).time_since_epoch()).count();
    if (d >= konec) {
      now = konec;
      return;
    }
    now = d > now ? d : now + 1;
  }
}
}  // namespace

// The console is a memory stream: a terminal only when a test says so.
int terminal;
long long hodiny_us() { return seam::now; }
void preruseno() {}

void finish(int p) {
  uklid();
  p = protokol_konec(p);
  printf("Exit code %d\n", p);
  throw finished{p};
}

const char *comdrv_zarizeni(short) { return ZARIZENI; }
void comdrv_spanek(long long konec) { seam::now = std::max(seam::now, konec); }

int zapni_UART(short port, signed char irq, int baud, signed char mode) {
  if (!comdrv_nastaveni(port, baud)) return 1;
  comdrv_port = port;
  comdrv_irq = irq;
  comdrv_baud = baud;
  comdrv_mode = mode;
  comdrv_otevreno(seam::now);
  ln->opened(tp(seam::now));
  return 0;
}

int posli_telegram(char *tel, int delka) {
  unsigned char tx[256];
  if (!comdrv_zacni(tel, delka, tx, seam::now)) return 0;
  if (ln->hung()) comdrv_porucha(ZARIZENI, COMDRV_ZAVESENO, 1);
  for (long long t; (t = comdrv_pred(seam::now)) > 0;) ber(t);
  if (comdrv_porucha_text[0]) return comdrv_zavri(), 0;
  seam::wire.push_back(std::string((const char *)tx, delka));
  comdrv_odeslano(seam::now);
  ln->take(tx, delka, tp(seam::now));
  for (long long t; (t = comdrv_okno(seam::now)) > 0;) ber(t);
  comdrv_zavri();
  return 0;
}

int dozvuk() {
  for (long long t; (t = comdrv_dozvuk(seam::now)) > 0;) ber(t);
  return comdrv_nesparovano || comdrv_porucha_text[0];
}

namespace seam {
const std::string BANNER = "\n ORBA-01 loader ver. 0.95 (BELKOS v1.28) (c) 2026 Quarn developers \n";
const std::string START = BANNER +
    "Serial UART port:3f8 irq:4 baud:38400 mode:0\rSerial UART port:3f8 irq:4 baud:38400 mode:0 \nUART init O.K.\n";
board brd;
std::vector<std::string> wire;
long long now;
fate fates;

void reset(const std::vector<std::string> &options) {
  std::vector<std::string> a = options;
  a.insert(a.begin(), "quarn-sim");
  std::vector<char *> argv;
  for (auto &s : a) argv.push_back(&s[0]);
  sim_options so;
  if (sim_parse((int)argv.size(), argv.data(), so) != -1) abort();
  sim_board(brd, so);
  ln.reset(new line(brd, so.baud, so.faults, so.seed, nullptr, tp(0)));
  ln->rewrite = [](const bytes &ans) { return fates ? fates(wire.size(), ans) : ans; };
  wire.clear();
  fates = nullptr;
  now = 0;
  // What a run before this one in the same process left: no answer of this run's.
  snprintf(o, sizeof o, "=an earlier run's answer");
  comdrv_otevreno(0);
}

result call(const std::function<void()> &f) {
  struct capture {  // the console into memory; back as it was however f ends
    char *buf = nullptr;
    size_t n = 0;
    FILE *console = stdout;
    capture() { stdout = open_memstream(&buf, &n); }
    ~capture() {
      fclose(stdout);
      stdout = console;
      free(buf);
    }
  } c;
  result r{-1, ""};
  try {
    f();
  } catch (const finished &e) {
    r.code = e.code;
  }
  fflush(stdout);
  r.out.assign(c.buf, c.n);
  return r;
}

result run(const std::function<const char *(cmdstore *)> &take) {
  return call([&] {
    static cmdstore s;
    if (const char *chyba = take(&s)) {
      printf("%s", chyba);
      finish(8);
    }
    quarn((unsigned)s.cmdno + 1, s.cmdpar2);
    finish(0);
  });
}

result run(std::vector<std::string> args) {
  args.insert(args.begin(), "quarn");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(&a[0]);
  return run([&](cmdstore *s) {
    int n = (int)argv.size();
    vyroba_volby(&n, argv.data());
    return cmdtake(n, argv.data(), s);
  });
}

std::string unescape(const std::string &s) {
  std::string o;
  for (size_t i = 0; i < s.size(); i++) {
    if (!s.compare(i, 7, "{start}") || !s.compare(i, 8, "{banner}")) {
      o += s[i + 1] == 's' ? START : BANNER;
      i += s[i + 1] == 's' ? 6 : 7;
    } else if (s[i] != '\\' || i + 1 == s.size()) {
      o += s[i];
    } else if (s[++i] == 'x') {
      o += (char)strtol(s.substr(i + 1, 2).c_str(), nullptr, 16);
      i += 2;
    } else {
      o += s[i] == 'n' ? '\n' : s[i] == 'r' ? '\r' : s[i] == 't' ? '\t' : s[i];
    }
  }
  return o;
}

std::string text_of(const std::string &t) { return t.substr(8, t.size() - 10); }

std::string bytes_of(const std::string &hex) {
  std::string b;
  std::istringstream in(hex);
  for (std::string w; in >> w;) {
    size_t star = w.find('*');
    b.append(star == std::string::npos ? 1 : std::stoul(w.substr(star + 1)), (char)std::stoul(w.substr(0, 2), nullptr, 16));
  }
  return b;
}

std::string drawn(const std::string &t) {
  std::string out, l;
  for (std::istringstream in(t); std::getline(in, l);) {
    std::string s;
    size_t at = 0;  // the cursor: CR takes it home, 0x01 erases from it
    for (char c : l)
      if (c == '\r') at = 0;
      else if (c == '\x01') s.resize(at);
      else if (at < s.size()) s[at++] = c;
      else s += c, at++;
    out += s.substr(0, s.find_last_not_of(' ') + 1) + "\n";
  }
  return out;
}

std::string tmpdir() {
  // The process's one temporary root, removed with everything in it at exit.
  static struct root {
    std::string path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/quarn-tests-XXXXXX";
    root() { mkdtemp(&path[0]); }
    ~root() { std::filesystem::remove_all(path); }
  } r;
  static int n;
  std::string d = r.path + "/" + std::to_string(++n);
  std::filesystem::create_directory(d);
  return d;
}

void write_file(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string read_file(const std::string &path) {
  std::error_code e;
  auto n = std::filesystem::file_size(path, e);
  std::string d(e ? 0 : n, 0);  // at once: a board's memory is 16 MiB
  std::ifstream(path, std::ios::binary).read(&d[0], (std::streamsize)d.size());
  return d;
}

std::vector<std::string> leftovers(const std::string &dir) {
  std::vector<std::string> v;
  std::error_code e;
  for (auto &f : std::filesystem::recursive_directory_iterator(dir, e))
    if (f.path().filename().string().find(".quarn-") != std::string::npos) v.push_back(f.path().string());
  return v;
}

std::string quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::pair<int, std::string> sh(const std::string &cmd, const std::string &dir) {
  FILE *p = popen(("cd " + quote(dir) + " && " + cmd).c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = p ? pclose(p) : -1;
  return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), out};
}

}  // namespace seam
