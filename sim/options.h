// quarn-sim's options, parsed the same way for the command and for the
// tests that run its board in-process.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "line.h"

struct sim_options {
  std::string link, memory, log;
  unsigned baud = 0;  // 0: answers at once, and any speed is taken
  int mode = 0;       // the board's line mode: its two low bits choose the parity
  bool old = false;
  bool ignore_text = false;  // S1 and S3 text records are not stored
  line_faults faults;
  std::vector<std::pair<uint32_t, uint32_t>> stuck;  // memory that ignores writes
  uint64_t seed = 0;
  bool seeded = false;
  std::vector<char *> command;  // null-terminated for execvp; empty if none
};

// -1 when the run goes on, else the exit status: 0 when the help was shown,
// 2 for a bad option (said on stderr).
int sim_parse(int argc, char **argv, sim_options &o);

// A board as the options make it: erased memory, the firmware, stuck ranges.
void sim_board(board &b, const sim_options &o);
