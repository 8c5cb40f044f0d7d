// quarn-sim as a process: its terminal, its command, its files and faults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <fstream>
#include <sstream>

#include "board.h"
#include "seam.h"

namespace {

using ms = std::chrono::milliseconds;

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string scratch() {
  char dir[] = "/tmp/quarn-sim-test-XXXXXX";
  EXPECT_NE(mkdtemp(dir), nullptr);
  return dir;
}

int status_of(const std::string &args) {
  int ws = system((std::string(QUARN_SIM_BIN) + " " + args + " 2>/dev/null >/dev/null").c_str());
  return WEXITSTATUS(ws);
}

// quarn-sim without a command, serving until stop(); stderr goes to dir/err.
struct sim {
  std::string dir = scratch(), path;
  pid_t pid = -1;

  explicit sim(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, (dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), QUARN_SIM_BIN);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid, QUARN_SIM_BIN, &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') path += c;  // ready once it names its terminal
    close(out[0]);
  }
  int stop() {
    kill(pid, SIGTERM);
    int ws;
    waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  }
};

// The loader's end of the line.
struct terminal {
  int fd;
  explicit terminal(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios t;
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  ~terminal() { close(fd); }
  // Sends a request and collects what comes back until `done` or the time is up.
  bytes exchange(const bytes &req, const std::function<bool(const bytes &)> &done, ms limit = ms(500)) {
    EXPECT_EQ(write(fd, req.data(), req.size()), ssize_t(req.size()));
    auto end = std::chrono::steady_clock::now() + limit;
    bytes got;
    uint8_t buf[512];
    while (!done(got) && std::chrono::steady_clock::now() < end) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 5) == 1) got.insert(got.end(), buf, buf + std::max<ssize_t>(0, read(fd, buf, sizeof buf)));
    }
    return got;
  }
  bytes exchange(const bytes &req, size_t want, ms limit = ms(500)) {
    return exchange(req, [want](const bytes &got) { return got.size() >= want; }, limit);
  }
};

const bytes OK = board_frame("*");

TEST(Sim, RunsTheCommandAndTakesItsStatus) {
  EXPECT_EQ(status_of("-- sh -c 'exit 3'"), 3);
  EXPECT_EQ(status_of("sh -c 'kill -9 $$'"), 128 + 9);
  EXPECT_EQ(status_of("-- sh -c 'test -c \"$QUARN_COM1\" && test \"$QUARN_COM1\" = \"$QUARN_COM2\"'"), 0);
  EXPECT_EQ(status_of("-- no-such-command-here"), 127);
  for (auto bad : {"--bogus", "--drop 1.5", "--late x", "--baud 0", "--seed -1", "--old=1"})
    EXPECT_EQ(status_of(std::string(bad) + " -- true"), 2) << bad;
  std::string dir = scratch();
  EXPECT_EQ(system((std::string(QUARN_SIM_BIN) + " --help >" + dir + "/help").c_str()), 0);
  std::string help = slurp(dir + "/help");
  for (auto opt : {"--link", "--baud", "--memory", "--log", "--old", "--drop", "--late", "--split", "--corrupt",
                   "--noise", "--negative", "--seed"})
    EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

TEST(Sim, ServesOnItsTerminalAndLink) {
  std::string link = scratch() + "/ttyS0";
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

TEST(Sim, MemoryFileRoundTrip) {
  std::string mem = scratch() + "/mem.bin";
  std::ofstream(mem) << "\x01\x02\x03\x04";
  std::string octal;  // the request as printf escapes, for the child to send
  for (uint8_t c : seam::request_of("W000002<AABB\n")) octal += "\\" + std::to_string(c >> 6) + std::to_string(c >> 3 & 7) + std::to_string(c & 7);
  std::string shell = "exec 3<>\"$QUARN_COM1\"; printf \"" + octal + "\" >&3; timeout 5 head -c 11 <&3 >/dev/null; exit 5";
  EXPECT_EQ(status_of("--memory " + mem + " -- sh -c '" + shell + "'"), 5);
  std::string after = slurp(mem);
  ASSERT_EQ(after.size(), BOARD_MEMSIZE);
  EXPECT_EQ(after.substr(0, 6), "\x01\x02\xAA\xBB\xFF\xFF");
  sim s({"--memory", mem});
  bytes want = board_frame("=0102AABBFF");
  EXPECT_EQ(terminal(s.path).exchange(seam::request_of("R000000,05\n"), want.size()), want);
  EXPECT_EQ(s.stop(), 0);
}

bool ends_ok(const bytes &got) {
  return got.size() >= OK.size() && std::equal(OK.begin(), OK.end(), got.end() - OK.size());
}

TEST(Sim, InjectsFaults) {
  struct fault {
    const char *option;
    bool stored;  // the write request was carried out
    std::function<bool(const bytes &)> check;  // also tells when all has come
  };
  const fault faults[] = {
      {"--drop", true, [](const bytes &) { return false; }},  // waits out 200 ms of silence
      {"--negative", false, [](const bytes &got) { return got == board_frame("!Busy"); }},
      {"--split", true, [](const bytes &got) { return got == OK; }},
      {"--corrupt", true,
       [](const bytes &got) {
         size_t differ = 0;
         for (size_t i = 0; i < got.size() && i < OK.size(); i++) differ += got[i] != OK[i];
         return got.size() == OK.size() && differ == 1;
       }},
      {"--noise", true,
       [](const bytes &got) {
         return got.size() > OK.size() && got.size() <= OK.size() + 8 && ends_ok(got) &&
                std::count(got.begin(), got.end() - OK.size(), 0x68) == 0;
       }},
  };
  for (const fault &f : faults) {
    SCOPED_TRACE(f.option);
    std::string dir = scratch();
    sim s({f.option, "1", "--seed", "7", "--memory", dir + "/mem", "--log", dir + "/log"});
    bytes got = terminal(s.path).exchange(seam::request_of("W000000<42\n"), f.check, ms(200));
    EXPECT_EQ(f.check(got), f.option != std::string("--drop")) << got.size() << " bytes";
    EXPECT_EQ(s.stop(), 0);
    EXPECT_EQ(slurp(dir + "/mem")[0], f.stored ? '\x42' : '\xFF');
    std::string log = slurp(dir + "/log"), name = f.option + 2;
    EXPECT_NE(log.find("> 68 0F 0F 68 7F 7F 47 F5 57"), std::string::npos) << log;
    EXPECT_NE(log.find("! " + name), std::string::npos) << log;
    EXPECT_NE(slurp(s.dir + "/err").find(name + " 1"), std::string::npos);
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
