// The tests' stand-in for the serial driver and the exit routine.
#include "seam.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "comdrv.h"
#include "options.h"
#include "quarn.h"

unsigned char comdrv_rbuf[256];
int txrxok;
int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

namespace {
// Thrown by finish(): unwinds the loader back to the test.
struct finished {
  int code;
};
}  // namespace

void finish(signed char p) {
  printf("Exit code %d\n", p);
  throw finished{p};
}

namespace seam {
board brd;
std::vector<bytes> wire;
std::vector<long long> wire_at;
long long now;
std::deque<fate> fates;
int port_opened;
}  // namespace seam

namespace {
std::unique_ptr<line> ln;  // the board's end of the line, on the virtual clock

sim_clock::time_point tp(long long us) { return sim_clock::time_point(std::chrono::microseconds(us)); }

// Waits on the virtual clock until `konec` or until the line brings bytes.
void ber(long long konec) {
  for (long long &now = seam::now;;) {
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

int zapni_UART(short port, signed char irq, int baud, signed char mode) {
  static const int povolene[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
  bool ok = false;
  for (int b : povolene) ok = ok || b == baud;
  if (!ok || (port != 0x3F8 && port != 0x2F8)) return 1;
  comdrv_port = port;
  comdrv_irq = irq;
  comdrv_baud = baud;
  comdrv_mode = mode;
  comdrv_otevreno(seam::now);
  seam::port_opened++;
  return 0;
}

int posli_telegram(char *tel, int delka) {
  unsigned char tx[256];
  if (!comdrv_zacni(tel, delka, tx, seam::now)) return 0;
  for (long long t; (t = comdrv_pred(seam::now)) > 0;) ber(t);
  seam::wire.push_back(bytes(tx, tx + delka));
  seam::wire_at.push_back(seam::now);
  comdrv_odeslano(seam::now);
  ln->take(tx, delka, tp(seam::now));
  for (long long t; (t = comdrv_okno(seam::now)) > 0;) ber(t);
  comdrv_zavri();
  return 0;
}

int dozvuk() {
  for (long long t; (t = comdrv_dozvuk(seam::now)) > 0;) ber(t);
  return comdrv_nesparovano;
}

namespace seam {

void reset(bool old) { reset(std::vector<std::string>(old, "--old")); }

void reset(const std::vector<std::string> &options) {
  sim_options so;
  std::vector<std::string> a = options;
  a.insert(a.begin(), "quarn-sim");
  std::vector<char *> argv;
  for (auto &s : a) argv.push_back(&s[0]);
  if (sim_parse((int)argv.size(), argv.data(), so) != -1) abort();
  sim_board(brd, so);
  ln.reset(new line(brd, so.baud, so.faults, so.seed, nullptr, tp(0)));
  ln->rewrite = [](const bytes &a) {
    if (fates.empty()) return a;
    fate f = fates.front();
    fates.pop_front();
    return f(a);
  };
  reset_line();
}

void reset_line() {
  wire.clear();
  wire_at.clear();
  now = 0;
  comdrv_otevreno(0);
  fates.clear();
  port_opened = 0;
  comdrv_port = comdrv_irq = comdrv_baud = comdrv_mode = 0;
  o[0] = 0;
  olds24 = ramc = 0;
  binadr = 0;
  memset(binmask, 0, sizeof binmask);
  memset(binbuf, 0, sizeof binbuf);
}

result call(const std::function<void()> &f) {
  fflush(stdout);
  FILE *cap = tmpfile();
  int saved = dup(1);
  dup2(fileno(cap), 1);
  setvbuf(stdout, nullptr, _IONBF, 0);
  result r{-1, ""};
  try {
    f();
  } catch (const finished &e) {
    r.code = e.code;
  }
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  rewind(cap);
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, cap)) > 0;) r.out.append(buf, n);
  fclose(cap);
  return r;
}

void main_of(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  std::vector<std::string> copy = args;
  copy.insert(copy.begin(), "");
  for (auto &a : copy) argv.push_back(&a[0]);
  static cmdstore s;
  if (const char *chyba = cmdtake((int)argv.size(), argv.data(), &s)) {
    printf("%s", chyba);
    finish(8);
  }
  quarn((unsigned)s.cmdno + 1, s.cmdpar2);
  finish(0);
}

result run(const std::vector<std::string> &args) {
  return call([&] { main_of(args); });
}

fate drop() {
  return [](const bytes &) { return bytes(); };
}

fate answer(const std::string &text) {
  return [text](const bytes &) { return board_frame(text); };
}

fate raw(const bytes &b) {
  return [b](const bytes &) { return b; };
}

void drop_next(int n) {
  for (int i = 0; i < n; i++) fates.push_back(drop());
}

bytes frame_of(const std::string &text) { return board_frame(text); }

bytes request_of(const std::string &text) {
  char tel[256] = "\x68\x01\x01\x68\x7F\x7F\x47\xF5";
  size_t n = text.size() < 246 ? text.size() : 246;
  memcpy(tel + 8, text.data(), n);
  unsigned char tx[256];
  int delka = (int)(8 + n + 2);
  comdrv_frame(tel, delka, tx);
  return bytes(tx, tx + delka);
}

std::string hex(const bytes &b) {
  std::string s;
  char t[4];
  for (size_t i = 0; i < b.size(); i++) {
    snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
    s += t;
  }
  return s;
}

bytes unhex(const std::string &s) {
  bytes b;
  std::istringstream in(s);
  std::string w;
  while (in >> w) b.push_back((uint8_t)strtoul(w.c_str(), nullptr, 16));
  return b;
}

std::string tmpdir() {
  char t[] = "/tmp/quarn-test-XXXXXX";
  return mkdtemp(t);
}

void write_file(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string text_of(const bytes &t) { return std::string(t.begin() + 8, t.end() - 2); }

std::vector<std::string> sent() {
  std::vector<std::string> v;
  for (const bytes &t : wire) v.push_back(text_of(t));
  return v;
}

bool ends_with(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

result script(const std::string &path) {
  return call([&] { zpracuj_soubor(path.c_str()); });
}

std::string in_tmpdir() {
  std::string d = tmpdir();
  if (chdir(d.c_str())) perror(d.c_str());
  return d;
}

child spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &err_path) {
  child c;
  int p[2];
  if (pipe(p)) return c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(p[1], 1);
    close(p[0]);
    close(p[1]);
    if (!err_path.empty()) {
      int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(e, 2);
    }
    for (const std::string &v : env) putenv(strdup(v.c_str()));
    std::vector<char *> a;
    for (const std::string &s : argv) a.push_back(strdup(s.c_str()));
    a.push_back(nullptr);
    execv(a[0], a.data());
    _exit(127);
  }
  close(p[1]);
  c.out = p[0];
  return c;
}

int reap(const child &c) {
  int st = 0;
  if (c.out >= 0) close(c.out);
  waitpid(c.pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

void make_raw(int fd) {
  termios t;
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
}

}  // namespace seam
