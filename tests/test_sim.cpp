// quarn-sim as a process: its terminal, its command, its files and faults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "board.h"
#include "seam.h"

namespace {

using ms = std::chrono::milliseconds;
using seam::read_file;
const bytes OK = board_frame("*");

int status_of(const std::string &args) {
  return WEXITSTATUS(system((std::string(QUARN_SIM_BIN) + " " + args + " 2>/dev/null >/dev/null").c_str()));
}

// quarn-sim without a command, serving until stop(); stderr goes to dir/err.
struct sim {
  std::string dir = seam::tmpdir(), path;
  seam::child c;
  explicit sim(std::vector<std::string> args) {
    args.insert(args.begin(), QUARN_SIM_BIN);
    c = seam::spawn(args, {}, dir + "/err");
    for (char ch; read(c.out, &ch, 1) == 1 && ch != '\n';) path += ch;  // ready once it names its terminal
  }
  int stop() {
    kill(c.pid, SIGTERM);
    return seam::reap(c);
  }
};

// The loader's end of the line.
struct terminal {
  int fd;
  explicit terminal(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    seam::make_raw(fd);
  }
  ~terminal() { close(fd); }
  // Sends a request and collects what comes back until at least `want` bytes
  // ending in an end byte have come, or the time is up.
  bytes exchange(const bytes &req, size_t want, ms limit = ms(500)) {
    EXPECT_EQ(write(fd, req.data(), req.size()), ssize_t(req.size()));
    auto end = std::chrono::steady_clock::now() + limit;
    bytes got;
    uint8_t buf[512];
    while (!(got.size() >= want && got.back() == 0x16) && std::chrono::steady_clock::now() < end) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 5) == 1) got.insert(got.end(), buf, buf + std::max<ssize_t>(0, read(fd, buf, sizeof buf)));
    }
    return got;
  }
};

TEST(Sim, RunsTheCommandAndTakesItsStatus) {
  EXPECT_EQ(status_of("-- sh -c 'exit 3'"), 3);
  EXPECT_EQ(status_of("sh -c 'kill -9 $$'"), 128 + 9);
  EXPECT_EQ(status_of("-- sh -c 'test -c \"$QUARN_COM1\" && test \"$QUARN_COM1\" = \"$QUARN_COM2\"'"), 0);
  EXPECT_EQ(status_of("-- no-such-command-here"), 127);
  for (auto bad : {"--bogus", "--drop 1.5", "--late x", "--baud 0", "--seed -1", "--old=1"})
    EXPECT_EQ(status_of(std::string(bad) + " -- true"), 2) << bad;
  std::string help = seam::tmpdir() + "/help";
  EXPECT_EQ(system((std::string(QUARN_SIM_BIN) + " --help >" + help).c_str()), 0);
  for (auto opt : {"--link", "--baud", "--memory", "--log", "--old", "--drop", "--late", "--split", "--corrupt",
                   "--noise", "--negative", "--seed"})
    EXPECT_NE(read_file(help).find(opt), std::string::npos) << opt;
}

TEST(Sim, ServesOnItsTerminalAndLink) {
  std::string link = seam::tmpdir() + "/ttyS0";
  sim s({"--link", link, "--old"});
  char target[256] = {};
  EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(target, s.path);
  {
    terminal t(link);
    bytes id = board_frame(board_id_old);
    EXPECT_EQ(t.exchange(seam::request_of("I000000\n"), id.size()), id);
    EXPECT_EQ(ioctl(t.fd, TIOCEXCL), 0);
  }
  // The loader's exclusive use ends with it, though the simulator holds the terminal.
  int excl = 1;
  for (int i = 0; i < 100 && excl; i++) {
    usleep(10000);
    terminal again(s.path);
    ioctl(again.fd, TIOCGEXCL, &excl);
  }
  EXPECT_EQ(excl, 0);
  EXPECT_EQ(s.stop(), 0);
  EXPECT_NE(access(link.c_str(), F_OK), 0);
}

// The memory file is loaded at the start, from address 0, and saved whole at the end.
TEST(Sim, MemoryFileRoundTrip) {
  std::string mem = seam::tmpdir() + "/mem.bin";
  seam::write_file(mem, "\x01\x02\x03\x04");
  sim s({"--memory", mem});
  terminal t(s.path);
  bytes want = board_frame("=0102AABBFF");
  EXPECT_EQ(t.exchange(seam::request_of("W000002<AABB\n"), OK.size()), OK);
  EXPECT_EQ(t.exchange(seam::request_of("R000000,05\n"), want.size()), want);
  EXPECT_EQ(s.stop(), 0);
  std::string after = read_file(mem);
  EXPECT_EQ(after.size(), BOARD_MEMSIZE);
  EXPECT_EQ(after.substr(0, 6), "\x01\x02\xAA\xBB\xFF\xFF");
}

// Each fault at probability 1: what reaches the loader, whether the write
// was carried out, and the transcript and summary that name it.
TEST(Sim, InjectsFaults) {
  const bytes BUSY = board_frame("!Busy");
  for (std::string f : {"drop", "negative", "split", "corrupt", "noise"}) {
    SCOPED_TRACE(f);
    std::string dir = seam::tmpdir();
    sim s({"--" + f, "1", "--seed", "7", "--memory", dir + "/mem", "--log", dir + "/log"});
    size_t want = f == "negative" ? BUSY.size() : OK.size();
    bytes got = terminal(s.path).exchange(seam::request_of("W000000<42\n"), want, ms(200));
    EXPECT_EQ(s.stop(), 0);
    size_t extra = got.size() > OK.size() ? got.size() - OK.size() : 0, differ = 0;
    for (size_t i = 0; i < OK.size() && i + extra < got.size(); i++) differ += got[i + extra] != OK[i];
    bool noise = extra > 0 && extra <= 8 && !differ && !std::count(got.begin(), got.begin() + extra, 0x68);
    bool ok = f == "drop"       ? got.empty()
              : f == "negative" ? got == BUSY
              : f == "split"    ? got == OK
              : f == "corrupt"  ? got.size() == OK.size() && differ == 1
                                : noise;
    EXPECT_TRUE(ok) << seam::hex(got);
    EXPECT_EQ(read_file(dir + "/mem")[0], f == "negative" ? '\xFF' : '\x42');
    std::string log = read_file(dir + "/log");
    EXPECT_NE(log.find("> 68 0F 0F 68 7F 7F 47 F5 57"), std::string::npos) << log;
    EXPECT_NE(log.find("! " + f), std::string::npos) << log;
    EXPECT_NE(read_file(s.dir + "/err").find(f + " 1"), std::string::npos);
  }
}

TEST(Sim, LateAnswersAndLinePacing) {
  sim late({"--late", "1"});
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(terminal(late.path).exchange(seam::request_of(""), OK.size(), ms(1500)), OK);
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, ms(650));
  EXPECT_LT(took, ms(1200));
  late.stop();

  sim paced({"--baud", "9600"});
  bytes id = board_frame(board_id);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(terminal(paced.path).exchange(seam::request_of("I000000\n"), id.size()), id);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, ms(50));  // 18 + 30 bytes of 10 bits at 9600 baud
  paced.stop();
}

}  // namespace
