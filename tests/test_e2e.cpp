// End to end: the real POSIX program on a pseudo-terminal, in real time.
// The test plays the board itself so it can time each answer.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "seam.h"

namespace {

typedef std::chrono::steady_clock clk;

double ms_since(clk::time_point t) {
  return std::chrono::duration<double, std::milli>(clk::now() - t).count();
}

struct line {
  int master = -1, slave = -1;  // the test keeps a slave open: no hang-ups between runs
  std::string path;
  line() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    path = ptsname(master);
    slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  ~line() {
    close(slave);
    close(master);
  }
};

struct outcome {
  int status = -1;
  std::string out;
  double ms = 0;              // whole run
  std::vector<bytes> requests;
};

// Delay in ms before the answer to request i; negative: never answered.
typedef std::function<int(size_t)> timing;

// Runs build/quarn with args, COM1 (or COM2) on the test's line, and answers
// its requests from `brd` at the times `when` gives, one after another as a
// real board does.
outcome run_quarn(line &ln, board &brd, const std::vector<std::string> &args, timing when,
                  const char *com = "QUARN_COM1", std::function<void(size_t)> on_request = nullptr) {
  int out[2];
  EXPECT_EQ(pipe(out), 0);
  auto start = clk::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    setenv("QUARN_COM1", "/nonexistent/com1", 1);
    setenv("QUARN_COM2", "/nonexistent/com2", 1);
    setenv(com, ln.path.c_str(), 1);
    std::vector<char *> argv{(char *)QUARN_BIN};
    for (auto &a : args) argv.push_back((char *)a.c_str());
    argv.push_back(nullptr);
    execv(QUARN_BIN, argv.data());
    _exit(127);
  }
  close(out[1]);
  outcome r;
  std::vector<std::pair<double, bytes>> due;  // answers and when they go out
  double busy = 0;                            // the board answers in order
  bool open = true;
  while (open) {
    int wait = 50;
    for (auto &d : due) wait = std::min(wait, std::max(0, (int)(d.first - ms_since(start))));
    pollfd pf[2] = {{ln.master, POLLIN, 0}, {out[0], POLLIN, 0}};
    poll(pf, 2, wait);
    if (pf[0].revents & POLLIN) {
      uint8_t buf[512];
      ssize_t n = read(ln.master, buf, sizeof buf);
      std::vector<bytes> frames;
      if (n > 0) board_rx(brd, buf, n, frames);
      for (auto &f : frames) {
        size_t i = r.requests.size();
        r.requests.push_back(f);
        if (on_request) on_request(i);
        int d = when(i);
        if (d < 0) continue;
        busy = std::max(busy, ms_since(start) + d);
        due.push_back({busy, board_answer(brd, f)});
      }
    }
    for (size_t i = 0; i < due.size();) {
      if (due[i].first <= ms_since(start)) {
        EXPECT_EQ(write(ln.master, due[i].second.data(), due[i].second.size()),
                  (ssize_t)due[i].second.size());
        due.erase(due.begin() + i);
      } else {
        i++;
      }
    }
    if (pf[1].revents & (POLLIN | POLLHUP)) {
      char buf[4096];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n > 0) r.out.append(buf, n);
      if (n <= 0) open = false;
    }
  }
  close(out[0]);
  int st;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.ms = ms_since(start);
  return r;
}

timing prompt = [](size_t) { return 0; };

TEST(E2E, IdentityAndCommandsOnTheLine) {
  line ln;
  board brd;
  board_init(brd, false);
  auto r = run_quarn(ln, brd, {}, prompt);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("UART init O.K.\nTarget ID:\nORBA-01 BELKOS v1.28\nExit code 0\n"),
            std::string::npos)
      << r.out;
  ASSERT_EQ(r.requests.size(), 1u);
  EXPECT_EQ(seam::hex(r.requests[0]), "68 0C 0C 68 7F 7F 47 F5 49 30 30 30 30 30 30 0A AD 16");

  r = run_quarn(ln, brd, {"W000010<A5", "xyz"}, prompt);
  EXPECT_EQ(r.status, 7);
  EXPECT_NE(r.out.find("\rSend scmd: W000010<A5\n\rAnswer: *"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Error: Negative response.\nExit code 7\n"), std::string::npos);
  EXPECT_EQ(brd.mem[0x10], 0xA5);
}

TEST(E2E, LineSettingsReallyApplied) {
  line ln;
  board brd;
  board_init(brd, false);
  termios seen{};
  auto look = [&](size_t) { tcgetattr(ln.slave, &seen); };
  auto r = run_quarn(ln, brd, {"b9600", "m3", "p2f8", "I000000"}, prompt, "QUARN_COM2", look);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(cfgetospeed(&seen), (speed_t)B9600);
  EXPECT_EQ(cfgetispeed(&seen), (speed_t)B9600);
  EXPECT_EQ(seen.c_cflag & CSIZE, (tcflag_t)CS8);
  // A pseudo-terminal drops PARENB whatever is asked; the odd/even choice stays.
  EXPECT_TRUE(seen.c_cflag & PARODD);  // mode 3 is odd parity, as mode 1
  EXPECT_TRUE(seen.c_cflag & CLOCAL);
  EXPECT_FALSE(seen.c_cflag & CSTOPB);
  EXPECT_FALSE(seen.c_iflag & (ISTRIP | INPCK | ICRNL | IXON | IXOFF | INLCR | IGNCR));
  EXPECT_FALSE(seen.c_oflag & OPOST);
  EXPECT_FALSE(seen.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));

  r = run_quarn(ln, brd, {"m2", "b115200", "I000000"}, prompt, "QUARN_COM1", look);
  EXPECT_EQ(cfgetospeed(&seen), (speed_t)B115200);
  EXPECT_FALSE(seen.c_cflag & PARODD);
}

TEST(E2E, PortInUseOrMissingIsRefused) {
  line ln;
  board brd;
  board_init(brd, false);
  int holder = open(ln.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  auto r = run_quarn(ln, brd, {"I000000"}, prompt);
  close(holder);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("Wrong settings, can't initialize UART\nExit code 2"), std::string::npos);

  r = run_quarn(ln, brd, {"p2f8", "I000000"}, prompt, "QUARN_COM1");
  EXPECT_EQ(r.status, 2);
}

// The answer window is 550 ms from the request: an answer at about 450 ms
// counts, one after the window does not and the command is tried again.
TEST(E2E, AnswerWindow) {
  line ln;
  board brd;
  board_init(brd, false);
  auto r = run_quarn(ln, brd, {"I000000"}, [](size_t i) { return i == 0 ? 450 : 0; });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.requests.size(), 1u);
  EXPECT_NE(r.out.find("\rSend scmd: I000000\n\rAnswer: ORBA-01"), std::string::npos) << r.out;

  r = run_quarn(ln, brd, {"I000000"}, [](size_t i) { return i == 0 ? 700 : 0; });
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\rSend scmd: I000000\n.\rAnswer: ORBA-01"), std::string::npos) << r.out;
}

// A late answer still arrives, after its window; it must never be taken
// for the answer to the request after its own.
TEST(E2E, LateAnswerNeverPairedWithTheNextRequest) {
  line ln;
  board brd;
  board_init(brd, false);
  for (int i = 0; i < 256; i++) brd.mem[0x400 + i] = (uint8_t)(i * 7 + 3);
  std::string dir = seam::tmpdir();
  auto r = run_quarn(ln, brd, {"@binget000400,000100>" + dir + "/m.bin"},
                     [](size_t i) { return i == 1 ? 620 : 0; });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(seam::read_file(dir + "/m.bin"), std::string(brd.mem.begin() + 0x400,
                                                         brd.mem.begin() + 0x500));
}

// Bytes the line brought before a request (here an answer left over from
// an earlier run) are not this request's answer.
TEST(E2E, StaleInputIsNotTheAnswer) {
  line ln;
  board brd;
  board_init(brd, false);
  bytes stale = board_frame("=00");
  ASSERT_EQ(write(ln.master, stale.data(), stale.size()), (ssize_t)stale.size());
  usleep(20000);
  auto r = run_quarn(ln, brd, {}, prompt);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Target ID:\nORBA-01 BELKOS v1.28\n"), std::string::npos) << r.out;
}

TEST(E2E, NoAnswerAtAllNineWindows) {
  line ln;
  board brd;
  board_init(brd, false);
  auto r = run_quarn(ln, brd, {}, [](size_t) { return -1; });
  EXPECT_EQ(r.status, 5);
  EXPECT_NE(r.out.find("Target ID:\n.........Error: No response.\nExit code 5\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.requests.size(), 9u);
  EXPECT_GE(r.ms, 9 * 550.0);
}

}  // namespace
