// The fuzz targets' shared parts: scratch folder, file jail, exchange
// budget, board reset and the judging of each run.
#include "common.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comdrv.h"
#include "quarn.h"

// The seam's exchange, renamed by the fuzz build so that the budget can
// stand in front of it.
int seam_posli_telegram(char *tel, int delka);

namespace {

struct stopped {};  // thrown when an input has used its budget of exchanges

int exchanges;
std::vector<std::string> written;  // files the loader opened for writing

// Files that inputs may name. An input that overwrites one gets it back.
struct fixed_file {
  const char *name;
  std::string data;
};
std::vector<fixed_file> fixed;

void write_file(const std::string &name, const std::string &data) {
  FILE *f = ::fopen(name.c_str(), "wb");
  if (!f || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f)) {
    perror(name.c_str());
    abort();
  }
}

long hex6(const uint8_t *p, size_t n, size_t at) {
  if (at + 6 > n) return -1;
  long v = 0;
  for (size_t i = at; i < at + 6; i++) {
    int c = p[i], d = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return -1;
    v = v << 4 | d;
  }
  return v;
}

// The first address a request may have written on the board, or -1. Every
// write the board makes lies within 256 bytes of it.
long written_at(const bytes &req) {
  if (req.size() < 11) return -1;
  const uint8_t *p = req.data() + 8;
  size_t n = req.size() - 10;
  if (p[0] == 's' || p[0] == 'n') return n >= 4 ? p[1] | p[2] << 8 | long(p[3]) << 16 : -1;
  if (p[0] == 'W') return hex6(p, n, 1);
  if (p[0] == 'S' && n > 1 && p[1] == '2') return hex6(p, n, 4);
  return -1;
}

}  // namespace

int posli_telegram(char *tel, int delka) {
  if (++exchanges > fz::BUDGET) throw stopped{};
  return seam_posli_telegram(tel, delka);
}

// Names with a '/' could reach anything on the machine: refused, as a file
// that cannot be opened. What the loader writes is removed after the input.
FILE *fz_fopen(const char *name, const char *mode) {
  if (strchr(name, '/')) {
    errno = EACCES;
    return nullptr;
  }
  FILE *f = ::fopen(name, mode);
  if (f && strpbrk(mode, "wa+")) written.push_back(name);
  return f;
}

namespace fz {

void init() {
  static bool done;
  if (done) return;
  done = true;
  char t[] = "/tmp/quarn-fuzz-XXXXXX";
  const char *dir = getenv("QUARN_FUZZ_DIR");
  if (!dir || !*dir) dir = mkdtemp(t);
  if (!dir || chdir(dir)) {
    perror("scratch folder");
    abort();
  }
  std::string bin;
  for (int i = 0; i < 100; i++) bin += char(i * 37);
  fixed = {{"in.bin", bin},
           {"a.scr", "I000000\n!ORBA\n?v1.28!W000400<0102\n?\?!S0030000FC\nR000400,02\n!=0102\n"},
           {"img.s28", IMAGE}};
  for (const fixed_file &f : fixed) write_file(f.name, f.data);
  seam::reset();
}

void fresh(bool old) {
  // As seam::reset, but the 16 MiB of board memory is erased only where the
  // last input's requests may have written: a whole erase per input would
  // cost more than most inputs.
  for (const bytes &req : seam::wire) {
    long a = written_at(req);
    if (a < 0) continue;
    size_t at = std::min<size_t>(size_t(a), BOARD_MEMSIZE - 256);
    std::fill(seam::brd.mem.begin() + at, seam::brd.mem.begin() + at + 256, 0xFF);
  }
  seam::brd.old = old;
  board_rx_reset(seam::brd);
  seam::reset_line();
  exchanges = 0;

  for (const std::string &name : written) {
    unlink(name.c_str());
    for (const fixed_file &f : fixed)
      if (name == f.name) write_file(f.name, f.data);
  }
  written.clear();
}

result run(const std::function<void()> &f) {
  // The console goes to an in-memory file; the loader makes it unbuffered,
  // which a memory stream would not survive.
  static FILE *cap = fdopen(memfd_create("console", 0), "w+");
  if (!cap || ftruncate(fileno(cap), 0)) abort();
  rewind(cap);
  FILE *console = stdout;
  stdout = cap;
  result r{-1, ""};
  bool thrown = false;
  try {
    f();
  } catch (const stopped &) {
    r.code = -2;
  } catch (...) {
    thrown = true;  // finish(): its code is on the last line
  }
  fflush(cap);
  stdout = console;
  rewind(cap);
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, cap)) > 0;) r.out.append(buf, n);
  if (thrown) {
    size_t at = r.out.rfind("Exit code ");
    if (at == std::string::npos || r.out.back() != '\n') fail("an exception that is not finish()", r);
    r.code = atoi(r.out.c_str() + at + 10);
  }
  if (r.code == 1 || r.code > 9) fail("an exit code the loader never uses", r);
  if (r.code > 0) {
    bool said = false;
    for (const char *m : {"Error:", "Bad format:", "Wrong settings", "Target didn't respond."})
      said = said || r.out.find(m) != std::string::npos;
    if (!said) fail("an error exit without a message", r);
  }
  return r;
}

result run_argv(const std::vector<std::string> &args) {
  return run([&] { seam::main_of(args); });
}

void put(const std::string &name, const uint8_t *data, size_t n) {
  write_file(name, std::string((const char *)data, n));
  written.push_back(name);
}

void fail(const std::string &what, const result &r) {
  fprintf(stderr, "\n*** %s (exit code %d). Console:\n%s\n***\n", what.c_str(), r.code,
          r.out.c_str());
  abort();
}

}  // namespace fz
