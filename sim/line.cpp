#include "line.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

using namespace std::chrono;

namespace {

const milliseconds QUIET(50);        // silence that ends a partial request
const milliseconds LATE(700);        // past the loader's 550 ms answer window
const milliseconds MIN_CHUNK(1);     // paced output wakes at most this often
const nanoseconds BYTE_AT_1_BAUD(10LL * 1000000000);  // 10 bits a byte

std::string hex(const bytes &b) {
  std::string out;
  char h[4];
  for (uint8_t c : b) {
    snprintf(h, sizeof h, out.empty() ? "%02X" : " %02X", c);
    out += h;
  }
  return out;
}

}  // namespace

line::line(board &b, unsigned baud, const line_faults &f, uint64_t seed, FILE *log)
    : b_(b), baud_(baud), f_(f), rng_(seed), log_(log), t0_(sim_clock::now()) {}

void line::take(const uint8_t *p, size_t n, sim_clock::time_point now) {
  std::vector<bytes> frames;
  board_rx(b_, p, n, frames);
  last_rx_ = now;
  for (const bytes &f : frames) answer(f, now);
}

void line::answer(const bytes &frame, sim_clock::time_point now) {
  counts_.requests++;
  log(now, '>', frame_line(frame));
  bytes ans = carry_out(frame, now);
  if (chance(f_.drop)) {
    counts_.drop++;
    log(now, '!', "drop: " + board_describe(ans));
    return;
  }
  // The request takes its line time to arrive, though a pty delivers it at once.
  sim_clock::time_point at = now + line_time(frame.size());
  if (chance(f_.late)) {
    counts_.late++;
    at = now + LATE;
    log(now, '!', "late: answer held 700 ms");
  }
  if (chance(f_.corrupt)) corrupt(ans, now);
  if (chance(f_.noise)) noise(at, now);
  queue_answer(std::move(ans), at, now);
}

bytes line::carry_out(const bytes &frame, sim_clock::time_point now) {
  if (!chance(f_.negative)) return board_answer(b_, frame);
  counts_.negative++;
  log(now, '!', "negative: request not carried out");
  return board_frame("!Busy");
}

void line::corrupt(bytes &ans, sim_clock::time_point now) {
  counts_.corrupt++;
  size_t i = pick(0, unsigned(ans.size() - 1));
  uint8_t was = ans[i];
  ans[i] ^= uint8_t(pick(1, 255));
  char buf[64];
  snprintf(buf, sizeof buf, "corrupt: byte %zu %02X -> %02X", i, was, ans[i]);
  log(now, '!', buf);
}

void line::noise(sim_clock::time_point at, sim_clock::time_point now) {
  counts_.noise++;
  bytes stray(pick(1, 8));
  for (uint8_t &c : stray) {
    c = uint8_t(pick(0, 254));
    if (c >= 0x68) c++;  // never a start byte, which would only look like a frame
  }
  log(now, '!', "noise: " + hex(stray));
  q_.push_back({stray, at, {}, "", false});
}

void line::queue_answer(bytes ans, sim_clock::time_point at, sim_clock::time_point now) {
  std::string text = frame_line(ans);
  if (!chance(f_.split)) {
    q_.push_back({std::move(ans), at, {}, text, true});
    return;
  }
  counts_.split++;
  unsigned pieces = pick(2, 4);
  log(now, '!', "split: " + std::to_string(pieces) + " pieces");
  std::vector<size_t> cuts = {0, ans.size()};
  while (cuts.size() < pieces + 1) {
    size_t c = pick(1, unsigned(ans.size() - 1));
    if (std::find(cuts.begin(), cuts.end(), c) == cuts.end()) cuts.push_back(c);
  }
  std::sort(cuts.begin(), cuts.end());
  for (unsigned k = 0; k < pieces; k++) {
    bytes part(ans.begin() + cuts[k], ans.begin() + cuts[k + 1]);
    milliseconds gap(k ? pick(1, 9) : 0);
    q_.push_back({std::move(part), at, gap, k ? "" : text, k == 0});
  }
}

sim_clock::duration line::line_time(size_t n) const {
  if (!baud_) return {};
  return duration_cast<sim_clock::duration>(BYTE_AT_1_BAUD * n / baud_);
}

size_t line::due(const piece &p, sim_clock::time_point now) const {
  if (!baud_) return p.data.size();
  auto bytes_sent = (now - start_) * baud_ / BYTE_AT_1_BAUD;
  return size_t(std::min<long long>(bytes_sent, (long long)p.data.size()));
}

bool line::flush(int fd, sim_clock::time_point now) {
  blocked_ = false;
  while (!q_.empty()) {
    piece &p = q_.front();
    if (!started_) {
      start_ = std::max(p.not_before, line_free_ + p.gap);
      if (now < start_) return true;
      started_ = true;
      sent_ = 0;
      if (p.answer) counts_.answers++;
      if (!p.log.empty()) log(start_, '<', p.log);  // the line time, however late we woke
    }
    size_t want = due(p, now);
    while (sent_ < want) {
      ssize_t n = write(fd, p.data.data() + sent_, want - sent_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        blocked_ = true;
        return true;
      }
      if (n < 0) return false;
      sent_ += size_t(n);
    }
    if (sent_ < p.data.size()) return true;  // paced: the rest is not due yet
    line_free_ = baud_ ? start_ + line_time(p.data.size()) : now;
    q_.pop_front();
    started_ = false;
  }
  return true;
}

void line::tick(sim_clock::time_point now) {
  if (b_.rx.empty() || now - last_rx_ < QUIET) return;
  log(now, '~', "partial request dropped after silence: " + hex(b_.rx));
  board_rx_reset(b_);
}

sim_clock::time_point line::deadline(sim_clock::time_point now) const {
  sim_clock::time_point t = sim_clock::time_point::max();
  if (!b_.rx.empty()) t = last_rx_ + QUIET;
  if (q_.empty()) return t;
  const piece &p = q_.front();
  if (!started_) return std::min(t, std::max(p.not_before, line_free_ + p.gap));
  sim_clock::time_point next_byte = start_ + line_time(sent_ + 1);
  // The piece's last byte goes out when it is due, not up to MIN_CHUNK late:
  // the loader can answer only once it has the whole frame.
  sim_clock::time_point last_byte = start_ + line_time(p.data.size());
  return std::min(t, std::max(next_byte, std::min(now + MIN_CHUNK, last_byte)));
}

void line::log(sim_clock::time_point t, char dir, const std::string &text) {
  if (!log_) return;
  fprintf(log_, "%10.6f %c %s\n", duration<double>(t - t0_).count(), dir, text.c_str());
}

std::string line::frame_line(const bytes &f) const { return hex(f) + "  " + board_describe(f); }

// splitmix64: small, fast and the same on every platform, so a seed repeats a run.
double line::unit() {
  uint64_t z = (rng_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return double(z >> 11) * 0x1.0p-53;
}

bool line::chance(double p) { return p > 0 && unit() < p; }

unsigned line::pick(unsigned lo, unsigned hi) { return lo + unsigned(unit() * (hi - lo + 1)); }
