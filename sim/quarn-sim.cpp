// quarn-sim: a simulated ORBA-01 board behind a pseudo-terminal, for running
// the loader without hardware.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
#include "line.h"

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
    "  --baud N        pace requests and answers at N baud, 10 bits a byte\n"
    "                  (default: answer at once)\n"
    "  --memory FILE   load memory from FILE from address 0 if it exists (the rest\n"
    "                  is 0xFF); write all 16 MiB back to FILE at exit\n"
    "  --log FILE      write a transcript: seconds since start, to the microsecond\n"
    "                  ('>' when a request is complete, '<' when an answer starts\n"
    "                  on the line), direction ('>' request, '<' answer, '!' injected\n"
    "                  fault, '~' line event), the bytes and a decoded line\n"
    "  --old           firmware before v1.28: S2 lines as text, no block telegrams\n"
    "\n"
    "Faults, each with probability P (0..1) per request:\n"
    "  --drop P        the request is carried out but its answer is lost\n"
    "  --late P        the answer comes 700 ms after the request (carried out)\n"
    "  --split P       the answer is written in 2-4 pieces, gaps under 10 ms\n"
    "  --corrupt P     one byte of the answer frame is changed\n"
    "  --noise P       1-8 stray bytes (never 0x68) come before the answer\n"
    "  --negative P    the answer is \"!Busy\" and the request is not carried out\n"
    "  --seed N        seed of the fault generator, to repeat a run\n"
    "\n"
    "  --help          show this text\n"
    "With --log or any fault, a summary line of counts goes to stderr at exit.\n";

struct options {
  std::string link, memory, log;
  unsigned baud = 0;
  bool old = false;
  line_faults faults;
  uint64_t seed = 0;
  bool seeded = false;
  std::vector<char *> command;  // null-terminated for execvp; empty if none
};

bool fail(const std::string &what) {
  fprintf(stderr, "quarn-sim: %s\n", what.c_str());
  return false;
}

bool fail_errno(const std::string &what) { return fail(what + ": " + strerror(errno)); }

int usage_error(const std::string &what) {
  fail(what);
  fputs("Try 'quarn-sim --help'.\n", stderr);
  return 2;
}

bool parse_probability(const char *s, double &p) {
  char *end;
  errno = 0;
  p = strtod(s, &end);
  return *s && !*end && !errno && p >= 0 && p <= 1;
}

bool parse_unsigned(const char *s, uint64_t max, uint64_t &v) {
  char *end;
  errno = 0;
  v = strtoull(s, &end, 10);
  return *s >= '0' && *s <= '9' && !*end && !errno && v <= max;
}

double *fault_slot(line_faults &f, int opt) {
  switch (opt) {
    case 'd': return &f.drop;
    case 'L': return &f.late;
    case 's': return &f.split;
    case 'c': return &f.corrupt;
    case 'n': return &f.noise;
    case 'N': return &f.negative;
  }
  return nullptr;
}

// -1 when the run goes on, else the exit status.
int parse(int argc, char **argv, options &o) {
  static const option longs[] = {
      {"link", required_argument, nullptr, 'k'},   {"baud", required_argument, nullptr, 'b'},
      {"memory", required_argument, nullptr, 'm'}, {"log", required_argument, nullptr, 'l'},
      {"old", no_argument, nullptr, 'o'},          {"drop", required_argument, nullptr, 'd'},
      {"late", required_argument, nullptr, 'L'},   {"split", required_argument, nullptr, 's'},
      {"corrupt", required_argument, nullptr, 'c'}, {"noise", required_argument, nullptr, 'n'},
      {"negative", required_argument, nullptr, 'N'}, {"seed", required_argument, nullptr, 'S'},
      {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
  int opt;
  uint64_t v;
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
    } else if (opt == 'b') {
      if (!parse_unsigned(optarg, 10000000, v) || v == 0)
        return usage_error(std::string("bad --baud: ") + optarg);
      o.baud = unsigned(v);
    } else if (opt == 'S') {
      if (!parse_unsigned(optarg, UINT64_MAX, v)) return usage_error(std::string("bad --seed: ") + optarg);
      o.seed = v;
      o.seeded = true;
    } else if (double *slot = fault_slot(o.faults, opt)) {
      if (!parse_probability(optarg, *slot))
        return usage_error(std::string("bad probability (0..1): ") + optarg);
    } else {
      fputs("Try 'quarn-sim --help'.\n", stderr);  // getopt has said what was wrong
      return 2;
    }
  }
  for (int i = optind; i < argc; i++) o.command.push_back(argv[i]);
  if (!o.command.empty()) o.command.push_back(nullptr);
  return -1;
}

bool load_memory(board &b, const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return errno == ENOENT || fail_errno("cannot open " + path);
  size_t n = fread(b.mem.data(), 1, b.mem.size(), f);
  bool ok = !ferror(f) && (n < b.mem.size() || fgetc(f) == EOF);
  fclose(f);
  return ok || fail(path + ": cannot read, or larger than 16 MiB");
}

bool save_memory(const board &b, const std::string &path) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return fail_errno("cannot write " + path);
  bool ok = fwrite(b.mem.data(), 1, b.mem.size(), f) == b.mem.size();
  ok = fclose(f) == 0 && ok;
  return ok || fail_errno("cannot write " + path);
}

struct pty {
  int master = -1;
  int slave = -1;  // held open so the master never sees a hang-up between loader runs
  std::string path;
};

bool open_pty(pty &p) {
  p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p.master < 0 || grantpt(p.master) || unlockpt(p.master)) return fail_errno("cannot create a pseudo-terminal");
  p.path = ptsname(p.master);
  p.slave = open(p.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t;
  if (p.slave < 0 || tcgetattr(p.slave, &t)) return fail_errno("cannot open " + p.path);
  cfmakeraw(&t);  // no echo, no translation, 8 bits
  t.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(p.slave, TCSANOW, &t)) return fail_errno("cannot set raw mode on " + p.path);
  return fcntl(p.master, F_SETFL, O_NONBLOCK) == 0 || fail_errno("fcntl");
}

bool make_link(const std::string &link, const std::string &target) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return fail(link + " exists and is not a symbolic link");
    unlink(link.c_str());
  }
  return symlink(target.c_str(), link.c_str()) == 0 || fail_errno("cannot link " + link);
}

int sig_w = -1;  // write end of the signal pipe

void on_signal(int s) {
  int saved = errno;
  uint8_t c = uint8_t(s);
  ssize_t r = write(sig_w, &c, 1);
  (void)r;  // a full pipe already holds a wake-up
  errno = saved;
}

bool catch_signals(int &sig_r) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK)) return fail_errno("pipe");
  sig_r = fds[0];
  sig_w = fds[1];
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGCHLD}) sigaction(s, &sa, nullptr);
  return true;
}

pid_t spawn(std::vector<char *> &cmd, const std::string &path) {
  setenv("QUARN_COM1", path.c_str(), 1);
  setenv("QUARN_COM2", path.c_str(), 1);
  pid_t pid = fork();
  if (pid == 0) {
    execvp(cmd[0], cmd.data());
    fprintf(stderr, "quarn-sim: cannot run %s: %s\n", cmd[0], strerror(errno));
    _exit(127);
  }
  if (pid < 0) fail_errno("fork");
  return pid;
}

int exit_status(int ws) { return WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : WEXITSTATUS(ws); }

const std::chrono::microseconds SPIN(150);

timespec until(sim_clock::time_point t, sim_clock::time_point now) {
  long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - now).count();
  ns = std::max(ns, 0LL);
  return {time_t(ns / 1000000000), long(ns % 1000000000)};
}

struct server {
  pty &p;
  line &ln;
  pid_t child;
  int sig_r;
  int closes;  // inotify: someone closed the terminal
  bool done = false;
  bool failed = false;
  int status = 0;

  void stop(int st) {
    done = true;
    status = st;
  }

  void broken(const char *what) {
    fail_errno(what);
    done = failed = true;
  }

  void on_signals() {
    uint8_t sigs[64];
    ssize_t n = read(sig_r, sigs, sizeof sigs);
    for (ssize_t i = 0; i < n; i++) {
      int ws;
      if (sigs[i] != SIGCHLD && child > 0)
        kill(child, sigs[i]);
      else if (sigs[i] != SIGCHLD)
        stop(0);
      else if (child > 0 && waitpid(child, &ws, WNOHANG) == child)
        stop(exit_status(ws));
    }
  }

  // A loader's exclusive use of the terminal would outlive it, since we hold
  // the terminal open too: lift it whenever someone closes the terminal.
  void on_close() {
    char buf[4096];
    while (read(closes, buf, sizeof buf) > 0) {
    }
    ioctl(p.slave, TIOCNXCL);
  }

  void on_line(sim_clock::time_point now) {
    uint8_t buf[4096];
    ssize_t n = read(p.master, buf, sizeof buf);
    if (n > 0)
      ln.take(buf, size_t(n), now);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      broken("reading the terminal");
  }

  void step() {
    sim_clock::time_point now = sim_clock::now();
    ln.tick(now);
    if (!ln.flush(p.master, now)) return broken("writing the terminal");
    pollfd fds[3] = {{p.master, short(POLLIN | (ln.blocked() ? POLLOUT : 0)), 0},
                     {sig_r, POLLIN, 0},
                     {closes, POLLIN, 0}};
    sim_clock::time_point dl = ln.deadline(now);
    // Timers wake us some tens of microseconds late: sleep to just short of
    // the deadline and poll without sleeping for the last stretch.
    timespec ts = until(dl - SPIN, sim_clock::now());
    if (ppoll(fds, 3, dl == sim_clock::time_point::max() ? nullptr : &ts, nullptr) < 0) {
      if (errno != EINTR) broken("poll");
      return;
    }
    now = sim_clock::now();
    if (fds[2].revents) on_close();
    if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) on_line(now);
    if (fds[1].revents) on_signals();
  }
};

// Serves until the command ends or a stop signal comes.
int serve(pty &p, line &ln, pid_t child, int sig_r) {
  int closes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (closes < 0 || inotify_add_watch(closes, p.path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
    fail_errno("cannot watch " + p.path);
  server s{p, ln, child, sig_r, closes};
  while (!s.done) s.step();
  if (s.failed && child > 0) {
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
  }
  if (closes >= 0) close(closes);
  return s.failed ? 1 : s.status;
}

void summary(const line_counts &c, uint64_t seed) {
  fprintf(stderr,
          "quarn-sim: %lu requests, %lu answers; drop %lu, late %lu, split %lu, corrupt %lu, "
          "noise %lu, negative %lu; seed %llu\n",
          c.requests, c.answers, c.drop, c.late, c.split, c.corrupt, c.noise, c.negative,
          (unsigned long long)seed);
}

int run(options &o) {
  board b;
  board_init(b, o.old);
  if (!o.memory.empty() && !load_memory(b, o.memory)) return 1;
  FILE *log = nullptr;
  if (!o.log.empty() && !(log = fopen(o.log.c_str(), "w"))) {
    fail_errno("cannot write " + o.log);
    return 1;
  }
  if (log) setvbuf(log, nullptr, _IOLBF, 0);
  if (!o.seeded) o.seed = uint64_t(sim_clock::now().time_since_epoch().count()) ^ uint64_t(getpid()) << 32;
  line ln(b, o.baud, o.faults, o.seed, log);

  pty p;
  int sig_r = -1;
  int status = 1;
  if (open_pty(p) && catch_signals(sig_r) && (o.link.empty() || make_link(o.link, p.path))) {
    pid_t child = 0;
    if (o.command.empty()) {
      printf("%s\n", p.path.c_str());
      fflush(stdout);
    } else {
      child = spawn(o.command, p.path);
    }
    status = child < 0 ? 1 : serve(p, ln, child, sig_r);
    if (!o.memory.empty() && !save_memory(b, o.memory) && status == 0) status = 1;
    if (!o.link.empty()) unlink(o.link.c_str());
  }
  if (log || o.faults.any()) summary(ln.counts(), o.seed);
  if (log) fclose(log);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  // Paced bytes fall due to the microsecond; the default 50 us timer slack
  // would make every answer that much late.
  prctl(PR_SET_TIMERSLACK, 1UL);
  options o;
  int status = parse(argc, argv, o);
  return status >= 0 ? status : run(o);
}
