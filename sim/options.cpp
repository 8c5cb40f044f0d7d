#include "options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

const char *const USAGE =
    "Usage: quarn-sim [OPTIONS] [--] [COMMAND [ARGS...]]\n"
    "Serves a simulated ORBA-01 board (BELKOS firmware) on a pseudo-terminal.\n"
    "With COMMAND: runs it with QUARN_COM1 and QUARN_COM2 naming the terminal,\n"
    "serves until it ends and exits with its status (128+N if killed by signal N).\n"
    "Without: prints the terminal's path on one line and serves until SIGINT or\n"
    "SIGTERM.\n"
    "\n"
    "  --link PATH     also make PATH a symbolic link to the terminal (removed at exit)\n"
    "  --baud N        pace requests and answers at N baud, 10 bits a byte (default:\n"
    "                  answer at once); requests sent at another speed are garbled\n"
    "  --mode D        the board's line mode, parity by D's two low bits as the\n"
    "                  loader's m option (default 0); requests sent with another\n"
    "                  parity are garbled (a pseudo-terminal tells odd parity only)\n"
    "  --memory FILE   load memory from FILE from address 0 if it exists (the rest\n"
    "                  is 0xFF); write all 16 MiB back to FILE at exit\n"
    "  --stuck A-B     memory from hex address A to B ignores writes, though the\n"
    "                  board answers as if it took them (repeatable)\n"
    "  --log FILE      write a transcript: seconds since start, to the microsecond\n"
    "                  ('>' when a request is complete, '<' when an answer starts\n"
    "                  on the line), direction ('>' request, '<' answer, '!' injected\n"
    "                  fault, '~' line event), the bytes and a decoded line\n"
    "  --old           firmware before v1.28: S2 lines as text, no block telegrams\n"
    "  --ignore-text-records  S1 and S3 records sent as text are answered '*' but\n"
    "                  not stored (by default, as S2 text, they are checked and stored)\n"
    "\n"
    "Faults: P is a probability (0..1) per request, or @N for request N only\n"
    "(counted from 1); MS a time in milliseconds.\n"
    "  --drop P        the request is carried out but its answer is lost\n"
    "  --late P[:MS]   the answer comes MS ms after the request (default 700)\n"
    "  --twice P[:MS]  the answer is sent again, MS ms after the first (default 5)\n"
    "  --trickle P[:MS] the answer comes a byte every MS ms (default 3)\n"
    "  --split P       the answer is written in 2-4 pieces, gaps under 10 ms\n"
    "  --corrupt P     one byte of the answer frame is changed\n"
    "  --noise P       1-8 stray bytes (never 0x68) come before the answer\n"
    "  --junk P        stray bytes and a whole frame with a wrong checksum come\n"
    "                  before the answer\n"
    "  --negative P    the answer is \"!Busy\" and the request is not carried out\n"
    "  --echo P        the line sends the request back at once, as an echoing\n"
    "                  adapter does (with --drop 1: a loopback plug, no board)\n"
    "  --hangup N      the line goes away when request N arrives, unanswered: the\n"
    "                  terminal hangs up, as an unplugged USB adapter does\n"
    "  --seed N        seed of the fault generator, to repeat a run\n"
    "\n"
    "  --help          show this text\n"
    "With --log or any fault, a summary line of counts goes to stderr at exit.\n";

int usage_error(const std::string &what) {
  fprintf(stderr, "quarn-sim: %s\nTry 'quarn-sim --help'.\n", what.c_str());
  return 2;
}

bool parse_unsigned(const char *s, uint64_t max, uint64_t &v, int base = 10) {
  char *end;
  errno = 0;
  v = strtoull(s, &end, base);
  return isxdigit((unsigned char)*s) && !*end && !errno && v <= max;
}

// "P" or "@N", then ":MS" where the fault has a time.
bool parse_fault(const char *s, fault &f, bool timed) {
  std::string a = s, ms;
  size_t colon = a.find(':');
  if (colon != std::string::npos) {
    ms = a.substr(colon + 1);
    a.resize(colon);
  }
  uint64_t v;
  f.nth = 0;
  if (!ms.empty() || colon != std::string::npos) {
    if (!timed || !parse_unsigned(ms.c_str(), 100000, v)) return false;
    f.ms = unsigned(v);
  }
  if (a[0] == '@') {
    if (!parse_unsigned(a.c_str() + 1, UINT32_MAX, v) || v == 0) return false;
    f.nth = v;
    return true;
  }
  char *end;
  errno = 0;
  f.p = strtod(a.c_str(), &end);
  return !a.empty() && !*end && !errno && f.p >= 0 && f.p <= 1;
}

// The fault an option names, and whether it has a time.
fault *fault_of(line_faults &f, int opt, bool &timed) {
  timed = opt == 'L' || opt == 't' || opt == 'T';
  switch (opt) {
    case 'd': return &f.drop;
    case 'L': return &f.late;
    case 's': return &f.split;
    case 'c': return &f.corrupt;
    case 'n': return &f.noise;
    case 'N': return &f.negative;
    case 't': return &f.twice;
    case 'T': return &f.trickle;
    case 'j': return &f.junk;
    case 'e': return &f.echo;
  }
  return nullptr;
}

bool parse_range(const char *s, std::pair<uint32_t, uint32_t> &r) {
  std::string a = s;
  size_t dash = a.find('-');
  uint64_t lo, hi;
  if (dash == std::string::npos || !parse_unsigned(a.substr(0, dash).c_str(), 0xFFFFFF, lo, 16) ||
      !parse_unsigned(a.substr(dash + 1).c_str(), 0xFFFFFF, hi, 16) || hi < lo)
    return false;
  r = {uint32_t(lo), uint32_t(hi)};
  return true;
}

}  // namespace

int sim_parse(int argc, char **argv, sim_options &o) {
  static const option longs[] = {
      {"link", required_argument, nullptr, 'k'},    {"baud", required_argument, nullptr, 'b'},
      {"mode", required_argument, nullptr, 'M'},    {"memory", required_argument, nullptr, 'm'},
      {"stuck", required_argument, nullptr, 'x'},   {"log", required_argument, nullptr, 'l'},
      {"old", no_argument, nullptr, 'o'},           {"drop", required_argument, nullptr, 'd'},
      {"ignore-text-records", no_argument, nullptr, 'i'},
      {"late", required_argument, nullptr, 'L'},    {"twice", required_argument, nullptr, 't'},
      {"trickle", required_argument, nullptr, 'T'}, {"split", required_argument, nullptr, 's'},
      {"corrupt", required_argument, nullptr, 'c'}, {"noise", required_argument, nullptr, 'n'},
      {"junk", required_argument, nullptr, 'j'},    {"negative", required_argument, nullptr, 'N'},
      {"echo", required_argument, nullptr, 'e'},    {"hangup", required_argument, nullptr, 'H'},
      {"seed", required_argument, nullptr, 'S'},    {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  int opt;
  uint64_t v;
  bool timed;
  std::pair<uint32_t, uint32_t> r;
  optind = 0;  // a fresh scan, also when called again
  // '+': options end at the command's name, so its own options stay its own.
  while ((opt = getopt_long(argc, argv, "+", longs, nullptr)) != -1) {
    if (opt == 'h') {
      fputs(USAGE, stdout);
      return 0;
    } else if (opt == 'k') {
      o.link = optarg;
    } else if (opt == 'm') {
      o.memory = optarg;
    } else if (opt == 'l') {
      o.log = optarg;
    } else if (opt == 'o') {
      o.old = true;
    } else if (opt == 'i') {
      o.ignore_text = true;
    } else if (opt == 'b') {
      if (!parse_unsigned(optarg, 10000000, v) || v == 0) return usage_error(std::string("bad --baud: ") + optarg);
      o.baud = unsigned(v);
    } else if (opt == 'M') {
      if (!parse_unsigned(optarg, 4, v)) return usage_error(std::string("bad --mode (0..4): ") + optarg);
      o.mode = int(v);
    } else if (opt == 'x') {
      if (!parse_range(optarg, r)) return usage_error(std::string("bad --stuck (hex A-B): ") + optarg);
      o.stuck.push_back(r);
    } else if (opt == 'H') {
      if (!parse_unsigned(optarg, UINT32_MAX, v) || v == 0) return usage_error(std::string("bad --hangup: ") + optarg);
      o.faults.hangup = v;
    } else if (opt == 'S') {
      if (!parse_unsigned(optarg, UINT64_MAX, v)) return usage_error(std::string("bad --seed: ") + optarg);
      o.seed = v;
      o.seeded = true;
    } else if (fault *f = fault_of(o.faults, opt, timed)) {
      if (!parse_fault(optarg, *f, timed))
        return usage_error(std::string("bad fault (P in 0..1 or @N") + (timed ? ", then :MS" : "") + "): " + optarg);
    } else {
      fputs("Try 'quarn-sim --help'.\n", stderr);  // getopt has said what was wrong
      return 2;
    }
  }
  for (int i = optind; i < argc; i++) o.command.push_back(argv[i]);
  if (!o.command.empty()) o.command.push_back(nullptr);
  return -1;
}

void sim_board(board &b, const sim_options &o) {
  board_init(b, o.old);
  b.stuck = o.stuck;
  b.ignore_text = o.ignore_text;
}
