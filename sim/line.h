// The board's end of the serial line: frames requests out of the bytes that
// arrive, answers them in order, paces the answers at the line rate and
// injects line faults. Time is whatever clock the caller passes in: the
// real one in quarn-sim, a virtual one in the tests.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

#include "board.h"

typedef std::chrono::steady_clock sim_clock;

// A fault injected into answers: with probability p each, or into the
// answer to request number nth (counted from 1) only; ms is its time, for
// the faults that have one.
struct fault {
  double p = 0;
  unsigned long nth = 0;
  unsigned ms = 0;
};

struct line_faults {
  fault drop;              // request carried out, answer lost
  fault late{0, 0, 700};   // answer sent ms after the request
  fault split;             // answer written in 2-4 pieces with short gaps
  fault corrupt;           // one byte of the answer changed
  fault noise;             // stray bytes, never 0x68, before the answer
  fault negative;          // "!Busy", request not carried out
  fault twice{0, 0, 5};    // answer sent again, ms after the first copy
  fault trickle{0, 0, 3};  // answer sent a byte every ms
  fault junk;              // stray bytes and whole frames with a wrong checksum before the answer
  fault echo;              // the request comes back at once, as an echoing adapter sends it
  unsigned long hangup = 0;  // the line goes away when request N arrives (0: never)
  unsigned leftover = 0;     // ms after the port opens that an earlier run's answer comes (0: none)
  bool any() const;
};

struct line_counts {
  unsigned long requests = 0, answers = 0;
  unsigned long drop = 0, late = 0, split = 0, corrupt = 0, noise = 0, negative = 0, twice = 0,
                trickle = 0, junk = 0, echo = 0, garbled = 0;
};

// Where the line's bytes go: writes up to n bytes, returns how many it took
// (0 when it can take none now), or -1 on an error.
typedef std::function<long(const uint8_t *p, size_t n)> line_sink;

class line {
 public:
  // baud 0: answers go out at once. log may be null. t0: the transcript's zero.
  line(board &b, unsigned baud, const line_faults &f, uint64_t seed, FILE *log, sim_clock::time_point t0);

  // Bytes read from the line at `now`; every request they complete is
  // carried out and its answer queued.
  void take(const uint8_t *p, size_t n, sim_clock::time_point now);

  // Bytes that reached the board garbled (line settings that differ): no
  // request can be made of them.
  void garbled(size_t n, const std::string &why, sim_clock::time_point now);

  // Writes whatever is due by `now` to out. False on a write error.
  bool flush(const line_sink &out, sim_clock::time_point now);

  // The loader has opened the port at `now` (--leftover).
  void opened(sim_clock::time_point now);

  // Forgets a partial request once the line has been quiet long enough.
  void tick(sim_clock::time_point now);

  // When flush or tick next has work; max() when nothing is pending.
  sim_clock::time_point deadline(sim_clock::time_point now) const;

  // True while the sink refused bytes that are due: wait until it takes more.
  bool blocked() const { return blocked_; }

  const line_counts &counts() const { return counts_; }

  // True once the line has gone away (--hangup): nothing crosses it.
  bool hung() const { return hung_; }

  // Rewrites each answer before it is queued (the tests' own faults).
  std::function<bytes(const bytes &)> rewrite;

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
  void stray(bool junk, sim_clock::time_point at, sim_clock::time_point now);
  void queue_answer(const bytes &ans, sim_clock::time_point at, sim_clock::time_point now);
  void queue_split(const bytes &ans, unsigned pieces, unsigned max_gap_ms, sim_clock::time_point at,
                   const std::string &text);
  sim_clock::duration line_time(size_t n) const;
  size_t due(const piece &p, sim_clock::time_point now) const;
  void log(sim_clock::time_point t, char dir, const std::string &text);
  std::string frame_line(const bytes &f) const;
  double unit();
  bool chance(const fault &f);
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
  bool hung_ = false;
  line_counts counts_;
};
