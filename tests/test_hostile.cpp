// Faults that the soak under line faults and the fuzz targets found, each
// kept as the case that shows it.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <utility>

#include "board.h"
#include "quarn.h"
#include "seam.h"

namespace {

typedef std::chrono::steady_clock clk;

double ms_since(clk::time_point t) {
  return std::chrono::duration<double, std::milli>(clk::now() - t).count();
}

}  // namespace

// The soak: a read request went unanswered in its window and was tried
// again; the answer to the first try came in the second try's window, and
// the second try's own answer came late too, in the window of the next,
// different request. It was taken as that request's answer: wrong bytes in
// the file, exit code 0. A board answers in order, as this one does.
TEST(HostileLine, AnswerOwedToARetriedRequestIsNotTheNextOnesAnswer) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  grantpt(master);
  unlockpt(master);
  std::string path = ptsname(master);
  int slave = open(path.c_str(), O_RDWR | O_NOCTTY);  // no hang-up while the loader opens it
  seam::make_raw(slave);
  board brd;
  board_init(brd, false);
  for (int i = 0; i < 0x80; i++) brd.mem[0x400 + i] = (uint8_t)(i * 7 + 3);
  std::string file = seam::tmpdir() + "/m.bin";

  // Request 0 is answered after 620 ms, its retry (request 1) 580 ms after
  // it went out, everything else at once.
  const double late[] = {620, 580};
  auto start = clk::now();
  seam::child c = seam::spawn({QUARN_BIN, "b115200", "@binget000400,000080>" + file},
                              {"QUARN_COM1=" + path});
  std::deque<std::pair<double, bytes>> due;
  size_t requests = 0;
  std::string out;
  for (ssize_t n = 1; n > 0;) {
    pollfd pf[2] = {{master, POLLIN, 0}, {c.out, POLLIN, 0}};
    int wait = due.empty() ? 50 : std::max(0, (int)(due.front().first - ms_since(start)));
    poll(pf, 2, std::min(50, wait));
    uint8_t buf[4096];
    std::vector<bytes> frames;
    if (pf[0].revents & POLLIN)
      board_rx(brd, buf, (size_t)std::max<ssize_t>(0, read(master, buf, sizeof buf)), frames);
    for (const bytes &f : frames) {
      double at = ms_since(start) + (requests < 2 ? late[requests] : 0);
      if (!due.empty()) at = std::max(at, due.back().first);
      due.push_back({at, board_answer(brd, f)});
      requests++;
    }
    for (; !due.empty() && due.front().first <= ms_since(start); due.pop_front())
      EXPECT_EQ(write(master, due.front().second.data(), due.front().second.size()),
                (ssize_t)due.front().second.size());
    if (pf[1].revents & (POLLIN | POLLHUP) && (n = read(c.out, buf, sizeof buf)) > 0)
      out.append((char *)buf, (size_t)n);
  }
  int status = seam::reap(c);
  close(slave);
  close(master);

  EXPECT_EQ(requests, 3u) << out;
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(seam::read_file(file), std::string(brd.mem.begin() + 0x400, brd.mem.begin() + 0x480));
}

// The fuzz target for @-commands: '@binput063>x.<.' names the folder ".",
// which opens; the size it gave was the largest long, and the check that the
// file fits below FFFFFF overflowed. A folder cannot be read.
TEST(HostileInput, BinputOfAFolderIsAFileThatCannotBeRead) {
  seam::reset();
  seam::result r = seam::call([] { zpracuj_prikaz("@binput063>x.<.\n"); });
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, "Error: Can't read file . \nExit code 3\n");
  EXPECT_TRUE(seam::wire.empty());
}
