// The board's end of the serial line: frames requests out of the bytes that
// arrive, answers them in order, paces the answers at the line rate and
// injects line faults.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "board.h"

typedef std::chrono::steady_clock sim_clock;

// Probabilities, 0..1, of the faults injected into each exchange.
struct line_faults {
  double drop = 0;      // request carried out, answer lost
  double late = 0;      // answer sent after the loader's answer window
  double split = 0;     // answer written in 2-4 pieces with short gaps
  double corrupt = 0;   // one byte of the answer changed
  double noise = 0;     // stray bytes before the answer
  double negative = 0;  // "!Busy", request not carried out
  bool any() const { return drop > 0 || late > 0 || split > 0 || corrupt > 0 || noise > 0 || negative > 0; }
};

struct line_counts {
  unsigned long requests = 0, answers = 0;
  unsigned long drop = 0, late = 0, split = 0, corrupt = 0, noise = 0, negative = 0;
};

class line {
 public:
  // baud 0: answers go out at once. log may be null.
  line(board &b, unsigned baud, const line_faults &f, uint64_t seed, FILE *log);

  // Bytes read from the line at `now`; every request they complete is
  // carried out and its answer queued.
  void take(const uint8_t *p, size_t n, sim_clock::time_point now);

  // Writes whatever is due by `now` to fd. False on a write error.
  bool flush(int fd, sim_clock::time_point now);

  // Forgets a partial request once the line has been quiet long enough.
  void tick(sim_clock::time_point now);

  // When flush or tick next has work; max() when nothing is pending.
  sim_clock::time_point deadline(sim_clock::time_point now) const;

  // True while the fd refused bytes that are due: wait until it is writable.
  bool blocked() const { return blocked_; }

  const line_counts &counts() const { return counts_; }

 private:
  struct piece {
    bytes data;
    sim_clock::time_point not_before;
    sim_clock::duration gap;  // quiet line after the piece before
    std::string log;          // logged as the piece starts; "" for none
    bool answer;              // first piece of an answer
  };

  void answer(const bytes &frame, sim_clock::time_point now);
  bytes carry_out(const bytes &frame, sim_clock::time_point now);
  void corrupt(bytes &ans, sim_clock::time_point now);
  void noise(sim_clock::time_point at, sim_clock::time_point now);
  void queue_answer(bytes ans, sim_clock::time_point at, sim_clock::time_point now);
  sim_clock::duration line_time(size_t n) const;
  size_t due(const piece &p, sim_clock::time_point now) const;
  void log(sim_clock::time_point t, char dir, const std::string &text);
  std::string frame_line(const bytes &f) const;
  double unit();
  bool chance(double p);
  unsigned pick(unsigned lo, unsigned hi);

  board &b_;
  unsigned baud_;
  line_faults f_;
  uint64_t rng_;
  FILE *log_;
  sim_clock::time_point t0_;
  sim_clock::time_point last_rx_;
  std::deque<piece> q_;
  bool started_ = false;  // front piece is being written
  sim_clock::time_point start_;
  size_t sent_ = 0;
  sim_clock::time_point line_free_;  // previous piece finished on the line
  bool blocked_ = false;
  line_counts counts_;
};
