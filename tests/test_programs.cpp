// The programs as processes, where no scenario reaches: quarn-sim's command
// line, terminal, link and memory file; quarn's refusal of ports it can't
// have, and a line that holds an earlier run's answer.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "seam.h"

namespace {

const std::string SIM = QUARN_SIM_BIN, QUARN = QUARN_BIN;

// A shell command's exit status and standard output, run in a fresh folder.
std::pair<int, std::string> sh(const std::string &cmd) {
  seam::child c = seam::spawn({"sh", "-c", cmd + " 2>/dev/null"}, seam::tmpdir(), {"SIM=" + SIM, "Q=" + QUARN});
  std::string out = seam::drain(c);
  return {seam::reap(c), out};
}

TEST(Programs, SimCommandLine) {
  EXPECT_EQ(sh("$SIM -- sh -c 'exit 3'").first, 3);
  EXPECT_EQ(sh("$SIM sh -c 'kill -9 $$'").first, 128 + 9);
  EXPECT_EQ(sh("$SIM -- sh -c 'test -c \"$QUARN_COM1\" && test \"$QUARN_COM1\" = \"$QUARN_COM2\"'").first, 0);
  EXPECT_EQ(sh("$SIM -- no-such-command-here").first, 127);
  for (auto bad : {"--bogus", "--drop 1.5", "--drop 0.5:9", "--late x", "--late @0", "--twice 1:x", "--baud 0",
                   "--seed -1", "--old=1", "--mode 5", "--stuck 5-4", "--stuck 1000000-1000001"})
    EXPECT_EQ(sh("$SIM " + std::string(bad) + " -- true").first, 2) << bad;
  // A memory file that can't be the board's 16 MiB.
  EXPECT_EQ(sh("truncate -s 16777217 big && $SIM --memory big -- true").first, 1);
  std::string help = sh("$SIM --help").second;
  for (auto opt : {"--link", "--baud", "--mode", "--memory", "--stuck", "--log", "--old", "--drop", "--late",
                   "--twice", "--trickle", "--split", "--corrupt", "--noise", "--junk", "--negative", "--seed"})
    EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

// Without a command quarn-sim names its terminal and serves until SIGTERM;
// a loader's exclusive use of the terminal ends with it; the link goes.
TEST(Programs, SimServesItsTerminal) {
  std::string dir = seam::tmpdir(), link = dir + "/ttyS0";
  seam::child c = seam::spawn({SIM, "--link", link}, dir);
  std::string path;
  for (char ch; read(c.out, &ch, 1) == 1 && ch != '\n';) path += ch;
  char target[256] = {};
  EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(target, path);
  int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_EQ(ioctl(fd, TIOCEXCL), 0);
  close(fd);
  int excl = 1;
  for (int i = 0; i < 100 && excl; i++) {
    usleep(10000);
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ioctl(fd, TIOCGEXCL, &excl);
    close(fd);
  }
  EXPECT_EQ(excl, 0);
  kill(c.pid, SIGTERM);
  EXPECT_EQ(seam::reap(c), 0);
  EXPECT_NE(access(link.c_str(), F_OK), 0);
}

// A port another program holds (locked), a device that takes no line
// settings, a port that isn't there: refused, exit code 2.
TEST(Programs, PortsRefused) {
  std::string dir = seam::tmpdir();
  seam::child c = seam::spawn({SIM}, dir);
  std::string path;
  for (char ch; read(c.out, &ch, 1) == 1 && ch != '\n';) path += ch;
  int holder = open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  for (auto env : {"QUARN_COM1=" + path, std::string("QUARN_COM1=/dev/null"), "QUARN_COM2=" + dir + "/none"}) {
    seam::child q = seam::spawn({QUARN, env[9] == '2' ? "p2f8" : "I000000"}, dir, {env});
    EXPECT_NE(seam::drain(q).find("Wrong settings, can't initialize UART\nExit code 2\n"), std::string::npos) << env;
    EXPECT_EQ(seam::reap(q), 2) << env;
  }
  close(holder);
  kill(c.pid, SIGTERM);
  seam::reap(c);
}

// An answer that came after its run had ended waits in the line: the next
// run takes it for no answer of its own, owed or not.
TEST(Programs, AnEarlierRunsAnswerIsNoneOfOurs) {
  auto r = sh("$SIM --late @1:700 -- sh -c '$Q ~X; sleep 0.3; $Q'");
  EXPECT_EQ(r.first, 0) << r.second;
  EXPECT_NE(r.second.find("Target ID:\nORBA-01 BELKOS v1.28\nExit code 0\n"), std::string::npos) << r.second;
}

}  // namespace
