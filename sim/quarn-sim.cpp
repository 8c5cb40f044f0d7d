// quarn-sim: a simulated ORBA-01 board behind a pseudo-terminal, for running
// the loader without hardware.
#include <fcntl.h>
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
#include "options.h"

namespace {

bool fail(const std::string &what) {
  fprintf(stderr, "quarn-sim: %s\n", what.c_str());
  return false;
}

bool fail_errno(const std::string &what) { return fail(what + ": " + strerror(errno)); }

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

int sig_w;  // write end of the signal pipe, open before any handler writes to it

void on_signal(int s) {
  int saved = errno;
  uint8_t c = uint8_t(s);
  ssize_t r = write(sig_w, &c, sizeof c);
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

// The speed a terminal's settings name, in bits per second; 0 if unknown.
unsigned speed_of(speed_t s) {
  static const std::pair<speed_t, unsigned> speeds[] = {
      {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
      {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  for (auto &sp : speeds)
    if (sp.first == s) return sp.second;
  return 0;
}

// Why bytes sent with the loader's line settings reach this board garbled,
// or "" when the settings agree. A pseudo-terminal keeps the odd/even
// choice but no parity-enable flag: even parity looks like none.
std::string mismatch(int slave, const sim_options &o) {
  termios t;
  if (tcgetattr(slave, &t)) return "";
  unsigned speed = speed_of(cfgetospeed(&t));
  bool odd = o.mode & 1;
  if (o.baud && speed != o.baud)
    return "sent at " + std::to_string(speed) + " baud, the board is at " + std::to_string(o.baud);
  if (bool(t.c_cflag & PARODD) != odd) return odd ? "sent without odd parity" : "sent with odd parity";
  return "";
}

struct server {
  pty &p;
  line &ln;
  const sim_options &o;
  pid_t child;
  int sig_r;
  int closes;  // inotify: someone opened or closed the terminal
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
  // An open is a loader's start (--leftover).
  void on_close(sim_clock::time_point now) {
    alignas(inotify_event) char buf[4096];
    bool closed = false;
    for (ssize_t n; (n = read(closes, buf, sizeof buf)) > 0;)
      for (char *e = buf; e < buf + n; e += sizeof(inotify_event) + ((inotify_event *)e)->len)
        if (((inotify_event *)e)->mask & IN_OPEN)
          ln.opened(now);
        else
          closed = true;
    if (closed) ioctl(p.slave, TIOCNXCL);
  }

  void on_line(sim_clock::time_point now) {
    uint8_t buf[4096];
    ssize_t n = read(p.master, buf, sizeof buf);
    std::string why = n > 0 ? mismatch(p.slave, o) : "";
    if (n > 0 && !why.empty())
      ln.garbled(size_t(n), why, now);
    else if (n > 0)
      ln.take(buf, size_t(n), now);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      broken("reading the terminal");
  }

  // The line has gone away (--hangup): closing our end of the terminal
  // hangs it up for the loader, as unplugging a USB adapter does. The
  // board's end stays quiet until the command ends.
  void hang_up() {
    close(p.master);
    close(p.slave);
    p.master = p.slave = -1;
  }
  void step() {
    sim_clock::time_point now = sim_clock::now();
    if (ln.hung() && p.master >= 0) hang_up();
    ln.tick(now);
    auto out = [this](const uint8_t *b, size_t n) -> long {
      ssize_t w = write(p.master, b, n);
      return w >= 0 ? long(w) : errno == EAGAIN || errno == EINTR ? 0 : -1;
    };
    if (!ln.flush(out, now)) return broken("writing the terminal");
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
    if (fds[2].revents) on_close(now);
    if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) on_line(now);
    if (fds[1].revents) on_signals();
  }
};

// Serves until the command ends or a stop signal comes.
int serve(pty &p, line &ln, const sim_options &o, pid_t child, int sig_r) {
  int closes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (closes < 0 || inotify_add_watch(closes, p.path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
    fail_errno("cannot watch " + p.path);
  server s{p, ln, o, child, sig_r, closes};
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
          "noise %lu, negative %lu, twice %lu, trickle %lu, junk %lu, echo %lu, garbled %lu; seed %llu\n",
          c.requests, c.answers, c.drop, c.late, c.split, c.corrupt, c.noise, c.negative, c.twice,
          c.trickle, c.junk, c.echo, c.garbled, (unsigned long long)seed);
}

// --background: the board goes on in a process of its own, out of the
// caller's session and output, while this one prints the terminal's path
// and that process and ends: the terminal is ready when it returns.
bool background(const std::string &path) {
  pid_t pid = fork();
  if (pid < 0) return fail_errno("fork");
  if (pid > 0) {
    printf("%s\n%d\n", path.c_str(), int(pid));
    fflush(stdout);
    _exit(0);
  }
  setsid();
  int nul = open("/dev/null", O_RDWR | O_CLOEXEC);
  bool ok = nul >= 0 && dup2(nul, STDIN_FILENO) >= 0 && dup2(nul, STDOUT_FILENO) >= 0;
  if (nul >= 0) close(nul);
  return ok || fail_errno("/dev/null");
}

int run(sim_options &o) {
  board b;
  sim_board(b, o);
  if (!o.memory.empty() && !load_memory(b, o.memory)) return 1;
  FILE *log = nullptr;
  if (!o.log.empty() && !(log = fopen(o.log.c_str(), "w"))) {
    fail_errno("cannot write " + o.log);
    return 1;
  }
  if (log) setvbuf(log, nullptr, _IOLBF, 0);
  if (!o.seeded) o.seed = uint64_t(sim_clock::now().time_since_epoch().count()) ^ uint64_t(getpid()) << 32;
  line ln(b, o.baud, o.faults, o.seed, log, sim_clock::now());

  pty p;
  int sig_r = -1;
  int status = 1;
  if (open_pty(p) && catch_signals(sig_r) && (o.link.empty() || make_link(o.link, p.path))) {
    pid_t child = 0;
    if (o.background && !background(p.path)) return 1;
    if (o.command.empty() && !o.background) {
      printf("%s\n", p.path.c_str());
      fflush(stdout);
    } else if (!o.command.empty()) {
      child = spawn(o.command, p.path);
    }
    status = child < 0 ? 1 : serve(p, ln, o, child, sig_r);
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
  sim_options o;
  int status = sim_parse(argc, argv, o);
  if (status < 0 && o.version) return printf("quarn-sim %s\n", QUARN_VERSION) < 0;
  return status >= 0 ? status : run(o);
}
