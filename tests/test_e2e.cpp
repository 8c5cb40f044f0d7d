// End to end: the real POSIX program on a pseudo-terminal, in real time.
// The test plays the board itself so it can time each answer.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "seam.h"

namespace {

typedef std::chrono::steady_clock clk;

double ms_since(clk::time_point t) { return std::chrono::duration<double, std::milli>(clk::now() - t).count(); }

struct outcome {
  int status = -1;
  std::string out;
  double ms = 0;  // whole run
  std::vector<bytes> requests;
};

// Delay in ms before the answer to request i; negative: never answered.
typedef std::function<int(size_t)> timing;
const timing prompt = [](size_t) { return 0; };

// A pseudo-terminal for the line and a board behind it. The test keeps the
// slave open: no hang-ups between runs.
struct E2E : ::testing::Test {
  int master = posix_openpt(O_RDWR | O_NOCTTY), slave = -1;
  std::string path;
  board brd;
  void SetUp() override {
    grantpt(master);
    unlockpt(master);
    path = ptsname(master);
    slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    seam::make_raw(slave);
    board_init(brd, false);
  }
  void TearDown() override {
    close(slave);
    close(master);
  }

  // Runs build/quarn with args, COM1 (or COM2) on the line, and answers its
  // requests from brd at the times `when` gives, one after another as a real
  // board does.
  outcome run(const std::vector<std::string> &args, timing when = prompt, const char *com = "QUARN_COM1",
              std::function<void(size_t)> on_request = nullptr) {
    std::vector<std::string> argv{QUARN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    auto start = clk::now();
    seam::child c = seam::spawn(argv, {"QUARN_COM1=/nonexistent/com1", "QUARN_COM2=/nonexistent/com2",
                                       std::string(com) + "=" + path});
    outcome r;
    std::deque<std::pair<double, bytes>> due;  // answers and when they go out: in order, as a board answers
    for (ssize_t n = 1; n > 0;) {
      pollfd pf[2] = {{master, POLLIN, 0}, {c.out, POLLIN, 0}};
      poll(pf, 2, due.empty() ? 50 : std::min(50, std::max(0, (int)(due.front().first - ms_since(start)))));
      uint8_t buf[4096];
      std::vector<bytes> frames;
      if (pf[0].revents & POLLIN) board_rx(brd, buf, std::max<ssize_t>(0, read(master, buf, sizeof buf)), frames);
      for (auto &f : frames) {
        r.requests.push_back(f);
        if (on_request) on_request(r.requests.size() - 1);
        int d = when(r.requests.size() - 1);
        double at = std::max(due.empty() ? 0 : due.back().first, ms_since(start) + d);
        if (d >= 0) due.push_back({at, board_answer(brd, f)});
      }
      for (; !due.empty() && due.front().first <= ms_since(start); due.pop_front()) {
        const bytes &a = due.front().second;
        EXPECT_EQ(write(master, a.data(), a.size()), (ssize_t)a.size());
      }
      if (pf[1].revents & (POLLIN | POLLHUP) && (n = read(c.out, buf, sizeof buf)) > 0)
        r.out.append((char *)buf, n);
    }
    r.status = seam::reap(c);
    r.ms = ms_since(start);
    return r;
  }
};

TEST_F(E2E, IdentityAndCommandsOnTheLine) {
  auto r = run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(seam::ends_with(r.out, "UART init O.K.\nTarget ID:\nORBA-01 BELKOS v1.28\nExit code 0\n")) << r.out;
  ASSERT_EQ(r.requests.size(), 1u);
  EXPECT_EQ(seam::hex(r.requests[0]), seam::IDQ);

  r = run({"W000010<A5", "xyz"});
  EXPECT_EQ(r.status, 7);
  EXPECT_NE(r.out.find("\rSend scmd: W000010<A5\n\rAnswer: *"), std::string::npos) << r.out;
  EXPECT_TRUE(seam::ends_with(r.out, "Error: Negative response.\nExit code 7\n"));
  EXPECT_EQ(brd.mem[0x10], 0xA5);
}

TEST_F(E2E, LineSettingsReallyApplied) {
  termios seen{};
  auto look = [&](size_t) { tcgetattr(slave, &seen); };
  auto r = run({"b9600", "m3", "p2f8", "I000000"}, prompt, "QUARN_COM2", look);
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

  r = run({"m2", "b115200", "I000000"}, prompt, "QUARN_COM1", look);
  EXPECT_EQ(cfgetospeed(&seen), (speed_t)B115200);
  EXPECT_FALSE(seen.c_cflag & PARODD);
}

TEST_F(E2E, PortInUseOrMissingIsRefused) {
  int holder = open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  auto r = run({"I000000"});
  close(holder);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("Wrong settings, can't initialize UART\nExit code 2"), std::string::npos);
  EXPECT_EQ(run({"p2f8", "I000000"}).status, 2);
  // A device that takes no line settings at all is refused too.
  path = "/dev/null";
  EXPECT_EQ(run({"I000000"}).status, 2);
}

// The answer window is 550 ms from the request: an answer at about 450 ms
// counts, one after the window does not and the command is tried again.
TEST_F(E2E, AnswerWindow) {
  auto r = run({"I000000"}, [](size_t i) { return i == 0 ? 450 : 0; });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.requests.size(), 1u);
  EXPECT_NE(r.out.find("\rSend scmd: I000000\n\rAnswer: ORBA-01"), std::string::npos) << r.out;

  r = run({"I000000"}, [](size_t i) { return i == 0 ? 700 : 0; });
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\rSend scmd: I000000\n.\rAnswer: ORBA-01"), std::string::npos) << r.out;
}

// A late answer still arrives, after its window; it must never be taken
// for the answer to the request after its own.
TEST_F(E2E, LateAnswerNeverPairedWithTheNextRequest) {
  for (int i = 0; i < 256; i++) brd.mem[0x400 + i] = (uint8_t)(i * 7 + 3);
  std::string dir = seam::tmpdir();
  auto r = run({"@binget000400,000100>" + dir + "/m.bin"}, [](size_t i) { return i == 1 ? 620 : 0; });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(seam::read_file(dir + "/m.bin"), std::string(brd.mem.begin() + 0x400, brd.mem.begin() + 0x500));
}

// Bytes the line brought before a request (here an answer left over from
// an earlier run) are not this request's answer.
TEST_F(E2E, StaleInputIsNotTheAnswer) {
  bytes stale = board_frame("=00");
  ASSERT_EQ(write(master, stale.data(), stale.size()), (ssize_t)stale.size());
  usleep(20000);
  auto r = run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Target ID:\nORBA-01 BELKOS v1.28\n"), std::string::npos) << r.out;
}

TEST_F(E2E, NoAnswerAtAllNineWindows) {
  auto r = run({}, [](size_t) { return -1; });
  EXPECT_EQ(r.status, 5);
  EXPECT_TRUE(seam::ends_with(r.out, "Target ID:\n.........Error: No response.\nExit code 5\n")) << r.out;
  EXPECT_EQ(r.requests.size(), 9u);
  EXPECT_GE(r.ms, 9 * 550.0);
}

}  // namespace
